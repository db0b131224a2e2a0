#include "engine/plan/range_copy_plan.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>

#include "engine/common/repack_error.h"
#include "engine/io/sha256_stream.h"
#include "engine/plan/plan_fixtures.h"
#include "engine/plan/resident_index_encoder.h"
#include "tests/test_util.h"

namespace {

using Dtype = SourceTensor::Dtype;
using plan_fixtures::kShard1;
using plan_fixtures::kShard2;

constexpr int64_t k64MiB = 67108864;
constexpr const char* kOut = "/out/model.partial";
const std::string kWeights = std::string(kOut) + "/model_weights.bin";
const std::string kLayer0 = std::string(kOut) + "/packed_experts/layer_00.bin";

// The fingerprint stream written out byte by byte, independently of
// FingerprintWriter: u64 little-endian, strings as u64 length then bytes.
class Stream {
 public:
  Stream& u64(uint64_t v) {
    for (int i = 0; i < 8; ++i) bytes_.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
    return *this;
  }
  Stream& str(const std::string& s) {
    u64(s.size());
    bytes_ += s;
    return *this;
  }
  std::string sha256() const {
    Sha256Stream s;
    s.update(bytes_.data(), bytes_.size());
    return s.finalizeHex();
  }

 private:
  std::string bytes_;
};

std::string sha256(const std::vector<uint8_t>& bytes) {
  Sha256Stream s;
  s.update(bytes);
  return s.finalizeHex();
}

// A gemma4 checkpoint small enough to follow by hand. Shard 1 holds a 4-bit
// embedding [2, 8] (weight at 100, scales 108, biases 112) and a bf16 norm
// [3] at 116; shard 2 holds the three stacked projections of two experts,
// 8 + 4 + 4 bytes each, from offset 200.
RepackPlan tinyPlan() {
  Safetensors::Header s1;
  s1.tensors = {
      {"language_model.model.embed_tokens.weight", kShard1, Dtype::u32, {2, 1}, 100, 8},
      {"language_model.model.embed_tokens.scales", kShard1, Dtype::bf16, {2, 1}, 108, 4},
      {"language_model.model.embed_tokens.biases", kShard1, Dtype::bf16, {2, 1}, 112, 4},
      {"language_model.model.norm.weight", kShard1, Dtype::bf16, {3}, 116, 6},
  };
  Safetensors::Header s2;
  uint64_t offset = 200;
  for (const char* role : {"gate", "up", "down"}) {
    const std::string base =
        std::string("language_model.model.layers.0.experts.switch_glu.") + role + "_proj";
    s2.tensors.push_back({base + ".weight", kShard2, Dtype::u32, {2, 1, 1}, offset, 8});
    s2.tensors.push_back({base + ".scales", kShard2, Dtype::bf16, {2, 1, 1}, offset + 8, 4});
    s2.tensors.push_back({base + ".biases", kShard2, Dtype::bf16, {2, 1, 1}, offset + 12, 4});
    offset += 16;
  }
  IndexLoader::SourceMetadata metadata;
  metadata.baseBits = 4;
  metadata.baseGroupSize = 64;
  metadata.baseMode = "affine";
  return RepackPlan::build(metadata, plan_fixtures::smallArch(RepackModelFamily::gemma4, 1, 2),
                           {s1, s2}, kOut);
}

// The resident index of tinyPlan, written out field by field.
std::vector<uint8_t> tinyResidentIndex() {
  std::vector<uint8_t> region(16384, 0);
  size_t at = 0;
  const auto put = [&](uint64_t v, int width) {
    for (int i = 0; i < width; ++i) region[at++] = static_cast<uint8_t>((v >> (8 * i)) & 0xff);
  };
  put(16384, 8);  // indexSize
  put(22, 8);     // residentSize: 8 + 4 + 4 + 6
  put(2, 8);      // entryCount
  const uint64_t names = 24 + 2 * 72;
  // embed_tokens: name at the table start, 40 bytes, u32, unpacked shape [2, 8].
  put(names, 4), put(40, 2), put(0, 1), put(0, 1);
  put(16384, 8), put(8, 8);
  put(2, 4), put(8, 4), put(0, 4), put(0, 4);
  put(16392, 8), put(4, 8), put(16396, 8), put(4, 8);
  // norm: 32 bytes of name after the first, bf16 [3].
  put(names + 40, 4), put(32, 2), put(1, 1), put(0, 1);
  put(16400, 8), put(6, 8);
  put(3, 4), put(0, 4), put(0, 4), put(0, 4);
  put(0, 8), put(0, 8), put(0, 8), put(0, 8);
  const std::string table =
      "language_model.model.embed_tokens.weight"
      "language_model.model.norm.weight";
  std::copy(table.begin(), table.end(), region.begin() + static_cast<long>(names));
  return region;
}

struct Dest {
  std::string path;  // relative
  uint64_t destinationOffset;
  uint64_t sourceOffset;
  uint64_t size;
};
struct Range {
  std::string shard;
  uint64_t sourceOffset;
  uint64_t size;
  std::vector<Dest> destinations;
};

// The canonical fingerprint of a text install, from hand-written ranges.
std::string expectedFingerprint(uint64_t chunk, const std::string& indexSha,
                                const std::vector<std::pair<std::string, uint64_t>>& outputs,
                                const std::vector<Range>& ranges,
                                const std::string& mode = "identity") {
  Stream s;
  s.str("Velquor.RemoteInstallPlan.v1").u64(1).u64(0).u64(chunk).str(mode).str("").str(indexSha);
  s.u64(outputs.size());
  for (const auto& [path, size] : outputs) s.str(path).u64(size);
  s.u64(ranges.size());
  for (size_t i = 0; i < ranges.size(); ++i) {
    const Range& r = ranges[i];
    char id[32];
    std::snprintf(id, sizeof id, "range-%08zu", i);
    s.str(id).str(r.shard).u64(r.sourceOffset).u64(r.size).u64(r.destinations.size());
    for (const Dest& d : r.destinations) {
      s.str(d.path).u64(d.destinationOffset).u64(d.sourceOffset - r.sourceOffset).u64(d.size);
    }
  }
  return s.sha256();
}

TEST(RangeCopyPlanTest, TinyPlanGoldenBytesRangesAndFingerprint) {
  const RepackPlan repack = tinyPlan();
  const std::vector<uint8_t> index = tinyResidentIndex();
  EXPECT_EQ(encodeResidentIndex(repack.resident), index);

  const RangeCopyPlan plan = RangeCopyPlanner::plan(repack, k64MiB);
  EXPECT_EQ(plan.residentIndexSha256, sha256(index));
  EXPECT_EQ(plan.residentIndexSha256,
            "44fcf93d86ef1b1e8ac75f0ba143b695ed27881c209a10a8d784d7c4bbbcede5");

  ASSERT_EQ(plan.scalarCopies.size(), 4u + 2 * 9);
  EXPECT_EQ(plan.scalarCopies[0], (RangeCopy{kShard1, 100, 8, kWeights, 16384}));
  EXPECT_EQ(plan.scalarCopies[3], (RangeCopy{kShard1, 116, 6, kWeights, 16400}));
  // Expert 1's down biases: source 244 + 1 * 2, blob 16384 + 22.
  EXPECT_EQ(plan.scalarCopies.back(), (RangeCopy{kShard2, 246, 2, kLayer0, 16406}));

  const std::string layer = "packed_experts/layer_00.bin";
  std::vector<Dest> experts;
  // Destinations by offset in the layer file: expert 0's blob, then expert 1's.
  const uint64_t sources[] = {200, 208, 212, 216, 224, 228, 232, 240, 244};
  const uint64_t blob[] = {0, 4, 6, 8, 12, 14, 16, 20, 22};
  const uint64_t sizes[] = {4, 2, 2, 4, 2, 2, 4, 2, 2};
  for (uint64_t e = 0; e < 2; ++e) {
    for (size_t i = 0; i < 9; ++i) {
      experts.push_back({layer, e * 16384 + blob[i], sources[i] + e * sizes[i], sizes[i]});
    }
  }
  const std::vector<Range> ranges = {
      {kShard1,
       100,
       22,
       {{"model_weights.bin", 16384, 100, 8},
        {"model_weights.bin", 16392, 108, 4},
        {"model_weights.bin", 16396, 112, 4},
        {"model_weights.bin", 16400, 116, 6}}},
      {kShard2, 200, 48, experts},
  };
  ASSERT_EQ(plan.coalescedCopies.size(), ranges.size());
  for (size_t i = 0; i < ranges.size(); ++i) {
    const CoalescedRangeCopy& got = plan.coalescedCopies[i];
    EXPECT_EQ(got.id, i == 0 ? "range-00000000" : "range-00000001");
    EXPECT_EQ(got.shardID, ranges[i].shard);
    EXPECT_EQ(got.sourceOffset, ranges[i].sourceOffset);
    EXPECT_EQ(got.size, ranges[i].size);
    ASSERT_EQ(got.destinations.size(), ranges[i].destinations.size());
    for (size_t d = 0; d < got.destinations.size(); ++d) {
      const Dest& want = ranges[i].destinations[d];
      EXPECT_EQ(RangeCopyPlanner::relativeDestination(got.destinations[d].destinationPath, kOut),
                want.path);
      EXPECT_EQ(got.destinations[d].destinationOffset, want.destinationOffset) << i << "/" << d;
      EXPECT_EQ(got.destinations[d].sourceOffset, want.sourceOffset) << i << "/" << d;
      EXPECT_EQ(got.destinations[d].size, want.size) << i << "/" << d;
    }
  }
  const std::vector<std::pair<std::string, uint64_t>> outputs = {{"model_weights.bin", 16406},
                                                                 {layer, 32768}};
  ASSERT_EQ(plan.expectedOutputs.size(), 2u);
  EXPECT_EQ(plan.expectedOutputs[0], (RemoteExpectedOutput{"model_weights.bin", 16406}));
  EXPECT_EQ(plan.expectedOutputs[1], (RemoteExpectedOutput{layer, 32768}));
  EXPECT_EQ(plan.remoteBytesToDownload, 70u);
  EXPECT_EQ(plan.remoteGapBytesDownloaded, 0u);

  EXPECT_EQ(plan.canonicalFingerprint, expectedFingerprint(k64MiB, sha256(index), outputs, ranges));
  EXPECT_EQ(plan.canonicalFingerprint,
            "6e0362d8c4a4ccb7dea49d01bc12ccc44a46a71927935f9981db5e2dd038d8e6");
}

// A plan holds one path text per file, however many copies name it; the
// handles compare, copy and outlive their plan like strings.
TEST(RangeCopyPlanTest, CopiesShareOnePathTextPerFile) {
  std::optional<RangeCopyPlan> plan = RangeCopyPlanner::plan(tinyPlan(), k64MiB);
  std::map<std::string, const std::string*> texts;
  const auto check = [&](const SharedPath& path) {
    const auto [it, added] = texts.emplace(path.str(), &path.str());
    EXPECT_EQ(it->second, &path.str()) << path;
  };
  for (const RangeCopy& c : plan->scalarCopies) {
    check(c.shardID);
    check(c.destinationPath);
  }
  for (const CoalescedRangeCopy& r : plan->coalescedCopies) {
    for (const RangeCopy& c : r.destinations) {
      check(c.shardID);
      check(c.destinationPath);
    }
  }
  EXPECT_EQ(texts.size(), 4u);  // two shards, two outputs

  RangeCopy kept = plan->coalescedCopies.back().destinations.back();
  SharedPath moved = std::move(plan->scalarCopies.front().shardID);
  plan.reset();
  EXPECT_EQ(kept, (RangeCopy{kShard2, 246, 2, kLayer0, 16406}));
  EXPECT_EQ(moved, SharedPath(kShard1));
  moved = kept.destinationPath;
  EXPECT_EQ(moved.str(), kLayer0);
  EXPECT_FALSE(moved == SharedPath());
}

TEST(RangeCopyPlanTest, FingerprintIsStableAndCoversTheChunkSize) {
  const RepackPlan repack = tinyPlan();
  const RangeCopyPlan a = RangeCopyPlanner::plan(repack, k64MiB);
  EXPECT_EQ(RangeCopyPlanner::plan(repack, k64MiB), a);

  // The same two ranges under a larger chunk: only the chunk size differs.
  const RangeCopyPlan b = RangeCopyPlanner::plan(repack, 2 * k64MiB);
  EXPECT_EQ(b.coalescedCopies, a.coalescedCopies);
  EXPECT_NE(b.canonicalFingerprint, a.canonicalFingerprint);

  // The layout mode and layout-order digest are part of the stream too.
  EXPECT_NE(RangeCopyPlanner::plan(repack, k64MiB, "identity", "abc").canonicalFingerprint,
            a.canonicalFingerprint);

  // 16-byte chunks: shard 1 closes before the norm, shard 2 every 16 bytes.
  const RangeCopyPlan small = RangeCopyPlanner::plan(repack, 16);
  std::vector<std::tuple<std::string, uint64_t, uint64_t>> spans;
  for (const CoalescedRangeCopy& r : small.coalescedCopies) {
    spans.emplace_back(r.shardID, r.sourceOffset, r.size);
  }
  EXPECT_EQ(spans, (std::vector<std::tuple<std::string, uint64_t, uint64_t>>{{kShard1, 100, 16},
                                                                             {kShard1, 116, 6},
                                                                             {kShard2, 200, 16},
                                                                             {kShard2, 216, 16},
                                                                             {kShard2, 232, 16}}));
  EXPECT_EQ(small.coalescedCopies[4].id, "range-00000004");
}

TEST(RangeCopyPlanTest, CoalescesWithinTheChunkBound) {
  const auto copy = [](const char* shard, uint64_t source, uint64_t size, const char* dest,
                       uint64_t destOffset) {
    return RangeCopy{shard, source, size, std::string("/o/") + dest, destOffset};
  };
  struct Case {
    const char* label;
    std::vector<RangeCopy> copies;
    int64_t chunk;
    // (shard, offset, size, destination count) per range.
    std::vector<std::tuple<std::string, uint64_t, uint64_t, size_t>> ranges;
  };
  const std::vector<Case> cases = {
      {"gap inside the bound is downloaded",
       {copy("s", 0, 100, "a", 0), copy("s", 150, 50, "a", 100)},
       256,
       {{"s", 0, 200, 2}}},
      {"range of exactly the bound",
       {copy("s", 0, 100, "a", 0), copy("s", 150, 50, "a", 100)},
       200,
       {{"s", 0, 200, 2}}},
      {"range would exceed the bound",
       {copy("s", 0, 100, "a", 0), copy("s", 150, 50, "a", 100)},
       150,
       {{"s", 0, 100, 1}, {"s", 150, 50, 1}}},
      {"large copy is cut into chunks",
       {copy("s", 0, 1000, "a", 0)},
       256,
       {{"s", 0, 256, 1}, {"s", 256, 256, 1}, {"s", 512, 256, 1}, {"s", 768, 232, 1}}},
      {"shards never share a range",
       {copy("t", 100, 10, "a", 0), copy("s", 110, 10, "a", 10)},
       1024,
       {{"s", 110, 10, 1}, {"t", 100, 10, 1}}},
      {"empty copies make no piece",
       {copy("s", 0, 0, "a", 0), copy("s", 500, 0, "a", 0), copy("s", 10, 5, "a", 0)},
       1024,
       {{"s", 10, 5, 1}}},
      {"one source to two destinations",
       {copy("s", 0, 64, "b", 0), copy("s", 0, 64, "a", 0), copy("s", 32, 8, "a", 64)},
       64,
       {{"s", 0, 64, 3}}},
      {"sorted by source, not input order",
       {copy("s", 300, 10, "a", 0), copy("s", 0, 10, "a", 10), copy("s", 100, 10, "a", 20)},
       150,
       {{"s", 0, 110, 2}, {"s", 300, 10, 1}}},
  };
  for (const Case& k : cases) {
    const std::vector<CoalescedRangeCopy> got = RangeCopyPlanner::coalesce(k.copies, k.chunk);
    std::vector<std::tuple<std::string, uint64_t, uint64_t, size_t>> shape;
    for (const CoalescedRangeCopy& r : got) {
      shape.emplace_back(r.shardID, r.sourceOffset, r.size, r.destinations.size());
      for (const RangeCopy& d : r.destinations) {
        EXPECT_GE(d.sourceOffset, r.sourceOffset) << k.label;
        EXPECT_LE(d.sourceOffset + d.size, r.sourceOffset + r.size) << k.label;
      }
    }
    EXPECT_EQ(shape, k.ranges) << k.label;
  }

  // Chunk pieces advance the destination with the source; destinations are
  // ordered by path, then destination offset, then source offset.
  const auto chunks = RangeCopyPlanner::coalesce({copy("s", 0, 1000, "a", 5000)}, 256);
  EXPECT_EQ(chunks[3].id, "range-00000003");
  EXPECT_EQ(chunks[3].destinations[0], copy("s", 768, 232, "a", 5768));
  const auto shared = RangeCopyPlanner::coalesce(
      {copy("s", 0, 64, "b", 0), copy("s", 0, 64, "a", 0), copy("s", 32, 8, "a", 0)}, 64);
  EXPECT_EQ(shared[0].destinations,
            (std::vector<RangeCopy>{copy("s", 0, 64, "a", 0), copy("s", 32, 8, "a", 0),
                                    copy("s", 0, 64, "b", 0)}));
}

TEST(RangeCopyPlanTest, RejectsBadChunkSizesAndRunawayPieceCounts) {
  for (int64_t chunk : {int64_t{0}, int64_t{-1}, INT64_MIN}) {
    EXPECT_EQ(testutil::errorOf([&] { RangeCopyPlanner::coalesce({}, chunk); }),
              "configuration invalid: rangeChunkBytes must be positive");
    EXPECT_EQ(testutil::errorOf([&] { RangeCopyPlanner::plan(tinyPlan(), chunk); }),
              "configuration invalid: rangeChunkBytes must be positive");
  }
  EXPECT_EQ(testutil::errorOf([] {
              RangeCopyPlanner::coalesce({{"s", 0, 5000000, "/o/a", 0}}, 1);
            }),
            "configuration invalid: rangeChunkBytes 1 cuts the copies into more than 4194304 "
            "pieces");
  EXPECT_EQ(testutil::errorOf([] {
              RangeCopyPlanner::coalesce({{"s", ~uint64_t{0} - 4, 10, "/o/a", 0}}, 64);
            }),
            "configuration invalid: source range overflows s");

  // A hostile expert count is refused before a copy is made.
  RepackPlan repack = tinyPlan();
  repack.layers[0].expertsPerLayer = int64_t{1} << 22;
  EXPECT_EQ(testutil::errorOf([&] { RangeCopyPlanner::plan(repack, k64MiB); }),
            "configuration invalid: copy plan of 37748740 copies exceeds the limit of 4194304");
}

TEST(RangeCopyPlanTest, RelativeDestinationRules) {
  struct Case {
    std::string destination;
    std::string root;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"/x/out/model_weights.bin", "/x/out", "model_weights.bin"},
      {"/x/out/packed_experts/layer_00.bin", "/x/out/", "packed_experts/layer_00.bin"},
      {"/x/out/caf\x65\xcc\x81.bin", "/x/out", "caf\xc3\xa9.bin"},
      {"/x/out", "/x/out",
       "configuration invalid: destination /x/out is outside partial output /x/out"},
      {"/x/output/a", "/x/out",
       "configuration invalid: destination /x/output/a is outside partial output /x/out"},
      {"/y/a", "/x/out/",
       "configuration invalid: destination /y/a is outside partial output /x/out"},
      {"/x/out/", "/x/out", "configuration invalid: invalid relative destination path "},
      {"/x/out//a", "/x/out", "configuration invalid: invalid relative destination path /a"},
      {"/x/out/a//b", "/x/out", "configuration invalid: invalid relative destination path a//b"},
      {"/x/out/./a", "/x/out", "configuration invalid: invalid relative destination path ./a"},
      {"/x/out/a/../b", "/x/out",
       "configuration invalid: invalid relative destination path a/../b"},
      {"/x/out/a/", "/x/out", "configuration invalid: invalid relative destination path a/"},
      {"/a", "/", "a"},
  };
  for (const Case& k : cases) {
    std::string got;
    try {
      got = RangeCopyPlanner::relativeDestination(k.destination, k.root);
    } catch (const RepackError& e) {
      got = e.description();
    }
    EXPECT_EQ(got, k.expected) << k.destination << " under " << k.root;
  }
}

