// The installer as a process against the loopback test hub serving the
// varnel15 stand-in: killed (SIGKILL) or interrupted (SIGINT) at chosen points
// and resumed, run twice at once, starved of disk space mid-copy, and the
// lines the install, dry run, discard and verify modes print. Kill points are
// reached by holding one hub answer (a stalled body, a delayed status line)
// and watching the request log and the files beside the output, never by
// sleeping for a guessed time.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

#include "engine/common/catalog.h"
#include "engine/install/package_contents_test_util.h"
#include "engine/install/resume_checkpoint.h"
#include "engine/io/sha256_stream.h"
#include "tests/test_util.h"
#include "tools/checkpoint_generator.h"
#include "tools/hub_cache_fixture.h"
#include "tools/test_hub.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testutil::ChildProcess;
using testutil::eventually;
using testutil::ProcessResult;

// Long enough that a held answer outlasts every kill point; the hub's stop
// wakes what is still held when the suite ends.
constexpr auto kHold = 60s;

using testutil::packageContents;

uint64_t fileSizeOr0(const std::string& path) {
  std::error_code error;
  const uintmax_t size = fs::file_size(path, error);
  return error ? 0 : size;
}

size_t completedRanges(const std::string& checkpointFile) {
  if (!fs::exists(checkpointFile)) return 0;
  try {
    return RemoteInstallCheckpoint::load(checkpointFile).completedRanges.size();
  } catch (const std::exception&) {
    return 0;  // caught between the writer's steps
  }
}

// A hub temporary ("velquor-range-*.tmp") with bytes in it, in `directory`.
bool hubTemporaryHasBytes(const std::string& directory) {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(directory, error)) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with("velquor-range-") && fileSizeOr0(entry.path().string()) > 0) return true;
  }
  return false;
}

class InstallProcessTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ::unsetenv("HF_TOKEN");
    model_ = *ModelCatalog::lookup("varnel15");
    checkpoint_ = StandIn::checkpoint("varnel15");
    TestHubOptions options;
    options.repoID = model_.repoID;
    options.revision = model_.revision;
    options.files = checkpoint_;
    hub_ = TestHub::start(std::move(options));

    referenceDir_ = std::make_unique<testutil::TempDir>();
    const std::string out = referenceDir_->file("reference.korvex");
    const ProcessResult r = run({"--model", "varnel15", "--output", out});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    referenceOut_ = r.out;
    reference_ = packageContents(out);
    rangeCount_ = storageGets() - nthRangeRequest(0);
  }

  static void TearDownTestSuite() {
    hub_.reset();
    referenceDir_.reset();
    checkpoint_.reset();
  }

  void SetUp() override {
    hub_->clearFaults();
    hub_->clearRequests();
  }

  static std::map<std::string, std::string> environment(
      const std::map<std::string, std::string>& extra = {}) {
    std::map<std::string, std::string> env = {{"HF_ENDPOINT", hub_->baseURL()},
                                              {"SSL_CERT_FILE", hub_->caFile()},
                                              {"no_proxy", "localhost,127.0.0.1"},
                                              {"NO_PROXY", "localhost,127.0.0.1"}};
    for (const auto& [k, v] : extra) env[k] = v;
    return env;
  }

  static ProcessResult run(const std::vector<std::string>& args,
                           const std::map<std::string, std::string>& extraEnv = {}) {
    return testutil::runProcess(VELQUOR_BINARY, args, environment(extraEnv));
  }

  // The kill points below are reached by holding the answer to the nth
  // request, so the installer fetches one range at a time.
  static std::unique_ptr<ChildProcess> start(std::vector<std::string> args,
                                             const std::string& workingDirectory = "",
                                             int connections = 1) {
    args.insert(args.end(), {"--connections", std::to_string(connections)});
    return std::make_unique<ChildProcess>(VELQUOR_BINARY, args, environment(), workingDirectory);
  }

  static ProcessResult install(const std::string& out, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--model", "varnel15", "--connections", "1", "--output", out};
    args.insert(args.end(), extra.begin(), extra.end());
    return run(args);
  }

  // Storage-host GETs of a run: two header reads per shard, then one per range.
  static int nthRangeRequest(int n) {
    return 2 * static_cast<int>(checkpoint_->shards().size()) + n;
  }
  static HubFault onRange(HubFault fault, int n) {
    return fault.onHost(HubHost::storage).onMethod("GET").onNth(nthRangeRequest(n));
  }

  static int storageGets() {
    int n = 0;
    for (const HubRequest& r : hub_->requests())
      n += r.host == HubHost::storage && r.method == "GET";
    return n;
  }

  // True once a request that a fault applied to has been received.
  static bool heldRequestArrived() {
    for (const HubRequest& r : hub_->requests()) {
      if (!r.fault.empty()) return true;
    }
    return false;
  }

  // Expects the install to finish and leave exactly the reference package.
  static void expectFinishedAsReference(const ProcessResult& r, const std::string& out) {
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              referenceOut_.substr(0, referenceOut_.rfind("Model: ")) + "Model: " + out + "\n");
    EXPECT_EQ(packageContents(out), reference_);
    EXPECT_FALSE(fs::exists(out + ".partial"));
    EXPECT_FALSE(fs::exists(out + ".resume.json"));
  }

  static inline SupportedModelSource model_;
  static inline std::shared_ptr<const GeneratedCheckpoint> checkpoint_;
  static inline std::unique_ptr<TestHub> hub_;
  static inline std::unique_ptr<testutil::TempDir> referenceDir_;
  static inline std::string referenceOut_;
  static inline std::map<std::string, std::string> reference_;
  static inline int rangeCount_ = 0;  // coalesced ranges of the stand-in's copy plan

  testutil::TempDir dir_;
};

