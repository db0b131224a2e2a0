#include "engine/install/disk_space.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "engine/common/repack_error.h"
#include "tests/test_util.h"

namespace {

TEST(DiskSpaceChecker, ExactBoundaryAndOverflow) {
  const DiskSpaceRequirement ok = DiskSpaceChecker::evaluate("/p", 100, 60, 40);
  EXPECT_EQ(ok, (DiskSpaceRequirement{"/p", 100, 100}));
  EXPECT_TRUE(ok.canInstall());
  EXPECT_EQ(ok.shortfallBytes(), 0u);
  try {
    DiskSpaceChecker::evaluate("/p", 99, 60, 40);
    FAIL();
  } catch (const RepackError& e) {
    EXPECT_EQ(e, RepackError(RepackError::DiskSpaceInsufficient{"/p", 100, 99}));
    EXPECT_EQ(e.description(), "insufficient disk space for /p: required 100, available 99");
  }
  EXPECT_EQ(DiskSpaceRequirement({"/p", 100, 99}).shortfallBytes(), 1u);
  try {
    DiskSpaceChecker::evaluate("/p", UINT64_MAX, UINT64_MAX, 1);
    FAIL();
  } catch (const RepackError& e) {
    EXPECT_EQ(e.description(), "configuration invalid: disk-space requirement overflows UInt64");
  }
}

TEST(DiskSpaceChecker, ProbesTheOutputLocation) {
  testutil::TempDir dir;
  const std::string missing = dir.file("new/out.korvex");
  const DiskSpaceRequirement r = DiskSpaceChecker::requireAvailable(missing, 1, 1);
  EXPECT_EQ(r.path, missing);
  EXPECT_TRUE(std::filesystem::is_directory(missing));
  EXPECT_EQ(r.requiredBytes, 2u);
  EXPECT_GT(r.availableBytes, 0u);

  testutil::writeFile(dir.file("file"), "x");
  EXPECT_EQ(DiskSpaceChecker::requireAvailable(dir.file("file"), 0, 0).path, dir.path());

  try {
    DiskSpaceChecker::requireAvailable(dir.path(), UINT64_MAX / 2, UINT64_MAX / 2);
    FAIL();
  } catch (const RepackError& e) {
    const auto* shortfall = e.as<RepackError::DiskSpaceInsufficient>();
    ASSERT_NE(shortfall, nullptr) << e.description();
    EXPECT_EQ(shortfall->path, dir.path());
    EXPECT_EQ(shortfall->required, UINT64_MAX - 1);
  }
  EXPECT_THROW(DiskSpaceChecker::requireAvailable(dir.path(), UINT64_MAX, 1), RepackError);
}

}  // namespace