TEST(RangeCopyPlanTest, DestinationsMayNotOverlapOrOverflow) {
  RepackPlan repack = tinyPlan();
  // The norm one byte into the embedding's biases.
  repack.resident.entries[1].fileOffset = 16399;
  EXPECT_EQ(testutil::errorOf([&] { RangeCopyPlanner::plan(repack, k64MiB); }),
            "configuration invalid: overlapping destination ranges in model_weights.bin");
  repack.resident.entries[1].fileOffset = ~uint64_t{0} - 2;
  EXPECT_EQ(testutil::errorOf([&] { RangeCopyPlanner::plan(repack, k64MiB); }),
            "configuration invalid: destination range overflows model_weights.bin");

  // Touching is fine, and an empty tensor where the next one starts is no
  // overlap, whichever of them is listed first.
  repack = tinyPlan();
  for (bool emptyFirst : {true, false}) {
    RepackPlan touching = repack;
    ResidentEntry empty = touching.resident.entries[1];
    empty.name = "language_model.empty";
    empty.sourceWeight.sizeBytes = 0;
    empty.sizeBytes = 0;
    const auto at = touching.resident.entries.begin() + (emptyFirst ? 1 : 2);
    touching.resident.entries.insert(at, empty);
    touching.resident.stringTable += empty.name;
    touching.resident.stringTableOffsets.push_back(72);
    EXPECT_EQ(testutil::errorOf([&] { RangeCopyPlanner::plan(touching, k64MiB); }), "ok")
        << emptyFirst;
  }
}

