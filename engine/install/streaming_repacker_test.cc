// The install orchestrator end to end against the loopback test hub serving a
// generated checkpoint: fresh installs, dry runs, resumes after interruption
// and corruption, overwrite, the state rules, side files and hub faults.

#include "engine/install/streaming_repacker.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>

#include "engine/common/repack_error.h"
#include "engine/install/package_contents_test_util.h"
#include "engine/io/posix.h"
#include "engine/io/sha256_stream.h"
#include "engine/remote/download_session.h"
#include "engine/remote/source_byte_provider.h"
#include "engine/verify/verified_install_tool.h"
#include "format/manifest.h"
#include "tests/test_util.h"
#include "tools/checkpoint_generator.h"
#include "tools/test_hub.h"

namespace {

namespace fs = std::filesystem;
using testutil::errorOf;
using Event = ModelInstallProgress::Event;

constexpr char kRepo[] = "velquor-test/tiny-moe";
constexpr char kCommit[] = "0123456789abcdef0123456789abcdef01234567";
constexpr char kToken[] = "hf_install_secret";
constexpr int64_t kChunk = 256 * 1024;  // several ranges for a few-MiB checkpoint

using testutil::packageContents;
using testutil::sha256Hex;

std::string eventName(const Event& e) {
  static const char* const names[] = {"planning",       "checkingDisk",  "reservingOutput",
                                      "copyingPayload", "hashingOutput", "downloadingMetadata",
                                      "finalizing"};
  return names[e.index()];
}

class StreamingRepackerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("no_proxy", "localhost,127.0.0.1", 1);
    ::setenv("NO_PROXY", "localhost,127.0.0.1", 1);
    serve(smallCheckpointOptions(CheckpointFamily::gemma4));
  }

  void serve(const CheckpointOptions& checkpointOptions,
             const std::function<void(TestHubOptions&)>& adjust = {}) {
    hub_.reset();
    checkpoint_ = std::make_shared<GeneratedCheckpoint>(checkpointOptions);
    TestHubOptions options;
    options.repoID = kRepo;
    options.revision = kCommit;
    options.files = checkpoint_;
    options.token = kToken;
    if (adjust) adjust(options);
    hub_ = TestHub::start(std::move(options));
    indexDigest_ = sha256Hex(checkpoint_->sideFiles().at("model.safetensors.index.json"));
  }

  RemoteStreamingRepackOptions options(const std::string& name = "model.korvex") {
    RemoteDownloadSessionOptions sessionOptions;
    sessionOptions.caBundlePath = hub_->caFile();
    sessionOptions.cancellation = &token_;
    RemoteRetryEnvironment environment;
    environment.now = [] { return std::chrono::system_clock::now(); };
    environment.jitter = [] { return uint64_t{0}; };
    environment.sleeper = [this](uint64_t ns) { pauses_.push_back(ns); };
    sessionOptions.retryEnvironment = environment;

    RemoteStreamingRepackOptions o;
    o.repoID = kRepo;
    o.revision = kCommit;
    o.outputDir = dir_.file(name);
    o.token = kToken;
    o.rangeChunkBytes = kChunk;
    o.minFreeReserveBytes = 0;
    o.downloadSession = std::make_shared<const RemoteDownloadSession>(RemoteDownloadSessionPolicy{},
                                                                      sessionOptions);
    o.baseURL = hub_->baseURL();
    o.knownSources = KnownSourceTable{{indexDigest_, "velquor-test/tiny-moe-4bit"}};
    return o;
  }

  RemoteStreamingRepackResult run(const RemoteStreamingRepackOptions& o,
                                  const ProgressHandler& extra = {}) {
    events_.clear();
    RepackAudit audit;
    RemoteStreamingRepacker repacker(o, audit);
    RemoteStreamingRepackResult result = repacker.run([&](ModelInstallProgress p) {
      events_.push_back(p.event);
      if (extra) extra(p);
    });
    lastRetries_ = audit.remoteRangeRetries;
    return result;
  }

  // Installs into `name` with the hub untouched; the reference package.
  std::map<std::string, std::string> referencePackage() {
    const RemoteStreamingRepackOptions o = options("reference.korvex");
    run(o);
    return packageContents(o.outputDir);
  }

  // Cancels the run once `ranges` ranges have been recorded in the checkpoint.
  ProgressHandler cancelAfterRanges(const std::string& checkpointFile, size_t ranges) {
    return [this, checkpointFile, ranges](ModelInstallProgress p) {
      if (!std::holds_alternative<ModelInstallProgress::CopyingPayload>(p.event)) return;
      if (!fs::exists(checkpointFile)) return;
      const RemoteInstallCheckpoint c = RemoteInstallCheckpoint::load(checkpointFile);
      if (c.completedRanges.size() >= ranges) token_.cancel();
    };
  }

  size_t storageRangeRequests() const {
    size_t n = 0;
    for (const HubRequest& r : hub_->requests()) n += r.host == HubHost::storage;
    return n;
  }

  testutil::TempDir dir_;
  CancellationToken token_;
  std::shared_ptr<GeneratedCheckpoint> checkpoint_;
  std::unique_ptr<TestHub> hub_;
  std::string indexDigest_;
  std::vector<uint64_t> pauses_;
  std::vector<Event> events_;
  uint64_t lastRetries_ = 0;
};

