#include "engine/io/posix.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "engine/common/repack_error.h"

namespace Posix {
namespace {

struct Fault {
  int err = 0;
  std::string pathContains;
  int skip = 0;
};
constexpr size_t kCallKinds = static_cast<size_t>(testing::Call::count);
std::array<std::atomic<bool>, kCallKinds> gArmed{};
std::array<Fault, kCallKinds> gFaults;
std::mutex gFaultMutex;
std::function<void(const std::string&)> gSyncObserver;  // set only while no I/O runs

// The path a descriptor was opened at, for matching faults on descriptor calls.
std::string descriptorPath(int fd) {
  char target[PATH_MAX];
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = ::readlink(link.c_str(), target, sizeof target);
  return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

// The armed errno for this call kind when this call matches it, consumed;
// 0 otherwise. `paths` yields the paths of the call and is only consulted
// while a fault with a path filter is armed.
template <typename Paths>
int takeFault(testing::Call call, const Paths& paths) {
  const size_t kind = static_cast<size_t>(call);
  if (!gArmed[kind].load(std::memory_order_relaxed)) return 0;
  const std::lock_guard<std::mutex> guard(gFaultMutex);
  Fault& fault = gFaults[kind];
  if (fault.err == 0) return 0;
  if (!fault.pathContains.empty()) {
    bool matches = false;
    const bool anchored = fault.pathContains.back() == '$';
    const std::string_view text = std::string_view(fault.pathContains)
                                      .substr(0, fault.pathContains.size() - (anchored ? 1 : 0));
    for (const std::string& path : paths()) {
      matches = matches || (anchored ? std::string_view(path).ends_with(text)
                                     : path.find(text) != std::string::npos);
    }
    if (!matches) return 0;
  }
  if (fault.skip > 0) {
    --fault.skip;
    return 0;
  }
  const int err = fault.err;
  fault = Fault{};
  gArmed[kind].store(false, std::memory_order_relaxed);
  return err;
}

int takeFault(testing::Call call, const std::string& path) {
  return takeFault(call, [&] { return std::vector<std::string>{path}; });
}

int takeDescriptorFault(testing::Call call, int fd) {
  return takeFault(call, [&] { return std::vector<std::string>{descriptorPath(fd)}; });
}

std::string atPath(int dirfd, const char* path) {
  if (dirfd == AT_FDCWD || path[0] == '/') return path;
  return descriptorPath(dirfd) + "/" + path;
}

UniqueFd openOrThrow(const std::string& path, int flags, mode_t mode = 0) {
  const int fd = sys::open(path.c_str(), flags | O_CLOEXEC, mode);
  if (fd < 0) {
    const int err = errno;
    throw RepackError(RepackError::FileOpenFailed{path, err});
  }
  return UniqueFd(fd);
}

[[noreturn]] void throwStat(const std::string& path, int err) {
  throw RepackError(RepackError::FileStatFailed{path, err});
}

std::vector<uint8_t> readExactly(int fd, const std::string& path, uint64_t size) {
  std::vector<uint8_t> bytes(size);
  preadAll(fd, path, bytes.data(), static_cast<int64_t>(size), 0);
  return bytes;
}

}  // namespace

namespace testing {
void failNext(Call call, int err, std::string pathContains, int skip) {
  const std::lock_guard<std::mutex> guard(gFaultMutex);
  gFaults[static_cast<size_t>(call)] = Fault{err, std::move(pathContains), skip};
  gArmed[static_cast<size_t>(call)].store(err != 0, std::memory_order_relaxed);
}
void clearFaults() {
  const std::lock_guard<std::mutex> guard(gFaultMutex);
  for (size_t kind = 0; kind < kCallKinds; ++kind) {
    gFaults[kind] = Fault{};
    gArmed[kind].store(false, std::memory_order_relaxed);
  }
}
void observeSyncs(std::function<void(const std::string&)> observer) {
  gSyncObserver = std::move(observer);
}
}  // namespace testing

namespace sys {
int open(const char* path, int flags, mode_t mode) {
  if (const int err =
          takeFault(testing::Call::open, [&] { return std::vector<std::string>{path}; })) {
    errno = err;
    return -1;
  }
  return ::open(path, flags, mode);
}
int openat(int dirfd, const char* path, int flags, mode_t mode) {
  if (const int err = takeFault(testing::Call::open,
                                [&] { return std::vector<std::string>{atPath(dirfd, path)}; })) {
    errno = err;
    return -1;
  }
  return ::openat(dirfd, path, flags, mode);
}
ssize_t pwrite(int fd, const void* buffer, size_t count, off_t offset) {
  if (const int err = takeDescriptorFault(testing::Call::write, fd)) {
    errno = err;
    return -1;
  }
  return ::pwrite(fd, buffer, count, offset);
}
ssize_t write(int fd, const void* buffer, size_t count) {
  if (const int err = takeDescriptorFault(testing::Call::write, fd)) {
    errno = err;
    return -1;
  }
  return ::write(fd, buffer, count);
}
int fsync(int fd) {
  if (const int err = takeDescriptorFault(testing::Call::fsync, fd)) {
    errno = err;
    return -1;
  }
  return ::fsync(fd);
}
int rename(const char* from, const char* to) {
  if (const int err = takeFault(testing::Call::rename, [&] {
        return std::vector<std::string>{from, to};
      })) {
    errno = err;
    return -1;
  }
  return ::rename(from, to);
}
int renameat(int fromDir, const char* from, int toDir, const char* to) {
  if (const int err = takeFault(testing::Call::rename, [&] {
        return std::vector<std::string>{atPath(fromDir, from), atPath(toDir, to)};
      })) {
    errno = err;
    return -1;
  }
  return ::renameat(fromDir, from, toDir, to);
}
int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags) {
  if (const int err = takeFault(testing::Call::rename, [&] {
        return std::vector<std::string>{atPath(fromDir, from), atPath(toDir, to)};
      })) {
    errno = err;
    return -1;
  }
  return ::renameat2(fromDir, from, toDir, to, flags);
}
}  // namespace sys

std::string_view entryKindName(EntryKind kind) {
  switch (kind) {
    case EntryKind::absent:
      return "absent";
    case EntryKind::regular:
      return "regular";
    case EntryKind::directory:
      return "directory";
    case EntryKind::symlink:
      return "symlink";
    case EntryKind::other:
      return "other";
  }
  return "other";
}

size_t pageSize() {
  static const size_t kPageSize = static_cast<size_t>(::getpagesize());
  return kPageSize;
}

UniqueFd openRead(const std::string& path) { return openOrThrow(path, O_RDONLY | O_NONBLOCK); }

UniqueFd openReadNoFollow(const std::string& path) {
  return openOrThrow(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
}

UniqueFd openDirectory(const std::string& path) {
  return openOrThrow(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
}

UniqueFd openExistingRW(const std::string& path) { return openOrThrow(path, O_RDWR | O_NOFOLLOW); }

UniqueFd openCreateRW(const std::string& path) {
  return openOrThrow(path, O_RDWR | O_CREAT | O_TRUNC, 0644);
}

UniqueFd openLock(const std::string& path) {
  return openOrThrow(path, O_RDWR | O_CREAT | O_NOFOLLOW, 0600);
}

void preadAll(int fd, const std::string& path, void* buffer, int64_t count, uint64_t offset) {
  auto* out = static_cast<uint8_t*>(buffer);
  int64_t done = 0;
  while (done < count) {
    const ssize_t n = ::pread(fd, out + done, static_cast<size_t>(count - done),
                              static_cast<off_t>(offset + static_cast<uint64_t>(done)));
    if (n <= 0) {
      const int err = n < 0 ? errno : 0;
      throw RepackError(RepackError::PreadShort{path, count, done, err});
    }
    done += n;
  }
}

bool enableDirectReads(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_DIRECT) == 0;
}

void disableDirectReads(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) (void)::fcntl(fd, F_SETFL, flags & ~O_DIRECT);
}

void preadDirect(int fd, const std::string& path, void* buffer, int64_t count, uint64_t offset) {
  auto* out = static_cast<uint8_t*>(buffer);
  int64_t done = 0;
  while (done < count) {
    const auto want =
        static_cast<size_t>((static_cast<uint64_t>(count - done) + kDirectReadAlignment - 1) /
                            kDirectReadAlignment * kDirectReadAlignment);
    const ssize_t n =
        ::pread(fd, out + done, want, static_cast<off_t>(offset + static_cast<uint64_t>(done)));
    if (n <= 0) {
      const int err = n < 0 ? errno : 0;
      throw RepackError(RepackError::PreadShort{path, count, done, err});
    }
    done += n;
    // A short read ends on a block boundary unless it reached the end of
    // the file; either way the next read starts aligned or finds nothing.
  }
}

void pwriteAll(int fd, const std::string& path, const void* buffer, int64_t count,
               uint64_t offset) {
  const auto* in = static_cast<const uint8_t*>(buffer);
  int64_t done = 0;
  while (done < count) {
    const ssize_t n = sys::pwrite(fd, in + done, static_cast<size_t>(count - done),
                                  static_cast<off_t>(offset + static_cast<uint64_t>(done)));
    if (n <= 0) {
      const int err = n < 0 ? errno : 0;
      throw RepackError(RepackError::PwriteShort{path, count, done, err});
    }
    done += n;
  }
}

void ftruncate(int fd, const std::string& path, uint64_t size) {
  if (size > static_cast<uint64_t>(INT64_MAX) || ::ftruncate(fd, static_cast<off_t>(size)) != 0) {
    const int err = size > static_cast<uint64_t>(INT64_MAX) ? EFBIG : errno;
    throw RepackError(RepackError::FtruncateFailed{path, err});
  }
}

void fsync(int fd, const std::string& path) {
  if (sys::fsync(fd) != 0) {
    const int err = errno;
    throw RepackError(RepackError::FsyncFailed{path, err});
  }
  if (gSyncObserver) gSyncObserver(path);
}

void fsyncDirectory(const std::string& path) {
  UniqueFd fd = openDirectory(path);
  fsync(fd.get(), path);
}

void mkdirP(const std::string& path) {
  if (const int err = takeFault(testing::Call::mkdir, path)) {
    throw RepackError(RepackError::MkdirFailed{path, err});
  }
  // create_directories would use 0777: package directories are 0755 less the
  // umask, like every other directory a package manager installs.
  const std::filesystem::path target(path);
  std::error_code error;
  if (std::filesystem::is_directory(target, error)) return;
  if (target.has_parent_path() && target.parent_path() != target &&
      entryKind(target.parent_path().string()) == EntryKind::absent) {
    mkdirP(target.parent_path().string());
  }
  if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
    const int err = errno;
    throw RepackError(RepackError::MkdirFailed{path, err});
  }
  if (!std::filesystem::is_directory(target, error)) {
    throw RepackError(RepackError::MkdirFailed{path, ENOTDIR});
  }
}

