#include "engine/io/directory_access.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "engine/common/repack_error.h"
#include "engine/io/posix.h"
#include "engine/io/sha256_stream.h"
#include "format/korvex_format.h"

namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

[[noreturn]] void throwOpen(const std::string& path, int err) {
  throw RepackError(RepackError::FileOpenFailed{path, err});
}

[[noreturn]] void throwInvalid(std::string detail) {
  throw RepackError(RepackError::ConfigurationInvalid{std::move(detail)});
}

struct CloseDir {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

std::string newTemporaryName() {
  uuid_t id;
  uuid_generate_random(id);
  char text[37];
  uuid_unparse_upper(id, text);
  return std::string(".korvex-") + text + ".tmp";
}

}  // namespace

KorvexDirectoryAccess::KorvexDirectoryAccess(const std::string& rootPath)
    : rootPath_(Posix::standardizedPath(rootPath)) {
  const int fd = Posix::sys::open(rootPath_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    throwOpen(rootPath_, err);
  }
  rootFD_.reset(fd);
}

UniqueFd KorvexDirectoryAccess::openFile(const std::string& relativePath) const {
  try {
    KorvexPathValidator::validateRelativePath(relativePath, "path." + relativePath);
  } catch (const KorvexFormatError& e) {
    throwInvalid("unsafe path " + relativePath + ": " + e.description());
  }
  const std::string full = fullPath(relativePath);
  auto fail = [&](int err) {
    if (err == ENOENT) throw RepackError(RepackError::FileStatFailed{full, ENOENT});
    throwOpen(full, err);
  };

  const int dup = ::fcntl(rootFD_.get(), F_DUPFD_CLOEXEC, 0);
  if (dup < 0) {
    const int err = errno;
    throwOpen(rootPath_, err);
  }
  UniqueFd current(dup);
  size_t start = 0;
  for (size_t slash; (slash = relativePath.find('/', start)) != std::string::npos;
       start = slash + 1) {
    const std::string component = relativePath.substr(start, slash - start);
    const int next = Posix::sys::openat(current.get(), component.c_str(), kDirectoryFlags);
    const int err = errno;
    current.reset(next);
    if (next < 0) fail(err);
  }
  const std::string name = relativePath.substr(start);
  const int fd = Posix::sys::openat(current.get(), name.c_str(),
                                    O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  const int err = errno;
  current.reset();
  if (fd < 0) fail(err);
  UniqueFd file(fd);

  struct stat st;
  if (::fstat(file.get(), &st) != 0 || (st.st_mode & S_IFMT) != S_IFREG) {
    // For a file of the wrong kind no call failed; errno is whatever an
    // earlier call left, as for any refused entry.
    const int statErr = errno;
    throw RepackError(RepackError::FileStatFailed{full, statErr});
  }
  return file;
}

uint64_t KorvexDirectoryAccess::fileSize(const std::string& relativePath) const {
  UniqueFd fd = openFile(relativePath);
  return fileSize(fd.get(), relativePath);
}

uint64_t KorvexDirectoryAccess::fileSize(int fd, const std::string& relativePath) const {
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    throw RepackError(RepackError::FileStatFailed{fullPath(relativePath), err});
  }
  if (st.st_size < 0) throwInvalid(relativePath + " has negative file size");
  return static_cast<uint64_t>(st.st_size);
}

std::vector<uint8_t> KorvexDirectoryAccess::readMetadata(const std::string& relativePath,
                                                         uint64_t maxBytes) const {
  UniqueFd fd = openFile(relativePath);
  return readMetadata(fd.get(), relativePath, maxBytes);
}

std::vector<uint8_t> KorvexDirectoryAccess::readMetadata(int fd, const std::string& relativePath,
                                                         uint64_t maxBytes) const {
  const uint64_t size = fileSize(fd, relativePath);
  if (size > maxBytes) {
    throwInvalid(relativePath + " size " + std::to_string(size) + " exceeds metadata cap " +
                 std::to_string(maxBytes));
  }
  std::vector<uint8_t> bytes(size);
  Posix::preadAll(fd, fullPath(relativePath), bytes.data(), static_cast<int64_t>(size), 0);
  return bytes;
}

std::vector<std::string> KorvexDirectoryAccess::relativeEntries(int64_t maxDepth,
                                                                int64_t maxEntries) const {
  if (maxDepth < 0 || maxEntries < 1) throwInvalid("invalid directory scan bounds");
  std::vector<std::string> entries;
  scan(rootFD_.get(), "", 0, maxDepth, maxEntries, entries);
  std::sort(entries.begin(), entries.end());
  return entries;
}

