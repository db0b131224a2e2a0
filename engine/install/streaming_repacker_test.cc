// The install orchestrator end to end against the loopback test hub serving a
// generated checkpoint: fresh installs, dry runs, resumes after interruption
// and corruption, overwrite, the state rules, side files and hub faults.

#include "engine/install/streaming_repacker.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "engine/common/repack_error.h"
#include "engine/install/package_contents_test_util.h"
#include "engine/io/posix.h"
#include "engine/io/sha256_stream.h"
#include "engine/remote/download_session.h"
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
  // Sequential requests share one kept-alive connection per host.
  // (One each in a quiet run; the hub closes a connection idle for 2 s.)
  EXPECT_LE(hub_->connectionsUsed(), 6u);

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
      {{},
       [&] { fs::create_directories(out); },
       "configuration invalid: output directory already exists: " + out},
      {{},
       [&] { fs::create_directories(out + ".partial"); },
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

TEST_F(StreamingRepackerTest, AlteredFinishedRangeIsFetchedAgainOnResume) {
  const auto reference = referencePackage();
  RemoteStreamingRepackOptions o = options();
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
  testutil::writeFile(o.outputDir + "/old-package-file", "old");
  o.overwrite = true;
  run(o);
  EXPECT_FALSE(fs::exists(o.outputDir + "/old-package-file"));
  EXPECT_FALSE(fs::exists(o.outputDir + ".partial"));
  EXPECT_EQ(errorOf([&] { VerifiedInstallTool::run({o.outputDir}); }), "ok");
}

TEST_F(StreamingRepackerTest, FailureBeforeTheFirstCheckpointLeavesNothing) {
  // The index is not a known source: the snapshot refuses it after fetching
  // metadata into the partial directory, which is removed again.
  RemoteStreamingRepackOptions o = options();
  o.knownSources = KnownSourceTable{};
  EXPECT_EQ(errorOf([&] { run(o); }).rfind("source fingerprint " + indexDigest_, 0), 0u);
  EXPECT_FALSE(fs::exists(o.outputDir + ".partial"));
  EXPECT_FALSE(fs::exists(o.outputDir + ".resume.json"));
}

TEST_F(StreamingRepackerTest, SideFilesRequiredAndOptional) {
  // A missing optional file is skipped; the package verifies without it.
  hub_->inject(HubFault::status(404).on("special_tokens_map.json").onMethod("HEAD"));
  RemoteStreamingRepackOptions o = options("optional.korvex");
  run(o);
  EXPECT_FALSE(fs::exists(o.outputDir + "/tokenizer/special_tokens_map.json"));
  EXPECT_EQ(errorOf([&] { VerifiedInstallTool::run({o.outputDir}); }), "ok");

  // A missing required file fails the install and keeps the saved download,
  // from which a later resume finishes.
  hub_->inject(HubFault::status(404).on("tokenizer_config.json").onMethod("HEAD"));
  o = options("required.korvex");
  const std::string error = errorOf([&] { run(o); });
  EXPECT_EQ(error.rfind("remote HTTP 404: " + hub_->baseURL() + "/", 0), 0u) << error;
  EXPECT_TRUE(fs::exists(o.outputDir + ".resume.json"));
  o.resume = true;
  run(o);
  EXPECT_EQ(errorOf([&] { VerifiedInstallTool::run({o.outputDir}); }), "ok");

  // Another failure of an optional file is not skipped.
  hub_->inject(HubFault::status(401).on("chat_template.jinja").onMethod("HEAD"));
  o = options("unauthorized.korvex");
  EXPECT_EQ(errorOf([&] { run(o); }).rfind("remote HTTP 401: ", 0), 0u);
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
}

}  // namespace
