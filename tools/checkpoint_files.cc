#include "tools/checkpoint_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <system_error>

#include "engine/common/unique_fd.h"

namespace {

// The directory's regular files as they were when it was opened: one open
// descriptor per file, read with pread so that any number of threads can read
// at once without sharing a file position. Nothing is cached.
class CheckpointDirectory final : public CheckpointFiles {
 public:
  explicit CheckpointDirectory(const std::string& directory) {
    namespace fs = std::filesystem;
    const fs::path root(directory);
    // Symbolic links are not followed: a link inside a checkpoint is not a file
    // of it, and a linked directory could loop.
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
      if (!entry.is_regular_file() || entry.is_symlink()) continue;
      const std::string name = entry.path().lexically_relative(root).generic_string();
      const std::string path = entry.path().string();
      UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
      if (!fd.valid()) throw std::system_error(errno, std::generic_category(), "open " + path);
      struct stat st {};
      if (::fstat(fd.get(), &st) != 0) {
        throw std::system_error(errno, std::generic_category(), "fstat " + path);
      }
      files_.emplace(name, File{std::move(fd), static_cast<uint64_t>(st.st_size), path});
    }
  }

  std::vector<std::string> names() const override {
    std::vector<std::string> out;
    out.reserve(files_.size());
    for (const auto& [name, file] : files_) out.push_back(name);
    return out;
  }

  std::optional<uint64_t> size(const std::string& name) const override {
    const auto it = files_.find(name);
    if (it == files_.end()) return std::nullopt;
    return it->second.size;
  }

  void read(const std::string& name, uint64_t offset, std::span<uint8_t> out) const override {
    const auto it = files_.find(name);
    if (it == files_.end()) throw std::runtime_error("no checkpoint file " + name);
    const File& file = it->second;
    if (offset > file.size || out.size() > file.size - offset) {
      throw std::runtime_error("read of " + std::to_string(out.size()) + " bytes at " +
                               std::to_string(offset) + " exceeds " + name);
    }
    size_t done = 0;
    while (done < out.size()) {
      const ssize_t n = ::pread(file.fd.get(), out.data() + done, out.size() - done,
                                static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throw std::system_error(errno, std::generic_category(), "pread " + file.path);
      // The file shrank after it was opened.
      if (n == 0) throw std::runtime_error("short read of " + file.path);
      done += static_cast<size_t>(n);
    }
  }

 private:
  struct File {
    UniqueFd fd;
    uint64_t size;
    std::string path;
  };
  // Sorted by name, which is the order names() promises.
  std::map<std::string, File> files_;
};

}  // namespace

std::unique_ptr<CheckpointFiles> openCheckpointDirectory(const std::string& directory) {
  return std::make_unique<CheckpointDirectory>(directory);
}

std::vector<std::string> MemoryCheckpoint::names() const {
  std::vector<std::string> out;
  for (const auto& [name, bytes] : files_) out.push_back(name);
  return out;
}

std::optional<uint64_t> MemoryCheckpoint::size(const std::string& name) const {
  const auto it = files_.find(name);
  if (it == files_.end()) return std::nullopt;
  return it->second.size();
}

void MemoryCheckpoint::read(const std::string& name, uint64_t offset,
                            std::span<uint8_t> out) const {
  const std::string& bytes = files_.at(name);
  if (offset > bytes.size() || out.size() > bytes.size() - offset) {
    throw std::runtime_error("read past the end of " + name);
  }
  std::memcpy(out.data(), bytes.data() + offset, out.size());
}
