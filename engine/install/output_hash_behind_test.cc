#include "engine/install/output_hash_behind.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <thread>

#include "engine/common/repack_audit.h"
#include "engine/common/unique_fd.h"
#include "engine/io/posix.h"
#include "engine/io/sha256_stream.h"
#include "tests/test_util.h"

namespace {

// Two outputs cut into stretches, one range per stretch, the ranges of
// `a` interleaved with those of `b`; each stretch is left zero until its
// range is written.
struct Fixture {
  testutil::TempDir dir;
  std::string a = dir.file("a.bin");
  std::string b = dir.file("b.bin");
  RangeCopyPlan plan;
  std::map<std::string, std::string> finalBytes;

  explicit Fixture(uint64_t stretch) {
    std::mt19937 random(7);
    int id = 0;
    for (const auto& [path, size] : {std::pair{a, 40 * stretch + 5}, std::pair{b, 9 * stretch}}) {
      std::string bytes(size, '\0');
      for (char& c : bytes) c = static_cast<char>(random());
      finalBytes[path] = bytes;
      testutil::writeFile(path, std::string(size, '\0'));
      // The first 3 bytes of `a` are never a range's: final from the start.
      for (uint64_t at = path == a ? 3 : 0; at < size; at += stretch) {
        CoalescedRangeCopy range;
        range.id = "range-" + std::to_string(id++);
        range.size = std::min(stretch, size - at);
        range.destinations.push_back({"shard", 0, range.size, path, at});
        plan.coalescedCopies.push_back(range);
      }
    }
    // `a` starts with its final first bytes.
    std::string head = finalBytes[a].substr(0, 3);
    UniqueFd fd = Posix::openExistingRW(a);
    Posix::pwriteAll(fd.get(), a, reinterpret_cast<const uint8_t*>(head.data()), 3, 0);
  }

  void write(const CoalescedRangeCopy& range) {
    const RangeCopy& d = range.destinations[0];
    UniqueFd fd = Posix::openExistingRW(d.destinationPath);
    Posix::pwriteAll(fd.get(), d.destinationPath,
                     reinterpret_cast<const uint8_t*>(finalBytes[d.destinationPath].data()) +
                         d.destinationOffset,
                     static_cast<int64_t>(d.size), d.destinationOffset);
  }

  // Writes `range` with every byte of its final content flipped.
  void writeWrong(const CoalescedRangeCopy& range) {
    const RangeCopy& d = range.destinations[0];
    std::string bytes = finalBytes[d.destinationPath].substr(d.destinationOffset, d.size);
    for (char& c : bytes) c = static_cast<char>(~c);
    UniqueFd fd = Posix::openExistingRW(d.destinationPath);
    Posix::pwriteAll(fd.get(), d.destinationPath, reinterpret_cast<const uint8_t*>(bytes.data()),
                     static_cast<int64_t>(d.size), d.destinationOffset);
  }

  static std::string digestOf(const std::string& bytes) {
    Sha256Stream s;
    s.update(bytes.data(), bytes.size());
    return s.finalizeHex();
  }
};

// Whatever order the ranges land in, and whichever ranges an earlier run
// kept, the digest is that of the final file: a stretch is never hashed
// before its range is written.
TEST(OutputHashBehind, DigestsAreThoseOfTheFinalFilesInAnyOrder) {
  for (const unsigned seed : {1u, 2u, 3u}) {
    SCOPED_TRACE(seed);
    Fixture f(1000);
    std::vector<const CoalescedRangeCopy*> order;
    for (const CoalescedRangeCopy& r : f.plan.coalescedCopies) order.push_back(&r);
    std::shuffle(order.begin(), order.end(), std::mt19937(seed));
    // The first five of the order were finished by an earlier run.
    std::set<std::string> kept;
    for (size_t i = 0; i < 5; ++i) {
      f.write(*order[i]);
      kept.insert(order[i]->id);
    }
    OutputHashBehind hasher({{f.a, f.finalBytes[f.a].size()}, {f.b, f.finalBytes[f.b].size()}},
                            f.plan, kept, 256);
    for (size_t i = 5; i < order.size(); ++i) {
      f.write(*order[i]);
      hasher.written(*order[i]);
      if (i % 7 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    RepackAudit audit;
    EXPECT_TRUE(hasher.keeps(f.a, f.finalBytes[f.a].size()));
    EXPECT_FALSE(hasher.keeps(f.a, f.finalBytes[f.a].size() + 1));
    EXPECT_EQ(hasher.digest(f.a, audit, {}), Fixture::digestOf(f.finalBytes[f.a]));
    EXPECT_EQ(hasher.digest(f.b, audit, {}), Fixture::digestOf(f.finalBytes[f.b]));
    EXPECT_FALSE(hasher.keeps(f.a, f.finalBytes[f.a].size()));
  }
}

// Ranges landing in order are hashed while the copy goes on, so nothing is
// left for the pass after it.
TEST(OutputHashBehind, InOrderRangesAreHashedDuringTheCopy) {
  Fixture f(4096);
  OutputHashBehind hasher({{f.a, f.finalBytes[f.a].size()}}, f.plan, {}, 4096);
  for (const CoalescedRangeCopy& r : f.plan.coalescedCopies) {
    f.write(r);
    hasher.written(r);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (hasher.bytesHashedBehind() < f.finalBytes[f.a].size() &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(hasher.bytesHashedBehind(), f.finalBytes[f.a].size());
  RepackAudit audit;
  EXPECT_EQ(hasher.digest(f.a, audit, {}), Fixture::digestOf(f.finalBytes[f.a]));
}

// Ranges reported before they are checked, then taken back and written
// again (a local shard that fails its digest): the digest is that of the
// rewritten file, whether the wrong bytes were hashed already or not.
TEST(OutputHashBehind, WithdrawnRangesAreHashedAgainOnceRewritten) {
  for (const bool hashedFirst : {true, false}) {
    SCOPED_TRACE(hashedFirst);
    Fixture f(1000);
    OutputHashBehind hasher({{f.a, f.finalBytes[f.a].size()}, {f.b, f.finalBytes[f.b].size()}},
                            f.plan, {}, 256);
    std::vector<const CoalescedRangeCopy*> wrong;
    for (const CoalescedRangeCopy& r : f.plan.coalescedCopies) {
      if ((r.id == "range-2" || r.id == "range-20" || r.id == "range-42")) {
        f.writeWrong(r);
        wrong.push_back(&r);
      } else {
        f.write(r);
      }
      hasher.written(r);
    }
    ASSERT_EQ(wrong.size(), 3u);
    const uint64_t total = f.finalBytes[f.a].size() + f.finalBytes[f.b].size();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (hashedFirst && hasher.bytesHashedBehind() < total &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (hashedFirst) {
      EXPECT_EQ(hasher.bytesHashedBehind(), total);
    }
    for (const CoalescedRangeCopy* r : wrong) hasher.withdrawn(*r);
    for (const CoalescedRangeCopy* r : wrong) {
      f.write(*r);
      hasher.written(*r);
    }
    RepackAudit audit;
    EXPECT_EQ(hasher.digest(f.a, audit, {}), Fixture::digestOf(f.finalBytes[f.a]));
    EXPECT_EQ(hasher.digest(f.b, audit, {}), Fixture::digestOf(f.finalBytes[f.b]));
  }
}

}  // namespace