TEST_F(StreamingRepackerTest, FreshInstallWritesAVerifiablePackageAndCleansUp) {
  const RemoteStreamingRepackOptions o = options();
  const RemoteStreamingRepackResult result = run(o);

  EXPECT_EQ(result.outputDir, o.outputDir);
  EXPECT_EQ(result.resolvedCommit, kCommit);
  EXPECT_FALSE(result.dryRun);
  EXPECT_EQ(result.reusedBytes, 0u);
  EXPECT_EQ(result.downloadedThisRunBytes, result.remoteBytesToDownload);
  EXPECT_GT(result.rangeRequestCount, 3);
  EXPECT_EQ(storageRangeRequests(), static_cast<size_t>(result.rangeRequestCount) +
                                        2 * checkpoint_->shards().size());  // + header reads
  // Requests share kept-alive connections: at most one per range in flight
  // on each host, not one per request (a few more when the hub closes a
  // connection idle for 2 s).
  EXPECT_LE(hub_->connectionsUsed(), static_cast<size_t>(2 * o.connections + 4));
  EXPECT_LT(hub_->connectionsUsed(), hub_->requests().size() / 2);

  // Nothing but the package and the lock file is left beside it.
  EXPECT_FALSE(fs::exists(o.outputDir + ".partial"));
  EXPECT_FALSE(fs::exists(o.outputDir + ".resume.json"));
  EXPECT_TRUE(fs::exists(o.outputDir + ".install.lock"));

  // The verifier accepts it and finds nothing unexpected; the manifest decodes.
  const VerifyInstallResult verified = VerifiedInstallTool::run({o.outputDir});
  EXPECT_TRUE(verified.unexpectedEntries.empty());
  const KorvexManifestV1 manifest =
      KorvexManifestCodec::decode(Posix::readWholeFile(o.outputDir + "/manifest.json", 1 << 24));
  EXPECT_EQ(manifest.modelID, "velquor-test/tiny-moe-4bit");
  EXPECT_EQ(manifest.sourceSnapshotHash, "sha256:" + indexDigest_);
  EXPECT_TRUE(manifest.files.count("tokenizer/config.json"));
  EXPECT_TRUE(manifest.files.count("tokenizer/tokenizer.json"));
  EXPECT_EQ(testutil::readFile(o.outputDir + "/tokenizer/config.json"),
            checkpoint_->sideFiles().at("config.json"));

  // Events in the documented order; one hashing event per manifest file.
  std::vector<std::string> order;
  for (const Event& e : events_) {
    const std::string name = eventName(e);
    if (order.empty() || order.back() != name) order.push_back(name);
  }
  EXPECT_EQ(order, (std::vector<std::string>{"downloadingMetadata", "planning", "checkingDisk",
                                             "reservingOutput", "copyingPayload", "hashingOutput",
                                             "finalizing"}));
  std::vector<std::string> hashed;
  for (const Event& e : events_) {
    if (const auto* h = std::get_if<ModelInstallProgress::HashingOutput>(&e)) {
      hashed.push_back(h->relativePath);
    }
  }
  EXPECT_EQ(hashed.size(), manifest.files.size());
  EXPECT_EQ(hashed.front(), "model_weights.bin");

  // The token went to the hub host only.
  for (const HubRequest& r : hub_->requests()) {
    if (r.host == HubHost::storage) {
      EXPECT_EQ(r.header("Authorization"), std::nullopt);
    }
  }
}

