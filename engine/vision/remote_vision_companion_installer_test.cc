// The remote companion installer end to end against the loopback test hub
// serving a generated Gemma 4 checkpoint with the full vision tower (358
// tensors, 1.14 GB, synthesised on each read) under the catalogue's Gemma 4
// repository and revision. The companion binds to a text package that the
// text engine installed from the same hub. A whole companion costs seconds of
// disk I/O, so only three tests copy every range; the others stop after a
// few small ranges or refuse before the copy.

#include "engine/vision/remote_vision_companion_installer.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "engine/common/catalog.h"
#include "engine/common/repack_error.h"
#include "engine/install/resume_checkpoint.h"
#include "engine/install/streaming_repacker.h"
#include "engine/io/posix.h"
#include "engine/io/sha256_stream.h"
#include "engine/plan/range_copy_plan.h"
#include "engine/plan/vision_pack_plan.h"
#include "engine/vision/vision_companion_fixture.h"
#include "engine/vision/vision_lock_paths.h"
#include "engine/vision/vision_pack_verifier.h"
#include "engine/vision/vision_pack_writer.h"
#include "format/vision.h"
#include "tests/test_util.h"
#include "tools/checkpoint_generator.h"
#include "tools/hub_cache_fixture.h"
#include "tools/package_fixture.h"
#include "tools/test_hub.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using testutil::errorOf;
using Event = ModelInstallProgress::Event;

constexpr char kRepo[] = "mlx-community/gemma-4-26b-a4b-it-4bit";  // also the model id
constexpr char kToken[] = "hf_vision_secret";
constexpr uint64_t kSeed = 11;
constexpr int64_t kSmallChunk = 8 << 20;  // many ranges, so a few are cheap

const std::string& revision() { return ModelCatalog::defaultSource().revision; }

std::string sha256(std::string_view bytes) {
  Sha256Stream s;
  s.update(bytes.data(), bytes.size());
  return s.finalizeHex();
}

std::string eventName(const Event& e) {
  static const char* const names[] = {"planning",       "checkingDisk",  "reservingOutput",
                                      "copyingPayload", "hashingOutput", "downloadingMetadata",
                                      "finalizing"};
  return names[e.index()];
}

std::set<std::string> entriesOf(const std::string& directory) {
  std::set<std::string> names;
  for (const fs::directory_entry& e : fs::directory_iterator(directory)) {
    names.insert(e.path().filename().string());
  }
  return names;
}

// Whether two files hold the same bytes, read in 1 MiB pieces.
bool sameBytes(const std::string& a, const std::string& b) {
  std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
  std::vector<char> p(1 << 20), q(1 << 20);
  while (x && y) {
    x.read(p.data(), static_cast<std::streamsize>(p.size()));
    y.read(q.data(), static_cast<std::streamsize>(q.size()));
    if (x.gcount() != y.gcount() || !std::equal(p.begin(), p.begin() + x.gcount(), q.begin())) {
      return false;
    }
  }
  return x.eof() && y.eof();
}

void flipByte(const std::string& path, uint64_t offset) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.seekg(static_cast<std::streamoff>(offset));
  const char c = static_cast<char>(f.get());
  f.seekp(static_cast<std::streamoff>(offset));
  f.put(static_cast<char>(c ^ 0x5a));
}

std::string readAt(int directoryFd, const char* name) {
  const int fd = ::openat(directoryFd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return {};
  UniqueFd file(fd);
  std::string bytes;
  char buffer[65536];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0) bytes.append(buffer, static_cast<size_t>(n));
  return bytes;
}

// What a reader of the companion directory at `path` sees at one moment,
// read through one descriptor of it so that every piece comes from the same
// directory. `manifestSha256` is set when the directory holds exactly the
// four companion files and its receipt names its manifest; `problem`
// describes anything else. Neither is set when the directory was exchanged
// while it was being read (then the descriptor names a directory that is no
// longer at `path`).
struct Observation {
  std::optional<std::string> manifestSha256;
  std::optional<std::string> problem;
};

