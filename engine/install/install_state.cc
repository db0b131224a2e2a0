#include "engine/install/install_state.h"

#include <sys/file.h>

#include <cerrno>
#include <utility>

#include "engine/common/repack_error.h"
#include "engine/io/posix.h"
#include "format/korvex_format.h"

RemoteInstallPaths::RemoteInstallPaths(const std::string& outputDirectory, bool createParent) {
  const std::string standardized = Posix::standardizedPath(outputDirectory);
  const size_t slash = standardized.rfind('/');
  const std::string name =
      KorvexPathValidator::canonicalComposition(standardized.substr(slash + 1));
  if (outputDirectory.empty() || name.empty() || name == "." || name == ".." ||
      name.find('/') != std::string::npos) {
    throw RepackError(RepackError::InstallPathUnsafe{outputDirectory, "invalid output basename"});
  }
  const std::string parent = slash == 0 ? "/" : standardized.substr(0, slash);
  if (!createParent && Posix::entryKind(parent) == Posix::EntryKind::absent) {
    throw RepackError(RepackError::InstallStateMissing{standardized + ".resume.json"});
  }
  if (createParent) Posix::mkdirP(parent);
  parentDirectory = Posix::physicalPath(parent);
  finalDirectory = (parentDirectory == "/" ? "" : parentDirectory) + "/" + name;
  partialDirectory = finalDirectory + ".partial";
  lockFile = finalDirectory + ".install.lock";
  checkpointFile = finalDirectory + ".resume.json";
  rangeTemporaryFile = partialDirectory + "/.range.tmp";
  metadataDirectory = partialDirectory + "/.remote-metadata";
}

void RemoteInstallPaths::validateEntryTypes() const {
  using Kind = Posix::EntryKind;
  const struct {
    const std::string& path;
    Kind allowed;
  } checks[] = {{finalDirectory, Kind::directory},
                {partialDirectory, Kind::directory},
                {checkpointFile, Kind::regular},
                {lockFile, Kind::regular}};
  for (const auto& check : checks) {
    const Kind kind = Posix::entryKind(check.path);
    if (kind != Kind::absent && kind != check.allowed) {
      throw RepackError(RepackError::InstallPathUnsafe{
          check.path, "unexpected " + std::string(Posix::entryKindName(kind)) + " entry"});
    }
  }
}

InstallLock InstallLock::acquire(const std::string& outputDirectory, bool createParent) {
  RemoteInstallPaths paths(outputDirectory, createParent);
  paths.validateEntryTypes();
  UniqueFd fd = Posix::openLock(paths.lockFile);
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    if (err == EWOULDBLOCK) throw RepackError(RepackError::InstallBusy{paths.lockFile});
    throw RepackError(RepackError::FileOpenFailed{paths.lockFile, err});
  }
  InstallLock lock(std::move(paths), std::move(fd));
  // Entries may have been swapped between the first check and the flock, and
  // the lock only excludes others if the locked file is still the one at the
  // path. On failure the lock's destructor unlocks and closes.
  lock.paths_.validateEntryTypes();
  if (!Posix::descriptorMatchesPath(lock.descriptor(), lock.paths_.lockFile)) {
    throw RepackError(RepackError::InstallPathUnsafe{lock.paths_.lockFile,
                                                     "lock path was replaced during acquisition"});
  }
  return lock;
}

InstallLock& InstallLock::operator=(InstallLock&& other) noexcept {
  if (this != &other) {
    release();
    paths_ = std::move(other.paths_);
    descriptor_ = std::move(other.descriptor_);
  }
  return *this;
}

InstallLock::~InstallLock() { release(); }

void InstallLock::release() {
  if (descriptor_.valid()) ::flock(descriptor_.get(), LOCK_UN);
  descriptor_.reset();
}