TEST_F(StreamingRepackerTest, DryRunPlansAndChecksSpaceWithoutLeavingAnything) {
  RemoteStreamingRepackOptions o = options();
  o.dryRunSpaceCheck = true;
  const RemoteStreamingRepackResult result = run(o);
  EXPECT_TRUE(result.dryRun);
  EXPECT_EQ(result.reusedBytes, 0u);
  EXPECT_EQ(result.downloadedThisRunBytes, 0u);
  EXPECT_GT(result.remoteBytesToDownload, 0u);
  EXPECT_FALSE(fs::exists(o.outputDir));
  EXPECT_FALSE(fs::exists(o.outputDir + ".partial"));
  EXPECT_FALSE(fs::exists(o.outputDir + ".resume.json"));
  EXPECT_EQ(eventName(events_.back()), "checkingDisk");
}

TEST_F(StreamingRepackerTest, OptionsAndDirectoryStatesAreCheckedBeforeAnyRequest) {
  const std::string out = dir_.file("model.korvex");
  struct Case {
    std::function<void(RemoteStreamingRepackOptions&)> change;
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
      {[](auto& o) { o.connections = 0; }, {}, "configuration invalid: bad connections 0"},
      {[](auto& o) { o.connections = 65; }, {}, "configuration invalid: bad connections 65"},
      {{},
       [&] { fs::create_directories(out); },
       "configuration invalid: output directory already exists: " + out},
      {{},
       [&] { fs::create_directories(out + ".partial/packed_experts"); },
       "install state at " + out +
           ".partial is corrupt: partial directory and checkpoint must exist together"},
      {[](auto& o) { o.resume = true; }, [&] { testutil::writeFile(out + ".resume.json", "{}"); },
       "install state at " + out +
           ".partial is corrupt: partial directory and checkpoint must exist together"},
      {{},
       [&] {
         fs::create_directories(out + ".partial");
         testutil::writeFile(out + ".resume.json", "{}");
       },
       "install state is incompatible: saved download exists; resume or discard it"},
      {[](auto& o) { o.resume = true; },
       {},
       "no resumable install state exists for " + out + ".resume.json"},
  };
  for (const Case& c : cases) {
    fs::remove_all(out);
    fs::remove_all(out + ".partial");
    fs::remove(out + ".resume.json");
    if (c.prepare) c.prepare();
    RemoteStreamingRepackOptions o = options();
    if (c.change) c.change(o);
    hub_->clearRequests();
    EXPECT_EQ(errorOf([&] { run(o); }), c.error);
    EXPECT_TRUE(hub_->requests().empty()) << c.error;
  }
  // The largest tile is accepted.
  fs::remove_all(out);
  fs::remove_all(out + ".partial");
  fs::remove(out + ".resume.json");
  RemoteStreamingRepackOptions o = options();
  o.writeTileBytes = 1048575;
  o.dryRunSpaceCheck = true;
  EXPECT_EQ(errorOf([&] { run(o); }), "ok");
}

// Stopped while the outputs are being created, an install leaves a saved
// download (the checkpoint is written first), and its resume creates them
// again: never outputs without a checkpoint, which no later run could use.
TEST_F(StreamingRepackerTest, AnInstallStoppedWhileReservingResumes) {
  const auto reference = referencePackage();
  RemoteStreamingRepackOptions o = options();
  EXPECT_EQ(errorOf([&] {
              run(o, [this](ModelInstallProgress p) {
                if (std::holds_alternative<ModelInstallProgress::ReservingOutput>(p.event)) {
                  token_.cancel();
                }
              });
            }),
            "the operation was cancelled");
  token_.reset();
  ASSERT_TRUE(fs::is_regular_file(o.outputDir + ".resume.json"));
  o.resume = true;
  run(o);
  EXPECT_EQ(packageContents(o.outputDir), reference);
}

TEST_F(StreamingRepackerTest, InterruptedInstallResumesToTheSamePackage) {
  const auto reference = referencePackage();
  RemoteStreamingRepackOptions o = options();
  const std::string checkpointFile = o.outputDir + ".resume.json";

  EXPECT_EQ(errorOf([&] { run(o, cancelAfterRanges(checkpointFile, 2)); }),
            "the operation was cancelled");
  token_.reset();
  ASSERT_TRUE(fs::is_directory(o.outputDir + ".partial"));
  const RemoteInstallCheckpoint saved = RemoteInstallCheckpoint::load(checkpointFile);
  ASSERT_GE(saved.completedRanges.size(), 2u);

  // Without --resume the saved download is refused and left alone.
  EXPECT_EQ(errorOf([&] { run(o); }),
            "install state is incompatible: saved download exists; resume or discard it");

  o.resume = true;
  hub_->clearRequests();
  const RemoteStreamingRepackResult result = run(o);
  uint64_t reused = 0;
  for (const RemoteCompletedRange& r : saved.completedRanges) reused += r.sourceBytes;
  EXPECT_EQ(result.reusedBytes, reused);
  EXPECT_EQ(result.downloadedThisRunBytes, result.remoteBytesToDownload - reused);
  EXPECT_EQ(packageContents(o.outputDir), reference);
  // No reservation on resume, and the first copy event carries the reused bytes.
  for (const Event& e : events_) EXPECT_NE(eventName(e), "reservingOutput");
  for (const Event& e : events_) {
    if (const auto* c = std::get_if<ModelInstallProgress::CopyingPayload>(&e)) {
      EXPECT_EQ(c->reusedBytes, reused);
      EXPECT_EQ(c->downloadedThisRunBytes, 0u);
      break;
    }
  }
}

