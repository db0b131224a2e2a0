// Checkpoints laid out on disk the way the hub's own download tools leave
// them, for tests of local sources: the hub cache (blobs, snapshots, refs,
// .no_exist markers) and a --local-dir copy with its download metadata.
// Files ending in ".safetensors" are stored as LFS files (the blob is named
// by the SHA-256 of its content); every other file is named by its git blob
// SHA-1, as small git files are.
#pragma once

#include <map>
#include <set>
#include <string>

#include "tools/checkpoint_files.h"

// Every file of `files`, read into memory (small checkpoints only).
std::map<std::string, std::string> checkpointBytes(const CheckpointFiles& files);

// The etag the layouts below give a file: the SHA-256 of an LFS file, the
// git blob SHA-1 otherwise.
std::string hubCacheEtag(const std::string& path, const std::string& bytes);

struct HubCacheLayout {
  bool symlinks = true;        // false: plain files in the snapshot
  std::set<std::string> omit;  // files left out of the snapshot
  // Files whose link points at their unfinished blob "{etag}.incomplete".
  std::set<std::string> incomplete;
  // Files whose blob has its last byte flipped (the blob keeps its name).
  std::set<std::string> flipped;
  // Files marked as known not to exist: .no_exist/{commit}/{path}.
  std::set<std::string> noExist;
  // When set, a second snapshot of this commit holding every file
  // (omitted ones included), sharing the blobs.
  std::string otherCommit;
};

// Writes `files` as the cache of `repoID` at `commit` under `root` (created
// when missing), refs/main naming the commit. Returns the repository folder.
std::string writeHubCache(const std::map<std::string, std::string>& files, const std::string& root,
                          const std::string& repoID, const std::string& commit,
                          const HubCacheLayout& layout = {});
// The same for files read piece by piece: a checkpoint too large to hold in
// memory.
std::string writeHubCache(const CheckpointFiles& files, const std::string& root,
                          const std::string& repoID, const std::string& commit,
                          const HubCacheLayout& layout = {});

struct LocalDirLayout {
  bool metadata = true;        // write .cache/huggingface/download/{path}.metadata
  std::string metadataCommit;  // the commit the metadata names; empty: `commit`
  std::set<std::string> omit;  // files left out
};

// Writes `files` as a --local-dir copy of `commit` into `directory`.
void writeLocalDir(const std::map<std::string, std::string>& files, const std::string& directory,
                   const std::string& commit, const LocalDirLayout& layout = {});
