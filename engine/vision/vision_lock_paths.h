// Where a vision companion's use lock lives: beside the companion, in its
// physical parent directory, named "." + the companion's name + ".use.lock".
#pragma once

#include <string>

namespace KorvexVisionLockPathsV1 {

// For /data/models/gemma-vision: /data/models/.gemma-vision.use.lock, with
// /data/models resolved to its real path. An unresolvable parent is
// fileStatFailed(parent, errno).
std::string useLockURL(const std::string& companionDirectory);

}  // namespace KorvexVisionLockPathsV1
