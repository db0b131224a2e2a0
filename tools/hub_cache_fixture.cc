#include "tools/hub_cache_fixture.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <span>
#include <stdexcept>
#include <vector>

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

// Writes the file `path` to `target` in pieces, so that a large file is
// never held whole; `observe` sees each piece as the checkpoint has it, and
// with `flipLast` the last byte written is flipped.
void copyOut(const CheckpointFiles& files, const std::string& path, const fs::path& target,
             bool flipLast, const std::function<void(std::span<const uint8_t>)>& observe = {}) {
  constexpr uint64_t kPieceBytes = 8 << 20;
  const uint64_t size = *files.size(path);
  fs::create_directories(target.parent_path());
  std::ofstream out(target, std::ios::binary | std::ios::trunc);
  std::vector<uint8_t> piece;
  for (uint64_t offset = 0; offset < size; offset += piece.size()) {
    piece.resize(std::min(kPieceBytes, size - offset));
    files.read(path, offset, piece);
    if (observe) observe(piece);
    if (flipLast && offset + piece.size() == size) piece.back() ^= 0x01;
    out.write(reinterpret_cast<const char*>(piece.data()),
              static_cast<std::streamsize>(piece.size()));
  }
  if (!out) throw std::runtime_error("cannot write " + target.string());
}

// Writes the blob of `path` and returns its etag.
std::string writeBlob(const CheckpointFiles& files, const std::string& path,
                      const fs::path& repository, const HubCacheLayout& layout) {
  const bool lfs = path.ends_with(".safetensors");
  const fs::path temporary = repository / "blobs" / "writing.tmp";
  Sha256Stream digest;
  std::vector<uint8_t> whole;  // a small git file, for its git blob SHA-1
  copyOut(files, path, temporary, layout.flipped.contains(path),
          [&](std::span<const uint8_t> piece) {
            if (lfs) {
              digest.update(piece);
            } else {
              whole.insert(whole.end(), piece.begin(), piece.end());
            }
          });
  const std::string etag = lfs ? digest.finalizeHex() : gitBlobSha1Hex(whole);
  std::string blob = etag;
  if (layout.incomplete.contains(path)) blob += ".incomplete";
  fs::rename(temporary, repository / "blobs" / blob);
  return etag;
}

// The snapshot of one commit: links into blobs/, or plain copies.
void writeSnapshot(const CheckpointFiles& files, const std::map<std::string, std::string>& etags,
                   const fs::path& repository, const std::string& commit,
                   const HubCacheLayout& layout, bool isPinned) {
  for (const std::string& path : files.names()) {
    if (isPinned && layout.omit.contains(path)) continue;
    const fs::path entry = repository / "snapshots" / commit / path;
    std::string blob = etags.at(path);
    if (layout.incomplete.contains(path)) blob += ".incomplete";
    if (layout.symlinks) {
      linkRelative(entry, repository / "blobs" / blob);
    } else {
      copyOut(files, path, entry, false);
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
  return writeHubCache(MemoryCheckpoint(files), root, repoID, commit, layout);
}

std::string writeHubCache(const CheckpointFiles& files, const std::string& root,
                          const std::string& repoID, const std::string& commit,
                          const HubCacheLayout& layout) {
  const size_t slash = repoID.find('/');
  const fs::path repository =
      fs::path(root) / ("models--" + repoID.substr(0, slash) + "--" + repoID.substr(slash + 1));
  std::map<std::string, std::string> etags;
  for (const std::string& path : files.names()) {
    etags.emplace(path, writeBlob(files, path, repository, layout));
  }
  writeSnapshot(files, etags, repository, commit, layout, true);
  if (!layout.otherCommit.empty()) {
    HubCacheLayout other = layout;
    other.incomplete.clear();
    writeSnapshot(files, etags, repository, layout.otherCommit, other, false);
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