void removeAll(const std::string& path) {
  std::error_code error;
  if (const int err = takeFault(testing::Call::remove, path)) {
    error.assign(err, std::generic_category());
  } else {
    std::filesystem::remove_all(path, error);
  }
  if (error) throw RepackError(RepackError::RemoveFailed{path, error.value()});
}

void removeFile(const std::string& path) {
  int err = takeFault(testing::Call::remove, path);
  if (err == 0 && ::remove(path.c_str()) != 0 && errno != ENOENT) err = errno;
  if (err != 0) throw RepackError(RepackError::RemoveFailed{path, err});
}

void copyFile(const std::string& from, const std::string& to) {
  UniqueFd source = openOrThrow(from, O_RDONLY | O_NONBLOCK);
  const uint64_t size = fileSize(source.get(), from);
  UniqueFd target = openOrThrow(to, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
  try {
    std::vector<uint8_t> buffer(std::min<uint64_t>(size, 524288));
    for (uint64_t done = 0; done < size;) {
      const int64_t chunk = static_cast<int64_t>(std::min<uint64_t>(buffer.size(), size - done));
      preadAll(source.get(), from, buffer.data(), chunk, done);
      pwriteAll(target.get(), to, buffer.data(), chunk, done);
      done += static_cast<uint64_t>(chunk);
    }
    fsync(target.get(), to);
  } catch (...) {
    ::unlink(to.c_str());
    throw;
  }
}

EntryKind entryKind(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    const int err = errno;
    if (err == ENOENT) return EntryKind::absent;
    throwStat(path, err);
  }
  switch (st.st_mode & S_IFMT) {
    case S_IFREG:
      return EntryKind::regular;
    case S_IFDIR:
      return EntryKind::directory;
    case S_IFLNK:
      return EntryKind::symlink;
    default:
      return EntryKind::other;
  }
}

