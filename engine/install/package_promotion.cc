#include "engine/install/package_promotion.h"

#include <filesystem>

#include "engine/common/repack_error.h"

void outputTaken(const std::string& path) {
  throw RepackError(RepackError::ConfigurationInvalid{"output directory already exists: " + path});
}

void promotePackage(const PackagePromotion& p) {
  const std::optional<Posix::FileIdentity> present = Posix::identity(p.finalDirectory);
  if (!present) {
    if (!Posix::renameNoReplace(p.partialDirectory, p.finalDirectory))
      outputTaken(p.finalDirectory);
    // The package is in place: a checkpoint that could not be removed only
    // leaves a stale file beside it, which the next run reports.
    try {
      Posix::fsyncDirectory(p.parentDirectory);
      if (p.dropCheckpoint) p.dropCheckpoint();
    } catch (const RepackError&) {
    }
    return;
  }
  if (!p.replaces || *present != *p.replaces ||
      Posix::entryKind(p.finalDirectory) != Posix::EntryKind::directory) {
    outputTaken(p.finalDirectory);
  }
  if (p.dropCheckpoint) p.dropCheckpoint();
  try {
    Posix::renameSwap(p.partialDirectory, p.finalDirectory);
  } catch (...) {
    if (p.restoreCheckpoint) p.restoreCheckpoint();
    throw;
  }
  Posix::fsyncDirectory(p.parentDirectory);
  std::error_code ignored;
  std::filesystem::remove_all(p.partialDirectory, ignored);
  if (!ignored) Posix::fsyncDirectory(p.parentDirectory);
}

void requireReplaceablePackage(const std::string& path) {
  std::error_code error;
  const bool empty = std::filesystem::is_empty(path, error);
  if (!error && empty) return;
  if (Posix::entryKind(path + "/manifest.json") == Posix::EntryKind::regular) return;
  throw RepackError(RepackError::InstallPathUnsafe{
      path,
      "not a package (no manifest.json); --overwrite replaces only a package or an empty "
      "directory"});
}