Observation observeCompanion(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return {std::nullopt, "nothing at " + path};
  UniqueFd directory(fd);
  std::set<std::string> names;
  if (DIR* listing = ::fdopendir(::fcntl(fd, F_DUPFD_CLOEXEC, 0))) {
    ::rewinddir(listing);
    while (const dirent* e = ::readdir(listing)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.insert(name);
    }
    ::closedir(listing);
  }
  const std::string manifest = readAt(fd, "manifest.json");
  const std::string receipt = readAt(fd, "verified-install.json");
  struct stat opened {
  }, current{};
  ::fstat(fd, &opened);
  if (::stat(path.c_str(), &current) != 0 || current.st_ino != opened.st_ino) return {};

  const std::set<std::string> expected = {"manifest.json", "processor_config.json",
                                          "verified-install.json", "vision_weights.bin"};
  if (names != expected) {
    return {std::nullopt, KorvexVisionFormatV1::entryDifference(expected, names)};
  }
  const std::string digest = sha256(manifest);
  const std::string named = errorOf([&] {
    const KorvexVisionReceiptV1 r =
        KorvexVisionReceiptCodec::decode(std::vector<uint8_t>(receipt.begin(), receipt.end()));
    if (r.manifestSha256 != digest) throw std::runtime_error("receipt names another manifest");
  });
  if (named != "ok") return {std::nullopt, named};
  return {digest, std::nullopt};
}

class RemoteVisionInstallerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("no_proxy", "localhost,127.0.0.1", 1);
    ::setenv("NO_PROXY", "localhost,127.0.0.1", 1);
    CheckpointOptions c = smallCheckpointOptions(CheckpointFamily::gemma4);
    c.vision = VisionTower::full;
    c.audioTower = true;
    c.seed = kSeed;
    checkpoint_ = std::make_shared<GeneratedCheckpoint>(c);
    hub_ = startHub(checkpoint_);
    indexDigest_ = sha256(checkpoint_->sideFiles().at("model.safetensors.index.json"));
    text_ = dir_.file("text.korvex");
    installText(*hub_, indexDigest_, false);
    hub_->clearRequests();
  }

  void TearDown() override {
    for (const HubRequest& r : hub_->requests()) {
      if (r.host == HubHost::storage) {
        EXPECT_EQ(r.header("Authorization"), std::nullopt) << "token sent to " << r.target;
      }
    }
  }

  // Serves `files` as the catalogue's Gemma 4 repository at its revision.
  // The shards are never hashed: the client compares only their Xet hash.
  static std::unique_ptr<TestHub> startHub(std::shared_ptr<const GeneratedCheckpoint> files) {
    TestHubOptions options;
    options.repoID = kRepo;
    options.revision = revision();
    options.token = kToken;
    for (const GeneratedShard& shard : files->shards()) {
      options.sha256StandIns[shard.fileName] = sha256(shard.fileName);
    }
    options.files = std::move(files);
    return TestHub::start(std::move(options));
  }

  std::shared_ptr<const RemoteDownloadSession> session(const TestHub& hub,
                                                       CancellationToken& token) {
    RemoteDownloadSessionOptions options;
    options.caBundlePath = hub.caFile();
    options.cancellation = &token;
    RemoteRetryEnvironment environment;
    environment.now = [] { return std::chrono::system_clock::now(); };
    environment.jitter = [] { return uint64_t{0}; };
    environment.sleeper = [](uint64_t) {};
    options.retryEnvironment = environment;
    return std::make_shared<const RemoteDownloadSession>(RemoteDownloadSessionPolicy{}, options);
  }

  // Installs (or, with `overwrite`, reinstalls) the text package from `hub`
  // with the text engine, accepting the checkpoint whose index is `digest`.
  void installText(const TestHub& hub, const std::string& digest, bool overwrite) {
    RemoteStreamingRepackOptions o;
    o.repoID = kRepo;
    o.revision = revision();
    o.outputDir = text_;
    o.token = kToken;
    o.minFreeReserveBytes = 0;
    o.overwrite = overwrite;
    o.downloadSession = session(hub, textToken_);
    o.baseURL = hub.baseURL();
    o.knownSources = KnownSourceTable{{digest, kRepo}};
    RepackAudit audit;
    RemoteStreamingRepacker(o, audit).run({});
  }

  RemoteVisionCompanionOptions options(const std::string& name = "m.vision.korvex") {
    RemoteVisionCompanionOptions o;
    o.repoID = kRepo;
    o.revision = revision();
    o.textModelDirectory = text_;
    o.outputDirectory = dir_.file(name);
    o.token = kToken;
    o.minFreeReserveBytes = 0;
    o.downloadSession = session(*hub_, token_);
    o.baseURL = hub_->baseURL();
    o.knownSources = KnownSourceTable{{indexDigest_, kRepo}};
    return o;
  }

  RemoteVisionCompanionResult run(const RemoteVisionCompanionOptions& o,
                                  const ProgressHandler& extra = {}) {
    events_.clear();
    RepackAudit audit;
    RemoteVisionCompanionInstaller installer(o, audit);
    return installer.run([&](ModelInstallProgress p) {
      events_.push_back(p.event);
      if (extra) extra(p);
    });
  }

  // Cancels the run once the checkpoint records `ranges` finished ranges.
  ProgressHandler cancelAfterRanges(const std::string& checkpointFile, size_t ranges) {
    return [this, checkpointFile, ranges](ModelInstallProgress p) {
      if (!std::holds_alternative<ModelInstallProgress::CopyingPayload>(p.event)) return;
      if (!fs::exists(checkpointFile)) return;
      if (RemoteInstallCheckpoint::load(checkpointFile).completedRanges.size() >= ranges) {
        token_.cancel();
      }
    };
  }

  // A saved download of `o` holding its first `ranges` ranges.
  RemoteInstallCheckpoint savedDownload(const RemoteVisionCompanionOptions& o, size_t ranges) {
    const std::string checkpointFile = o.outputDirectory + ".resume.json";
    EXPECT_EQ(errorOf([&] { run(o, cancelAfterRanges(checkpointFile, ranges)); }),
              "the operation was cancelled");
    token_.reset();
    return RemoteInstallCheckpoint::load(checkpointFile);
  }

  // The copy plan an install with `chunk`-byte ranges follows.
  RangeCopyPlan copyPlan(int64_t chunk) {
    HuggingFaceRemoteSource source;
    source.repoID = kRepo;
    source.requestedRevision = revision();
    source.token = kToken;
    source.downloadSession = session(*hub_, textToken_);
    source.baseURL = hub_->baseURL();
    source.tempDirectory = dir_.file("plan-metadata");
    const RemoteSnapshot snapshot =
        RemoteSnapshot::load(source, dir_.file("plan-metadata"), false, nullptr);
    const VisionPackPlan plan = VisionPackPlan::build(snapshot.metadata, snapshot.shardHeaders);
    return RangeCopyPlanner::planVisionCompanion(plan, dir_.file("any/vision_weights.bin"), chunk);
  }

  // Starts velquor-vision-install-child for the install `o` describes.
  pid_t startInstallChild(const RemoteVisionCompanionOptions& o) const {
    std::vector<std::string> args = {VELQUOR_VISION_INSTALL_CHILD};
    for (const auto& [flag, value] : std::vector<std::pair<std::string, std::string>>{
             {"--base-url", o.baseURL},
             {"--ca", hub_->caFile()},
             {"--repo", o.repoID},
             {"--revision", o.revision},
             {"--token", *o.token},
             {"--text-model", o.textModelDirectory},
             {"--output", o.outputDirectory},
             {"--known", o.knownSources->begin()->first + "=" + o.knownSources->begin()->second},
             {"--chunk", std::to_string(o.rangeChunkBytes)},
         }) {
      args.insert(args.end(), {flag, value});
    }
    if (o.resume) args.push_back("--resume");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int started = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(started, 0);
    return started == 0 ? pid : 0;
  }

  std::string physical(const std::string& name) const {
    return fs::canonical(dir_.path()).string() + "/" + name;
  }

  // Requests to the storage host: two per shard to read the headers, then
  // one per fetched range.
  std::vector<HubRequest> storageRequests() const {
    std::vector<HubRequest> out;
    for (const HubRequest& r : hub_->requests()) {
      if (r.host == HubHost::storage) out.push_back(r);
    }
    return out;
  }
  size_t headerRequests() const { return 2 * checkpoint_->shards().size(); }

  testutil::TempDir dir_;
  CancellationToken token_;
  CancellationToken textToken_;
  std::shared_ptr<GeneratedCheckpoint> checkpoint_;
  std::unique_ptr<TestHub> hub_;
  std::string indexDigest_;
  std::string text_;
  std::vector<Event> events_;
};