void rename(const std::string& from, const std::string& to) {
  if (sys::rename(from.c_str(), to.c_str()) != 0) {
    const int err = errno;
    throw RepackError(RepackError::RenameFailed{from, to, err});
  }
}

void renameSwap(const std::string& a, const std::string& b) {
  if (const int injected = takeFault(testing::Call::exchange, a)) {
    throw RepackError(RepackError::PromotionUnsupported{a, injected});
  }
  if (sys::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) != 0) {
    const int err = errno;
    throw RepackError(RepackError::PromotionUnsupported{a, err});
  }
}

bool renameNoReplace(const std::string& from, const std::string& to) {
  int result = sys::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
  if (result != 0 && (errno == EINVAL || errno == ENOSYS)) {
    if (entryKind(to) != EntryKind::absent) return false;
    result = ::rename(from.c_str(), to.c_str());
  }
  if (result == 0) return true;
  const int err = errno;
  if (err == EEXIST || err == ENOTEMPTY) return false;
  throw RepackError(RepackError::RenameFailed{from, to, err});
}

void requireExchangeSupport(const std::string& directory) {
  std::string a = directory + "/.velquor-exchange-probe-XXXXXX";
  std::string b = a;
  if (::mkdtemp(a.data()) == nullptr) {
    const int err = errno;
    throw RepackError(RepackError::MkdirFailed{directory, err});
  }
  if (::mkdtemp(b.data()) == nullptr) {
    const int err = errno;
    ::rmdir(a.c_str());
    throw RepackError(RepackError::MkdirFailed{directory, err});
  }
  int err = 0;
  if (const int injected = takeFault(testing::Call::exchange, directory)) {
    err = injected;
  } else if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) != 0) {
    err = errno;
  }
  ::rmdir(a.c_str());
  ::rmdir(b.c_str());
  if (err != 0) throw RepackError(RepackError::PromotionUnsupported{directory, err});
}

