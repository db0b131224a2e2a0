#include "engine/io/directory_access.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "engine/common/repack_error.h"
#include "engine/io/posix.h"
#include "tests/test_util.h"

namespace {

namespace fs = std::filesystem;

using testutil::errorOf;

class DirectoryAccessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = dir_.file("pkg.korvex");
    fs::create_directories(root_ + "/packed_experts");
    fs::create_directories(root_ + "/tokenizer/deep");
    testutil::writeFile(root_ + "/manifest.json", "{}");
    testutil::writeFile(root_ + "/packed_experts/layer_000.bin", "0123456789");
    testutil::writeFile(root_ + "/tokenizer/deep/vocab.txt", "v");
    testutil::writeFile(dir_.file("outside"), "secret");
  }
  void TearDown() override { Posix::testing::clearFaults(); }

  testutil::TempDir dir_;
  std::string root_;
};

TEST_F(DirectoryAccessTest, AnchoredOpenRefusesLinksMissingFilesAndNonRegularEntries) {
  fs::create_symlink(dir_.file("outside"), root_ + "/link.bin");
  fs::create_directory_symlink(dir_.path(), root_ + "/linkdir");
  ASSERT_EQ(::mkfifo((root_ + "/pipe").c_str(), 0600), 0);
  const KorvexDirectoryAccess access(root_ + "/./packed_experts/..");
  EXPECT_EQ(access.rootPath(), root_);

  EXPECT_EQ(access.fileSize("packed_experts/layer_000.bin"), 10u);
  EXPECT_EQ(errorOf([&] { access.openFile("link.bin"); }),
            "open(" + root_ + "/link.bin) failed: errno " + std::to_string(ELOOP));
  // O_DIRECTORY | O_NOFOLLOW on a link to a directory fails with ENOTDIR.
  EXPECT_EQ(errorOf([&] { access.openFile("linkdir/outside"); }),
            "open(" + root_ + "/linkdir/outside) failed: errno " + std::to_string(ENOTDIR));
  EXPECT_EQ(errorOf([&] { access.openFile("missing.bin"); }),
            "fstat(" + root_ + "/missing.bin) failed: errno 2");
  EXPECT_EQ(errorOf([&] { access.openFile("nodir/x.bin"); }),
            "fstat(" + root_ + "/nodir/x.bin) failed: errno 2");
  // A FIFO neither blocks nor passes as a file; nor does a directory.
  EXPECT_TRUE(errorOf([&] { access.openFile("pipe"); }).starts_with("fstat(" + root_ + "/pipe)"));
  EXPECT_TRUE(errorOf([&] { access.openFile("tokenizer"); }).starts_with("fstat("));
  EXPECT_EQ(errorOf([&] { access.openFile("../outside"); }),
            "configuration invalid: unsafe path ../outside: path.../outside: non-canonical path");
  EXPECT_EQ(errorOf([&] { KorvexDirectoryAccess bad(dir_.file("none")); }),
            "open(" + dir_.file("none") + ") failed: errno 2");
}

TEST_F(DirectoryAccessTest, ReadMetadataIsCapped) {
  const KorvexDirectoryAccess access(root_);
  EXPECT_EQ(access.readMetadata("packed_experts/layer_000.bin", 10).size(), 10u);
  EXPECT_EQ(errorOf([&] { access.readMetadata("packed_experts/layer_000.bin", 9); }),
            "configuration invalid: packed_experts/layer_000.bin size 10 exceeds metadata cap 9");
}

TEST_F(DirectoryAccessTest, ScanListsEntriesWithinBounds) {
  fs::create_symlink(dir_.file("outside"), root_ + "/link.bin");
  const KorvexDirectoryAccess access(root_);
  EXPECT_EQ(access.relativeEntries(16, 100),
            (std::vector<std::string>{"link.bin", "manifest.json", "packed_experts",
                                      "packed_experts/layer_000.bin", "tokenizer"}));
  EXPECT_EQ(access.relativeEntries(16, 5).size(), 5u);
  EXPECT_EQ(errorOf([&] { access.relativeEntries(16, 4); }),
            "configuration invalid: artifact directory has too many entries");
  EXPECT_EQ(errorOf([&] { access.relativeEntries(0, 64); }),
            "configuration invalid: artifact directory nesting exceeds 0");
  EXPECT_EQ(errorOf([&] { access.relativeEntries(-1, 10); }),
            "configuration invalid: invalid directory scan bounds");
  EXPECT_EQ(errorOf([&] { access.relativeEntries(4, 0); }),
            "configuration invalid: invalid directory scan bounds");

  fs::remove_all(root_ + "/packed_experts");
  EXPECT_EQ(access.relativeEntries(0, 64),
            (std::vector<std::string>{"link.bin", "manifest.json", "tokenizer"}));
}

TEST_F(DirectoryAccessTest, HashMatchesKnownDigest) {
  const KorvexDirectoryAccess access(root_);
  // SHA-256 of "0123456789".
  const std::string expected = "84d89877f0d4041efb6bf91a16f0248f2fd573e6af05c19f96bedb9f882f7882";
  EXPECT_EQ(access.hash("packed_experts/layer_000.bin", false), expected);
  EXPECT_EQ(access.hash("packed_experts/layer_000.bin", true), expected);
}

TEST_F(DirectoryAccessTest, AtomicWriteStaysInsideTheRootAndCleansUp) {
  const KorvexDirectoryAccess access(root_);
  const std::string receipt = R"({"ok":true})";
  const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(receipt.data()),
                                       receipt.size());
  access.atomicWrite(bytes, "verified-install.json");
  EXPECT_EQ(testutil::readFile(root_ + "/verified-install.json"), receipt);

  EXPECT_EQ(errorOf([&] { access.atomicWrite(bytes, "tokenizer/x.json"); }),
            "configuration invalid: unsafe output path tokenizer/x.json: "
            "output.tokenizer/x.json: expected basename");
  EXPECT_FALSE(fs::exists(root_ + "/tokenizer/x.json"));

  for (Posix::testing::Call call :
       {Posix::testing::Call::write, Posix::testing::Call::fsync, Posix::testing::Call::rename}) {
    Posix::testing::failNext(call, EIO);
    EXPECT_NE(errorOf([&] { access.atomicWrite(bytes, "manifest.json"); }), "ok");
    EXPECT_EQ(testutil::readFile(root_ + "/manifest.json"), "{}");
  }
  // No temporary is left behind by the failures.
  size_t files = 0;
  for (const auto& entry : fs::directory_iterator(root_)) {
    EXPECT_FALSE(entry.path().filename().string().starts_with(".korvex-"));
    ++files;
  }
  EXPECT_EQ(files, 4u);
}

}  // namespace
