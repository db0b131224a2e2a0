// Copies of a checkpoint that are already on this machine: the hub cache
// that the hub's own tools fill, and a directory the user names. Discovery
// only: nothing here reads file contents beyond the small metadata files,
// and nothing reaches the network.
//
// The hub cache keeps one folder per repository, "models--{owner}--{name}":
//   blobs/{etag}                  file contents; the etag of an LFS file is
//                                 its SHA-256, that of a small file its git
//                                 blob SHA-1 (see git_blob_sha1.h);
//                                 "{etag}.incomplete" is unfinished
//   snapshots/{commit}/{path}     relative symbolic links into blobs/, or
//                                 plain files where links were unavailable
//   refs/{branch}                 the commit a branch pointed at
//   .no_exist/{commit}/{path}     the file is known not to exist at commit
// A "--local-dir" copy keeps files at their own paths and, beside them,
// .cache/huggingface/download/{path}.metadata: three lines, the commit, the
// etag and a timestamp.
//
// Only a finished regular file at the pinned commit is ever reported. A
// digest reported here is what the file must hash to; the caller checks it
// while reading, since the bytes on disk are not trusted until then.
//
// Values are immutable after construction; const methods may be called from
// several threads at once.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

// Looks a variable up in an environment; nothing when it is unset.
using EnvironmentLookup = std::function<std::optional<std::string>(const std::string&)>;

// The environment of this process.
EnvironmentLookup processEnvironment();

// The hub cache root: HF_HUB_CACHE, else $HF_HOME/hub, else
// $XDG_CACHE_HOME/huggingface/hub, else $HOME/.cache/huggingface/hub. A
// leading "~" and "$VAR" or "${VAR}" are expanded in each value (an unset
// variable stays as written); empty values count as unset. Nothing when no
// variable gives a root.
std::optional<std::string> hubCacheRoot(const EnvironmentLookup& env);

// A switch of the hub's tools is on: the variable is 1, ON, YES or TRUE, in
// any case.
bool environmentFlag(const EnvironmentLookup& env, const std::string& name);

// HF_HUB_OFFLINE is on.
bool offlineRequested(const EnvironmentLookup& env);

// The token the hub's own tools would send: HF_TOKEN, else
// HUGGING_FACE_HUB_TOKEN (empty values count as unset), else the token file
// their login command writes: HF_TOKEN_PATH, else $HF_HOME/token, else
// $XDG_CACHE_HOME/huggingface/token, else $HOME/.cache/huggingface/token,
// with the whitespace around the token trimmed. Nothing when no source
// gives a token; a missing, empty or unreadable file gives none.
std::optional<std::string> hubToken(const EnvironmentLookup& env);

struct LocalFile {
  std::string path;  // absolute, every link resolved, a regular file
  uint64_t size = 0;
  // Lowercase hex of the digest the file must have, when the layout states
  // one: the blob name of an LFS file in the cache, or the etag of a
  // --local-dir metadata file written at the pinned commit.
  std::optional<std::string> sha256;
  // The same for a small (non-LFS) file, whose blob name or etag is its git
  // blob SHA-1 (40 hex) instead. At most one of the two is set.
  std::optional<std::string> gitSha1;
  // Found in a directory the user named (not discovered in the cache).
  bool namedByUser = false;

  bool operator==(const LocalFile&) const = default;
};

class LocalCheckpoint {
 public:
  // Nothing local.
  LocalCheckpoint() = default;

  // The snapshot of `commit` (40 lowercase hex) of `repoID` ("owner/name")
  // under the cache `root`. A missing cache, repository or snapshot is an
  // empty checkpoint, not an error. configurationInvalid for a commit that
  // is not 40 hex or a repository id that is not owner/name.
  static LocalCheckpoint inHubCache(const std::string& root, const std::string& repoID,
                                    const std::string& commit);

  // The checkpoint of `commit` in `directory`, named by the user: a snapshot
  // folder of the cache, a --local-dir copy or a plain copy. Links inside
  // are followed wherever they lead (the user vouches for the directory),
  // but never to an unfinished blob. Digests come from metadata files of
  // the same commit, and from blob names when `directory` is the cache's
  // snapshot folder of this very commit. configurationInvalid when the
  // directory does not exist or the commit is not 40 hex.
  static LocalCheckpoint inDirectory(const std::string& directory, const std::string& commit);

  // The finished file at checkpoint path `path` ("a/b/c.json", relative,
  // without "." or ".." components); nothing when there is none, or when it
  // is unusable (a dangling or escaping link, an unfinished blob, a
  // directory, anything but a regular file).
  std::optional<LocalFile> find(const std::string& path) const;

  // The cache marks `path` as absent at the commit.
  bool knownMissing(const std::string& path) const;

  // The pinned commit; empty for a checkpoint with nothing local.
  const std::string& commit() const { return commit_; }

 private:
  enum class Layout { none, hubCache, directory };

  std::optional<LocalFile> findInCache(const std::string& path) const;
  std::optional<LocalFile> findInDirectory(const std::string& path) const;
  // The link at `entry` names a blob of the repository itself, not a path
  // that only ends there through other links.
  bool linksIntoBlobs(const std::string& entry) const;

  Layout layout_ = Layout::none;
  std::string commit_;
  std::string root_;      // the repository folder, or the named directory
  std::string snapshot_;  // hub cache: physical path of snapshots/{commit}
  std::string blobs_;     // physical path of the blobs folder whose names are digests
};
