#include "tools/hub_cache_fixture.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "engine/io/git_blob_sha1.h"
#include "engine/io/sha256_stream.h"

namespace fs = std::filesystem;

namespace {

std::string sha256(const std::string& bytes) {
  Sha256Stream stream;
  stream.update(bytes.data(), bytes.size());
  return stream.finalizeHex();
}

void write(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

// Links `entry` to `target` with a path relative to the entry's folder.
void linkRelative(const fs::path& entry, const fs::path& target) {
  fs::create_directories(entry.parent_path());
  fs::create_symlink(fs::relative(target, entry.parent_path()), entry);
}

// The snapshot of one commit: links into blobs/, or plain copies.
void writeSnapshot(const std::map<std::string, std::string>& files, const fs::path& repository,
                   const std::string& commit, const HubCacheLayout& layout, bool isPinned) {
  for (const auto& [path, bytes] : files) {
    if (isPinned && layout.omit.contains(path)) continue;
    const fs::path entry = repository / "snapshots" / commit / path;
    std::string blob = hubCacheEtag(path, bytes);
    if (layout.incomplete.contains(path)) blob += ".incomplete";
    if (layout.symlinks) {
      linkRelative(entry, repository / "blobs" / blob);
    } else {
      write(entry, bytes);
    }
  }
}

}  // namespace

std::map<std::string, std::string> checkpointBytes(const CheckpointFiles& files) {
  std::map<std::string, std::string> out;
  for (const std::string& name : files.names()) {
    std::string bytes(*files.size(name), '\0');
    files.read(name, 0, {reinterpret_cast<uint8_t*>(bytes.data()), bytes.size()});
    out.emplace(name, std::move(bytes));
  }
  return out;
}

std::string hubCacheEtag(const std::string& path, const std::string& bytes) {
  if (path.ends_with(".safetensors")) return sha256(bytes);
  return gitBlobSha1Hex({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
}

std::string writeHubCache(const std::map<std::string, std::string>& files, const std::string& root,
                          const std::string& repoID, const std::string& commit,
                          const HubCacheLayout& layout) {
  const size_t slash = repoID.find('/');
  const fs::path repository =
      fs::path(root) / ("models--" + repoID.substr(0, slash) + "--" + repoID.substr(slash + 1));
  for (const auto& [path, bytes] : files) {
    std::string blob = hubCacheEtag(path, bytes);
    if (layout.incomplete.contains(path)) blob += ".incomplete";
    std::string content = bytes;
    if (layout.flipped.contains(path) && !content.empty()) content.back() ^= 0x01;
    write(repository / "blobs" / blob, content);
  }
  writeSnapshot(files, repository, commit, layout, true);
  if (!layout.otherCommit.empty()) {
    HubCacheLayout other = layout;
    other.incomplete.clear();
    writeSnapshot(files, repository, layout.otherCommit, other, false);
  }
  fs::create_directories(repository / "snapshots" / commit);
  write(repository / "refs" / "main", commit);
  for (const std::string& path : layout.noExist) {
    write(repository / ".no_exist" / commit / path, "");
  }
  return repository.string();
}

void writeLocalDir(const std::map<std::string, std::string>& files, const std::string& directory,
                   const std::string& commit, const LocalDirLayout& layout) {
  const std::string metadataCommit = layout.metadataCommit.empty() ? commit : layout.metadataCommit;
  for (const auto& [path, bytes] : files) {
    if (layout.omit.contains(path)) continue;
    write(fs::path(directory) / path, bytes);
    if (!layout.metadata) continue;
    write(fs::path(directory) / ".cache/huggingface/download" / (path + ".metadata"),
          metadataCommit + "\n" + hubCacheEtag(path, bytes) + "\n1714000000.0\n");
  }
}
