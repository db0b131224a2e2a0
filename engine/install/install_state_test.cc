#include "engine/install/install_state.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "engine/common/repack_error.h"
#include "tests/test_util.h"

namespace {

namespace fs = std::filesystem;

using testutil::errorOf;

TEST(RemoteInstallPaths, DerivesSiblingsUnderThePhysicalParent) {
  testutil::TempDir dir;
  const std::string real = fs::canonical(dir.path()).string();
  fs::create_directory(real + "/models");
  fs::create_directory_symlink(real + "/models", real + "/via-link");

  const RemoteInstallPaths paths(dir.file("via-link/./sub/../m.korvex"));
  EXPECT_EQ(paths.parentDirectory, real + "/models");
  EXPECT_EQ(paths.finalDirectory, real + "/models/m.korvex");
  EXPECT_EQ(paths.partialDirectory, real + "/models/m.korvex.partial");
  EXPECT_EQ(paths.lockFile, real + "/models/m.korvex.install.lock");
  EXPECT_EQ(paths.checkpointFile, real + "/models/m.korvex.resume.json");
  EXPECT_EQ(paths.rangeTemporaryFile, real + "/models/m.korvex.partial/.range.tmp");
  EXPECT_EQ(paths.metadataDirectory, real + "/models/m.korvex.partial/.remote-metadata");

  // The parent is created; the name is composed (NFC).
  const RemoteInstallPaths created(dir.file("new/parent/caf\x65\xcc\x81.korvex"));
  EXPECT_TRUE(fs::is_directory(dir.file("new/parent")));
  EXPECT_EQ(created.finalDirectory, real + "/new/parent/caf\xc3\xa9.korvex");
  EXPECT_EQ(RemoteInstallPaths(dir.file("m.korvex/")).finalDirectory, real + "/m.korvex");

  for (const char* bad : {"", "/", "/.."}) {
    EXPECT_EQ(errorOf([&] { RemoteInstallPaths p(bad); }),
              std::string("unsafe installer path ") + bad + ": invalid output basename");
  }
}

TEST(RemoteInstallPaths, EntryKindsAreChecked) {
  testutil::TempDir dir;
  const RemoteInstallPaths paths(dir.file("m.korvex"));
  EXPECT_EQ(errorOf([&] { paths.validateEntryTypes(); }), "ok");
  fs::create_directory(paths.finalDirectory);
  fs::create_directory(paths.partialDirectory);
  testutil::writeFile(paths.checkpointFile, "{}");
  testutil::writeFile(paths.lockFile, "");
  EXPECT_EQ(errorOf([&] { paths.validateEntryTypes(); }), "ok");

  fs::remove(paths.checkpointFile);
  fs::create_symlink(dir.file("elsewhere"), paths.checkpointFile);
  EXPECT_EQ(errorOf([&] { paths.validateEntryTypes(); }),
            "unsafe installer path " + paths.checkpointFile + ": unexpected symlink entry");
  fs::remove(paths.checkpointFile);
  fs::remove(paths.partialDirectory);
  testutil::writeFile(paths.partialDirectory, "");
  EXPECT_EQ(errorOf([&] { paths.validateEntryTypes(); }),
            "unsafe installer path " + paths.partialDirectory + ": unexpected regular entry");
  EXPECT_EQ(errorOf([&] { InstallLock::acquire(dir.file("m.korvex")); }),
            "unsafe installer path " + paths.partialDirectory + ": unexpected regular entry");
}

TEST(InstallLock, ExcludesASecondHolderUntilReleased) {
  testutil::TempDir dir;
  const std::string output = dir.file("m.korvex");
  {
    InstallLock first = InstallLock::acquire(output);
    EXPECT_EQ(errorOf([&] { InstallLock::acquire(output); }),
              "another installer holds " + first.paths().lockFile);
    InstallLock moved = std::move(first);
    EXPECT_NE(errorOf([&] { InstallLock::acquire(output); }), "ok");
  }
  EXPECT_EQ(errorOf([&] { InstallLock::acquire(output); }), "ok");
  EXPECT_TRUE(fs::exists(output + ".install.lock"));  // the file itself stays
}

TEST(InstallLock, AnotherProcessHoldsItUntilItDies) {
  testutil::TempDir dir;
  const std::string output = dir.file("m.korvex");
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(ready[0]);
    try {
      InstallLock lock = InstallLock::acquire(output);
      (void)!::write(ready[1], "1", 1);
      while (true) ::pause();
    } catch (...) {
      (void)!::write(ready[1], "0", 1);
    }
    ::_exit(1);
  }
  ::close(ready[1]);
  char state = 0;
  ASSERT_EQ(::read(ready[0], &state, 1), 1);
  ::close(ready[0]);
  ASSERT_EQ(state, '1');

  const std::string busy = errorOf([&] { InstallLock::acquire(output); });
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_EQ(busy, "another installer holds " + fs::canonical(dir.path()).string() +
                      "/m.korvex.install.lock");
  // The kernel drops a dead holder's flock; no stale lock remains.
  EXPECT_EQ(errorOf([&] { InstallLock::acquire(output); }), "ok");
}

TEST(InstallLock, RefusesALockFileThatIsALink) {
  testutil::TempDir dir;
  testutil::writeFile(dir.file("target"), "");
  fs::create_symlink(dir.file("target"), dir.file("m.korvex.install.lock"));
  EXPECT_TRUE(errorOf([&] {
                InstallLock::acquire(dir.file("m.korvex"));
              }).ends_with(": unexpected symlink entry"));
}

}  // namespace