TEST_F(InstallProcessTest, KilledAtAnyPointResumesToTheReferencePackage) {
  struct KillPoint {
    const char* name;
    HubFault hold;  // the answer the installer is kept waiting for
    // Polled with the output path until the installer is where it should die.
    std::function<bool(const std::string&)> reached;
    bool saved;  // a checkpoint exists by then
  };
  const KillPoint points[] = {
      // Planning: the metadata is fetched, the second shard's header is held.
      {"metadata", HubFault::delay(kHold).onHost(HubHost::storage).onMethod("GET").onNth(3),
       [](const std::string&) { return heldRequestArrived(); }, false},
      // Copy: the first range's body stops half-way.
      {"mid-range", onRange(HubFault::stall(256 * 1024, kHold), 1),
       [](const std::string&) { return heldRequestArrived(); }, true},
      // Copy: the first range is recorded, the second one's answer is held.
      {"between ranges", onRange(HubFault::delay(kHold), 2),
       [](const std::string& out) {
         return completedRanges(out + ".resume.json") == 1 && heldRequestArrived();
       },
       true},
      // Finalization: outputs hashed, a side file's metadata is held.
      {"side-file metadata", HubFault::delay(kHold).on("tokenizer.json").onMethod("HEAD"),
       [](const std::string&) { return heldRequestArrived(); }, true},
      // Finalization: a side file's body stops half-way in a hub temporary.
      {"side-file body", HubFault::stall(16, kHold).on("tokenizer.json").onMethod("GET"),
       [](const std::string& out) {
         return heldRequestArrived() && hubTemporaryHasBytes(out + ".partial/.remote-metadata");
       },
       true},
  };
  for (const KillPoint& point : points) {
    SCOPED_TRACE(point.name);
    const std::string out = dir_.file(std::string(point.name) + ".korvex");
    hub_->clearFaults();
    hub_->clearRequests();
    hub_->inject(point.hold);
    {
      auto installer = start({"--model", "varnel15", "--output", out});
      ASSERT_TRUE(eventually([&] { return point.reached(out) || !installer->running(); }));
      ASSERT_TRUE(installer->running()) << installer->wait().err;
      installer->signal(SIGKILL);
      EXPECT_EQ(installer->wait().exitStatus, 128 + SIGKILL);
    }
    hub_->clearFaults();
    EXPECT_EQ(fs::exists(out + ".resume.json"), point.saved);

    if (!point.saved) {
      // Nothing was reserved or recorded: the metadata the run left is
      // cleared away, there is nothing to resume, and a new install starts
      // over without the user discarding anything.
      ASSERT_TRUE(fs::is_directory(out + ".partial/.remote-metadata"));
      const ProcessResult resumed = install(out, {"--resume"});
      EXPECT_EQ(resumed.exitStatus, 1);
      EXPECT_EQ(resumed.err, "install failed: no resumable install state exists for " +
                                 fs::canonical(dir_.path()).string() + "/" + point.name +
                                 ".korvex.resume.json\n");
      EXPECT_FALSE(fs::exists(out + ".partial"));
      expectFinishedAsReference(install(out), out);
    } else {
      // Only the ranges not recorded are fetched again.
      const int recorded = static_cast<int>(completedRanges(out + ".resume.json"));
      hub_->clearRequests();
      expectFinishedAsReference(install(out, {"--resume"}), out);
      EXPECT_EQ(storageGets(), nthRangeRequest(rangeCount_ - recorded));
    }
  }
}