// A download saved by one connection count finishes under another, and
// every count gives the same package.
TEST_F(StreamingRepackerTest, ConnectionCountsAreInterchangeable) {
  const auto reference = referencePackage();  // the default count
  struct Case {
    int64_t first;
    int64_t resumed;
  };
  for (const Case c : {Case{1, 8}, Case{8, 1}, Case{64, 3}}) {
    SCOPED_TRACE(std::to_string(c.first) + " then " + std::to_string(c.resumed));
    RemoteStreamingRepackOptions o =
        options("n" + std::to_string(c.first) + "-" + std::to_string(c.resumed) + ".korvex");
    o.connections = c.first;
    EXPECT_EQ(errorOf([&] { run(o, cancelAfterRanges(o.outputDir + ".resume.json", 2)); }),
              "the operation was cancelled");
    token_.reset();
    o.connections = c.resumed;
    o.resume = true;
    run(o);
    EXPECT_EQ(packageContents(o.outputDir), reference);
  }
  RemoteStreamingRepackOptions one = options("one.korvex");
  one.connections = 1;
  run(one);
  EXPECT_EQ(packageContents(one.outputDir), reference);
}

TEST_F(StreamingRepackerTest, AlteredFinishedRangeIsFetchedAgainOnResume) {
  const auto reference = referencePackage();
  RemoteStreamingRepackOptions o = options();
  o.connections = 1;  // the first range is among the three finished
  const std::string checkpointFile = o.outputDir + ".resume.json";
  EXPECT_EQ(errorOf([&] { run(o, cancelAfterRanges(checkpointFile, 3)); }),
            "the operation was cancelled");
  token_.reset();
  const RemoteInstallCheckpoint saved = RemoteInstallCheckpoint::load(checkpointFile);

  // Flip one payload byte of the first finished range (the first range
  // starts right after the resident index).
  const std::string weights = o.outputDir + ".partial/model_weights.bin";
  {
    std::fstream f(weights, std::ios::in | std::ios::out | std::ios::binary);
    f.seekg(16384 + 10);
    const char c = static_cast<char>(f.get());
    f.seekp(16384 + 10);
    f.put(static_cast<char>(c ^ 0x5a));
  }
  o.resume = true;
  hub_->clearRequests();
  const RemoteStreamingRepackResult result = run(o);
  const size_t stillMissing =
      static_cast<size_t>(result.rangeRequestCount) - saved.completedRanges.size();
  // Header reads of the snapshot, the ranges never finished, and the one altered.
  EXPECT_EQ(storageRangeRequests(), 2 * checkpoint_->shards().size() + stillMissing + 1);
  EXPECT_EQ(packageContents(o.outputDir), reference);
}

TEST_F(StreamingRepackerTest, TruncatedOutputRestartsThePayloadAndKeepsTheConfiguration) {
  const auto reference = referencePackage();
  RemoteStreamingRepackOptions o = options();
  const std::string checkpointFile = o.outputDir + ".resume.json";
  EXPECT_EQ(errorOf([&] { run(o, cancelAfterRanges(checkpointFile, 2)); }),
            "the operation was cancelled");
  token_.reset();
  const RemoteInstallCheckpoint saved = RemoteInstallCheckpoint::load(checkpointFile);
  fs::resize_file(o.outputDir + ".partial/packed_experts/layer_00.bin", 100);

  o.resume = true;
  const RemoteStreamingRepackResult result = run(o);
  EXPECT_EQ(result.reusedBytes, 0u);
  EXPECT_EQ(result.downloadedThisRunBytes, result.remoteBytesToDownload);
  // Same identity, and the package still carries tokenizer/config.json.
  EXPECT_EQ(packageContents(o.outputDir), reference);
  (void)saved;
}

