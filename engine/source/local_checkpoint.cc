#include "engine/source/local_checkpoint.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "engine/common/repack_error.h"
#include "engine/io/posix.h"

namespace fs = std::filesystem;

namespace {

using Kind = Posix::EntryKind;

constexpr uint64_t kMetadataCapBytes = 4096;
constexpr const char* kIncompleteSuffix = ".incomplete";

bool isLowerHex(const std::string& text, size_t length) {
  return text.size() == length && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

std::optional<std::string> nonEmpty(const EnvironmentLookup& env, const std::string& name) {
  std::optional<std::string> value = env(name);
  if (value && value->empty()) return std::nullopt;
  return value;
}

bool isNameStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool isNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// A leading "~" (alone or before "/") becomes HOME; "$VAR" and "${VAR}"
// become their values. What cannot be expanded stays as written.
std::string expand(const std::string& value, const EnvironmentLookup& env) {
  std::string text = value;
  if (!text.empty() && text[0] == '~' && (text.size() == 1 || text[1] == '/')) {
    if (const std::optional<std::string> home = nonEmpty(env, "HOME")) {
      text = *home + text.substr(1);
    }
  }
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] != '$') {
      out += text[i++];
      continue;
    }
    const bool braced = i + 1 < text.size() && text[i + 1] == '{';
    const size_t start = i + (braced ? 2 : 1);
    size_t end = start;
    if (end < text.size() && isNameStart(text[end])) {
      while (end < text.size() && isNameChar(text[end])) ++end;
    }
    const bool closed = !braced || (end < text.size() && text[end] == '}');
    if (end == start || !closed) {
      out += text[i++];
      continue;
    }
    const size_t after = braced ? end + 1 : end;
    if (const std::optional<std::string> found = env(text.substr(start, end - start))) {
      out += *found;
    } else {
      out.append(text, i, after - i);
    }
    i = after;
  }
  return out;
}

std::string joined(const std::string& directory, const std::string& name) {
  return directory + "/" + name;
}

std::string parentOf(const std::string& path) { return path.substr(0, path.rfind('/')); }
std::string baseNameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// A checkpoint path: relative, "/"-separated, no empty, "." or ".." component.
bool isCheckpointPath(const std::string& path) {
  if (path.empty()) return false;
  size_t start = 0;
  while (true) {
    const size_t slash = path.find('/', start);
    const std::string piece = path.substr(start, slash - start);
    if (piece.empty() || piece == "." || piece == "..") return false;
    if (slash == std::string::npos) return true;
    start = slash + 1;
  }
}

// lstat's view of a path; a path that cannot be examined (a component that
// is not a directory, no permission) is treated as absent.
Kind kindOf(const std::string& path) {
  try {
    return Posix::entryKind(path);
  } catch (const RepackError&) {
    return Kind::absent;
  }
}

std::optional<std::string> resolved(const std::string& path) {
  try {
    return Posix::physicalPath(path);
  } catch (const RepackError&) {
    return std::nullopt;
  }
}

// The size of the regular file at a resolved path.
std::optional<uint64_t> regularFileSize(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return static_cast<uint64_t>(st.st_size);
}

bool isDirectChild(const std::string& path, const std::string& directory) {
  return !directory.empty() && path.size() > directory.size() + 1 &&
         path.compare(0, directory.size() + 1, directory + "/") == 0 &&
         path.find('/', directory.size() + 1) == std::string::npos;
}

bool isInside(const std::string& path, const std::string& directory) {
  return !directory.empty() && path.size() > directory.size() + 1 &&
         path.compare(0, directory.size() + 1, directory + "/") == 0;
}

// Records the digest a blob name or an etag states: 64 hex is a SHA-256,
// 40 hex a git blob SHA-1 (quotes and a weak marker removed, any case).
// Anything else states nothing.
void takeStatedDigest(std::string etag, LocalFile& file) {
  if (etag.starts_with("W/")) etag.erase(0, 2);
  if (etag.size() >= 2 && etag.front() == '"' && etag.back() == '"') {
    etag = etag.substr(1, etag.size() - 2);
  }
  std::transform(etag.begin(), etag.end(), etag.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (isLowerHex(etag, 64)) {
    file.sha256 = std::move(etag);
  } else if (isLowerHex(etag, 40)) {
    file.gitSha1 = std::move(etag);
  }
}

// The lines of a small metadata file; nothing when it is absent, not a
// regular file or too large to be one.
std::optional<std::vector<std::string>> metadataLines(const std::string& path) {
  if (kindOf(path) != Kind::regular) return std::nullopt;
  std::vector<uint8_t> bytes;
  try {
    bytes = Posix::readBoundedData(path, kMetadataCapBytes);
  } catch (const RepackError&) {
    return std::nullopt;
  }
  std::vector<std::string> lines;
  std::string line;
  for (uint8_t byte : bytes) {
    if (byte == '\n') {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(std::move(line));
      line.clear();
    } else {
      line += static_cast<char>(byte);
    }
  }
  if (!line.empty()) lines.push_back(std::move(line));
  return lines;
}

void requireCommit(const std::string& commit) {
  if (!isLowerHex(commit, 40)) throwConfigurationInvalid("commit " + commit + " is not 40 hex");
}

}  // namespace

