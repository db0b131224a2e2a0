#include "engine/install/disk_space.h"

#include <sys/statvfs.h>

#include <cerrno>

#include "engine/common/repack_error.h"
#include "engine/io/posix.h"

namespace DiskSpaceChecker {

DiskSpaceRequirement requireAvailable(const std::string& path, uint64_t bytes,
                                      uint64_t reserveBytes) {
  std::string probe = path;
  const Posix::EntryKind kind = Posix::entryKind(path);
  if (kind != Posix::EntryKind::absent && kind != Posix::EntryKind::directory) {
    const size_t slash = path.find_last_of('/');
    probe = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  }
  Posix::mkdirP(probe);
  struct statvfs fs;
  if (::statvfs(probe.c_str(), &fs) != 0) {
    const int err = errno;
    throw RepackError(RepackError::FileStatFailed{probe, err});
  }
  uint64_t available = 0;
  if (__builtin_mul_overflow(static_cast<uint64_t>(fs.f_bavail), static_cast<uint64_t>(fs.f_frsize),
                             &available)) {
    available = UINT64_MAX;  // more than anything we could ask for
  }
  return evaluate(probe, available, bytes, reserveBytes);
}

DiskSpaceRequirement evaluate(const std::string& probe, uint64_t availableBytes, uint64_t bytes,
                              uint64_t reserveBytes) {
  uint64_t required = 0;
  if (__builtin_add_overflow(bytes, reserveBytes, &required)) {
    throw RepackError(RepackError::ConfigurationInvalid{"disk-space requirement overflows UInt64"});
  }
  if (availableBytes < required) {
    throw RepackError(RepackError::DiskSpaceInsufficient{probe, required, availableBytes});
  }
  return {probe, required, availableBytes};
}

}  // namespace DiskSpaceChecker