TEST_F(StreamingRepackerTest, ResumeRefusesAPlanMadeWithAnotherChunkSize) {
  RemoteStreamingRepackOptions o = options();
  EXPECT_EQ(errorOf([&] { run(o, cancelAfterRanges(o.outputDir + ".resume.json", 1)); }),
            "the operation was cancelled");
  token_.reset();
  o.resume = true;
  o.rangeChunkBytes = kChunk * 2;
  EXPECT_EQ(errorOf([&] { run(o); }),
            "install state is incompatible: saved download source or copy plan changed");
  o.repoID = "someone/else";
  EXPECT_EQ(errorOf([&] { run(o); }),
            "install state is incompatible: saved download belongs to a different source");
  // Both refusals kept the saved download.
  EXPECT_TRUE(fs::exists(o.outputDir + ".resume.json"));
  EXPECT_TRUE(fs::is_directory(o.outputDir + ".partial"));
}

TEST_F(StreamingRepackerTest, OverwriteSwapsInTheNewPackageAndRemovesTheOld) {
  RemoteStreamingRepackOptions o = options();
  fs::create_directories(o.outputDir);
  testutil::writeFile(o.outputDir + "/manifest.json", "{}");
  testutil::writeFile(o.outputDir + "/old-package-file", "old");
  o.overwrite = true;
  // At every durable step of the run the output holds a package, and the
  // replaced tree is never beside a checkpoint that a resume would adopt
  // and swap back over the new package.
  std::vector<std::string> unsafe;
  Posix::testing::observeSyncs([&](const std::string& path) {
    if (path != fs::canonical(dir_.path()).string()) return;
    if (!fs::exists(o.outputDir + "/manifest.json")) unsafe.push_back("no package at the output");
    if (fs::exists(o.outputDir + ".partial/old-package-file") &&
        fs::exists(o.outputDir + ".resume.json")) {
      unsafe.push_back("old package beside the checkpoint");
    }
  });
  run(o);
  Posix::testing::observeSyncs({});
  EXPECT_EQ(unsafe, std::vector<std::string>{});
  EXPECT_FALSE(fs::exists(o.outputDir + "/old-package-file"));
  EXPECT_FALSE(fs::exists(o.outputDir + ".partial"));
  EXPECT_FALSE(fs::exists(o.outputDir + ".resume.json"));
  EXPECT_EQ(errorOf([&] { VerifiedInstallTool::run({o.outputDir}); }), "ok");
}

TEST_F(StreamingRepackerTest, OverwriteReplacesOnlyAPackageOrAnEmptyDirectory) {
  const std::string out = dir_.file("model.korvex");
  RemoteStreamingRepackOptions o = options();
  o.overwrite = true;

  // A folder that never was a package is refused before any request.
  fs::create_directories(out);
  testutil::writeFile(out + "/notes.txt", "mine");
  EXPECT_EQ(errorOf([&] { run(o); }),
            "unsafe installer path " + out +
                ": not a package (no manifest.json); --overwrite replaces only a package or an "
                "empty directory");
  EXPECT_TRUE(hub_->requests().empty());
  EXPECT_EQ(testutil::readFile(out + "/notes.txt"), "mine");

  // So is a file system that cannot exchange two directories.
  testutil::writeFile(out + "/manifest.json", "{}");
  Posix::testing::failNext(Posix::testing::Call::exchange, EINVAL);
  EXPECT_EQ(errorOf([&] { run(o); }), "atomic directory promotion is unsupported for " +
                                          fs::canonical(dir_.path()).string() + ": errno 22");
  Posix::testing::clearFaults();
  EXPECT_TRUE(hub_->requests().empty());
  EXPECT_EQ(testutil::readFile(out + "/notes.txt"), "mine");
  for (const auto& e : fs::directory_iterator(dir_.path())) {
    EXPECT_FALSE(e.path().filename().string().starts_with(".velquor-exchange-probe")) << e.path();
  }

  // An empty directory is replaced.
  fs::remove_all(out);
  fs::create_directories(out);
  run(o);
  EXPECT_EQ(errorOf([&] { VerifiedInstallTool::run({out}); }), "ok");
}