EnvironmentLookup processEnvironment() {
  return [](const std::string& name) -> std::optional<std::string> {
    const char* value = std::getenv(name.c_str());
    if (value == nullptr) return std::nullopt;
    return std::string(value);
  };
}

std::optional<std::string> hubCacheRoot(const EnvironmentLookup& env) {
  if (const auto cache = nonEmpty(env, "HF_HUB_CACHE")) return expand(*cache, env);
  if (const auto home = nonEmpty(env, "HF_HOME")) return expand(*home, env) + "/hub";
  if (const auto xdg = nonEmpty(env, "XDG_CACHE_HOME")) {
    return expand(*xdg, env) + "/huggingface/hub";
  }
  if (const auto home = nonEmpty(env, "HOME")) return *home + "/.cache/huggingface/hub";
  return std::nullopt;
}

bool environmentFlag(const EnvironmentLookup& env, const std::string& name) {
  std::optional<std::string> value = env(name);
  if (!value) return false;
  std::transform(value->begin(), value->end(), value->begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return *value == "1" || *value == "ON" || *value == "YES" || *value == "TRUE";
}

bool offlineRequested(const EnvironmentLookup& env) {
  return environmentFlag(env, "HF_HUB_OFFLINE");
}

std::optional<std::string> hubToken(const EnvironmentLookup& env) {
  if (auto token = nonEmpty(env, "HF_TOKEN")) return token;
  if (auto token = nonEmpty(env, "HUGGING_FACE_HUB_TOKEN")) return token;
  std::optional<std::string> path;
  if (const auto given = nonEmpty(env, "HF_TOKEN_PATH")) {
    path = expand(*given, env);
  } else if (const auto home = nonEmpty(env, "HF_HOME")) {
    path = expand(*home, env) + "/token";
  } else if (const auto xdg = nonEmpty(env, "XDG_CACHE_HOME")) {
    path = expand(*xdg, env) + "/huggingface/token";
  } else if (const auto home = nonEmpty(env, "HOME")) {
    path = *home + "/.cache/huggingface/token";
  }
  if (!path) return std::nullopt;
  constexpr uint64_t kTokenFileCap = 65536;
  std::string text;
  try {
    const std::vector<uint8_t> bytes = Posix::readBoundedData(*path, kTokenFileCap, true);
    text.assign(bytes.begin(), bytes.end());
  } catch (const RepackError&) {
    return std::nullopt;
  }
  const auto space = [](unsigned char c) { return std::isspace(c) != 0; };
  const auto first = std::find_if_not(text.begin(), text.end(), space);
  const auto last = std::find_if_not(text.rbegin(), text.rend(), space).base();
  if (first >= last) return std::nullopt;
  return std::string(first, last);
}

LocalCheckpoint LocalCheckpoint::inHubCache(const std::string& root, const std::string& repoID,
                                            const std::string& commit) {
  requireCommit(commit);
  const size_t slash = repoID.find('/');
  if (slash == std::string::npos || slash == 0 || slash + 1 == repoID.size() ||
      repoID.find('/', slash + 1) != std::string::npos || !isCheckpointPath(repoID)) {
    throwConfigurationInvalid("repository id " + repoID + " is not owner/name");
  }
  LocalCheckpoint checkpoint;
  checkpoint.layout_ = Layout::hubCache;
  checkpoint.commit_ = commit;
  checkpoint.root_ =
      joined(root, "models--" + repoID.substr(0, slash) + "--" + repoID.substr(slash + 1));
  const std::string snapshot = checkpoint.root_ + "/snapshots/" + commit;
  if (kindOf(snapshot) != Kind::absent) checkpoint.snapshot_ = resolved(snapshot).value_or("");
  if (kindOf(checkpoint.root_ + "/blobs") != Kind::absent) {
    checkpoint.blobs_ = resolved(checkpoint.root_ + "/blobs").value_or("");
  }
  return checkpoint;
}

LocalCheckpoint LocalCheckpoint::inDirectory(const std::string& directory,
                                             const std::string& commit) {
  requireCommit(commit);
  const std::optional<std::string> physical = resolved(directory);
  struct stat st;
  if (!physical || ::stat(physical->c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    throwConfigurationInvalid("source directory " + directory + " does not exist");
  }
  LocalCheckpoint checkpoint;
  checkpoint.layout_ = Layout::directory;
  checkpoint.commit_ = commit;
  checkpoint.root_ = *physical;
  // The cache's own snapshot folder of this commit: its blob names are digests.
  const std::string snapshots = parentOf(*physical);
  if (baseNameOf(*physical) == commit && baseNameOf(snapshots) == "snapshots") {
    const std::string repository = parentOf(snapshots);
    if (kindOf(repository + "/blobs") == Kind::directory) {
      checkpoint.blobs_ = repository + "/blobs";
    }
  }
  return checkpoint;
}

std::optional<LocalFile> LocalCheckpoint::find(const std::string& path) const {
  if (!isCheckpointPath(path)) return std::nullopt;
  switch (layout_) {
    case Layout::none:
      return std::nullopt;
    case Layout::hubCache:
      return findInCache(path);
    case Layout::directory:
      return findInDirectory(path);
  }
  return std::nullopt;
}

std::optional<LocalFile> LocalCheckpoint::findInCache(const std::string& path) const {
  if (snapshot_.empty()) return std::nullopt;
  const std::string entry = joined(snapshot_, path);
  if (kindOf(entry) == Kind::absent) return std::nullopt;
  const std::optional<std::string> target = resolved(entry);
  if (!target) return std::nullopt;  // dangling
  LocalFile file;
  if (kindOf(entry) == Kind::symlink && !linksIntoBlobs(entry)) return std::nullopt;
  if (isDirectChild(*target, blobs_)) {
    const std::string blob = baseNameOf(*target);
    if (blob.ends_with(kIncompleteSuffix)) return std::nullopt;
    if (isLowerHex(blob, 64) || isLowerHex(blob, 40)) takeStatedDigest(blob, file);
  } else if (!isInside(*target, snapshot_)) {
    return std::nullopt;  // a link out of the repository's blobs
  }
  const std::optional<uint64_t> size = regularFileSize(*target);
  if (!size) return std::nullopt;
  file.path = *target;
  file.size = *size;
  return file;
}

bool LocalCheckpoint::linksIntoBlobs(const std::string& entry) const {
  std::error_code error;
  const fs::path target = fs::read_symlink(entry, error);
  if (error) return false;
  const std::string named = Posix::standardizedPath(
      target.is_absolute() ? target.string() : parentOf(entry) + "/" + target.string());
  return isDirectChild(named, blobs_) ||
         isDirectChild(named, Posix::standardizedPath(root_ + "/blobs"));
}

std::optional<LocalFile> LocalCheckpoint::findInDirectory(const std::string& path) const {
  const std::string entry = joined(root_, path);
  if (kindOf(entry) == Kind::absent) return std::nullopt;
  const std::optional<std::string> target = resolved(entry);
  if (!target || target->ends_with(kIncompleteSuffix)) return std::nullopt;
  const std::optional<uint64_t> size = regularFileSize(*target);
  if (!size) return std::nullopt;
  LocalFile file{*target, *size, std::nullopt, std::nullopt, true};
  // The etag of a download made at another commit describes another file.
  const auto lines = metadataLines(root_ + "/.cache/huggingface/download/" + path + ".metadata");
  const std::string blob = baseNameOf(*target);
  if (lines && lines->size() >= 2 && (*lines)[0] == commit_) {
    takeStatedDigest((*lines)[1], file);
  } else if (isDirectChild(*target, blobs_) && (isLowerHex(blob, 64) || isLowerHex(blob, 40))) {
    takeStatedDigest(blob, file);
  }
  return file;
}

bool LocalCheckpoint::knownMissing(const std::string& path) const {
  if (!isCheckpointPath(path) || layout_ == Layout::none) return false;
  // A named snapshot folder shares its repository's markers.
  std::string repository;
  if (layout_ == Layout::hubCache) {
    repository = root_;
  } else if (!blobs_.empty()) {
    repository = parentOf(blobs_);
  } else {
    return false;
  }
  return kindOf(repository + "/.no_exist/" + commit_ + "/" + path) == Kind::regular;
}
