#include "engine/plan/vision_pack_plan.h"

#include <gtest/gtest.h>

#include <functional>

#include "engine/common/repack_error.h"
#include "engine/io/sha256_stream.h"
#include "engine/plan/range_copy_plan.h"
#include "tests/test_util.h"

namespace {

using Dtype = SourceTensor::Dtype;

constexpr const char* kShard = "model-00001-of-00002.safetensors";
constexpr const char* kShard2 = "model-00002-of-00002.safetensors";

// A Gemma 4 checkpoint's vision tensors in shard order: the patch embedder
// (3), 27 encoder layers of 13 tensors, the two standardisation tensors, the
// embedding projection and a pooler; the pooler's size makes the pinned
// total. Text and audio tensors sit between them.
struct VisionCheckpoint {
  std::vector<Safetensors::Header> headers{2};
  uint64_t offset = 64;

  void add(const std::string& name, Dtype dtype, uint64_t size, int shard = 0) {
    headers[static_cast<size_t>(shard)].tensors.push_back(
        {name, shard == 0 ? kShard : kShard2, dtype, {size}, offset, size});
    offset += size;
  }
  void quantized(const std::string& base, int shard = 0) {
    add(base + ".weight", Dtype::u32, 4096, shard);
    add(base + ".scales", Dtype::bf16, 256, shard);
    add(base + ".biases", Dtype::bf16, 256, shard);
  }

  VisionCheckpoint() {
    quantized("vision_tower.patch_embedder.input_proj");
    add("language_model.model.norm.weight", Dtype::bf16, 128);
    for (int layer = 26; layer >= 0; --layer) {
      const std::string p = "vision_tower.encoder.layers." + std::to_string(layer);
      const int shard = layer % 2;
      for (const char* proj :
           {".self_attn.q_proj", ".self_attn.k_proj", ".mlp.gate_proj", ".mlp.down_proj"}) {
        quantized(p + proj, shard);
      }
      add(p + ".input_layernorm.weight", Dtype::bf16, 1, shard);
    }
    add("audio_tower.layers.0.weight", Dtype::bf16, 64);
    add("vision_tower.std_scale", Dtype::bf16, 2);
    add("vision_tower.std_bias", Dtype::bf16, 2);
    add("embed_vision.embedding_projection.weight", Dtype::bf16, 1000);
    uint64_t sum = 0;
    for (const auto& h : headers) {
      for (const SourceTensor& t : h.tensors) {
        if (t.name.starts_with("vision_tower.") || t.name.starts_with("embed_vision.")) {
          sum += t.sizeBytes;
        }
      }
    }
    add("vision_tower.pooler.proj", Dtype::bf16, VisionPackPlan::kSourcePayloadBytes - sum, 1);
  }