TEST_F(StreamingRepackerTest, PromotionNeverReplacesADirectoryTheStateCheckDidNotSee) {
  const auto reference = referencePackage();
  struct Case {
    const char* name;
    bool overwrite;
  };
  for (const Case c : {Case{"plain", false}, Case{"overwrite", true}}) {
    SCOPED_TRACE(c.name);
    RemoteStreamingRepackOptions o = options(std::string(c.name) + ".korvex");
    const std::string out = o.outputDir;
    if (c.overwrite) {
      fs::create_directories(out);
      testutil::writeFile(out + "/manifest.json", "{}");
    }
    o.overwrite = c.overwrite;
    // While the outputs are hashed, the user puts a folder of their own at
    // the output (moving the old package aside first, if there is one).
    bool placed = false;
    const std::string error = errorOf([&] {
      run(o, [&](ModelInstallProgress p) {
        if (placed || !std::holds_alternative<ModelInstallProgress::HashingOutput>(p.event)) {
          return;
        }
        placed = true;
        if (fs::exists(out)) fs::rename(out, out + ".aside");
        fs::create_directories(out);
        testutil::writeFile(out + "/precious.txt", "x");
      });
    });
    EXPECT_EQ(error, "configuration invalid: output directory already exists: " + out);
    EXPECT_EQ(testutil::readFile(out + "/precious.txt"), "x");
    EXPECT_TRUE(fs::exists(out + ".resume.json"));
    EXPECT_TRUE(fs::is_directory(out + ".partial"));

    // Once the folder is moved away, the saved download finishes.
    fs::rename(out, out + ".mine");
    o.resume = true;
    run(o);
    EXPECT_EQ(packageContents(out), reference);
    EXPECT_EQ(testutil::readFile(out + ".mine/precious.txt"), "x");
  }
}

TEST_F(StreamingRepackerTest, AFailedExchangeKeepsBothTheOldPackageAndTheSavedDownload) {
  const auto reference = referencePackage();
  RemoteStreamingRepackOptions o = options();
  fs::create_directories(o.outputDir);
  testutil::writeFile(o.outputDir + "/manifest.json", "old");
  o.overwrite = true;
  const std::string error = errorOf([&] {
    run(o, [&](ModelInstallProgress p) {
      if (std::holds_alternative<ModelInstallProgress::Finalizing>(p.event)) {
        Posix::testing::failNext(Posix::testing::Call::exchange, EIO);
      }
    });
  });
  Posix::testing::clearFaults();
  EXPECT_EQ(error,
            "atomic directory promotion is unsupported for " + o.outputDir + ".partial: errno 5");
  EXPECT_EQ(testutil::readFile(o.outputDir + "/manifest.json"), "old");
  EXPECT_TRUE(fs::exists(o.outputDir + ".resume.json"));
  o.resume = true;
  run(o);
  EXPECT_EQ(packageContents(o.outputDir), reference);
}

TEST_F(StreamingRepackerTest, EveryPackageFileIsDurableBeforeTheManifestAndReadableByAll) {
  struct Case {
    mode_t umask;
    unsigned file;
    unsigned directory;
  };
  for (const Case c : {Case{022, 0644, 0755}, Case{027, 0640, 0750}}) {
    SCOPED_TRACE(c.umask);
    const RemoteStreamingRepackOptions o = options("umask" + std::to_string(c.umask) + ".korvex");
    const std::string partial = o.outputDir + ".partial";
    // Files and directories keep their inode through the renames that place
    // them, so what was synced is told by inode.
    std::set<ino_t> syncedBeforeManifest;
    bool manifestSynced = false;
    Posix::testing::observeSyncs([&](const std::string& path) {
      if (path.ends_with("/manifest.json.tmp")) manifestSynced = true;
      struct stat st {};
      if (!manifestSynced && ::lstat(path.c_str(), &st) == 0)
        syncedBeforeManifest.insert(st.st_ino);
    });
    const mode_t before = ::umask(c.umask);
    run(o);
    ::umask(before);
    Posix::testing::observeSyncs({});

    ASSERT_TRUE(manifestSynced);
    std::vector<fs::path> entries = {o.outputDir};
    for (const auto& e : fs::recursive_directory_iterator(o.outputDir)) {
      entries.push_back(e.path());
      const unsigned mode = static_cast<unsigned>(e.status().permissions());
      EXPECT_EQ(mode, e.is_directory() ? c.directory : c.file) << e.path();
    }
    for (const fs::path& entry : entries) {
      const std::string name = entry.filename().string();
      if (name == "manifest.json" || name == "verified-install.json") continue;
      struct stat st {};
      ASSERT_EQ(::lstat(entry.c_str(), &st), 0);
      EXPECT_TRUE(syncedBeforeManifest.contains(st.st_ino))
          << entry << " is not durable before the manifest";
    }
  }
}