// Every refusal of the options, the text package and the directory state
// comes before the first request and leaves the disk as it was.
TEST_F(RemoteVisionInstallerTest, RefusesBeforeAnyRequest) {
  const std::string out = dir_.file("m.vision.korvex");
  PackageFixture unbound = writePackageFixture(dir_.file("unbound.korvex"));
  unbound.manifest.sourceSnapshotHash.reset();
  unbound.writeManifest();

  struct Case {
    std::function<void(RemoteVisionCompanionOptions&)> change;
    std::function<void()> prepare;
    std::string error;
  };
  const Case cases[] = {
      {[](auto& o) { o.rangeChunkBytes = 0; },
       {},
       "configuration invalid: bad range chunk bytes 0"},
      {[](auto& o) { o.rangeChunkBytes = 67108865; },
       {},
       "configuration invalid: bad range chunk bytes 67108865"},
      {[](auto& o) { o.writeTileBytes = 1048576; },
       {},
       "configuration invalid: bad write tile bytes 1048576"},
      {[](auto& o) { o.rangeRetryAttempts = -1; },
       {},
       "configuration invalid: bad range retry attempts -1"},
      {[&](auto& o) { o.textModelDirectory = unbound.directory; },
       {},
       "configuration invalid: text manifest has no sourceSnapshotHash"},
      {{},
       [&] { writeVisionCompanionFixture(out, text_); },
       "configuration invalid: output directory already exists: " + physical("m.vision.korvex")},
      {{},
       [&] { fs::create_directories(out + ".partial/tensors"); },
       "install state at " + physical("m.vision.korvex.partial") +
           " is corrupt: partial directory and checkpoint must exist together"},
      {[](auto& o) { o.resume = true; }, [&] { testutil::writeFile(out + ".resume.json", "{}"); },
       "install state at " + physical("m.vision.korvex.partial") +
           " is corrupt: partial directory and checkpoint must exist together"},
      {{},
       [&] {
         fs::create_directories(out + ".partial");
         testutil::writeFile(out + ".resume.json", "{}");
       },
       "install state is incompatible: saved download exists; resume or discard it"},
      {[](auto& o) { o.resume = true; },
       {},
       "no resumable install state exists for " + physical("m.vision.korvex.resume.json")},
  };
  for (const Case& c : cases) {
    fs::remove_all(out);
    fs::remove_all(out + ".partial");
    fs::remove(out + ".resume.json");
    if (c.prepare) c.prepare();
    const bool partialBefore = fs::exists(out + ".partial");
    const bool checkpointBefore = fs::exists(out + ".resume.json");
    const bool companionBefore = fs::exists(out);
    RemoteVisionCompanionOptions o = options();
    if (c.change) c.change(o);
    hub_->clearRequests();
    EXPECT_EQ(errorOf([&] { run(o); }), c.error);
    EXPECT_TRUE(hub_->requests().empty()) << c.error;
    EXPECT_EQ(fs::exists(out + ".partial"), partialBefore) << c.error;
    EXPECT_EQ(fs::exists(out + ".resume.json"), checkpointBefore) << c.error;
    EXPECT_EQ(fs::exists(out), companionBefore) << c.error;
  }
}