std::optional<FileIdentity> identity(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    const int err = errno;
    if (err == ENOENT) return std::nullopt;
    throwStat(path, err);
  }
  return FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

uint64_t fileSize(int fd, const std::string& path) {
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    throwStat(path, err);
  }
  if (st.st_size < 0) throwStat(path, EINVAL);
  return static_cast<uint64_t>(st.st_size);
}

std::string physicalPath(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) {
    const int err = errno;
    throwStat(path, err);
  }
  std::string result(resolved);
  ::free(resolved);
  return result;
}

std::vector<uint8_t> readBoundedData(const std::string& path, uint64_t maximumBytes,
                                     bool followCallerSymlink) {
  UniqueFd fd = openOrThrow(path, O_RDONLY | O_NONBLOCK | (followCallerSymlink ? 0 : O_NOFOLLOW));
  struct stat st;
  errno = 0;
  if (::fstat(fd.get(), &st) != 0 || (st.st_mode & S_IFMT) != S_IFREG) {
    const int err = errno;
    throwStat(path, err == 0 ? EINVAL : err);
  }
  const uint64_t size = fileSize(fd.get(), path);
  if (size > maximumBytes) {
    throw RepackError(RepackError::InstallStateCorrupt{
        path,
        "size " + std::to_string(size) + " exceeds " + std::to_string(maximumBytes) + "-byte cap"});
  }
  return readExactly(fd.get(), path, size);
}

std::vector<uint8_t> readWholeFile(const std::string& path, uint64_t maximumBytes) {
  UniqueFd fd = openRead(path);
  const uint64_t size = fileSize(fd.get(), path);
  if (size > maximumBytes) {
    throw RepackError(RepackError::ConfigurationInvalid{
        path + " size " + std::to_string(size) + " exceeds cap " + std::to_string(maximumBytes)});
  }
  return readExactly(fd.get(), path, size);
}