// A kill between creating the partial directory and its metadata folder
// leaves the directory empty: nothing to resume and nothing to discard.
TEST_F(InstallProcessTest, AnEmptyPartialDirectoryIsClearedAway) {
  const std::string out = dir_.file("m.korvex");
  fs::create_directory(out + ".partial");
  const ProcessResult resumed = install(out, {"--resume"});
  EXPECT_EQ(resumed.exitStatus, 1);
  EXPECT_EQ(resumed.err, "install failed: no resumable install state exists for " +
                             fs::canonical(dir_.path()).string() + "/m.korvex.resume.json\n");
  EXPECT_FALSE(fs::exists(out + ".partial"));
  fs::create_directory(out + ".partial");
  expectFinishedAsReference(install(out), out);
}

TEST_F(InstallProcessTest, InterruptKeepsTheSavedDownloadForResume) {
  const std::string out = dir_.file("m.korvex");
  hub_->inject(onRange(HubFault::delay(kHold), 2));
  auto installer = start({"--model", "varnel15", "--output", out});
  ASSERT_TRUE(eventually([&] { return heldRequestArrived() || !installer->running(); }));
  installer->signal(SIGINT);
  const ProcessResult interrupted = installer->wait();
  EXPECT_EQ(interrupted.exitStatus, 1);
  EXPECT_EQ(interrupted.out, "");
  EXPECT_EQ(interrupted.err, "install failed: the operation was cancelled\n");
  EXPECT_EQ(completedRanges(out + ".resume.json"), 1u);
  EXPECT_TRUE(fs::is_directory(out + ".partial"));

  hub_->clearFaults();
  expectFinishedAsReference(install(out, {"--resume"}), out);
}

// Ctrl-C with several slow ranges in flight: every transfer stops at once,
// the checkpoint holds only finished ranges, and the resume completes.
TEST_F(InstallProcessTest, InterruptStopsEveryTransferInFlight) {
  ASSERT_GE(rangeCount_, 3);
  const std::string out = dir_.file("m.korvex");
  hub_->inject(HubFault::throttle(64 * 1024).onHost(HubHost::storage).onMethod("GET").always());
  auto installer = start({"--model", "varnel15", "--output", out}, "", 8);
  ASSERT_TRUE(
      eventually([&] { return storageGets() >= nthRangeRequest(3) || !installer->running(); }));
  ASSERT_TRUE(installer->running()) << installer->wait().err;
  const auto interrupted = std::chrono::steady_clock::now();
  installer->signal(SIGINT);
  const ProcessResult stopped = installer->wait();
  // A throttled range would take far longer than this to finish.
  EXPECT_LT(std::chrono::steady_clock::now() - interrupted, 10s);
  EXPECT_EQ(stopped.exitStatus, 1);
  EXPECT_EQ(stopped.err, "install failed: the operation was cancelled\n");
  EXPECT_EQ(completedRanges(out + ".resume.json"), 0u);
  EXPECT_TRUE(fs::is_directory(out + ".partial"));

  hub_->clearFaults();
  expectFinishedAsReference(install(out, {"--resume"}), out);
}

