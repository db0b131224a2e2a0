// Where an install keeps its state beside the output directory, and the lock
// that gives one installer at a time the use of it:
//
//   <parent>/m.korvex               the finished package
//   <parent>/m.korvex.partial/      the work directory (range temporary and
//                                   fetched metadata inside)
//   <parent>/m.korvex.install.lock  flock'ed while an installer runs; the file
//                                   itself stays, so a crash never leaves a
//                                   stale lock
//   <parent>/m.korvex.resume.json   the resume checkpoint
#pragma once

#include <string>

#include "engine/common/unique_fd.h"

struct RemoteInstallPaths {
  std::string parentDirectory;  // physical path: symbolic links resolved
  std::string finalDirectory;
  std::string partialDirectory;
  std::string lockFile;
  std::string checkpointFile;
  std::string rangeTemporaryFile;
  std::string metadataDirectory;

  RemoteInstallPaths() = default;
  // Derives every path from the output directory and creates its parent
  // (unless createParent is false: then a missing parent is
  // installStateMissing of the checkpoint path, for the commands that only
  // act on what exists). A path with no usable last component is
  // installPathUnsafe("invalid output basename"), raised before anything is
  // created.
  explicit RemoteInstallPaths(const std::string& outputDirectory, bool createParent = true);

  // Each existing entry must be of its expected kind (directories for the
  // final and partial directories, regular files for the checkpoint and the
  // lock); anything else is installPathUnsafe("unexpected <kind> entry").
  void validateEntryTypes() const;

  bool operator==(const RemoteInstallPaths&) const = default;
};

// The exclusive, never-waiting lock of one output. Held until destroyed.
class InstallLock {
 public:
  // Takes the lock or fails at once with installBusy when another process
  // holds it. Re-checks the entries under the lock and refuses a lock file
  // that was replaced while it was being taken.
  // With createParent false, an output whose parent does not exist is
  // installStateMissing and nothing is created.
  static InstallLock acquire(const std::string& outputDirectory, bool createParent = true);

  InstallLock(InstallLock&&) noexcept = default;
  InstallLock& operator=(InstallLock&&) noexcept;
  ~InstallLock();

  const RemoteInstallPaths& paths() const { return paths_; }
  int descriptor() const { return descriptor_.get(); }

 private:
  InstallLock(RemoteInstallPaths paths, UniqueFd descriptor)
      : paths_(std::move(paths)), descriptor_(std::move(descriptor)) {}
  void release();

  RemoteInstallPaths paths_;
  UniqueFd descriptor_;
};