// Only the two Gemma 4 checkpoints of the catalogue are accepted: a source
// the known set maps to another model, and one it does not know at all, are
// refused after the metadata and before any vision byte, and leave nothing.
TEST_F(RemoteVisionInstallerTest, RefusesASourceThatIsNotAGemma4Checkpoint) {
  RemoteVisionCompanionOptions o = options();
  o.knownSources = KnownSourceTable{{indexDigest_, "qwen3.6-35b-a3b-4bit"}};
  EXPECT_EQ(errorOf([&] { run(o); }), "source fingerprint " + indexDigest_ +
                                          " for model.safetensors.index.json is not in known set");
  EXPECT_EQ(storageRequests().size(), headerRequests());

  hub_->clearRequests();
  o.knownSources.reset();  // the catalogue, which pins the real checkpoint's digest
  EXPECT_EQ(errorOf([&] { run(o); }),
            "source fingerprint " + indexDigest_ + " for " +
                physical("m.vision.korvex.partial/.remote-metadata/model.safetensors.index.json") +
                " is not in known set");
  EXPECT_TRUE(storageRequests().empty());

  EXPECT_FALSE(fs::exists(o.outputDirectory + ".partial"));
  EXPECT_FALSE(fs::exists(o.outputDirectory + ".resume.json"));
  EXPECT_FALSE(fs::exists(o.outputDirectory));
}

