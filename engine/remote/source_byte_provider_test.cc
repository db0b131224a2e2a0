#include "engine/remote/source_byte_provider.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "engine/common/repack_error.h"
#include "engine/io/posix.h"
#include "engine/io/sha256_stream.h"
#include "engine/plan/plan_fixtures.h"
#include "engine/plan/repack_plan.h"
#include "engine/remote/hub_fixture_test_util.h"
#include "engine/remote/remote_snapshot.h"
#include "format/little_endian.h"
#include "tools/checkpoint_generator.h"

namespace {

using testutil::errorOf;
using Dtype = SourceTensor::Dtype;

// The reserved outputs of a copy plan, created at their final sizes.
void reserveOutputs(const RangeCopyPlan& plan, const std::string& root) {
  for (const RemoteExpectedOutput& out : plan.expectedOutputs) {
    const std::string path = root + "/" + out.relativePath;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    UniqueFd fd = Posix::openCreateRW(path);
    Posix::ftruncate(fd.get(), path, out.size);
  }
}

// The digest taken from the bytes as they pass equals the one read back
// from the destinations, however the body is cut; a range whose
// destinations overlap or go backwards is left to the read-back, and bytes
// skipped or given twice give no digest rather than a wrong one.
TEST(StreamedDestinationDigestTest, MatchesTheReadBackOrDeclines) {
  testutil::TempDir dir;
  const std::string a = dir.file("a.bin"), b = dir.file("sub/b.bin");
  std::filesystem::create_directories(dir.file("sub"));
  std::vector<uint8_t> body(100);
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<uint8_t>(i * 7 + 3);
  const uint64_t base = 1000;  // the range's offset in its shard
  const auto range = [&](std::vector<RangeCopy> destinations) {
    return CoalescedRangeCopy{"range-00000007", "s.safetensors", base, body.size(),
                              std::move(destinations)};
  };
  const auto to = [&](const std::string& path, uint64_t at, uint64_t size, uint64_t offset) {
    return RangeCopy{"s.safetensors", base + at, size, path, offset};
  };
  struct Case {
    const char* name;
    CoalescedRangeCopy range;
    bool streamable;
  };
  const std::vector<Case> cases = {
      {"one destination, the whole range", range({to(a, 0, 100, 0)}), true},
      {"gaps before, between and after",
       range({to(a, 5, 20, 40), to(b, 30, 10, 0), to(a, 60, 30, 0)}), true},
      {"adjacent, and empty destinations",
       range({to(b, 0, 0, 3), to(a, 0, 50, 0), to(b, 50, 0, 9), to(b, 50, 50, 20)}), true},
      {"no destination", range({}), true},
      {"overlapping", range({to(a, 0, 60, 0), to(b, 50, 20, 0)}), false},
      {"backwards", range({to(a, 50, 10, 0), to(b, 10, 10, 0)}), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const std::string& path : {a, b}) {
      UniqueFd fd = Posix::openCreateRW(path);
      Posix::ftruncate(fd.get(), path, 0);
      Posix::ftruncate(fd.get(), path, 200);
    }
    for (const RangeCopy& d : c.range.destinations) {
      UniqueFd fd = Posix::openExistingRW(d.destinationPath);
      Posix::pwriteAll(fd.get(), d.destinationPath, body.data() + (d.sourceOffset - base),
                       static_cast<int64_t>(d.size), d.destinationOffset);
    }
    ASSERT_EQ(StreamedDestinationDigest::streamable(c.range), c.streamable);
    if (!c.streamable) continue;
    const std::string readBack = destinationDigest(c.range, dir.path());
    for (const size_t cut : {size_t{1}, size_t{7}, size_t{33}, body.size()}) {
      StreamedDestinationDigest streamed(c.range, dir.path());
      for (size_t at = 0; at < body.size(); at += cut) {
        streamed.consume(at, std::span(body).subspan(at, std::min(cut, body.size() - at)));
      }
      EXPECT_EQ(streamed.finish(), readBack) << "cut " << cut;
    }
    if (c.range.destinations.empty()) continue;
    StreamedDestinationDigest skipped(c.range, dir.path());
    skipped.consume(0, std::span(body).first(2));
    skipped.consume(95, std::span(body).subspan(95));
    EXPECT_EQ(skipped.finish(), std::nullopt);
    StreamedDestinationDigest repeated(c.range, dir.path());
    repeated.consume(0, body);
    repeated.consume(0, body);
    EXPECT_EQ(repeated.finish(), std::nullopt);
  }
}

class ByteProviderTest : public HubFixture {
 protected:
  void SetUp() override {
    files_ = twoShardExpertCheckpoint(dir_.file("src"), 11);
    serve(files_);
    snapshot_ = RemoteSnapshot::load(source_, root() + "/.remote-metadata", false, nullptr);
    hub_->clearRequests();
  }

