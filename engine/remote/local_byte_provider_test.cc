#include "engine/remote/local_byte_provider.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

#include "engine/common/repack_error.h"
#include "engine/io/posix.h"
#include "engine/io/sha256_stream.h"
#include "engine/plan/plan_fixtures.h"
#include "engine/plan/repack_plan.h"
#include "engine/remote/hub_fixture_test_util.h"
#include "engine/remote/remote_snapshot.h"
#include "format/little_endian.h"

namespace {

using testutil::errorOf;
using Dtype = SourceTensor::Dtype;

std::string sha256Of(const std::string& bytes) {
  Sha256Stream s;
  s.update(bytes.data(), bytes.size());
  return s.finalizeHex();
}

// Two shards served by the test hub and written to local files.
class LocalByteProviderTest : public HubFixture {
 protected:
  void SetUp() override {
    files_ = twoShardExpertCheckpoint(dir_.file("src"), 5);
    serve(files_);
    snapshot_ = RemoteSnapshot::load(source_, dir_.file("metadata"), false, nullptr);
    const RepackPlan plan =
        RepackPlan::build(snapshot_.metadata, snapshot_.arch, snapshot_.shardHeaders, root());
    plan_ = RangeCopyPlanner::plan(plan, 4096);
    for (const CoalescedRangeCopy& r : plan_.coalescedCopies) ranges_[r.shardID].push_back(r.id);
    hub_->clearRequests();
  }

  std::string root() const { return dir_.file("out.korvex.partial"); }

  // Empty outputs at their final sizes, so that stale bytes cannot pass.
  void reserveOutputs() {
    std::filesystem::remove_all(root());
    for (const RemoteExpectedOutput& out : plan_.expectedOutputs) {
      const std::string path = root() + "/" + out.relativePath;
      std::filesystem::create_directories(std::filesystem::path(path).parent_path());
      UniqueFd fd = Posix::openCreateRW(path);
      Posix::ftruncate(fd.get(), path, out.size);
    }
  }

  // `shard` written to a local file holding `bytes`, described with its
  // true size and digest.
  LocalShardFile local(const std::string& shard, const std::string& bytes) {
    const std::string path = dir_.file("local/" + std::to_string(written_++) + "/" + shard);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    testutil::writeFile(path, bytes);
    const std::string& original = files_.at(shard);
    return LocalShardFile{path, original.size(), sha256Of(original), false};
  }

  std::shared_ptr<SourceByteProvider> hub() const {
    return std::make_shared<HTTPRangeSourceByteProvider>(source_.pinned(snapshot_.resolvedCommit),
                                                         snapshot_.remoteFiles);
  }

  void copy(LocalShardByteProvider provider, const std::set<std::string>& finished = {},
            std::function<void(const RemoteCompletedRange&)> onCompletion = {}) {
    reserveOutputs();
    provider.copyRanges(
        plan_.coalescedCopies, finished, root(), root() + "/.range.tmp", audit_,
        [this](const CopyProgress& now) {
          if (!progress_.empty()) {
            EXPECT_GE(now.fetchedBytes, progress_.back().fetchedBytes);
            EXPECT_GE(now.localBytes, progress_.back().localBytes);
          }
          progress_.push_back(now);
        },
        [&](const RemoteCompletedRange& r) {
          note("done", r.id);
          completed_.push_back(r);
          if (onCompletion) onCompletion(r);
        });
  }

  LocalByteProviderOptions options() {
    LocalByteProviderOptions o;
    o.cancellation = &token_;
    o.warn = [this](const std::string& line) { warnings_.push_back(line); };
    o.rangePlaced = [this](const CoalescedRangeCopy& r) { note("placed", r.id); };
    o.rangeWithdrawn = [this](const CoalescedRangeCopy& r) { note("withdrawn", r.id); };
    return o;
  }