void atomicWrite(std::span<const uint8_t> bytes, const std::string& path,
                 const std::string& directory, const std::function<void()>& afterRename) {
  atomicWrite(
      [&](const PieceWriter& write) {
        write({reinterpret_cast<const char*>(bytes.data()), bytes.size()});
      },
      path, directory, afterRename);
}

void atomicWrite(const std::function<void(const PieceWriter&)>& produce, const std::string& path,
                 const std::string& directory, const std::function<void()>& afterRename) {
  const std::string temporary = path + ".tmp";
  switch (entryKind(temporary)) {
    case EntryKind::absent:
      break;
    case EntryKind::regular:
      // Left by an interrupted earlier write.
      if (::unlink(temporary.c_str()) != 0) {
        const int err = errno;
        throw RepackError(RepackError::FileOpenFailed{temporary, err});
      }
      fsyncDirectory(directory);
      break;
    default:
      throw RepackError(
          RepackError::InstallPathUnsafe{temporary, "atomic-write temporary has the wrong type"});
  }

  UniqueFd fd = openOrThrow(temporary, O_WRONLY | O_CREAT | O_EXCL, 0644);
  try {
    uint64_t written = 0;  // before the current piece
    produce([&](std::string_view piece) {
      size_t done = 0;
      while (done < piece.size()) {
        const ssize_t n = sys::write(fd.get(), piece.data() + done, piece.size() - done);
        if (n <= 0) {
          const int err = n < 0 ? errno : 0;
          throw RepackError(RepackError::PwriteShort{temporary,
                                                     static_cast<int64_t>(written + piece.size()),
                                                     static_cast<int64_t>(written + done), err});
        }
        done += static_cast<size_t>(n);
      }
      written += piece.size();
    });
    fsync(fd.get(), temporary);
    rename(temporary, path);
    if (afterRename) afterRename();
    fsyncDirectory(directory);
  } catch (...) {
    ::unlink(temporary.c_str());
    throw;
  }
}

void publishFile(const std::string& path) {
  // umask(2) can only be read by setting it, which would race with threads
  // creating files; the kernel reports it in /proc/self/status.
  mode_t mask = 022;
  if (FILE* status = ::fopen("/proc/self/status", "re")) {
    char line[256];
    while (::fgets(line, sizeof line, status) != nullptr) {
      unsigned value = 0;
      if (::sscanf(line, "Umask: %o", &value) == 1) {
        mask = static_cast<mode_t>(value);
        break;
      }
    }
    ::fclose(status);
  }
  UniqueFd fd = openOrThrow(path, O_RDONLY | O_NOFOLLOW);
  if (::fchmod(fd.get(), 0644 & ~mask) != 0) {
    const int err = errno;
    throw RepackError(RepackError::FileOpenFailed{path, err});
  }
  fsync(fd.get(), path);
}

bool descriptorMatchesPath(int fd, const std::string& path) {
  struct stat byFd, byPath;
  if (::fstat(fd, &byFd) != 0 || ::lstat(path.c_str(), &byPath) != 0) {
    const int err = errno;
    throwStat(path, err);
  }
  return byFd.st_dev == byPath.st_dev && byFd.st_ino == byPath.st_ino &&
         (byPath.st_mode & S_IFMT) == S_IFREG;
}

std::string standardizedPath(const std::string& path) {
  std::string absolute = path;
  if (path.empty() || path.front() != '/') {
    std::error_code ec;
    const std::filesystem::path cwd = std::filesystem::current_path(ec);
    absolute = (ec ? std::string("/") : cwd.string()) + "/" + path;
  }
  std::vector<std::string_view> parts;
  std::string_view rest(absolute);
  while (!rest.empty()) {
    const size_t slash = rest.find('/');
    const std::string_view part = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  std::string out;
  for (std::string_view part : parts) {
    out += '/';
    out += part;
  }
  return out.empty() ? "/" : out;
}

}  // namespace Posix