  std::string root() const { return dir_.file("out.korvex.partial"); }
  std::string temporary() const { return root() + "/.range.tmp"; }

  // The copy plan at `chunkBytes`, with every output reserved at its size.
  RangeCopyPlan reservePlan(int64_t chunkBytes) {
    const RepackPlan plan =
        RepackPlan::build(snapshot_.metadata, snapshot_.arch, snapshot_.shardHeaders, root());
    RangeCopyPlan copies = RangeCopyPlanner::plan(plan, chunkBytes);
    reserveOutputs(copies, root());
    return copies;
  }

  HTTPRangeSourceByteProvider provider(int64_t tileBytes = kDefaultWriteTileBytes) const {
    return HTTPRangeSourceByteProvider(source_.pinned(snapshot_.resolvedCommit),
                                       snapshot_.remoteFiles, tileBytes);
  }

  // Runs a copy, collecting progress and completions.
  void copy(HTTPRangeSourceByteProvider p, const std::vector<CoalescedRangeCopy>& ranges,
            const std::set<std::string>& finished = {},
            std::function<void(const RemoteCompletedRange&)> onCompletion = {}) {
    p.copyRanges(
        ranges, finished, root(), temporary(), audit_,
        [this](const CopyProgress& now) {
          progress_.push_back(now.fetchedBytes);
          EXPECT_GE(now.activeConnections, 0);
          EXPECT_LE(now.activeConnections, kMaxConnections);
        },
        [&](const RemoteCompletedRange& r) {
          completed_.push_back(r);
          if (onCompletion) onCompletion(r);
        });
  }

  size_t storageGets() const {
    size_t n = 0;
    for (const HubRequest& r : hub_->requests()) n += r.host == HubHost::storage;
    return n;
  }

  // The hub's resolve requests per file.
  std::map<std::string, size_t> resolves() const {
    std::map<std::string, size_t> out;
    for (const HubRequest& r : hub_->requests()) {
      if (r.host == HubHost::hub && r.method == "GET") out[r.file] += 1;
    }
    return out;
  }

  // Every range of `plan` was reported once, holding the source's bytes.
  void expectCopied(const RangeCopyPlan& plan) {
    std::map<std::string, std::string> digests;
    for (const RemoteCompletedRange& r : completed_) digests[r.id] = r.destinationDigest;
    ASSERT_EQ(digests.size(), plan.coalescedCopies.size());
    for (const CoalescedRangeCopy& range : plan.coalescedCopies) {
      EXPECT_EQ(digests[range.id], digestFromSource(range, root(), MemoryCheckpoint(files_)))
          << range.id;
    }
  }

