#include "engine/vision/vision_lock_paths.h"

#include "engine/io/posix.h"

namespace KorvexVisionLockPathsV1 {

std::string useLockURL(const std::string& companionDirectory) {
  const std::string standardized = Posix::standardizedPath(companionDirectory);
  const size_t slash = standardized.rfind('/');
  const std::string parent = slash == 0 ? "/" : standardized.substr(0, slash);
  const std::string resolved = Posix::physicalPath(parent);
  return (resolved == "/" ? "" : resolved) + "/." + standardized.substr(slash + 1) + ".use.lock";
}

}  // namespace KorvexVisionLockPathsV1