TEST_F(InstallProcessTest, AFolderCreatedAtTheOutputDuringTheInstallIsKept) {
  const std::string out = dir_.file("c.korvex");
  hub_->inject(onRange(HubFault::delay(2s), 2));
  auto installer = start({"--model", "varnel15", "--output", out});
  ASSERT_TRUE(eventually([&] { return heldRequestArrived() || !installer->running(); }));
  ASSERT_TRUE(installer->running());
  fs::create_directories(out);
  testutil::writeFile(out + "/precious.txt", "x");
  const ProcessResult refused = installer->wait();
  EXPECT_EQ(refused.exitStatus, 1);
  EXPECT_EQ(refused.err,
            "install failed: configuration invalid: output directory already exists: " +
                fs::canonical(dir_.path()).string() + "/c.korvex\n");
  EXPECT_EQ(testutil::readFile(out + "/precious.txt"), "x");

  // The saved download is kept and finishes once the folder is moved away.
  hub_->clearFaults();
  fs::rename(out, out + ".mine");
  expectFinishedAsReference(install(out, {"--resume"}), out);
  EXPECT_EQ(testutil::readFile(out + ".mine/precious.txt"), "x");
}

TEST_F(InstallProcessTest, ASecondInstallerOfTheSameOutputFailsAtOnce) {
  const std::string out = dir_.file("m.korvex");
  const std::string lock = fs::canonical(dir_.path()).string() + "/m.korvex.install.lock";
  hub_->inject(onRange(HubFault::stall(256 * 1024, kHold), 1));
  auto first = start({"--model", "varnel15", "--output", out});
  ASSERT_TRUE(eventually([&] { return heldRequestArrived() || !first->running(); }));

  for (const std::vector<std::string>& extra :
       std::vector<std::vector<std::string>>{{}, {"--resume"}, {"--overwrite"}}) {
    const ProcessResult second = install(out, extra);
    EXPECT_EQ(second.exitStatus, 1);
    EXPECT_EQ(second.out, "");
    EXPECT_EQ(second.err, "install failed: another installer holds " + lock + "\n");
  }
  const ProcessResult discard = run({"--discard-partial", "--output", out});
  EXPECT_EQ(discard.exitStatus, 1);
  EXPECT_EQ(discard.err, "discard failed: another installer holds " + lock + "\n");
  ASSERT_TRUE(first->running());

  // The lock dies with its holder: nothing stale is left to clear.
  first->signal(SIGKILL);
  first->wait();
  hub_->clearFaults();
  expectFinishedAsReference(install(out, {"--resume"}), out);
}