TEST_F(StreamingRepackerTest, HubFaultsDuringTheCopyAreRetriedOrKeepTheSavedDownload) {
  const auto reference = referencePackage();
  // A busy storage host (503 with Retry-After) and a cut body are retried.
  hub_->inject(HubFault::status(503).withRetryAfter("2").onHost(HubHost::storage).onNth(5));
  hub_->inject(HubFault::cutBody(1000).onHost(HubHost::storage).onNth(7));
  pauses_.clear();
  RemoteStreamingRepackOptions o = options();
  run(o);
  EXPECT_EQ(lastRetries_, 2u);
  ASSERT_EQ(pauses_.size(), 2u);
  EXPECT_EQ(pauses_[0], 2000000000u);  // the server's delay beats the 1 s back-off
  EXPECT_EQ(packageContents(o.outputDir), reference);

  // A storage answer whose ETag is not the file's content hash is refused
  // without retry; the ranges finished so far stay saved.
  hub_->inject(HubFault::etag("\"0000\"").onHost(HubHost::storage).onNth(8).always());
  o = options("etag.korvex");
  const std::string error = errorOf([&] { run(o); });
  EXPECT_EQ(error.rfind("remote protocol invalid: final ranged validator differs for ", 0), 0u)
      << error;
  EXPECT_TRUE(fs::exists(o.outputDir + ".resume.json"));
  hub_->clearFaults();
  o.resume = true;
  run(o);
  EXPECT_EQ(packageContents(o.outputDir), packageContents(dir_.file("reference.korvex")));

  for (const HubRequest& r : hub_->requests()) {
    if (r.host == HubHost::storage) {
      EXPECT_EQ(r.header("Authorization"), std::nullopt);
    }
  }
}

TEST_F(StreamingRepackerTest, SavedDownloadsAreInspectedAndDiscarded) {
  RemoteStreamingRepackOptions o = options();
  EXPECT_EQ(RemoteStreamingRepacker::savedDownloadCheckpoint(o.outputDir, kRepo, kCommit),
            std::nullopt);
  EXPECT_EQ(errorOf([&] { RemoteStreamingRepacker::discardSavedDownload(o.outputDir); }),
            "no resumable install state exists for " + o.outputDir + ".resume.json");

  EXPECT_EQ(errorOf([&] { run(o, cancelAfterRanges(o.outputDir + ".resume.json", 1)); }),
            "the operation was cancelled");
  token_.reset();
  const auto saved = RemoteStreamingRepacker::savedDownloadCheckpoint(o.outputDir, kRepo, kCommit);
  ASSERT_TRUE(saved.has_value());
  EXPECT_EQ(saved->resolvedCommit, kCommit);
  EXPECT_EQ(errorOf([&] {
              RemoteStreamingRepacker::savedDownloadCheckpoint(o.outputDir, "other/repo", kCommit);
            }),
            "install state is incompatible: saved download belongs to a different source");

  RemoteStreamingRepacker::discardSavedDownload(o.outputDir);
  EXPECT_FALSE(fs::exists(o.outputDir + ".partial"));
  EXPECT_FALSE(fs::exists(o.outputDir + ".resume.json"));

  // Discarding under a parent that does not exist creates nothing.
  const std::string deep = dir_.file("no/such/deep/x.korvex");
  EXPECT_EQ(errorOf([&] { RemoteStreamingRepacker::discardSavedDownload(deep); }),
            "no resumable install state exists for " + deep + ".resume.json");
  EXPECT_FALSE(fs::exists(dir_.file("no")));
}

// A download is cancelled inside the range in flight, not after it: on a
// throttled storage host the bytes received once the token is set stay far
// below the range.
TEST_F(StreamingRepackerTest, CancellationLandsInsideTheRangeInFlight) {
  hub_->inject(HubFault::throttle(kChunk).onHost(HubHost::storage).always());
  RemoteStreamingRepackOptions o = options();
  uint64_t atCancel = 0;
  uint64_t largest = 0;
  EXPECT_EQ(errorOf([&] {
              run(o, [&](ModelInstallProgress p) {
                const auto* copy = std::get_if<ModelInstallProgress::CopyingPayload>(&p.event);
                if (copy == nullptr) return;
                largest = std::max(largest, copy->downloadedThisRunBytes);
                if (copy->downloadedThisRunBytes > 0 && !token_.isCancelled()) {
                  atCancel = copy->downloadedThisRunBytes;
                  token_.cancel();
                }
              });
            }),
            "the operation was cancelled");
  token_.reset();
  ASSERT_GT(atCancel, 0u);
  EXPECT_LT(largest - atCancel, static_cast<uint64_t>(kChunk) / 4);
  EXPECT_TRUE(RemoteInstallCheckpoint::load(o.outputDir + ".resume.json").completedRanges.empty());
}