// A whole install that verifies against its text package; then the same
// install in a child process killed with SIGKILL in the middle of the copy
// and resumed here ends in a byte-identical companion.
TEST_F(RemoteVisionInstallerTest, KilledInstallResumesToAByteIdenticalCompanion) {
  const RemoteVisionCompanionOptions o = options();
  const std::string companion = physical("m.vision.korvex");
  const RemoteVisionCompanionResult result = run(o);

  EXPECT_EQ(result.outputDir, o.outputDirectory);
  EXPECT_EQ(result.resolvedCommit, revision());
  EXPECT_EQ(result.tensorCount, 358);
  EXPECT_EQ(result.sourcePayloadBytes, 1140925536u);
  EXPECT_EQ(result.weightsFileSize, fs::file_size(companion + "/vision_weights.bin"));
  EXPECT_EQ(result.reusedBytes, 0u);
  EXPECT_EQ(result.downloadedThisRunBytes, result.remoteBytesToDownload);
  EXPECT_GE(result.remoteBytesToDownload, 1140925536u);
  EXPECT_EQ(storageRequests().size(),
            headerRequests() + static_cast<size_t>(result.rangeRequestCount));
  EXPECT_FALSE(fs::exists(companion + ".partial"));
  EXPECT_FALSE(fs::exists(companion + ".resume.json"));

  std::vector<std::string> order;
  for (const Event& e : events_) {
    if (order.empty() || order.back() != eventName(e)) order.push_back(eventName(e));
  }
  EXPECT_EQ(order, (std::vector<std::string>{"downloadingMetadata", "planning", "checkingDisk",
                                             "reservingOutput", "copyingPayload", "hashingOutput",
                                             "finalizing"}));

  const VisionPackVerification verified = VisionPackVerifier::verify(companion, text_, true);
  EXPECT_EQ(verified.manifestSha256, result.manifestSha256);
  EXPECT_EQ(verified.sourceRevision, revision());
  EXPECT_EQ(verified.sourceIndexSha256, indexDigest_);
  EXPECT_EQ(testutil::readFile(companion + "/processor_config.json"),
            checkpoint_->sideFiles().at("processor_config.json"));
  // Each region starts and ends with its tensor's bytes (the generator's
  // data is a function of seed, name and offset).
  {
    const std::string bytes = testutil::readFile(companion + "/manifest.json");
    const KorvexVisionManifestV1 manifest =
        KorvexVisionManifestCodec::decode(std::vector<uint8_t>(bytes.begin(), bytes.end()));
    EXPECT_EQ(manifest.modelID, kRepo);
    const UniqueFd weights = Posix::openRead(companion + "/vision_weights.bin");
    std::vector<uint8_t> actual, expected;
    for (const KorvexVisionTensorRegionV1& region : manifest.tensors) {
      const uint64_t probe = std::min<uint64_t>(region.size, 4096);
      for (const uint64_t at : {uint64_t{0}, region.size - probe}) {
        actual.resize(probe);
        expected.resize(probe);
        Posix::preadAll(weights.get(), "vision_weights.bin", actual.data(),
                        static_cast<int64_t>(probe), region.offset + at);
        fillTensorData(kSeed, region.name, at, expected);
        ASSERT_EQ(actual, expected) << region.name << " at " << at;
      }
    }
  }
  const std::string reference = physical("reference.vision.korvex");
  fs::rename(companion, reference);

  // The same install in a child process, killed once two ranges are saved.
  const std::string checkpointFile = companion + ".resume.json";
  pid_t child = startInstallChild(o);
  ASSERT_GT(child, 0);
  // However the test ends, the child does not outlive it.
  const std::unique_ptr<pid_t, void (*)(pid_t*)> reap(&child, [](pid_t* pid) {
    if (*pid > 0 && ::kill(*pid, SIGKILL) == 0) ::waitpid(*pid, nullptr, 0);
  });
  size_t savedRanges = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
  while (savedRanges < 2 && std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, WNOHANG), 0) << "the child ended before it was killed";
    if (fs::exists(checkpointFile)) {
      savedRanges = RemoteInstallCheckpoint::load(checkpointFile).completedRanges.size();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_EQ(::kill(child, SIGKILL), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  child = 0;
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  ASSERT_TRUE(fs::is_directory(companion + ".partial"));
  ASSERT_FALSE(fs::exists(companion));
  const RemoteInstallCheckpoint saved = RemoteInstallCheckpoint::load(checkpointFile);
  ASSERT_GE(saved.completedRanges.size(), 2u);
  ASSERT_LT(saved.completedRanges.size(), static_cast<size_t>(result.rangeRequestCount));

  RemoteVisionCompanionOptions resume = o;
  resume.resume = true;
  hub_->clearRequests();
  const RemoteVisionCompanionResult resumed = run(resume);
  uint64_t reused = 0;
  for (const RemoteCompletedRange& r : saved.completedRanges) reused += r.sourceBytes;
  EXPECT_EQ(resumed.reusedBytes, reused);
  EXPECT_EQ(resumed.downloadedThisRunBytes, resumed.remoteBytesToDownload - reused);
  EXPECT_EQ(storageRequests().size(), headerRequests() +
                                          static_cast<size_t>(result.rangeRequestCount) -
                                          saved.completedRanges.size());
  for (const Event& e : events_) EXPECT_NE(eventName(e), "reservingOutput");

  EXPECT_EQ(entriesOf(companion), entriesOf(reference));
  for (const std::string& name : entriesOf(reference)) {
    EXPECT_TRUE(sameBytes(companion + "/" + name, reference + "/" + name)) << name;
  }
  EXPECT_FALSE(fs::exists(companion + ".partial"));
  EXPECT_FALSE(fs::exists(checkpointFile));
}

// The whole checkpoint in the hub cache, offline: not one request reaches
// the hub, every payload byte is read (and checked) from the cache, and the
// companion is byte for byte the one the hub gives, but for the time its
// receipt records.
TEST_F(RemoteVisionInstallerTest, InstallsOfflineFromTheHubCacheAsFromTheHub) {
  const std::string companion = physical("m.vision.korvex");
  const std::string fromHub = physical("hub.vision.korvex");
  run(options());
  fs::rename(companion, fromHub);
  writeHubCache(*checkpoint_, dir_.file("cache"), kRepo, revision());

  RemoteVisionCompanionOptions o = options();
  o.hubCacheRoot = dir_.file("cache");
  o.offline = true;
  std::vector<std::string> warnings;
  o.warn = [&](const std::string& line) { warnings.push_back(line); };
  hub_->clearRequests();
  const RemoteVisionCompanionResult result = run(o);
  EXPECT_TRUE(hub_->requests().empty()) << hub_->requests().front().target;
  EXPECT_EQ(warnings, std::vector<std::string>{});
  EXPECT_EQ(result.localBytes, result.remoteBytesToDownload);
  EXPECT_EQ(entriesOf(companion), entriesOf(fromHub));
  for (const std::string& name : entriesOf(fromHub)) {
    if (name == "verified-install.json") continue;
    EXPECT_TRUE(sameBytes(companion + "/" + name, fromHub + "/" + name)) << name;
  }
  const auto receipt = [](const std::string& directory) {
    const std::string bytes = testutil::readFile(directory + "/verified-install.json");
    KorvexVisionReceiptV1 r =
        KorvexVisionReceiptCodec::decode(std::vector<uint8_t>(bytes.begin(), bytes.end()));
    r.verificationTimestamp.clear();
    return r;
  };
  EXPECT_EQ(receipt(companion), receipt(fromHub));
}

// A run killed while it reads the checkpoint's shard headers leaves its
// temporary file inside the metadata directory, which is removed before
// promotion, never beside vision_weights.bin, from where a later resume would
// promote it into the companion.
TEST_F(RemoteVisionInstallerTest, KillDuringTheMetadataLeavesNothingThatCouldBePromoted) {
  RemoteVisionCompanionOptions o = options();
  o.rangeChunkBytes = kSmallChunk;
  savedDownload(o, 1);
  o.resume = true;
  hub_->inject(HubFault::stall(0, std::chrono::seconds(30)).onHost(HubHost::storage));
  hub_->clearRequests();
  pid_t child = startInstallChild(o);
  ASSERT_GT(child, 0);
  const std::unique_ptr<pid_t, void (*)(pid_t*)> reap(&child, [](pid_t* pid) {
    if (*pid > 0 && ::kill(*pid, SIGKILL) == 0) ::waitpid(*pid, nullptr, 0);
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (storageRequests().empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_EQ(storageRequests().size(), 1u);  // the first header read, stalled
  ASSERT_EQ(::kill(child, SIGKILL), 0);
  ::waitpid(child, nullptr, 0);
  child = 0;
  hub_->clearFaults();

  const std::string partial = physical("m.vision.korvex.partial");
  EXPECT_EQ(entriesOf(partial), (std::set<std::string>{".remote-metadata", "vision_weights.bin"}));
  std::set<std::string> metadata = entriesOf(partial + "/.remote-metadata");
  metadata.erase("model.safetensors.index.json");
  metadata.erase("config.json");
  EXPECT_EQ(metadata.size(), 1u);  // the orphaned header temporary
}

// On resume a finished range whose bytes changed on disk is dropped and
// fetched again, alone; a weights file of the wrong size drops every
// finished range and is reserved afresh. The saved download is then
// discarded by the text engine's discard.
TEST_F(RemoteVisionInstallerTest, ResumeKeepsOnlyFinishedRangesThatStillMatch) {
  RemoteVisionCompanionOptions o = options();
  o.rangeChunkBytes = kSmallChunk;
  o.connections = 1;  // exactly three ranges finished when the run is cancelled
  const std::string checkpointFile = physical("m.vision.korvex.resume.json");
  const std::string weights = physical("m.vision.korvex.partial/vision_weights.bin");
  const RemoteInstallCheckpoint saved = savedDownload(o, 3);
  ASSERT_EQ(saved.completedRanges.size(), 3u);
  const RangeCopyPlan plan = copyPlan(kSmallChunk);
  const RemoteCompletedRange& altered = saved.completedRanges[1];
  const auto alteredRange =
      std::find_if(plan.coalescedCopies.begin(), plan.coalescedCopies.end(),
                   [&](const CoalescedRangeCopy& r) { return r.id == altered.id; });
  ASSERT_NE(alteredRange, plan.coalescedCopies.end());
  flipByte(weights, alteredRange->destinations.back().destinationOffset + 7);

  o.resume = true;
  hub_->clearRequests();
  std::optional<RemoteInstallCheckpoint> screened;
  uint64_t firstReused = 0;
  const ProgressHandler cancel = cancelAfterRanges(checkpointFile, 3);
  EXPECT_EQ(errorOf([&] {
              run(o, [&](ModelInstallProgress p) {
                const auto* copy = std::get_if<ModelInstallProgress::CopyingPayload>(&p.event);
                if (copy != nullptr && !screened) {
                  screened = RemoteInstallCheckpoint::load(checkpointFile);
                  firstReused = copy->reusedBytes;
                }
                cancel(p);
              });
            }),
            "the operation was cancelled");
  token_.reset();
  ASSERT_TRUE(screened.has_value());
  EXPECT_EQ(screened->completedRanges, (std::vector<RemoteCompletedRange>{
                                           saved.completedRanges[0], saved.completedRanges[2]}));
  EXPECT_EQ(firstReused,
            saved.completedRanges[0].sourceBytes + saved.completedRanges[2].sourceBytes);
  const std::vector<HubRequest> requests = storageRequests();
  ASSERT_EQ(requests.size(), headerRequests() + 1);
  EXPECT_EQ(requests.back().header("Range"),
            "bytes=" + std::to_string(alteredRange->sourceOffset) + "-" +
                std::to_string(alteredRange->sourceOffset + alteredRange->size - 1));
  // Fetched again, the range has its old bytes and digest back.
  EXPECT_EQ(RemoteInstallCheckpoint::load(checkpointFile).completedRanges, saved.completedRanges);

  fs::resize_file(weights, 100);
  hub_->clearRequests();
  EXPECT_EQ(errorOf([&] {
              run(o, [&](ModelInstallProgress p) {
                if (std::holds_alternative<ModelInstallProgress::CopyingPayload>(p.event)) {
                  EXPECT_EQ(std::get<ModelInstallProgress::CopyingPayload>(p.event).reusedBytes,
                            0u);
                  token_.cancel();
                }
              });
            }),
            "the operation was cancelled");
  token_.reset();
  EXPECT_TRUE(RemoteInstallCheckpoint::load(checkpointFile).completedRanges.empty());
  EXPECT_EQ(fs::file_size(weights), plan.expectedOutputs.front().size);
  EXPECT_EQ(std::count_if(events_.begin(), events_.end(),
                          [](const Event& e) { return eventName(e) == "reservingOutput"; }),
            1);
  EXPECT_EQ(storageRequests().size(), headerRequests());

  RemoteStreamingRepacker::discardSavedDownload(o.outputDirectory);
  EXPECT_FALSE(fs::exists(o.outputDirectory + ".partial"));
  EXPECT_FALSE(fs::exists(o.outputDirectory + ".resume.json"));
}

// A saved download is continued only by a run of the same source and plan,
// and only when every finished range it lists belongs to that plan; each
// refusal keeps it.
TEST_F(RemoteVisionInstallerTest, ResumeRefusesACheckpointOfAnotherSourceOrPlan) {
  RemoteVisionCompanionOptions o = options();
  o.rangeChunkBytes = kSmallChunk;
  const std::string checkpointFile = physical("m.vision.korvex.resume.json");
  const RemoteInstallCheckpoint saved = savedDownload(o, 1);
  o.resume = true;

  struct Case {
    std::function<void(RemoteVisionCompanionOptions&)> change;
    std::function<void(RemoteInstallCheckpoint&)> edit;
    std::string error;
  };
  const Case cases[] = {
      {[](auto& o) { o.rangeChunkBytes = 2 * kSmallChunk; },
       {},
       "install state is incompatible: saved download source or copy plan changed"},
      {[](auto& o) { o.repoID = "mlx-community/gemma-4-26B-A4B-it-qat-4bit"; },
       {},
       "install state is incompatible: saved download belongs to a different source"},
      {{},
       [](auto& c) { c.completedRanges.front().id = "range-99999999"; },
       "install state at " + physical("m.vision.korvex.partial") +
           " is corrupt: checkpoint contains an unknown range"},
  };
  for (const Case& c : cases) {
    RemoteInstallCheckpoint checkpoint = saved;
    if (c.edit) c.edit(checkpoint);
    checkpoint.write(checkpointFile, fs::canonical(dir_.path()).string());
    RemoteVisionCompanionOptions changed = o;
    if (c.change) c.change(changed);
    hub_->clearRequests();
    EXPECT_EQ(errorOf([&] { run(changed); }), c.error);
    EXPECT_LE(storageRequests().size(), headerRequests()) << c.error;
    EXPECT_TRUE(fs::is_directory(o.outputDirectory + ".partial")) << c.error;
    EXPECT_EQ(RemoteInstallCheckpoint::load(checkpointFile), checkpoint) << c.error;
  }
}

// Replacing a companion that is in use: promotion fails with installBusy
// and keeps the finished download. A resume fetches no range again; the text
// package, reinstalled while it runs (with other bytes, so its manifest
// changes), is what the finished companion binds to; and the old companion
// is exchanged for the new one while a reader never sees anything but one
// whole companion.
TEST_F(RemoteVisionInstallerTest, ReplacingACompanionInUseWaitsForTheUseLock) {
  RemoteVisionCompanionOptions o = options();
  o.overwrite = true;
  const std::string companion = physical("m.vision.korvex");
  const VisionCompanionFixture old = writeVisionCompanionFixture(o.outputDirectory, text_);

  {
    const std::string lockPath = KorvexVisionLockPathsV1::useLockURL(o.outputDirectory);
    const UniqueFd user(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_EQ(::flock(user.get(), LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(errorOf([&] { run(o); }), "another installer holds " + lockPath);
  }
  EXPECT_EQ(observeCompanion(companion).manifestSha256, old.result.manifestSha256);
  const RemoteInstallCheckpoint saved = RemoteInstallCheckpoint::load(companion + ".resume.json");
  const RangeCopyPlan plan = copyPlan(o.rangeChunkBytes);
  EXPECT_EQ(saved.completedRanges.size(), plan.coalescedCopies.size());

  // Resume with a reader watching the companion's path throughout. Once the
  // run has read the binding and screened the saved ranges, the text package
  // is reinstalled from a checkpoint with other tensor bytes.
  const std::string oldTextManifest = testutil::readFile(text_ + "/manifest.json");
  const auto reinstallText = [&](ModelInstallProgress p) {
    if (!std::holds_alternative<ModelInstallProgress::CopyingPayload>(p.event)) return;
    if (testutil::readFile(text_ + "/manifest.json") != oldTextManifest) return;
    CheckpointOptions other = smallCheckpointOptions(CheckpointFamily::gemma4);
    other.seed = kSeed + 1;
    const auto files = std::make_shared<GeneratedCheckpoint>(other);
    const std::unique_ptr<TestHub> textHub = startHub(files);
    installText(*textHub, sha256(files->sideFiles().at("model.safetensors.index.json")), true);
  };
  std::atomic<bool> done = false;
  std::set<std::string> seen;
  std::vector<std::string> problems;
  std::thread reader([&] {
    while (!done) {
      const Observation now = observeCompanion(companion);
      if (now.manifestSha256) seen.insert(*now.manifestSha256);
      if (now.problem) problems.push_back(*now.problem);
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  });
  o.resume = true;
  hub_->clearRequests();
  RemoteVisionCompanionResult result;
  const std::string error = errorOf([&] { result = run(o, reinstallText); });
  done = true;
  reader.join();
  ASSERT_EQ(error, "ok");
  const std::string newTextManifest = testutil::readFile(text_ + "/manifest.json");
  ASSERT_NE(newTextManifest, oldTextManifest);
  EXPECT_EQ(problems, std::vector<std::string>{});
  EXPECT_TRUE(seen.contains(old.result.manifestSha256));
  seen.erase(old.result.manifestSha256);
  seen.erase(result.manifestSha256);
  EXPECT_TRUE(seen.empty());
  EXPECT_EQ(observeCompanion(companion).manifestSha256, result.manifestSha256);

  EXPECT_EQ(storageRequests().size(), headerRequests());
  EXPECT_EQ(result.reusedBytes, result.remoteBytesToDownload);
  EXPECT_EQ(result.downloadedThisRunBytes, 0u);
  const VisionPackVerification verified = VisionPackVerifier::verify(companion, text_, true);
  EXPECT_EQ(verified.manifestSha256, result.manifestSha256);
  EXPECT_EQ(verified.compatibleTextManifestSha256, sha256(newTextManifest));
  EXPECT_FALSE(fs::exists(companion + ".partial"));
  EXPECT_FALSE(fs::exists(companion + ".resume.json"));
}

}  // namespace
