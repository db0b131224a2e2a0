// The last step of every installer: the finished partial directory becomes
// the package at the output path, in one rename or one exchange, and the
// saved download's checkpoint goes with it.
//
// Without a package to replace, the rename never replaces: a directory that
// appeared at the output while the install ran is kept and the install fails
// with "output directory already exists", its saved download intact. With
// one, only the very directory the state check saw (same device and inode)
// is exchanged. The checkpoint is removed before the exchange, so that no
// crash point leaves a checkpoint beside the replaced tree (which sits at the
// partial directory's name for a moment): a later resume can never adopt the
// old package and swap it back over the new one.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "engine/io/posix.h"

struct PackagePromotion {
  std::string partialDirectory;
  std::string finalDirectory;
  std::string parentDirectory;  // of both, fsync'ed after each change
  // What the state check found at finalDirectory and the run may replace;
  // nothing when it found no directory or may not replace one.
  std::optional<Posix::FileIdentity> replaces;
  // Removes the checkpoint durably; empty when the run keeps none.
  std::function<void()> dropCheckpoint;
  // Writes the checkpoint back when an exchange failed after it was dropped.
  std::function<void()> restoreCheckpoint;
};

// Throws configurationInvalid("output directory already exists: <final>")
// when the output is taken by anything but the directory in `replaces`,
// promotionUnsupported when the exchange fails; both leave the partial
// directory and the checkpoint as they were. Removing the replaced tree is
// best effort: the new package is in place by then.
void promotePackage(const PackagePromotion& promotion);

// configurationInvalid("output directory already exists: <path>"): the
// refusal of an output that is taken, at the state check and at promotion.
[[noreturn]] void outputTaken(const std::string& path);

// Whether `--overwrite` may replace the directory at `path`: only an empty
// one or one that holds a package's manifest.json. Anything else is
// installPathUnsafe naming the path, so that a folder that never was a
// package is never exchanged away and deleted.
void requireReplaceablePackage(const std::string& path);
