#include "engine/vision/vision_lock_paths.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "engine/common/repack_error.h"
#include "tests/test_util.h"

namespace {

namespace fs = std::filesystem;

TEST(KorvexVisionLockPaths, LockLivesBesideTheCompanionInTheRealParent) {
  testutil::TempDir dir;
  const std::string real = fs::canonical(dir.path()).string();
  fs::create_directory(real + "/models");
  fs::create_directory_symlink(real + "/models", real + "/link");
  EXPECT_EQ(KorvexVisionLockPathsV1::useLockURL(dir.file("link/./x/../Model.vision.korvex")),
            real + "/models/.Model.vision.korvex.use.lock");
  try {
    KorvexVisionLockPathsV1::useLockURL(dir.file("missing/g.vision.korvex"));
    FAIL();
  } catch (const RepackError& e) {
    EXPECT_EQ(e, RepackError(RepackError::FileStatFailed{dir.file("missing"), ENOENT}));
  }
}

}  // namespace
