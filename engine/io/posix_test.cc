#include "engine/io/posix.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "engine/common/repack_error.h"
#include "engine/io/mmap_handle.h"
#include "tests/test_util.h"

namespace {

using Posix::testing::Call;
namespace fs = std::filesystem;

std::span<const uint8_t> bytes(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

template <typename F>
RepackError thrown(F&& f) {
  try {
    f();
  } catch (const RepackError& e) {
    return e;
  }
  ADD_FAILURE() << "nothing thrown";
  return RepackError(RepackError::ConfigurationInvalid{"nothing thrown"});
}

class PosixTest : public ::testing::Test {
 protected:
  void TearDown() override { Posix::testing::clearFaults(); }
  testutil::TempDir dir_;
};

TEST_F(PosixTest, EntryKindDoesNotFollowLinks) {
  testutil::writeFile(dir_.file("f"), "x");
  fs::create_directory(dir_.file("d"));
  fs::create_symlink(dir_.file("d"), dir_.file("l"));
  ASSERT_EQ(::mkfifo(dir_.file("p").c_str(), 0600), 0);
  EXPECT_EQ(Posix::entryKind(dir_.file("f")), Posix::EntryKind::regular);
  EXPECT_EQ(Posix::entryKind(dir_.file("d")), Posix::EntryKind::directory);
  EXPECT_EQ(Posix::entryKind(dir_.file("l")), Posix::EntryKind::symlink);
  EXPECT_EQ(Posix::entryKind(dir_.file("p")), Posix::EntryKind::other);
  EXPECT_EQ(Posix::entryKind(dir_.file("none")), Posix::EntryKind::absent);
  EXPECT_EQ(thrown([&] { Posix::entryKind(dir_.file("f/x")); }),
            RepackError(RepackError::FileStatFailed{dir_.file("f/x"), ENOTDIR}));
}

TEST_F(PosixTest, AtomicWriteReplacesAndCleansUpStaleTemporaries) {
  const std::string target = dir_.file("state.json");
  testutil::writeFile(target + ".tmp", "stale");
  Posix::atomicWrite(bytes("new"), target, dir_.path());
  EXPECT_EQ(testutil::readFile(target), "new");
  EXPECT_FALSE(fs::exists(target + ".tmp"));

  int afterRenameCalls = 0;
  Posix::atomicWrite(bytes("newer"), target, dir_.path(), [&] { ++afterRenameCalls; });
  EXPECT_EQ(afterRenameCalls, 1);
  EXPECT_EQ(testutil::readFile(target), "newer");

  for (bool asLink : {false, true}) {
    fs::remove_all(target + ".tmp");
    if (asLink) {
      fs::create_symlink(dir_.file("elsewhere"), target + ".tmp");
    } else {
      fs::create_directory(target + ".tmp");
    }
    EXPECT_EQ(thrown([&] { Posix::atomicWrite(bytes("x"), target, dir_.path()); }),
              RepackError(RepackError::InstallPathUnsafe{
                  target + ".tmp", "atomic-write temporary has the wrong type"}));
    EXPECT_EQ(testutil::readFile(target), "newer");
  }
}

TEST_F(PosixTest, AtomicWriteFailuresKeepTheOldFileAndRemoveTheTemporary) {
  const std::string target = dir_.file("state.json");
  const std::string tmp = target + ".tmp";
  testutil::writeFile(target, "old");
  struct Case {
    Call call;
    int err;
    RepackError expected;
  };
  const std::vector<Case> cases = {
      {Call::open, EACCES, RepackError::FileOpenFailed{tmp, EACCES}},
      {Call::write, ENOSPC, RepackError::PwriteShort{tmp, 3, 0, ENOSPC}},
      {Call::fsync, EIO, RepackError::FsyncFailed{tmp, EIO}},
      {Call::rename, EXDEV, RepackError::RenameFailed{tmp, target, EXDEV}},
  };
  for (const Case& c : cases) {
    Posix::testing::failNext(c.call, c.err);
    EXPECT_EQ(thrown([&] { Posix::atomicWrite(bytes("new"), target, dir_.path()); }), c.expected);
    EXPECT_EQ(testutil::readFile(target), "old");
    EXPECT_FALSE(fs::exists(tmp)) << c.expected.description();
  }
  // A failing post-rename action is reported; the new content is in place.
  EXPECT_THROW(Posix::atomicWrite(bytes("new"), target, dir_.path(),
                                  [] { throw std::runtime_error("after"); }),
               std::runtime_error);
  EXPECT_EQ(testutil::readFile(target), "new");
  EXPECT_FALSE(fs::exists(tmp));
}

// A fault can wait for the call on one path, and for the n-th such call;
// calls on other paths pass untouched. A descriptor call matches the path the
// descriptor was opened at; a trailing '$' anchors the text at the end.
TEST_F(PosixTest, FaultsCanWaitForAPathAndACount) {
  const std::string a = dir_.file("a.bin");
  const std::string ab = dir_.file("a.bin.more");
  UniqueFd fa = Posix::openCreateRW(a);
  UniqueFd fab = Posix::openCreateRW(ab);
  Posix::testing::failNext(Call::write, ENOSPC, "a.bin", 1);
  Posix::pwriteAll(fa.get(), a, "x", 1, 0);  // skipped
  EXPECT_EQ(thrown([&] { Posix::pwriteAll(fab.get(), ab, "xy", 2, 0); }),
            RepackError(RepackError::PwriteShort{ab, 2, 0, ENOSPC}));
  Posix::pwriteAll(fa.get(), a, "x", 1, 0);  // consumed

  Posix::testing::failNext(Call::write, ENOSPC, "a.bin$");
  Posix::pwriteAll(fab.get(), ab, "x", 1, 0);
  EXPECT_EQ(thrown([&] { Posix::pwriteAll(fa.get(), a, "x", 1, 0); }),
            RepackError(RepackError::PwriteShort{a, 1, 0, ENOSPC}));

  // A rename matches either name, and an exchange is a rename.
  fs::create_directory(dir_.file("d1"));
  fs::create_directory(dir_.file("d2"));
  Posix::testing::failNext(Call::rename, EIO, "d2$");
  EXPECT_EQ(thrown([&] { Posix::renameSwap(dir_.file("d1"), dir_.file("d2")); }),
            RepackError(RepackError::PromotionUnsupported{dir_.file("d1"), EIO}));
  Posix::testing::failNext(Call::rename, EIO, "d1");
  EXPECT_EQ(thrown([&] { Posix::rename(dir_.file("d1"), dir_.file("d3")); }),
            RepackError(RepackError::RenameFailed{dir_.file("d1"), dir_.file("d3"), EIO}));
}

// Creating and removing trees and copying files fail with our error naming
// the path, and the fault switch reaches them.
TEST_F(PosixTest, TreeOperationsFailWithOurErrors) {
  testutil::writeFile(dir_.file("file"), "content");
  EXPECT_EQ(thrown([&] { Posix::mkdirP(dir_.file("file/sub")); }),
            RepackError(RepackError::MkdirFailed{dir_.file("file/sub"), ENOTDIR}));
  Posix::testing::failNext(Call::mkdir, EACCES, "tree");
  EXPECT_EQ(thrown([&] { Posix::mkdirP(dir_.file("tree/a")); }),
            RepackError(RepackError::MkdirFailed{dir_.file("tree/a"), EACCES}));
  Posix::mkdirP(dir_.file("tree/a"));
  Posix::mkdirP(dir_.file("tree/a"));
  testutil::writeFile(dir_.file("tree/a/f"), "x");

  EXPECT_EQ(thrown([&] { Posix::removeFile(dir_.file("tree/a")); }),
            RepackError(RepackError::RemoveFailed{dir_.file("tree/a"), ENOTEMPTY}));
  Posix::testing::failNext(Call::remove, EIO);
  EXPECT_EQ(thrown([&] { Posix::removeAll(dir_.file("tree")); }),
            RepackError(RepackError::RemoveFailed{dir_.file("tree"), EIO}));
  EXPECT_TRUE(fs::exists(dir_.file("tree/a/f")));
  Posix::removeAll(dir_.file("tree"));
  EXPECT_FALSE(fs::exists(dir_.file("tree")));
  Posix::removeAll(dir_.file("tree"));  // absent is success
  Posix::removeFile(dir_.file("tree"));

  Posix::copyFile(dir_.file("file"), dir_.file("copy"));
  EXPECT_EQ(testutil::readFile(dir_.file("copy")), "content");
  EXPECT_EQ(thrown([&] { Posix::copyFile(dir_.file("file"), dir_.file("copy")); }),
            RepackError(RepackError::FileOpenFailed{dir_.file("copy"), EEXIST}));
  Posix::testing::failNext(Call::write, ENOSPC, "copy2");
  EXPECT_EQ(thrown([&] { Posix::copyFile(dir_.file("file"), dir_.file("copy2")); }),
            RepackError(RepackError::PwriteShort{dir_.file("copy2"), 7, 0, ENOSPC}));
  EXPECT_FALSE(fs::exists(dir_.file("copy2")));
  EXPECT_EQ(thrown([&] { Posix::copyFile(dir_.file("missing"), dir_.file("copy3")); }),
            RepackError(RepackError::FileOpenFailed{dir_.file("missing"), ENOENT}));
}

TEST_F(PosixTest, ReadBoundedDataRefusesLinksOtherKindsAndOversizedFiles) {
  testutil::writeFile(dir_.file("f"), "12345");
  EXPECT_EQ(Posix::readBoundedData(dir_.file("f"), 5).size(), 5u);
  EXPECT_EQ(
      thrown([&] { Posix::readBoundedData(dir_.file("f"), 4); }),
      RepackError(RepackError::InstallStateCorrupt{dir_.file("f"), "size 5 exceeds 4-byte cap"}));
  fs::create_symlink(dir_.file("f"), dir_.file("l"));
  EXPECT_EQ(thrown([&] { Posix::readBoundedData(dir_.file("l"), 10); }),
            RepackError(RepackError::FileOpenFailed{dir_.file("l"), ELOOP}));
  EXPECT_EQ(Posix::readBoundedData(dir_.file("l"), 10, true).size(), 5u);
  ASSERT_EQ(::mkfifo(dir_.file("p").c_str(), 0600), 0);
  EXPECT_EQ(thrown([&] { Posix::readBoundedData(dir_.file("p"), 10); }),
            RepackError(RepackError::FileStatFailed{dir_.file("p"), EINVAL}));
  fs::create_directory(dir_.file("d"));
  EXPECT_EQ(thrown([&] { Posix::readBoundedData(dir_.file("d"), 10); }).kind(),
            RepackError::Case::fileStatFailed);
}

TEST_F(PosixTest, ShortReadsAndWritesReportProgress) {
  testutil::writeFile(dir_.file("f"), "abc");
  UniqueFd fd = Posix::openRead(dir_.file("f"));
  char buffer[8];
  EXPECT_EQ(thrown([&] { Posix::preadAll(fd.get(), "f", buffer, 8, 0); }),
            RepackError(RepackError::PreadShort{"f", 8, 3, 0}));
  EXPECT_NO_THROW(Posix::preadAll(fd.get(), "f", buffer, 0, 100));
  EXPECT_EQ(thrown([&] { Posix::pwriteAll(fd.get(), "f", "xy", 2, 0); }),
            RepackError(RepackError::PwriteShort{"f", 2, 0, EBADF}));
}

TEST_F(PosixTest, RenameSwapExchangesNames) {
  fs::create_directory(dir_.file("a"));
  fs::create_directory(dir_.file("b"));
  testutil::writeFile(dir_.file("a/marker"), "a");
  try {
    Posix::renameSwap(dir_.file("a"), dir_.file("b"));
  } catch (const RepackError& e) {
    // Some file systems cannot exchange names; that is what the error is for.
    if (e == RepackError(RepackError::PromotionUnsupported{dir_.file("a"), EINVAL})) {
      GTEST_SKIP() << "no RENAME_EXCHANGE on this file system";
    }
    throw;
  }
  EXPECT_TRUE(fs::exists(dir_.file("b/marker")));
  EXPECT_FALSE(fs::exists(dir_.file("a/marker")));
  EXPECT_EQ(thrown([&] { Posix::renameSwap(dir_.file("a"), dir_.file("missing")); }),
            RepackError(RepackError::PromotionUnsupported{dir_.file("a"), ENOENT}));
}

TEST_F(PosixTest, DescriptorMatchesPathOnlyForTheSameRegularFile) {
  testutil::writeFile(dir_.file("lock"), "");
  UniqueFd fd = Posix::openLock(dir_.file("lock"));
  EXPECT_TRUE(Posix::descriptorMatchesPath(fd.get(), dir_.file("lock")));
  fs::rename(dir_.file("lock"), dir_.file("moved"));
  testutil::writeFile(dir_.file("lock"), "");
  EXPECT_FALSE(Posix::descriptorMatchesPath(fd.get(), dir_.file("lock")));
  fs::remove(dir_.file("lock"));
  fs::create_symlink(dir_.file("moved"), dir_.file("lock"));
  EXPECT_FALSE(Posix::descriptorMatchesPath(fd.get(), dir_.file("lock")));
}

TEST_F(PosixTest, StandardizedPathResolvesDotsTextually) {
  const std::string cwd = fs::current_path().string();
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/a/b/../c/./d/", "/a/c/d"}, {"/..", "/"},      {"//a//b", "/a/b"}, {"/a/..", "/"},
      {"x/y", cwd + "/x/y"},        {"/a/b/..", "/a"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(Posix::standardizedPath(in), out) << in;
}

TEST_F(PosixTest, MappingAnEmptyFileFails) {
  testutil::writeFile(dir_.file("empty"), "");
  EXPECT_EQ(thrown([&] { MmapHandle m(dir_.file("empty")); }),
            RepackError(RepackError::MmapFailed{dir_.file("empty"), EINVAL}));
  testutil::writeFile(dir_.file("data"), "hello");
  MmapHandle m(dir_.file("data"));
  EXPECT_EQ(m.length(), 5);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(m.slice(1, 3).data()), 3), "ell");
  m.adviseDontNeed(0, 5);
}

TEST_F(PosixTest, FileSizeAndPhysicalPath) {
  testutil::writeFile(dir_.file("f"), "abcd");
  UniqueFd fd = Posix::openRead(dir_.file("f"));
  EXPECT_EQ(Posix::fileSize(fd.get(), "f"), 4u);
  fs::create_symlink(dir_.path(), dir_.file("link"));
  EXPECT_EQ(Posix::physicalPath(dir_.file("link") + "/f"), Posix::physicalPath(dir_.file("f")));
  EXPECT_EQ(thrown([&] { Posix::physicalPath(dir_.file("none")); }),
            RepackError(RepackError::FileStatFailed{dir_.file("none"), ENOENT}));
}

}  // namespace