// Unmounts on every path out of the test.
class ScopedMount {
 public:
  ScopedMount(const std::string& target, const std::string& options) : target_(target) {
    mounted_ = ::mount("tmpfs", target.c_str(), "tmpfs", 0, options.c_str()) == 0;
  }
  ~ScopedMount() {
    if (mounted_ && ::umount(target_.c_str()) != 0) ::umount2(target_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }

 private:
  std::string target_;
  bool mounted_ = false;
};

TEST_F(InstallProcessTest, AFullDiskStopsTheCopyAndResumeFinishesOnceThereIsRoom) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
  uint64_t packageBytes = 0;
  for (const auto& [path, bytes] : reference_) packageBytes += bytes.size();
  // Room for the free-space check (package, one 64 MiB range and the
  // catalogue's reserve) and a little more.
  const uint64_t mib = 1024 * 1024;
  const uint64_t sizeMiB = (packageBytes + 67108864 + model_.reserveBytes) / mib + 16;
  const std::string mountPoint = dir_.file("small-disk");
  fs::create_directories(mountPoint);
  ScopedMount mount(mountPoint, "size=" + std::to_string(sizeMiB) + "m");
  if (!mount.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";

  const std::string out = mountPoint + "/m.korvex";
  const std::string filler = mountPoint + "/filler";
  // The second range's answer waits a moment, long enough to fill the disk
  // after the first range was written.
  hub_->inject(onRange(HubFault::delay(2s), 2));
  {
    auto installer = start({"--model", "varnel15", "--output", out});
    ASSERT_TRUE(eventually([&] { return heldRequestArrived() || !installer->running(); }));
    struct statvfs disk {};
    ASSERT_EQ(::statvfs(mountPoint.c_str(), &disk), 0);
    const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::fallocate(fd, 0, 0, static_cast<off_t>(disk.f_bavail * disk.f_frsize)), 0);
    ::close(fd);

    const ProcessResult full = installer->wait();
    EXPECT_EQ(full.exitStatus, 1);
    EXPECT_TRUE(full.err.starts_with("install failed: pwrite(" + out + ".partial/")) << full.err;
    EXPECT_TRUE(full.err.ends_with(", errno 28\n")) << full.err;
  }
  EXPECT_EQ(completedRanges(out + ".resume.json"), 1u);

  fs::remove(filler);
  hub_->clearFaults();
  expectFinishedAsReference(install(out, {"--resume"}), out);
  const ProcessResult verified = run({"--verify-install", "--input-korvex", out});
  EXPECT_EQ(verified.exitStatus, 0) << verified.err;
}

TEST_F(InstallProcessTest, VerifyInstallFindsAByteChangedAfterInstall) {
  const std::string out = dir_.file("m.korvex");
  expectFinishedAsReference(install(out), out);
  ProcessResult r = run({"--verify-install", "--input-korvex", out});
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_TRUE(r.out.starts_with("Verified ")) << r.out;

  const std::string layer = out + "/packed_experts/layer_03.bin";
  std::fstream f(layer, std::ios::in | std::ios::out | std::ios::binary);
  f.seekg(1000);
  const char c = static_cast<char>(f.get());
  f.seekp(1000);
  f.put(static_cast<char>(c ^ 1));
  f.close();
  r = run({"--verify-install", "--input-korvex", out});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "verification failed: configuration invalid: packed_experts/layer_03.bin SHA "
            "mismatch\n");
}

TEST_F(InstallProcessTest, DryRunPrintsWhatAnInstallWouldFetchAndLeavesNothing) {
  const std::string out = dir_.file("m.korvex");
  const ProcessResult r = install(out, {"--dry-run"});
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const std::string referenceLines = referenceOut_.substr(
      referenceOut_.find('\n'), referenceOut_.rfind("Model: ") - referenceOut_.find('\n'));
  EXPECT_EQ(r.out, "Validated " + model_.displayName + referenceLines + "Model: " + out + "\n");
  // Only the lock file, which stays between runs, is left.
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(dir_.path())) {
    left.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(left, std::vector<std::string>{"m.korvex.install.lock"});
}

TEST_F(InstallProcessTest, RelativeOutputIsPrintedAbsoluteAndDiscardedAsTyped) {
  hub_->inject(onRange(HubFault::stall(256 * 1024, kHold), 1));
  const std::string out = dir_.file("rel.korvex");
  {
    auto installer = start({"--model", "varnel15", "--output", "rel.korvex"}, dir_.path());
    ASSERT_TRUE(eventually([&] { return heldRequestArrived() || !installer->running(); }));
    installer->signal(SIGKILL);
    installer->wait();
  }
  ASSERT_TRUE(fs::exists(out + ".resume.json"));

  ChildProcess discard(VELQUOR_BINARY, {"--discard-partial", "--output", "rel.korvex"},
                       environment(), dir_.path());
  ProcessResult r = discard.wait();
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.out, "Discarded saved download for rel.korvex\n");
  EXPECT_FALSE(fs::exists(out + ".resume.json"));
  EXPECT_FALSE(fs::exists(out + ".partial"));

  hub_->clearFaults();
  ChildProcess installer(VELQUOR_BINARY, {"--model", "varnel15", "--output", "rel.korvex"},
                         environment(), dir_.path());
  expectFinishedAsReference(installer.wait(), out);
}