TEST(RangeCopyPlanTest, ResidentIndexBeyondTheScratchLimitIsRefused) {
  plan_fixtures::Checkpoint c;
  for (int i = 0; i < 16; ++i) {
    c.tensor("language_model." + std::string(65518, 'x') + std::to_string(10 + i), Dtype::bf16,
             {1});
  }
  const RepackPlan repack = RepackPlan::build(
      c.metadata(), plan_fixtures::smallArch(RepackModelFamily::gemma4, 0, 1), c.headers(), kOut);
  EXPECT_EQ(testutil::errorOf([&] { RangeCopyPlanner::plan(repack, k64MiB); }),
            "resident index size 1064960 exceeds limit 1048575");
}

TEST(RangeCopyPlanTest, EmptyLayerPlansProduceNoFileAndNoCopies) {
  plan_fixtures::Checkpoint c;
  c.tensor("language_model.model.norm.weight", Dtype::bf16, {4});
  const RepackPlan repack = RepackPlan::build(
      c.metadata(), plan_fixtures::smallArch(RepackModelFamily::gemma4, 3, 4), c.headers(), kOut);
  ASSERT_EQ(repack.layers.size(), 3u);
  const RangeCopyPlan plan = RangeCopyPlanner::plan(repack, k64MiB);
  EXPECT_EQ(plan.expectedOutputs,
            (std::vector<RemoteExpectedOutput>{{"model_weights.bin", 16384 + 8}}));
  EXPECT_EQ(plan.scalarCopies.size(), 1u);
}

TEST(RangeCopyPlanTest, FingerprintWriterEncoding) {
  FingerprintWriter w;
  w.integer(0x0102030405060708ull);
  w.string("ab");
  Stream s;
  s.u64(0x0102030405060708ull).str("ab");
  EXPECT_EQ(w.finalizeHex(), s.sha256());
}

}  // namespace