  SourceTensor* find(const std::string& name) {
    for (auto& h : headers) {
      for (SourceTensor& t : h.tensors) {
        if (t.name == name) return &t;
      }
    }
    return nullptr;
  }
};

IndexLoader::SourceMetadata metadata(int64_t bits = 4, int64_t group = 64,
                                     const std::string& mode = "affine") {
  IndexLoader::SourceMetadata m;
  m.baseBits = bits;
  m.baseGroupSize = group;
  m.baseMode = mode;
  return m;
}

TEST(VisionPackPlanTest, OrdersByExecutionAndAlignsOffsets) {
  VisionCheckpoint c;
  const VisionPackPlan plan = VisionPackPlan::build(metadata(), c.headers);
  ASSERT_EQ(plan.entries.size(), 358u);
  EXPECT_EQ(plan.sourcePayloadBytes, 1140925536u);

  std::vector<std::string> names;
  for (const auto& e : plan.entries) names.push_back(e.source.name);
  EXPECT_EQ(names[0], "vision_tower.patch_embedder.input_proj.biases");
  EXPECT_EQ(names[2], "vision_tower.patch_embedder.input_proj.weight");
  EXPECT_EQ(names[3], "vision_tower.encoder.layers.0.input_layernorm.weight");
  // Layer 2 before layer 10: keys 1000/002/ and 1000/010/.
  EXPECT_EQ(names[3 + 2 * 13], "vision_tower.encoder.layers.2.input_layernorm.weight");
  EXPECT_EQ(names[3 + 10 * 13], "vision_tower.encoder.layers.10.input_layernorm.weight");
  EXPECT_EQ(names[354], "vision_tower.std_bias");
  EXPECT_EQ(names[355], "vision_tower.std_scale");
  EXPECT_EQ(names[356], "embed_vision.embedding_projection.weight");
  EXPECT_EQ(names[357], "vision_tower.pooler.proj");

  uint64_t end = 0;
  for (size_t j = 0; j < plan.entries.size(); ++j) {
    const VisionPackPlan::Entry& e = plan.entries[j];
    EXPECT_EQ(e.executionPosition, static_cast<int64_t>(j));
    EXPECT_EQ(e.fileOffset, (end + 16383) / 16384 * 16384) << j;
    EXPECT_EQ(e.groupSize, 64);
    EXPECT_EQ(e.quantSpec,
              e.source.dtype == Dtype::u32 ? std::optional(QuantSpec{4}) : std::nullopt);
    end = e.fileOffset + e.source.sizeBytes;
  }
  EXPECT_EQ(plan.entries[0].fileOffset, 0u);
  // The 1-byte layer norm of layer 0 fills a page alone.
  EXPECT_EQ(plan.entries[4].fileOffset, plan.entries[3].fileOffset + 16384);
  EXPECT_EQ(plan.weightsFileSize, end);
}

TEST(VisionPackPlanTest, RejectsSourcesThatAreNotThePinnedVisionTower) {
  const std::string q = "vision_tower.encoder.layers.3.self_attn.q_proj";
  struct Case {
    const char* label;
    IndexLoader::SourceMetadata metadata;
    std::function<void(VisionCheckpoint&)> change;
    std::string expected;
  };
  const std::string source =
      "configuration invalid: vision companion requires MLX affine 4-bit group-64 source metadata";
  const auto none = [](VisionCheckpoint&) {};
  std::vector<Case> cases = {
      {"group 32", metadata(4, 32), none, source},
      {"8 bits", metadata(8), none, source},
      {"other mode", metadata(4, 64, "mxfp4"), none, source},
      {"mode compared without case", metadata(4, 64, "Affine"), none, "ok"},
      {"one tensor short", metadata(),
       [](VisionCheckpoint& c) { c.headers[0].tensors.erase(c.headers[0].tensors.begin()); },
       "configuration invalid: expected 358 vision tensors, found 357"},
      {"one tensor more", metadata(),
       [](VisionCheckpoint& c) { c.add("embed_vision.extra", Dtype::bf16, 0); },
       "configuration invalid: expected 358 vision tensors, found 359"},
      {"one byte more", metadata(),
       [](VisionCheckpoint& c) { c.find("vision_tower.std_bias")->sizeBytes += 1; },
       "configuration invalid: expected 1140925536 vision bytes, found 1140925537"},
      {"fp16 tensor", metadata(),
       [](VisionCheckpoint& c) { c.find("vision_tower.std_bias")->dtype = Dtype::fp16; },
       "configuration invalid: unsupported vision dtype for vision_tower.std_bias"},
  };
  IndexLoader::SourceMetadata eight = metadata();
  eight.bitsOverrides[q] = QuantSpec{8};
  cases.push_back({"8-bit override", eight, none,
                   "configuration invalid: unsupported vision quantization for " + q + ".weight"});
  IndexLoader::SourceMetadata four = metadata();
  four.bitsOverrides[q] = QuantSpec{4};
  cases.push_back({"4-bit override", four, none, "ok"});

  for (const Case& k : cases) {
    VisionCheckpoint c;
    k.change(c);
    EXPECT_EQ(testutil::errorOf([&] { VisionPackPlan::build(k.metadata, c.headers); }), k.expected)
        << k.label;
  }
}

TEST(VisionPackPlanTest, CompanionCopyPlanAndDigest) {
  // The shard name is stored decomposed; digest and fingerprint use its NFC form.
  const std::string decomposed = "caf\x65\xcc\x81.safetensors";
  const std::string composed = "caf\xc3\xa9.safetensors";
  VisionPackPlan vision;
  vision.entries = {
      {{"vision_tower.a", decomposed, Dtype::bf16, {5}, 1000, 10}, 0, 0, std::nullopt, 64},
      {{"vision_tower.b", decomposed, Dtype::u32, {1}, 1010, 5}, 1, 16384, QuantSpec{4}, 64},
  };
  vision.weightsFileSize = 16389;

  const RangeCopyPlan plan = RangeCopyPlanner::planVisionCompanion(
      vision, "/c/vision.partial/vision_weights.bin", 67108864);

  std::string stream;
  const auto u64 = [&](uint64_t v) {
    for (int i = 0; i < 8; ++i) stream.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
  };
  const auto str = [&](const std::string& s) {
    u64(s.size());
    stream += s;
  };
  const auto digest = [&] {
    Sha256Stream s;
    s.update(stream.data(), stream.size());
    stream.clear();
    return s.finalizeHex();
  };
  str("Velquor.VisionCompanionPlan.v1");
  u64(2), u64(1140925536), u64(16389);
  str("vision_tower.a"), str(composed), u64(1000), u64(10), u64(0), u64(0);
  str("vision_tower.b"), str(composed), u64(1010), u64(5), u64(16384), u64(1);
  const std::string visionDigest = digest();
  EXPECT_EQ(plan.residentIndexSha256, visionDigest);

  EXPECT_EQ(plan.expectedOutputs,
            (std::vector<RemoteExpectedOutput>{{"vision_weights.bin", 16389}}));
  ASSERT_EQ(plan.coalescedCopies.size(), 1u);
  EXPECT_EQ(plan.coalescedCopies[0].sourceOffset, 1000u);
  EXPECT_EQ(plan.coalescedCopies[0].size, 15u);
  EXPECT_EQ(plan.remoteBytesToDownload, 15u);

  str("Velquor.RemoteInstallPlan.v1");
  u64(1), u64(0), u64(67108864), str("vision-companion"), str(""), str(visionDigest);
  u64(1), str("vision_weights.bin"), u64(16389);
  u64(1), str("range-00000000"), str(composed), u64(1000), u64(15), u64(2);
  str("vision_weights.bin"), u64(0), u64(0), u64(10);
  str("vision_weights.bin"), u64(16384), u64(10), u64(5);
  EXPECT_EQ(plan.canonicalFingerprint, digest());
}

}  // namespace