// The token from each place a hub tool keeps it reaches the hub host and
// never the storage host.
TEST_F(InstallProcessTest, TheTokenReachesTheHubHostButNeverTheStorageHost) {
  testutil::writeFile(dir_.file("token"), "hf_file_secret\n");
  const std::vector<std::map<std::string, std::string>> sources = {
      {{"HF_TOKEN", "hf_process_secret"}, {"HUGGING_FACE_HUB_TOKEN", "hf_other"}},
      {{"HUGGING_FACE_HUB_TOKEN", "hf_process_secret"}},
      {{"HF_TOKEN_PATH", dir_.file("token")}},
  };
  const std::vector<std::string> tokens = {"hf_process_secret", "hf_process_secret",
                                           "hf_file_secret"};
  for (size_t i = 0; i < sources.size(); ++i) {
    SCOPED_TRACE(tokens[i] + " from " + sources[i].begin()->first);
    const std::string out = dir_.file("m" + std::to_string(i) + ".korvex");
    std::map<std::string, std::string> env = sources[i];
    env["HOME"] = dir_.path();  // no token file of the user's
    hub_->clearRequests();
    const ProcessResult r = run({"--model", "varnel15", "--output", out}, env);
    expectFinishedAsReference(r, out);
    size_t hub = 0;
    size_t storage = 0;
    for (const HubRequest& request : hub_->requests()) {
      if (request.host == HubHost::hub) {
        ++hub;
        EXPECT_EQ(request.header("Authorization"), "Bearer " + tokens[i]) << request.target;
      } else {
        ++storage;
        EXPECT_EQ(request.header("Authorization"), std::nullopt) << request.target;
      }
    }
    EXPECT_GT(hub, 0u);
    EXPECT_GT(storage, 0u);
  }
}