void KorvexDirectoryAccess::scan(int dirFD, const std::string& prefix, int64_t depth,
                                 int64_t maxDepth, int64_t maxEntries,
                                 std::vector<std::string>& out) const {
  const std::string dirPath = prefix.empty() ? rootPath_ : fullPath(prefix);
  const int listFD = ::openat(dirFD, ".", kDirectoryFlags);
  if (listFD < 0) {
    const int err = errno;
    throwOpen(dirPath, err);
  }
  std::unique_ptr<DIR, CloseDir> dir(::fdopendir(listFD));
  if (!dir) {
    const int err = errno;
    ::close(listFD);
    throwOpen(dirPath, err);
  }

  while (true) {
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (entry == nullptr) {
      const int err = errno;
      if (err != 0) throwOpen(dirPath, err);
      return;
    }
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const std::string relative = prefix.empty() ? name : prefix + "/" + name;
    if (static_cast<int64_t>(out.size()) >= maxEntries) {
      throwInvalid("artifact directory has too many entries");
    }
    out.push_back(relative);

    struct stat st;
    if (::fstatat(dirFD, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      const int err = errno;
      throw RepackError(RepackError::FileStatFailed{fullPath(relative), err});
    }
    if ((st.st_mode & S_IFMT) != S_IFDIR) continue;
    if (prefix.empty() && name == "tokenizer") continue;
    if (depth >= maxDepth) {
      throwInvalid("artifact directory nesting exceeds " + std::to_string(maxDepth));
    }
    const int childFD = ::openat(dirFD, name.c_str(), kDirectoryFlags);
    if (childFD < 0) {
      const int err = errno;
      throwOpen(fullPath(relative), err);
    }
    UniqueFd child(childFD);
    scan(child.get(), relative, depth + 1, maxDepth, maxEntries, out);
  }
}

std::string KorvexDirectoryAccess::hash(const std::string& relativePath, bool noCache) const {
  UniqueFd fd = openFile(relativePath);
  return hash(fd.get(), relativePath, noCache);
}

std::string KorvexDirectoryAccess::hash(int fd, const std::string& relativePath,
                                        bool noCache) const {
  constexpr size_t kBufferBytes = 65536;
  std::vector<uint8_t> buffer(kBufferBytes);
  Sha256Stream stream;
  off_t offset = 0;
  while (true) {
    const ssize_t n = ::pread(fd, buffer.data(), kBufferBytes, offset);
    if (n == 0) break;
    if (n < 0) {
      const int err = errno;
      if (err == EINTR) continue;
      throw RepackError(RepackError::PreadShort{fullPath(relativePath),
                                                static_cast<int64_t>(kBufferBytes), 0, err});
    }
    stream.update(buffer.data(), static_cast<size_t>(n));
    if (noCache) ::posix_fadvise(fd, offset, n, POSIX_FADV_DONTNEED);
    offset += n;
  }
  return stream.finalizeHex();
}

void KorvexDirectoryAccess::atomicWrite(std::span<const uint8_t> bytes,
                                        const std::string& name) const {
  try {
    KorvexPathValidator::validateBasename(name, "output." + name);
  } catch (const KorvexFormatError& e) {
    throwInvalid("unsafe output path " + name + ": " + e.description());
  }
  const std::string temporary = newTemporaryName();
  const std::string temporaryPath = fullPath(temporary);
  const int fd = Posix::sys::openat(rootFD_.get(), temporary.c_str(),
                                    O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    const int err = errno;
    throwOpen(temporaryPath, err);
  }
  UniqueFd file(fd);
  try {
    Posix::pwriteAll(file.get(), temporaryPath, bytes.data(), static_cast<int64_t>(bytes.size()),
                     0);
    Posix::fsync(file.get(), temporaryPath);
    file.reset();
    if (Posix::sys::renameat(rootFD_.get(), temporary.c_str(), rootFD_.get(), name.c_str()) != 0) {
      const int err = errno;
      throw RepackError(RepackError::RenameFailed{temporaryPath, fullPath(name), err});
    }
    Posix::fsync(rootFD_.get(), rootPath_);
  } catch (...) {
    file.reset();
    ::unlinkat(rootFD_.get(), temporary.c_str(), 0);
    throw;
  }
}