  // Placed, withdrawn and reported ranges, in the order the calls came.
  void note(const std::string& what, const std::string& id) {
    const std::lock_guard<std::mutex> lock(eventsMutex_);
    events_.push_back(what + " " + id);
  }
  // Checks that every range reported was placed before, unless it was
  // withdrawn first (and then fetched); returns the withdrawn ranges.
  std::set<std::string> withdrawnAfterPlacing() {
    std::set<std::string> placed, withdrawn;
    for (const std::string& e : events_) {
      const std::string what = e.substr(0, e.find(' ')), id = e.substr(e.find(' ') + 1);
      if (what == "placed") {
        EXPECT_TRUE(placed.insert(id).second) << id << " placed twice";
      }
      if (what == "withdrawn") withdrawn.insert(id);
      if (what == "done" && !withdrawn.contains(id)) {
        EXPECT_TRUE(placed.contains(id)) << id << " reported before it was placed";
      }
    }
    return withdrawn;
  }

  void reset() {
    completed_.clear();
    events_.clear();
    progress_.clear();
    warnings_.clear();
    hub_->clearRequests();
    audit_.localBytesRead = 0;
    audit_.remoteBytesDownloaded = 0;
  }

  // The ranges reported, each holding the source's bytes.
  std::set<std::string> expectCopiedRight() {
    std::set<std::string> ids;
    for (const RemoteCompletedRange& r : completed_) {
      EXPECT_TRUE(ids.insert(r.id).second) << r.id << " reported twice";
      const auto range = std::find_if(plan_.coalescedCopies.begin(), plan_.coalescedCopies.end(),
                                      [&](const CoalescedRangeCopy& c) { return c.id == r.id; });
      EXPECT_EQ(r.destinationDigest, digestFromSource(*range, root(), MemoryCheckpoint(files_)))
          << r.id;
      EXPECT_EQ(r.sourceBytes, range->size);
    }
    return ids;
  }

  std::set<std::string> idsOf(const std::string& shard) const {
    const std::vector<std::string>& ids = ranges_.at(shard);
    return {ids.begin(), ids.end()};
  }
  std::set<std::string> allIDs() const {
    std::set<std::string> ids = idsOf(plan_fixtures::kShard1);
    ids.merge(idsOf(plan_fixtures::kShard2));
    return ids;
  }

  // The shards the storage host was asked for.
  std::set<std::string> fetchedShards() const {
    std::set<std::string> out;
    for (const HubRequest& r : hub_->requests()) {
      if (r.host == HubHost::storage) out.insert(r.file);
    }
    return out;
  }

  uint64_t bytesOfRanges(const std::string& shard) const {
    uint64_t n = 0;
    for (const CoalescedRangeCopy& r : plan_.coalescedCopies) n += r.shardID == shard ? r.size : 0;
    return n;
  }

