// The free-space check made before the first payload byte is written.
#pragma once

#include <cstdint>
#include <string>

#include "engine/common/progress.h"

namespace DiskSpaceChecker {

// Measures the file system that will hold `path` (its parent when `path` is
// an existing non-directory; the directory is created when missing) and
// requires bytes + reserveBytes to be available. Throws fileStatFailed,
// configurationInvalid on overflow, or diskSpaceInsufficient.
DiskSpaceRequirement requireAvailable(const std::string& path, uint64_t bytes,
                                      uint64_t reserveBytes);

// The comparison alone, for a measured availability.
DiskSpaceRequirement evaluate(const std::string& probe, uint64_t availableBytes, uint64_t bytes,
                              uint64_t reserveBytes);

}  // namespace DiskSpaceChecker