// With standard error on a terminal the progress line is drawn, unless
// HF_HUB_DISABLE_PROGRESS_BARS turns it off.
TEST_F(InstallProcessTest, TheProgressLineFollowsTheHubsSwitch) {
  const auto onTerminal = [&](const std::string& out,
                              const std::map<std::string, std::string>& extra) {
    int master = -1;
    const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
      for (const auto& [name, value] : environment(extra)) ::setenv(name.c_str(), value.c_str(), 1);
      ::execl(VELQUOR_BINARY, VELQUOR_BINARY, "--model", "varnel15", "--output", out.c_str(),
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    std::string written;
    char buffer[4096];
    for (;;) {
      const ssize_t n = ::read(master, buffer, sizeof buffer);
      if (n > 0) {
        written.append(buffer, static_cast<size_t>(n));
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else {
        break;  // EIO once the child has closed the terminal
      }
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(master);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << written;
    return written;
  };
  EXPECT_NE(onTerminal(dir_.file("a.korvex"), {}).find("\r\033[K"), std::string::npos);
  for (const char* on : {"1", "true", "YES"}) {
    const std::string written = onTerminal(dir_.file(std::string("b") + on + ".korvex"),
                                           {{"HF_HUB_DISABLE_PROGRESS_BARS", on}});
    EXPECT_EQ(written.find("\r\033[K"), std::string::npos) << on;
    EXPECT_NE(written.find("Installed "), std::string::npos) << written;
  }
}

}  // namespace

namespace {

// Installs that read what is already on disk: the hub cache (found through
// HF_HUB_CACHE) or a directory named with --source, online or with
// HF_HUB_OFFLINE. Every package must be the hub install's, byte for byte,
// and the hub must see requests for nothing that was there and usable.
class LocalSourceProcessTest : public InstallProcessTest {
 protected:
  // Layouts with the changes `edit` makes to the default ones.
  static HubCacheLayout cacheLayout(const std::function<void(HubCacheLayout&)>& edit) {
    HubCacheLayout layout;
    edit(layout);
    return layout;
  }
  static LocalDirLayout dirLayout(const std::function<void(LocalDirLayout&)>& edit) {
    LocalDirLayout layout;
    edit(layout);
    return layout;
  }
  static std::map<std::string, std::string> files() {
    static const auto* const bytes =
        new std::map<std::string, std::string>(checkpointBytes(*checkpoint_));
    return *bytes;
  }
  static std::vector<std::string> shardNames() {
    std::vector<std::string> names;
    for (const auto& [name, bytes] : files()) {
      if (name.ends_with(".safetensors")) names.push_back(name);
    }
    return names;
  }
  // The files whose bytes the hub was asked for (GET), by repository path.
  // A plain copy without digests costs a HEAD per shard online: the hub's
  // X-Linked-ETag is what its bytes are checked against.
  static std::set<std::string> requestedFiles() {
    std::set<std::string> asked;
    for (const HubRequest& r : hub_->requests()) {
      if (!r.file.empty() && r.method == "GET") asked.insert(r.file);
    }
    return asked;
  }
  static std::string line(const std::string& out, const std::string& prefix) {
    const size_t at = out.find("\n" + prefix);
    if (at == std::string::npos) return "";
    return out.substr(at + 1, out.find('\n', at + 1) - at - 1);
  }
};

TEST_F(LocalSourceProcessTest, InstallsFromWhatIsOnDisk) {
  ASSERT_GE(shardNames().size(), 2u);
  const std::string first = shardNames().front();
  const std::string commit = model_.revision;
  const std::string downloadLine = line(referenceOut_, "Download bytes: ");
  const std::string payload = downloadLine.substr(std::string("Download bytes: ").size());
  struct Case {
    std::string name;
    std::function<std::vector<std::string>(const std::string& dir)> prepare;  // extra args
    bool offline;
    std::set<std::string> shardsAsked;  // of the hub
    std::string warning;                // in stderr when not empty
  };
  const std::vector<Case> cases = {
      {"hub cache, offline",
       [&](const std::string& dir) {
         writeHubCache(
             files(), dir + "/cache", model_.repoID, commit,
             cacheLayout([](HubCacheLayout& l) { l.otherCommit = std::string(40, 'e'); }));
         return std::vector<std::string>{};
       },
       true,
       {},
       ""},
      {"hub cache, plain files, online",
       [&](const std::string& dir) {
         writeHubCache(files(), dir + "/cache", model_.repoID, commit,
                       cacheLayout([](HubCacheLayout& l) { l.symlinks = false; }));
         return std::vector<std::string>{};
       },
       false,
       {},
       ""},
      {"hub cache without one shard",
       [&](const std::string& dir) {
         writeHubCache(files(), dir + "/cache", model_.repoID, commit,
                       cacheLayout([&](HubCacheLayout& l) {
                         l.omit = {first};
                         l.incomplete = {shardNames().back()};
                       }));
         return std::vector<std::string>{};
       },
       false,
       {first, shardNames().back()},
       ""},
      {"hub cache with a flipped byte",
       [&](const std::string& dir) {
         writeHubCache(files(), dir + "/cache", model_.repoID, commit,
                       cacheLayout([&](HubCacheLayout& l) { l.flipped = {first}; }));
         return std::vector<std::string>{};
       },
       false,
       {first},
       "is fetched from the hub instead"},
      {"hub cache with a flipped side file",
       [&](const std::string& dir) {
         writeHubCache(files(), dir + "/cache", model_.repoID, commit,
                       cacheLayout([&](HubCacheLayout& l) { l.flipped = {"tokenizer.json"}; }));
         return std::vector<std::string>{};
       },
       false,
       {},
       "does not match its git blob SHA-1"},
      {"--source, a --local-dir copy, offline",
       [&](const std::string& dir) {
         writeLocalDir(files(), dir + "/copy", commit);
         return std::vector<std::string>{"--source", dir + "/copy"};
       },
       true,
       {},
       ""},
      {"--source, a plain copy, offline",
       [&](const std::string& dir) {
         writeLocalDir(files(), dir + "/copy", commit,
                       dirLayout([](LocalDirLayout& l) { l.metadata = false; }));
         return std::vector<std::string>{"--source", dir + "/copy"};
       },
       true,
       {},
       "could not be checked"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testutil::TempDir dir;
    const std::string out = dir.file("m.korvex");
    std::vector<std::string> args = {"--model", "varnel15", "--output", out};
    for (std::string& a : c.prepare(dir.path())) args.push_back(std::move(a));
    std::map<std::string, std::string> env = {{"HF_HUB_CACHE", dir.file("cache")}};
    if (c.offline) env["HF_HUB_OFFLINE"] = "yes";
    hub_->clearRequests();
    const ProcessResult r = run(args, env);
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(packageContents(out), reference_);
    if (c.offline) {
      EXPECT_TRUE(hub_->requests().empty());
    }
    std::set<std::string> shardsAsked;
    for (const std::string& f : requestedFiles()) {
      if (f.ends_with(".safetensors")) shardsAsked.insert(f);
    }
    EXPECT_EQ(shardsAsked, c.shardsAsked);
    if (c.warning.empty()) {
      EXPECT_EQ(r.err, "");
    } else {
      EXPECT_NE(r.err.find(c.warning), std::string::npos) << r.err;
    }
    if (c.shardsAsked.empty()) {
      EXPECT_EQ(line(r.out, "Download bytes: "), "Download bytes: 0");
      EXPECT_EQ(line(r.out, "Local bytes: "), "Local bytes: " + payload);
    }
  }
}

TEST_F(LocalSourceProcessTest, OfflineRefusesWhatIsMissingOrBroken) {
  const std::string first = shardNames().front();
  testutil::TempDir dir;
  const std::string out = dir.file("m.korvex");
  const std::map<std::string, std::string> env = {{"HF_HUB_CACHE", dir.file("cache")},
                                                  {"HF_HUB_OFFLINE", "1"}};
  writeHubCache(files(), dir.file("cache"), model_.repoID, model_.revision,
                cacheLayout([&](HubCacheLayout& l) { l.omit = {first}; }));
  hub_->clearRequests();
  ProcessResult r = run({"--model", "varnel15", "--output", out}, env);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, "install failed: file " + first + " of " + model_.repoID + " at " +
                       model_.revision + " is not available offline\n");
  EXPECT_FALSE(fs::exists(out + ".partial"));

  fs::remove_all(dir.file("cache"));
  writeHubCache(files(), dir.file("cache"), model_.repoID, model_.revision,
                cacheLayout([&](HubCacheLayout& l) { l.flipped = {first}; }));
  r = run({"--model", "varnel15", "--output", out}, env);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_NE(r.err.find("does not match its SHA-256"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(first), std::string::npos) << r.err;
  EXPECT_TRUE(hub_->requests().empty());
}

// A download started from the hub is finished from the cache, offline.
TEST_F(LocalSourceProcessTest, AResumeMaySwitchToTheCache) {
  testutil::TempDir dir;
  const std::string out = dir.file("m.korvex");
  hub_->inject(onRange(HubFault::delay(kHold), 2));
  {
    auto installer = start({"--model", "varnel15", "--output", out});
    ASSERT_TRUE(eventually(
        [&] { return completedRanges(out + ".resume.json") == 1 || !installer->running(); }));
    installer->signal(SIGKILL);
    installer->wait();
  }
  hub_->clearFaults();
  writeHubCache(files(), dir.file("cache"), model_.repoID, model_.revision);
  hub_->clearRequests();
  const ProcessResult r = run({"--model", "varnel15", "--output", out, "--resume"},
                              {{"HF_HUB_CACHE", dir.file("cache")}, {"HF_HUB_OFFLINE", "1"}});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(packageContents(out), reference_);
  EXPECT_TRUE(hub_->requests().empty());
}

}  // namespace