  std::map<std::string, std::string> files_;
  RemoteSnapshot snapshot_;
  RangeCopyPlan plan_;
  std::map<std::string, std::vector<std::string>> ranges_;  // range ids per shard
  std::vector<CopyProgress> progress_;
  std::vector<RemoteCompletedRange> completed_;
  std::vector<std::string> warnings_;
  std::mutex eventsMutex_;
  std::vector<std::string> events_;
  int written_ = 0;
};

TEST_F(LocalByteProviderTest, LocalShardsAreCopiedWithoutTheHubAndReadWholeOnResume) {
  const std::string s1 = plan_fixtures::kShard1, s2 = plan_fixtures::kShard2;
  ASSERT_GE(ranges_.at(s1).size(), 3u);
  ASSERT_GE(ranges_.at(s2).size(), 3u);
  const std::map<std::string, LocalShardFile> both = {{s1, local(s1, files_.at(s1))},
                                                      {s2, local(s2, files_.at(s2))}};
  const uint64_t bothSizes = files_.at(s1).size() + files_.at(s2).size();
  // 1000 bytes: ranges cross chunks, read through the page cache; 16 KiB:
  // aligned chunks, read past it, and a last chunk that ends mid-block. The
  // writers keep as few bytes in the cache, so most are dropped behind them.
  ASSERT_NE(files_.at(s1).size() % 4096, 0u);
  for (const auto& [online, bufferBytes] :
       {std::pair{false, 1000}, std::pair{true, 1000}, std::pair{false, 16 * 1024}}) {
    reset();
    LocalByteProviderOptions o = options();
    o.bufferBytes = bufferBytes;
    o.writeBehindBytes = bufferBytes;
    copy(LocalShardByteProvider(both, online ? hub() : nullptr, o));
    EXPECT_EQ(expectCopiedRight(), allIDs());
    EXPECT_TRUE(hub_->requests().empty());
    EXPECT_TRUE(warnings_.empty());
    EXPECT_EQ(audit_.localBytesRead, bothSizes);
    EXPECT_EQ(audit_.remoteBytesDownloaded, 0u);
    EXPECT_EQ(progress_.back(), (CopyProgress{0, 0, bothSizes}));
  }

  // Resume: a shard with every range finished is not read; one with some
  // left is read whole and reports only those.
  reset();
  std::set<std::string> finished = idsOf(s1);
  const std::string left = ranges_.at(s2).back();
  finished.merge(idsOf(s2));
  finished.erase(left);
  copy(LocalShardByteProvider(both, nullptr, options()), finished);
  EXPECT_EQ(expectCopiedRight(), std::set<std::string>{left});
  EXPECT_EQ(audit_.localBytesRead, files_.at(s2).size());
}

// Shard 1's local file differs from the shard in the ways below. Offline a
// file that cannot be used ends the copy, naming it, before any of its
// ranges is reported, even when the difference is in its last byte or in
// bytes no range needs; online its ranges come from the hub instead.
TEST_F(LocalByteProviderTest, ALocalFileIsUsedOnlyWhenItMatches) {
  const std::string s1 = plan_fixtures::kShard1, s2 = plan_fixtures::kShard2;
  const std::string& bytes = files_.at(s1);
  // A byte that no destination needs: the header's opening brace.
  const uint64_t unneeded = 8;
  for (const CoalescedRangeCopy& r : plan_.coalescedCopies) {
    ASSERT_FALSE(r.shardID == s1 && r.sourceOffset <= unneeded &&
                 unneeded < r.sourceOffset + r.size);
  }
  const auto flipped = [&](uint64_t at) {
    std::string b = bytes;
    b[at] = static_cast<char>(b[at] ^ 0x20);
    return b;
  };
  struct Case {
    std::string name;
    std::string content;
    std::function<void(LocalShardFile&)> describe;
    std::string problem = {};  // empty: the file is used
    std::string warning = {};  // the warning when used
  };
  const std::vector<Case> cases = {
      {"unneeded byte flipped",
       flipped(unneeded),
       {},
       "does not match its SHA-256 (expected " + sha256Of(bytes) + ", found " +
           sha256Of(flipped(unneeded)) + ")"},
      {"last byte flipped",
       flipped(bytes.size() - 1),
       {},
       "does not match its SHA-256 (expected " + sha256Of(bytes) + ", found " +
           sha256Of(flipped(bytes.size() - 1)) + ")"},
      {"one byte short",
       bytes.substr(0, bytes.size() - 1),
       {},
       "has " + std::to_string(bytes.size() - 1) + " bytes, expected " +
           std::to_string(bytes.size())},
      {"no digest", bytes, [](LocalShardFile& f) { f.sha256.reset(); }, "has no known SHA-256"},
      {"no digest, named by the user", bytes,
       [](LocalShardFile& f) {
         f.sha256.reset();
         f.uncheckedAllowed = true;
       },
       "", "has no known SHA-256 and could not be checked"},
  };
  for (const Case& c : cases) {
    std::map<std::string, LocalShardFile> files = {{s1, local(s1, c.content)},
                                                   {s2, local(s2, files_.at(s2))}};
    if (c.describe) c.describe(files.at(s1));
    const std::string path = files.at(s1).path;

    reset();
    const std::string error =
        errorOf([&] { copy(LocalShardByteProvider(files, nullptr, options())); });
    EXPECT_EQ(error,
              c.problem.empty() ? "ok" : "local file " + path + " for " + s1 + " " + c.problem)
        << c.name;
    const std::set<std::string> reported = expectCopiedRight();
    if (!c.problem.empty()) {
      for (const std::string& id : idsOf(s1)) EXPECT_FALSE(reported.contains(id)) << c.name;
    }

    reset();
    copy(LocalShardByteProvider(files, hub(), options()));
    EXPECT_EQ(expectCopiedRight(), allIDs()) << c.name;
    EXPECT_EQ(withdrawnAfterPlacing(), c.problem.empty() ? std::set<std::string>{} : idsOf(s1))
        << c.name;
    if (c.problem.empty()) {
      EXPECT_TRUE(hub_->requests().empty()) << c.name;
      EXPECT_EQ(warnings_,
                std::vector<std::string>{"warning: " + s1 + " from " + path + " " + c.warning});
    } else {
      EXPECT_EQ(fetchedShards(), std::set<std::string>{s1}) << c.name;
      EXPECT_EQ(audit_.remoteBytesDownloaded, bytesOfRanges(s1)) << c.name;
      EXPECT_EQ(warnings_, std::vector<std::string>{"warning: local file " + path + " for " + s1 +
                                                    " " + c.problem + "; " + s1 +
                                                    " is fetched from the hub instead"})
          << c.name;
    }
  }
}

TEST_F(LocalByteProviderTest, AMixedCopyReadsOneShardAndFetchesTheOther) {
  const std::string s1 = plan_fixtures::kShard1, s2 = plan_fixtures::kShard2;
  copy(LocalShardByteProvider({{s1, local(s1, files_.at(s1))}}, hub(), options()));
  EXPECT_EQ(expectCopiedRight(), allIDs());
  EXPECT_EQ(fetchedShards(), std::set<std::string>{s2});
  EXPECT_EQ(audit_.remoteBytesDownloaded, bytesOfRanges(s2));
  EXPECT_EQ(audit_.localBytesRead, files_.at(s1).size());
  EXPECT_EQ(progress_.back().fetchedBytes, bytesOfRanges(s2));
  EXPECT_EQ(progress_.back().localBytes, files_.at(s1).size());

  // Offline, a shard with no local file is refused before anything is read.
  reset();
  EXPECT_EQ(errorOf([&] {
              copy(LocalShardByteProvider({{s1, local(s1, files_.at(s1))}}, nullptr, options()));
            }),
            "configuration invalid: no local file for " + s2 + " and no hub to fetch it from");
  EXPECT_EQ(audit_.localBytesRead, 0u);
}

// Cancellation and a failing report stop the reads within a buffer.
TEST_F(LocalByteProviderTest, FailuresStopTheCopy) {
  const std::string s1 = plan_fixtures::kShard1;
  const std::map<std::string, LocalShardFile> files = {{s1, local(s1, files_.at(s1))}};
  LocalByteProviderOptions o = options();
  o.bufferBytes = 1024;
  o.readers = 1;
  ASSERT_GT(files_.at(s1).size(), 8u * 1024);
  const std::vector<std::string> ranges = ranges_.at(s1);
  std::set<std::string> othersFinished = allIDs();
  for (const std::string& id : ranges) othersFinished.erase(id);

  // Cancelled after four buffers: the rest of the shard is never read.
  LocalShardByteProvider provider(files, nullptr, o);
  reserveOutputs();
  EXPECT_THROW(provider.copyRanges(
                   plan_.coalescedCopies, othersFinished, root(), root() + "/.range.tmp", audit_,
                   [this](const CopyProgress& now) {
                     if (now.localBytes >= 4 * 1024) token_.cancel();
                   },
                   [this](const RemoteCompletedRange& r) { completed_.push_back(r); }),
               CancellationError);
  EXPECT_EQ(audit_.localBytesRead, 4u * 1024);
  EXPECT_TRUE(completed_.empty());

  token_.reset();
  reset();
  EXPECT_EQ(errorOf([&] {
              copy(
                  LocalShardByteProvider(files, nullptr, o), othersFinished,
                  [](const RemoteCompletedRange&) { throw std::runtime_error("checkpoint full"); });
            }),
            "checkpoint full");
  EXPECT_EQ(completed_.size(), 1u);

  // A write that fails while the shard is being read ends the copy with
  // that error, online too: the file is fine, the disk is not.
  const std::string output = plan_.coalescedCopies.front().destinations.front().destinationPath;
  for (const bool online : {false, true}) {
    reset();
    Posix::testing::failNext(Posix::testing::Call::write, ENOSPC, output, 2);
    EXPECT_EQ(errorOf([&] {
                copy(LocalShardByteProvider(files, online ? hub() : nullptr, o), othersFinished);
              }),
              "pwrite(" + output + ") short: expected 256, wrote 0, errno 28");
    Posix::testing::clearFaults();
    EXPECT_TRUE(completed_.empty());
    EXPECT_TRUE(hub_->requests().empty());
  }
}

}  // namespace