  std::map<std::string, std::string> files_;
  RemoteSnapshot snapshot_;
  std::vector<uint64_t> progress_;
  std::vector<RemoteCompletedRange> completed_;
};

TEST_F(ByteProviderTest, EveryRangeLandsAtItsDestinationsAndIsFingerprinted) {
  const RangeCopyPlan plan = reservePlan(4096);
  ASSERT_GT(plan.coalescedCopies.size(), 4u);
  copy(provider(1000), plan.coalescedCopies);

  ASSERT_EQ(completed_.size(), plan.coalescedCopies.size());
  uint64_t destinationBytes = 0, destinations = 0, largest = 0;
  for (size_t i = 0; i < completed_.size(); ++i) {
    const CoalescedRangeCopy& range = plan.coalescedCopies[i];
    uint64_t rangeDestinationBytes = 0;
    for (const RangeCopy& d : range.destinations) {
      rangeDestinationBytes += d.size;
      destinations += 1;
    }
    destinationBytes += rangeDestinationBytes;
    largest = std::max(largest, range.size);
    EXPECT_EQ(
        completed_[i],
        (RemoteCompletedRange{range.id, digestFromSource(range, root(), MemoryCheckpoint(files_)),
                              range.size, rangeDestinationBytes}));
    EXPECT_EQ(destinationDigest(range, root()), completed_[i].destinationDigest);
  }
  for (const RangeCopy& c : plan.scalarCopies) {
    const std::string written =
        testutil::readFile(c.destinationPath).substr(c.destinationOffset, c.size);
    ASSERT_EQ(written, files_.at(c.shardID).substr(c.sourceOffset, c.size)) << c.destinationPath;
  }
  EXPECT_EQ(audit_.remoteRangeRequests, plan.coalescedCopies.size());
  EXPECT_EQ(audit_.remoteBytesDownloaded, plan.remoteBytesToDownload);
  EXPECT_EQ(audit_.largestRemoteTransferBytes, static_cast<int64_t>(largest));
  EXPECT_EQ(audit_.sourceBytesRead, destinationBytes);
  EXPECT_EQ(audit_.outputBytesWritten, destinationBytes);
  EXPECT_EQ(audit_.intentionalCopyBytes, destinationBytes);
  // Each destination gets at least one write, more when its bytes arrive
  // in several pieces of the body.
  EXPECT_GE(audit_.byteCopyTiles, destinations);
  EXPECT_EQ(audit_.largestScratchBytes, 1000);
  EXPECT_TRUE(std::is_sorted(progress_.begin(), progress_.end()));
  EXPECT_EQ(progress_.back(), plan.remoteBytesToDownload);
  EXPECT_FALSE(std::filesystem::exists(temporary()));
  EXPECT_EQ(storageGets(), plan.coalescedCopies.size());
  for (const HubRequest& r : hub_->requests()) {
    if (r.host == HubHost::hub) {
      EXPECT_NE(r.target.find(kHubCommit), std::string::npos) << r.target;
    }
  }
}

TEST_F(ByteProviderTest, FinishedRangesAreSkippedEntirely) {
  const RangeCopyPlan plan = reservePlan(4096);
  std::set<std::string> finished;
  for (const CoalescedRangeCopy& r : plan.coalescedCopies) finished.insert(r.id);
  const CoalescedRangeCopy& todo = plan.coalescedCopies[2];
  finished.erase(todo.id);
  copy(provider(), plan.coalescedCopies, finished);
  ASSERT_EQ(completed_.size(), 1u);
  EXPECT_EQ(completed_[0].id, todo.id);
  EXPECT_EQ(storageGets(), 1u);
  EXPECT_EQ(progress_.front(), 0u);
  EXPECT_EQ(progress_.back(), todo.size);

  // Everything finished: no request, no progress, no completion.
  completed_.clear();
  progress_.clear();
  hub_->clearRequests();
  finished.insert(todo.id);
  copy(provider(), plan.coalescedCopies, finished);
  EXPECT_TRUE(completed_.empty());
  EXPECT_TRUE(progress_.empty());
  EXPECT_TRUE(hub_->requests().empty());
}

TEST_F(ByteProviderTest, RangesAreBoundedByTheirFileAndPlan) {
  const std::string shard = plan_fixtures::kShard2;
  const uint64_t size = files_.at(shard).size();
  std::filesystem::create_directories(root());
  const std::string out = root() + "/tail.bin";
  UniqueFd fd = Posix::openCreateRW(out);
  Posix::ftruncate(fd.get(), out, 16);
  const auto rangeAt = [&](std::string id, std::string shardID, uint64_t offset) {
    return CoalescedRangeCopy{id, shardID, offset, 16, {RangeCopy{shardID, offset, 16, out, 0}}};
  };
  // Ending on the file's last byte is fine.
  copy(provider(), {rangeAt("range-00000000", shard, size - 16)});
  EXPECT_EQ(testutil::readFile(out), files_.at(shard).substr(size - 16));

  EXPECT_EQ(errorOf([&] { copy(provider(), {rangeAt("range-00000001", shard, size - 15)}); }),
            "remote protocol invalid: range " + std::to_string(size - 15) + "-" +
                std::to_string(size) + " exceeds " + shard);
  EXPECT_EQ(errorOf([&] { copy(provider(), {rangeAt("range-00000002", "other.safetensors", 0)}); }),
            "configuration invalid: missing remote info for other.safetensors");
  CoalescedRangeCopy outside = rangeAt("range-00000003", shard, 100);
  outside.destinations[0].sourceOffset = 99;
  EXPECT_EQ(errorOf([&] { copy(provider(), {outside}); }),
            "configuration invalid: range range-00000003 has a destination outside its source "
            "bytes");
  EXPECT_EQ(completed_.size(), 1u);
  EXPECT_EQ(errorOf([&] { copy(provider(0), {rangeAt("range-00000004", shard, 0)}); }),
            "configuration invalid: writeTileBytes must be positive");
}

TEST_F(ByteProviderTest, FaultsDuringACopy) {
  const RangeCopyPlan plan = reservePlan(4096);
  const std::vector<CoalescedRangeCopy> ranges(plan.coalescedCopies.begin(),
                                               plan.coalescedCopies.begin() + 3);
  const std::string label = "downloadRangeToTempFile:" + ranges[1].shardID;

  // A transient failure of the second range is retried and recorded.
  hub_->inject(HubFault::cutBody(100).onHost(HubHost::storage).onNth(2));
  copy(provider(), ranges);
  EXPECT_EQ(completed_.size(), 3u);
  ASSERT_EQ(audit_.remoteRetries.size(), 1u);
  EXPECT_EQ(audit_.remoteRetries[0],
            (RepackAudit::RemoteRetryRecord{
                label, 1,
                "remote body for " + ranges[1].shardID + " was truncated: expected " +
                    std::to_string(ranges[1].size) + ", received 100"}));
  EXPECT_EQ(audit_.remoteRangeRetries, 1u);
  EXPECT_EQ(audit_.remoteRangeRequests, 3u);  // finished transfers, not attempts

  // A Retry-After beyond the cap ends the copy at once; the first range stays
  // completed, the one in flight is not reported.
  completed_.clear();
  audit_.remoteRetries.clear();
  hub_->inject(HubFault::status(503).withRetryAfter("3601").onHost(HubHost::storage).onNth(2));
  EXPECT_EQ(errorOf([&] { copy(provider(), ranges); }),
            "remote Retry-After 3601 exceeds 3600-second cap");
  EXPECT_EQ(completed_.size(), 1u);
  EXPECT_TRUE(audit_.remoteRetries.empty());
  EXPECT_FALSE(std::filesystem::exists(temporary()));

  // With one attempt allowed a retryable failure is final.
  completed_.clear();
  HuggingFaceRemoteSource once = source_.pinned(snapshot_.resolvedCommit);
  once.retryPolicy.attempts = 0;
  hub_->inject(HubFault::status(503).onHost(HubHost::storage));
  EXPECT_EQ(errorOf([&] {
              HTTPRangeSourceByteProvider(once, snapshot_.remoteFiles)
                  .copyRanges(ranges, {}, root(), temporary(), audit_, {},
                              [&](const RemoteCompletedRange& r) { completed_.push_back(r); });
            }).substr(0, 17),
            "remote HTTP 503: ");
  EXPECT_TRUE(completed_.empty());
  EXPECT_TRUE(audit_.remoteRetries.empty());

  // A destination that cannot be made durable.
  completed_.clear();
  Posix::testing::failNext(Posix::testing::Call::fsync, 5);
  EXPECT_EQ(errorOf([&] { copy(provider(), {ranges[0]}); }),
            "fsync(" + ranges[0].destinations[0].destinationPath + ") failed: errno 5");
  Posix::testing::clearFaults();
  EXPECT_TRUE(completed_.empty());
  EXPECT_FALSE(std::filesystem::exists(temporary()));
}

TEST_F(ByteProviderTest, CompletionFailuresAndCancellationEndTheCopy) {
  const RangeCopyPlan plan = reservePlan(4096);
  EXPECT_EQ(errorOf([&] {
              copy(provider(), plan.coalescedCopies, {}, [](const RemoteCompletedRange&) {
                throw std::runtime_error("checkpoint full");
              });
            }),
            "checkpoint full");
  EXPECT_EQ(completed_.size(), 1u);
  EXPECT_EQ(storageGets(), 1u);

  completed_.clear();
  hub_->clearRequests();
  EXPECT_THROW(copy(provider(), plan.coalescedCopies, {},
                    [this](const RemoteCompletedRange&) { token_.cancel(); }),
               CancellationError);
  EXPECT_EQ(completed_.size(), 1u);
  EXPECT_EQ(storageGets(), 1u);
  EXPECT_FALSE(std::filesystem::exists(temporary()));
}

// Ranges of a shard fetched by several connections at once go through the
// hub once per shard, then straight to the storage URL without the token.
TEST_F(ByteProviderTest, EachShardIsResolvedOnceForAllItsRanges) {
  const RangeCopyPlan plan = reservePlan(4096);
  std::map<std::string, size_t> rangesPerShard;
  for (const CoalescedRangeCopy& r : plan.coalescedCopies) rangesPerShard[r.shardID] += 1;
  ASSERT_EQ(rangesPerShard.size(), 2u);
  for (const auto& [shard, n] : rangesPerShard) ASSERT_GE(n, 4u) << shard;
  source_.storageURLs = std::make_shared<StorageURLCache>();  // forget what loading learned
  copy(HTTPRangeSourceByteProvider(source_.pinned(snapshot_.resolvedCommit), snapshot_.remoteFiles,
                                   kDefaultWriteTileBytes, 8),
       plan.coalescedCopies);
  expectCopied(plan);
  EXPECT_EQ(resolves(), (std::map<std::string, size_t>{{plan_fixtures::kShard1, 1},
                                                       {plan_fixtures::kShard2, 1}}));
  EXPECT_EQ(storageGets(), plan.coalescedCopies.size());
  for (const HubRequest& r : hub_->requests()) {
    const std::optional<std::string> token = r.header("Authorization");
    EXPECT_EQ(token, r.host == HubHost::hub
                         ? std::optional<std::string>(std::string("Bearer ") + kHubToken)
                         : std::nullopt)
        << r.target;
  }
}

// A storage URL that stops working (refused, or past its expiry) is
// resolved again through the hub: no retry, the same bytes.
TEST_F(ByteProviderTest, AStorageURLThatStopsWorkingIsResolvedAgain) {
  const RangeCopyPlan plan = reservePlan(4096);
  const std::string shard = plan.coalescedCopies[0].shardID;
  ASSERT_EQ(plan.coalescedCopies[2].shardID, shard);
  source_.storageURLs = std::make_shared<StorageURLCache>();
  hub_->inject(HubFault::status(403).onHost(HubHost::storage).onNth(3));
  copy(provider(), plan.coalescedCopies);
  expectCopied(plan);
  EXPECT_EQ(resolves().at(shard), 2u);
  EXPECT_TRUE(audit_.remoteRetries.empty());

  // URLs that live two seconds, and a pause of more than that after the first
  // range: the next range finds its URL expired and resolves first.
  hub_.reset();
  serve(files_, [](TestHubOptions& o) { o.signedURLLifetime = std::chrono::seconds(2); });
  snapshot_ = RemoteSnapshot::load(source_, dir_.file("metadata"), false, nullptr);
  source_.storageURLs = std::make_shared<StorageURLCache>();
  hub_->clearRequests();
  completed_.clear();
  bool paused = false;
  copy(provider(), plan.coalescedCopies, {}, [&](const RemoteCompletedRange&) {
    if (!std::exchange(paused, true)) std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  });
  expectCopied(plan);
  EXPECT_GE(resolves().at(shard), 2u);
  EXPECT_TRUE(audit_.remoteRetries.empty());
}

TEST_F(ByteProviderTest, DigestChangesWithAnyDestinationByteOrTheId) {
  const RangeCopyPlan plan = reservePlan(4096);
  copy(provider(), plan.coalescedCopies);
  CoalescedRangeCopy range = plan.coalescedCopies.back();
  const std::string recorded = completed_.back().destinationDigest;
  EXPECT_EQ(destinationDigest(range, root()), recorded);

  const RangeCopy& last = range.destinations.back();
  UniqueFd fd = Posix::openExistingRW(last.destinationPath);
  uint8_t byte = 0;
  Posix::preadAll(fd.get(), last.destinationPath, &byte, 1, last.destinationOffset + last.size - 1);
  byte ^= 1;
  Posix::pwriteAll(fd.get(), last.destinationPath, &byte, 1,
                   last.destinationOffset + last.size - 1);
  EXPECT_NE(destinationDigest(range, root()), recorded);
  byte ^= 1;
  Posix::pwriteAll(fd.get(), last.destinationPath, &byte, 1,
                   last.destinationOffset + last.size - 1);
  EXPECT_EQ(destinationDigest(range, root()), recorded);
  range.id = "range-99999999";
  EXPECT_NE(destinationDigest(range, root()), recorded);
}

// Every fault of the single-connection tests, injected on one of eight
// connections: a retryable one is retried on its own and the copy finishes
// with every range's bytes in place; a final one ends the copy with the
// message one connection gives, after the other transfers have stopped.
TEST_F(ByteProviderTest, AFaultOnOneOfSeveralConnections) {
  const RangeCopyPlan plan = reservePlan(4096);
  ASSERT_GE(plan.coalescedCopies.size(), 12u);
  const auto parallel = [&] {
    return HTTPRangeSourceByteProvider(source_.pinned(snapshot_.resolvedCommit),
                                       snapshot_.remoteFiles, kDefaultWriteTileBytes, 8);
  };
  // The message names the shard, or the storage object's URL without its
  // signed query.
  const auto objectURLs = [&] {
    std::set<std::string> urls;
    for (const HubRequest& r : hub_->requests()) {
      if (r.host == HubHost::storage) {
        urls.insert(hub_->storageURL() + r.target.substr(0, r.target.find('?')));
      }
    }
    return urls;
  };
  const auto checkCompleted = [&](const std::string& label) {
    for (const RemoteCompletedRange& done : completed_) {
      const auto range = std::find_if(plan.coalescedCopies.begin(), plan.coalescedCopies.end(),
                                      [&](const auto& r) { return r.id == done.id; });
      ASSERT_NE(range, plan.coalescedCopies.end()) << label;
      EXPECT_EQ(done.destinationDigest, digestFromSource(*range, root(), MemoryCheckpoint(files_)))
          << label;
    }
  };
  const auto reset = [&] {
    completed_.clear();
    audit_.remoteRetries.clear();
    hub_->clearFaults();
    hub_->clearRequests();
  };

  struct Transient {
    std::string name;
    HubFault fault;
    // A request dropped on a kept connection is sent again on a new one by
    // libcurl itself, without a retry of ours.
    bool mayBeResentUnseen = false;
  };
  const std::vector<Transient> transient = {
      {"503 with Retry-After", HubFault::status(503).withRetryAfter("1")},
      {"429", HubFault::status(429)},
      {"502", HubFault::status(502)},
      {"connection cut", HubFault::cutBody(100)},
      {"connection dropped unanswered", HubFault::dropConnection(), true},
  };
  for (const Transient& c : transient) {
    reset();
    hub_->inject(c.fault.onHost(HubHost::storage).onNth(5));
    copy(parallel(), plan.coalescedCopies);
    EXPECT_EQ(completed_.size(), plan.coalescedCopies.size()) << c.name;
    if (c.mayBeResentUnseen) {
      EXPECT_LE(audit_.remoteRetries.size(), 1u) << c.name;
    } else {
      EXPECT_EQ(audit_.remoteRetries.size(), 1u) << c.name;
    }
    checkCompleted(c.name);
  }

  struct Final {
    HubFault fault;
    std::function<std::string(const std::string& shardOrURL)> error;
    bool namesURL = false;
  };
  const std::string prefix = "remote protocol invalid: ";
  const std::vector<Final> finals = {
      {HubFault::status(404), [](const auto& u) { return "remote HTTP 404: " + u; }, true},
      {HubFault::status(503).withRetryAfter("3601"),
       [](const auto&) { return std::string("remote Retry-After 3601 exceeds 3600-second cap"); }},
      {HubFault::ignoreRange(), [](const auto& u) { return "remote HTTP 200: " + u; }, true},
      {HubFault::contentEncoding("gzip"),
       [&](const auto& s) { return prefix + "compressed range response for " + s; }},
      {HubFault::contentLength("99"),
       [&](const auto& s) { return prefix + "wrong Content-Length for " + s; }},
      {HubFault::weakETag(),
       [&](const auto& s) { return prefix + "final ranged validator differs for " + s; }},
  };
  for (const Final& c : finals) {
    reset();
    const HubFault fault = c.fault.onHost(HubHost::storage).onNth(5);
    hub_->inject(fault);
    const std::string error = errorOf([&] { copy(parallel(), plan.coalescedCopies); });
    std::set<std::string> expected;
    for (const std::string& name :
         c.namesURL ? objectURLs()
                    : std::set<std::string>{plan_fixtures::kShard1, plan_fixtures::kShard2}) {
      expected.insert(c.error(name));
    }
    EXPECT_TRUE(expected.contains(error)) << fault.describe() << ": " << error;
    EXPECT_LT(completed_.size(), plan.coalescedCopies.size()) << fault.describe();
    EXPECT_TRUE(audit_.remoteRetries.empty()) << fault.describe();
    checkCompleted(fault.describe());
    // Nothing goes on after copyRanges has returned.
    const size_t requests = hub_->requests().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(hub_->requests().size(), requests) << fault.describe();
  }
}

// `count` ranges that together copy the first shard into the file `out`.
std::vector<CoalescedRangeCopy> shardInPieces(const std::map<std::string, std::string>& files,
                                              const std::string& out, uint64_t count) {
  const std::string shard = plan_fixtures::kShard1;
  const std::string& bytes = files.at(shard);
  std::filesystem::create_directories(std::filesystem::path(out).parent_path());
  UniqueFd fd = Posix::openCreateRW(out);
  Posix::ftruncate(fd.get(), out, static_cast<int64_t>(bytes.size()));
  std::vector<CoalescedRangeCopy> ranges;
  const uint64_t piece = bytes.size() / count + 1;
  for (uint64_t at = 0; at < bytes.size(); at += piece) {
    const uint64_t size = std::min<uint64_t>(piece, bytes.size() - at);
    char id[32];
    std::snprintf(id, sizeof id, "range-%08zu", ranges.size());
    ranges.push_back(
        CoalescedRangeCopy{id, shard, at, size, {RangeCopy{shard, at, size, out, at}}});
  }
  return ranges;
}

// A source whose session really sleeps between attempts (interruptibly),
// with pauses short enough for a test.
HuggingFaceRemoteSource realTimeSource(const HuggingFaceRemoteSource& pinned, const TestHub& hub,
                                       CancellationToken& token) {
  HuggingFaceRemoteSource source = pinned;
  RemoteDownloadSessionOptions options;
  options.caBundlePath = hub.caFile();
  options.cancellation = &token;
  source.downloadSession =
      std::make_shared<const RemoteDownloadSession>(RemoteDownloadSessionPolicy{}, options);
  source.retryPolicy.attempts = 30;
  source.retryPolicy.baseDelayNs = 50000000;
  source.retryPolicy.maxDelayNs = 400000000;
  return source;
}

// A server that refuses more than two of one client's connections: with
// eight allowed, the copy backs off to what the server accepts and
// finishes with every range's bytes in place.
TEST_F(ByteProviderTest, BacksOffToAServersConnectionLimit) {
  const std::string out = root() + "/copy.bin";
  const std::string& bytes = files_.at(plan_fixtures::kShard1);
  const std::vector<CoalescedRangeCopy> ranges = shardInPieces(files_, out, 48);
  hub_->inject(HubFault::connectionLimit(2));
  hub_->inject(HubFault::delay(std::chrono::milliseconds(100)).onHost(HubHost::storage).always());
  const HuggingFaceRemoteSource source =
      realTimeSource(source_.pinned(snapshot_.resolvedCommit), *hub_, token_);
  copy(HTTPRangeSourceByteProvider(source, snapshot_.remoteFiles, kDefaultWriteTileBytes, 8),
       ranges);

  EXPECT_EQ(completed_.size(), ranges.size());
  EXPECT_TRUE(testutil::readFile(out) == bytes);
  const std::vector<HubRequest> requests = hub_->requests();
  const auto firstRefusal = std::find_if(requests.begin(), requests.end(),
                                         [](const HubRequest& r) { return r.status == 429; });
  ASSERT_NE(firstRefusal, requests.end());
  // Refusals on the storage host mean more than two transfers at once after
  // the hub's refusals had been answered: the adaptive limit keeps that
  // from happening (eight fixed workers got dozens).
  const auto storageRefusals = std::count_if(firstRefusal, requests.end(), [](const HubRequest& r) {
    return r.host == HubHost::storage && r.status == 429;
  });
  EXPECT_LE(storageRefusals, 2);
}

// A final failure of one range ends the others' back-off pauses: the copy
// stops at once with the message one connection would have shown.
TEST_F(ByteProviderTest, AFinalFailureCutsOtherRangesPausesShort) {
  const RangeCopyPlan plan = reservePlan(4096);
  const std::vector<CoalescedRangeCopy> ranges(plan.coalescedCopies.begin(),
                                               plan.coalescedCopies.begin() + 4);
  const HuggingFaceRemoteSource source =
      realTimeSource(source_.pinned(snapshot_.resolvedCommit), *hub_, token_);
  hub_->inject(HubFault::status(400).onHost(HubHost::storage));
  const std::string alone = errorOf([&] {
    copy(HTTPRangeSourceByteProvider(source, snapshot_.remoteFiles, kDefaultWriteTileBytes, 1),
         ranges);
  });
  EXPECT_EQ(alone.substr(0, 17), "remote HTTP 400: ");

  // The 503 is answered slowly enough for the other range's request to be
  // on its way: a server's pause holds only attempts not yet started.
  HubFault slowOverload = HubFault::status(503).withRetryAfter("30").onHost(HubHost::storage);
  slowOverload.effect.delay = std::chrono::milliseconds(300);
  hub_->inject(slowOverload);
  hub_->inject(HubFault::status(400).onHost(HubHost::storage));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(
      errorOf([&] {
        copy(HTTPRangeSourceByteProvider(source, snapshot_.remoteFiles, kDefaultWriteTileBytes, 2),
             ranges);
      }),
      alone);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(hub_->pendingFaults(), 0u);
}

// A server's pause (here the reset of its RateLimit window, 4 s away) holds
// every connection, not only the one that was told.
TEST_F(ByteProviderTest, AServersPauseHoldsEveryConnection) {
  const std::vector<CoalescedRangeCopy> ranges = shardInPieces(files_, root() + "/copy.bin", 48);
  hub_->inject(HubFault::status(429)
                   .withHeader("RateLimit", "\"resolvers\";r=0;t=3")
                   .onHost(HubHost::storage)
                   .onNth(3));
  // Each answer takes a while, so that ranges are still waiting to start.
  hub_->inject(HubFault::delay(std::chrono::milliseconds(100)).onHost(HubHost::storage).always());
  const HuggingFaceRemoteSource source =
      realTimeSource(source_.pinned(snapshot_.resolvedCommit), *hub_, token_);
  copy(HTTPRangeSourceByteProvider(source, snapshot_.remoteFiles, kDefaultWriteTileBytes, 8),
       ranges);
  EXPECT_EQ(completed_.size(), ranges.size());

  const std::vector<HubRequest> requests = hub_->requests();
  const auto told = std::find_if(requests.begin(), requests.end(),
                                 [](const HubRequest& r) { return r.status == 429; });
  ASSERT_NE(told, requests.end());
  // Requests already on their way may still arrive just after the 429; none
  // starts during the rest of the pause.
  for (const HubRequest& r : requests) {
    if (r.host != HubHost::storage) continue;
    const auto after = r.receivedAt - told->receivedAt;
    EXPECT_FALSE(after > std::chrono::seconds(1) && after < std::chrono::milliseconds(3500))
        << r.target << " " << std::chrono::duration_cast<std::chrono::milliseconds>(after).count()
        << " ms";
  }
}

class GeneratedCheckpointCopyTest : public HubFixture {};

TEST_F(GeneratedCheckpointCopyTest, AKnownCheckpointIsCopiedByteForByte) {
  const auto checkpoint =
      std::make_shared<GeneratedCheckpoint>(smallCheckpointOptions(CheckpointFamily::gemma4));
  serve(checkpoint);
  const std::string root = dir_.file("gemma.korvex.partial");
  Sha256Stream indexDigest;
  const std::string& index = checkpoint->sideFiles().at("model.safetensors.index.json");
  indexDigest.update(index.data(), index.size());
  const KnownSourceTable known = {{indexDigest.finalizeHex(), "generated-gemma4"}};
  const RemoteSnapshot snapshot =
      RemoteSnapshot::load(source_, root + "/.remote-metadata", true, &audit_, known);
  EXPECT_EQ(snapshot.shardHeaders.size(), checkpoint->shards().size());

  const RepackPlan plan =
      RepackPlan::build(snapshot.metadata, snapshot.arch, snapshot.shardHeaders, root);
  const RangeCopyPlan copies = RangeCopyPlanner::plan(plan, RemoteChunkPolicy::defaultBytes);
  reserveOutputs(copies, root);
  std::vector<RemoteCompletedRange> completed;
  HTTPRangeSourceByteProvider(source_.pinned(snapshot.resolvedCommit), snapshot.remoteFiles)
      .copyRanges(copies.coalescedCopies, {}, root, root + "/.range.tmp", audit_, {},
                  [&](const RemoteCompletedRange& r) { completed.push_back(r); });
  ASSERT_EQ(completed.size(), copies.coalescedCopies.size());
  // The recorded digests follow the bodies; what the destinations hold is
  // read back to show the writes, gathered into tiles, put every byte in
  // place. Some ranges span several tiles.
  uint64_t largest = 0;
  for (size_t i = 0; i < completed.size(); ++i) {
    const std::string expected = digestFromSource(copies.coalescedCopies[i], root, *checkpoint);
    EXPECT_EQ(completed[i].destinationDigest, expected);
    EXPECT_EQ(destinationDigest(copies.coalescedCopies[i], root), expected);
    largest = std::max(largest, copies.coalescedCopies[i].size);
  }
  EXPECT_GT(largest, 3u * 131072u);
  for (const RangeCopy& c : copies.scalarCopies) {
    std::vector<uint8_t> expected(c.size);
    checkpoint->read(c.shardID, c.sourceOffset, expected);
    const std::string written =
        testutil::readFile(c.destinationPath).substr(c.destinationOffset, c.size);
    ASSERT_EQ(written, std::string(expected.begin(), expected.end())) << c.destinationPath;
  }
  EXPECT_EQ(audit_.remoteBytesDownloaded, copies.remoteBytesToDownload);
  EXPECT_TRUE(audit_.remoteRetries.empty());
}

}  // namespace