// Reconciling a saved download reads every finished range back; a token set
// during that read stops it at the next tile, not after the file.
TEST(StreamingRepackerReconcile, ReadsBackInTilesAndStopsWhenCancelled) {
  testutil::TempDir dir;
  const std::string root = dir.file("out.korvex.partial");
  fs::create_directories(root);
  const std::string file = root + "/model_weights.bin";
  const uint64_t size = 4 * static_cast<uint64_t>(kDefaultWriteTileBytes);
  testutil::writeFile(file, std::string(size, 'w'));
  CoalescedRangeCopy range;
  range.id = "range-00000000";
  range.shardID = "model-00001-of-00001.safetensors";
  range.size = size;
  range.destinations.push_back({range.shardID, 0, size, file, 0});
  RangeCopyPlan plan;
  plan.coalescedCopies = {range};
  const RemoteCompletedRange done{range.id, destinationDigest(range, root), size, size};

  int tiles = 0;
  EXPECT_EQ(RemoteStreamingRepacker::reconcileCompletedRanges({done}, plan, root, [&] { ++tiles; }),
            std::vector<RemoteCompletedRange>{done});
  EXPECT_EQ(tiles, 4);

  CancellationToken token;
  tiles = 0;
  EXPECT_THROW(RemoteStreamingRepacker::reconcileCompletedRanges({done}, plan, root,
                                                                 [&] {
                                                                   if (++tiles > 1) token.cancel();
                                                                   token.check();
                                                                 }),
               CancellationError);
  EXPECT_EQ(tiles, 2);
}

// Local failures injected through the file layer: each ends in our error
// naming the path, keeps the saved download once its first checkpoint was
// written, and a resume from it gives the package a clean install gives.
TEST_F(StreamingRepackerTest, LocalFailuresKeepAResumableDownload) {
  using Posix::testing::Call;
  const auto reference = referencePackage();
  struct Case {
    std::string name;
    Call call;
    int err;
    std::string pathContains;
    int skip;
    std::function<std::string(const std::string& out)> error;  // its expected start
  };
  const Case cases[] = {
      {"checkpoint.korvex", Call::write, EIO, ".resume.json.tmp", 1,
       [](const std::string& out) { return "pwrite(" + out + ".resume.json.tmp) short: "; }},
      {"full-disk.korvex", Call::write, ENOSPC, "packed_experts/layer_00.bin", 2,
       [](const std::string& out) {
         return "pwrite(" + out + ".partial/packed_experts/layer_00.bin) short: ";
       }},
      {"manifest.korvex", Call::write, EIO, ".partial/manifest.json", 0,
       [](const std::string& out) { return "pwrite(" + out + ".partial/manifest.json"; }},
      {"receipt.korvex", Call::write, EIO, ".partial/verified-install.json", 0,
       [](const std::string& out) {
         return "pwrite(" + out + ".partial/verified-install.json.tmp) short: ";
       }},
      {"rename.korvex", Call::rename, EIO, "rename.korvex$", 0,
       [](const std::string& out) {
         return "rename(" + out + ".partial -> " + out + ") failed: errno 5";
       }},
      {"exchange.korvex", Call::rename, EIO, "exchange.korvex$", 0,
       [](const std::string& out) {
         return "atomic directory promotion is unsupported for " + out + ".partial: errno 5";
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RemoteStreamingRepackOptions o = options(c.name);
    // The exchange replaces an (empty) directory standing at the output.
    o.overwrite = c.name == "exchange.korvex";
    if (o.overwrite) fs::create_directories(o.outputDir);
    Posix::testing::failNext(c.call, c.err, c.pathContains, c.skip);
    const std::string error = errorOf([&] { run(o); });
    Posix::testing::clearFaults();
    EXPECT_EQ(error.rfind(c.error(o.outputDir), 0), 0u) << error;
    EXPECT_TRUE(fs::is_regular_file(o.outputDir + ".resume.json"));
    EXPECT_TRUE(fs::is_directory(o.outputDir + ".partial"));

    o.resume = true;
    EXPECT_EQ(errorOf([&] { run(o); }), "ok");
    EXPECT_EQ(packageContents(o.outputDir), reference);
    EXPECT_FALSE(fs::exists(o.outputDir + ".partial"));
    EXPECT_FALSE(fs::exists(o.outputDir + ".resume.json"));
  }
}

}  // namespace
