#include "engine/plan/repack_plan.h"

#include <gtest/gtest.h>

#include <functional>

#include "engine/common/catalog.h"
#include "engine/common/repack_error.h"
#include "engine/plan/plan_fixtures.h"
#include "tests/test_util.h"

namespace {

using plan_fixtures::Checkpoint;
using plan_fixtures::kShard1;
using plan_fixtures::kShard2;
using plan_fixtures::smallArch;
using Dtype = SourceTensor::Dtype;
using Family = RepackModelFamily;

constexpr const char* kOut = "/out/model.partial";

RepackPlan build(const Checkpoint& c, const ArchInfo& arch, int64_t baseBits = 4,
                 std::map<std::string, QuantSpec> overrides = {}) {
  return RepackPlan::build(c.metadata(baseBits, std::move(overrides)), arch, c.headers(), kOut);
}

std::vector<std::string> residentNames(const RepackPlan& plan) {
  std::vector<std::string> names;
  for (const ResidentEntry& e : plan.resident.entries) names.push_back(e.name);
  return names;
}

const ResidentEntry& entryNamed(const RepackPlan& plan, const std::string& name) {
  for (const ResidentEntry& e : plan.resident.entries) {
    if (e.name == name) return e;
  }
  throw std::runtime_error("no entry " + name);
}

// Layer 0 of a gemma4 checkpoint with four experts per layer; layer 1 has
// attention only.
Checkpoint gemmaCheckpoint() {
  Checkpoint c;
  c.quantized("language_model.model.embed_tokens", {256, 64})
      .quantized("language_model.model.layers.0.self_attn.q_proj", {64, 64})
      .tensor("language_model.model.layers.0.input_layernorm.weight", Dtype::bf16, {64})
      .quantized("language_model.model.layers.0.router.proj", {4, 64})
      .experts("language_model.model.layers.0.experts.switch_glu.gate_proj", 4, 32, 64)
      .experts("language_model.model.layers.0.experts.switch_glu.up_proj", 4, 32, 64, 4, kShard2)
      .experts("language_model.model.layers.0.experts.switch_glu.down_proj", 4, 64, 32, 4, kShard2)
      .tensor("language_model.model.layers.1.input_layernorm.weight", Dtype::bf16, {64}, kShard2)
      .quantized("language_model.model.layers.1.self_attn.q_proj", {64, 64}, 4, kShard2)
      .tensor("language_model.model.norm.weight", Dtype::bf16, {64})
      .tensor("vision_tower.encoder.layers.0.mlp.down_proj.weight", Dtype::u32, {8, 8})
      .tensor("vision_tower.encoder.layers.0.mlp.down_proj.scales", Dtype::bf16, {8, 1})
      .tensor("embed_vision.embedding_projection.weight", Dtype::bf16, {8, 8});
  return c;
}

TEST(RepackPlanTest, Gemma4ResidentFileAndLayers) {
  const Checkpoint c = gemmaCheckpoint();
  const RepackPlan plan = build(c, smallArch(Family::gemma4, 2, 4));

  EXPECT_EQ(residentNames(plan), (std::vector<std::string>{
                                     "language_model.model.embed_tokens.weight",
                                     "language_model.model.layers.0.self_attn.q_proj.weight",
                                     "language_model.model.layers.0.router.proj.weight",
                                     "language_model.model.layers.0.input_layernorm.weight",
                                     "language_model.model.layers.1.self_attn.q_proj.weight",
                                     "language_model.model.layers.1.input_layernorm.weight",
                                     "language_model.model.norm.weight",
                                 }));
  EXPECT_EQ(plan.excludedMultimodalTensorNames,
            (std::vector<std::string>{"embed_vision.embedding_projection.weight",
                                      "vision_tower.encoder.layers.0.mlp.down_proj.scales",
                                      "vision_tower.encoder.layers.0.mlp.down_proj.weight"}));
  EXPECT_EQ(plan.resident.path, std::string(kOut) + "/model_weights.bin");

  // String table: names back to back, offsets where each starts.
  std::string table;
  for (size_t i = 0; i < plan.resident.entries.size(); ++i) {
    EXPECT_EQ(plan.resident.stringTableOffsets[i], table.size());
    table += plan.resident.entries[i].name;
  }
  EXPECT_EQ(plan.resident.stringTable, table);
  EXPECT_EQ(plan.resident.indexSize, 16384u);

  // The quantized embedding: weight, scales and biases back to back from the
  // end of the index; its packed columns unpacked to 64 four-bit values.
  const ResidentEntry& embed = plan.resident.entries[0];
  EXPECT_EQ(embed.fileOffset, 16384u);
  EXPECT_EQ(embed.sizeBytes, 256u * 8 * 4);
  EXPECT_EQ(embed.scaleOffset, 16384u + 8192);
  EXPECT_EQ(embed.scaleSize, 512u);
  EXPECT_EQ(embed.biasOffset, 16384u + 8192 + 512);
  EXPECT_EQ(embed.biasSize, 512u);
  EXPECT_EQ(embed.dtype, 0);
  EXPECT_EQ(embed.logicalShape4, (std::array<uint32_t, 4>{256, 64, 0, 0}));
  EXPECT_EQ(embed.quantSpec, QuantSpec{4});
  ASSERT_TRUE(embed.sourceScales && embed.sourceBiases);
  EXPECT_EQ(embed.sourceScales->name, "language_model.model.embed_tokens.scales");

  const ResidentEntry& norm =
      entryNamed(plan, "language_model.model.layers.0.input_layernorm.weight");
  EXPECT_EQ(norm.dtype, 1);
  EXPECT_EQ(norm.logicalShape4, (std::array<uint32_t, 4>{64, 0, 0, 0}));
  EXPECT_FALSE(norm.quantSpec);
  EXPECT_EQ(norm.scaleOffset + norm.scaleSize + norm.biasOffset + norm.biasSize, 0u);

  uint64_t end = plan.resident.indexSize;
  for (const ResidentEntry& e : plan.resident.entries) {
    EXPECT_EQ(e.fileOffset, end) << e.name;
    end = e.fileOffset + e.sizeBytes + e.scaleSize + e.biasSize;
  }
  EXPECT_EQ(plan.resident.residentSize, end - plan.resident.indexSize);

  // Layer 0 packs its experts; layer 1 has none and gets an empty plan.
  ASSERT_EQ(plan.layers.size(), 2u);
  const LayerFilePlan& l0 = plan.layers[0];
  EXPECT_EQ(l0.layerIndex, 0);
  EXPECT_EQ(l0.path, std::string(kOut) + "/packed_experts/layer_00.bin");
  EXPECT_EQ(l0.expertsPerLayer, 4);
  EXPECT_EQ(l0.expertStride, 16384u);
  ASSERT_EQ(l0.subTensors.size(), 9u);
  const char* roles[] = {"gate", "gate", "gate", "up", "up", "up", "down", "down", "down"};
  const char* components[] = {"weights", "scales", "biases"};
  // Per expert: gate/up weights 32x8 u32 = 1024, scales and biases 32x1 bf16 = 64;
  // down weights 64x4 u32 = 1024, scales and biases 64x1 bf16 = 128.
  const uint64_t sizes[] = {1024, 64, 64, 1024, 64, 64, 1024, 128, 128};
  uint64_t offset = 0;
  for (size_t i = 0; i < 9; ++i) {
    const PerExpertTensorSlice& s = l0.subTensors[i];
    EXPECT_EQ(s.role, roles[i]);
    EXPECT_EQ(s.component, components[i % 3]);
    EXPECT_EQ(s.dtype, i % 3 == 0 ? 0 : 1);
    EXPECT_EQ(s.offsetInExpertBlob, offset) << i;
    EXPECT_EQ(s.sizeInExpertBlob, sizes[i]) << i;
    EXPECT_EQ(s.sourceOffsetPerExpert, sizes[i]) << i;
    EXPECT_EQ(s.sizeInExpertBlob * 4, s.sourceTensor.sizeBytes);
    EXPECT_EQ(s.bitsForWeights, i % 3 == 0 ? std::optional<int64_t>(4) : std::nullopt);
    offset += sizes[i];
  }
  EXPECT_EQ(l0.subTensors[0].logicalShape, (std::vector<uint64_t>{4, 32, 64}));
  EXPECT_EQ(l0.subTensors[1].logicalShape, (std::vector<uint64_t>{4, 32, 1}));
  EXPECT_EQ(l0.subTensors[6].logicalShape, (std::vector<uint64_t>{4, 64, 32}));
  EXPECT_EQ(l0.subTensors[3].sourceTensor.shardPath, kShard2);

  const LayerFilePlan& l1 = plan.layers[1];
  EXPECT_EQ(l1.layerIndex, 1);
  EXPECT_EQ(l1.path, std::string(kOut) + "/packed_experts/layer_01.bin");
  EXPECT_EQ(l1.expertsPerLayer, 0);
  EXPECT_EQ(l1.expertStride, 0u);
  EXPECT_TRUE(l1.subTensors.empty());

  EXPECT_EQ(plan.baseMode, "affine");
  EXPECT_EQ(plan.baseGroupSize, 64);
  EXPECT_EQ(plan.bitsOverrideCount, 0);
  EXPECT_FALSE(plan.matchedModelID);
  // The same inputs give the same plan.
  EXPECT_EQ(build(c, smallArch(Family::gemma4, 2, 4)), plan);
}

TEST(RepackPlanTest, QwenConfigPacksEveryLayerUnderItsOwnNumber) {
  testutil::TempDir dir;
  testutil::writeFile(dir.file("config.json"), plan_fixtures::qwenConfig(3, 8).dump());
  const ArchInfo arch = ArchInfo::load(dir.file("config.json"));
  ASSERT_EQ(arch.family, Family::qwen36);

  Checkpoint c;
  c.quantized("language_model.model.embed_tokens", {256, 64});
  for (int layer : {0, 2}) {
    const std::string p = "language_model.model.layers." + std::to_string(layer);
    c.quantized(p + ".mlp.gate", {8, 64})
        .experts(p + ".mlp.switch_mlp.gate_proj", 8, 32, 64)
        .experts(p + ".mlp.switch_mlp.up_proj", 8, 32, 64)
        .experts(p + ".mlp.switch_mlp.down_proj", 8, 64, 32)
        .quantized(p + ".mlp.shared_expert.gate_proj", {32, 64})
        .quantized(p + ".linear_attn.in_proj_qkv", {64, 64});
  }
  c.quantized("language_model.lm_head", {256, 64});
  const RepackPlan plan = build(c, arch);

  ASSERT_EQ(plan.layers.size(), 3u);
  for (int64_t i = 0; i < 3; ++i) {
    EXPECT_EQ(plan.layers[i].layerIndex, i);
    EXPECT_EQ(plan.layers[i].expertsPerLayer, i == 1 ? 0 : 8);
  }
  EXPECT_EQ(plan.layers[2].path, std::string(kOut) + "/packed_experts/layer_02.bin");
  EXPECT_EQ(
      residentNames(plan),
      (std::vector<std::string>{"language_model.model.embed_tokens.weight",
                                "language_model.model.layers.0.linear_attn.in_proj_qkv.weight",
                                "language_model.model.layers.0.mlp.gate.weight",
                                "language_model.model.layers.0.mlp.shared_expert.gate_proj.weight",
                                "language_model.model.layers.2.linear_attn.in_proj_qkv.weight",
                                "language_model.model.layers.2.mlp.gate.weight",
                                "language_model.model.layers.2.mlp.shared_expert.gate_proj.weight",
                                "language_model.lm_head.weight"}));
}

TEST(RepackPlanTest, Lfm2SkipsDenseLayersAndNumbersMoeLayersFromZero) {
  testutil::TempDir dir;
  testutil::writeFile(dir.file("config.json"), plan_fixtures::lfm2Config(4, 4).dump());
  const ArchInfo arch = ArchInfo::load(dir.file("config.json"));
  ASSERT_EQ(arch.family, Family::lfm2moe);

  Checkpoint c;
  c.quantized("model.embed_tokens", {256, 64});
  for (int layer = 0; layer < 4; ++layer) {
    const std::string p = "model.layers." + std::to_string(layer);
    c.tensor(p + ".operator_norm.weight", Dtype::bf16, {64})
        .quantized(p + ".conv.in_proj", {64, 64});
    if (layer < 2) {
      c.quantized(p + ".feed_forward.gate_proj", {64, 64});
    } else {
      c.experts(p + ".feed_forward.switch_mlp.gate_proj", 4, 32, 64)
          .experts(p + ".feed_forward.switch_mlp.up_proj", 4, 32, 64)
          .experts(p + ".feed_forward.switch_mlp.down_proj", 4, 64, 32)
          .tensor(p + ".feed_forward.expert_bias", Dtype::fp32, {4});
    }
  }
  c.tensor("model.embedding_norm.weight", Dtype::bf16, {64});
  const RepackPlan plan = build(c, arch);

  ASSERT_EQ(plan.layers.size(), 2u);
  for (int64_t i = 0; i < 2; ++i) {
    EXPECT_EQ(plan.layers[i].layerIndex, i);
    EXPECT_EQ(plan.layers[i].path,
              std::string(kOut) + "/packed_experts/layer_0" + std::to_string(i) + ".bin");
    EXPECT_EQ(plan.layers[i].expertsPerLayer, 4);
    // Model layer 2 feeds packed layer 0.
    EXPECT_EQ(
        plan.layers[i].subTensors[0].sourceTensor.name,
        "model.layers." + std::to_string(i + 2) + ".feed_forward.switch_mlp.gate_proj.weight");
  }
  const std::vector<std::string> names = residentNames(plan);
  EXPECT_EQ(names.front(), "model.embed_tokens.weight");
  EXPECT_EQ(names.back(), "model.embedding_norm.weight");
  EXPECT_EQ(names[1], "model.layers.0.conv.in_proj.weight");
  EXPECT_EQ(names[2], "model.layers.0.feed_forward.gate_proj.weight");
  EXPECT_EQ(names[3], "model.layers.0.operator_norm.weight");
}

TEST(RepackPlanTest, BraskKeepsLmHeadLastAndSkipsDenseLayers) {
  Checkpoint c;
  c.tensor("lm_head.weight", Dtype::bf16, {256, 64})
      .quantized("model.embed_tokens", {256, 64}, 8)
      .tensor("model.norm.weight", Dtype::bf16, {64});
  for (int layer = 0; layer < 3; ++layer) {
    const std::string p = "model.layers." + std::to_string(layer);
    c.quantized(p + ".self_attn.q_proj", {64, 64})
        .tensor(p + ".self_attn.softmax_offset", Dtype::fp32, {4});
    if (layer == 0) {
      c.quantized(p + ".mlp.gate_proj", {128, 64});
    } else {
      c.quantized(p + ".mlp.gate", {4, 64})
          .tensor(p + ".mlp.gate.expert_bias", Dtype::fp32, {4})
          .quantized(p + ".mlp.shared_expert.gate_proj", {32, 64})
          .experts(p + ".mlp.switch_mlp.gate_proj", 4, 32, 64)
          .experts(p + ".mlp.switch_mlp.up_proj", 4, 32, 64)
          .experts(p + ".mlp.switch_mlp.down_proj", 4, 64, 32);
    }
  }
  const RepackPlan plan =
      build(c, smallArch(Family::brask, 3, 4), 4, {{"model.embed_tokens", QuantSpec{8}}});

  ASSERT_EQ(plan.layers.size(), 2u);
  EXPECT_EQ(plan.layers[1].layerIndex, 1);
  EXPECT_EQ(plan.layers[1].subTensors[0].sourceTensor.name,
            "model.layers.2.mlp.switch_mlp.gate_proj.weight");
  const std::vector<std::string> names = residentNames(plan);
  EXPECT_EQ(names.front(), "model.embed_tokens.weight");
  EXPECT_EQ(names.back(), "lm_head.weight");
  EXPECT_EQ(names[names.size() - 2], "model.norm.weight");
  // Within a layer: softmax_offset (6), gate (7), expert_bias (8), shared expert (10).
  EXPECT_EQ(std::vector<std::string>(names.begin() + 4, names.begin() + 9),
            (std::vector<std::string>{
                "model.layers.1.self_attn.q_proj.weight", "model.layers.1.self_attn.softmax_offset",
                "model.layers.1.mlp.gate.weight", "model.layers.1.mlp.gate.expert_bias",
                "model.layers.1.mlp.shared_expert.gate_proj.weight"}));
  // The 8-bit embedding override: 64 values in 16 words.
  EXPECT_EQ(plan.resident.entries[0].logicalShape4, (std::array<uint32_t, 4>{256, 64, 0, 0}));
  EXPECT_EQ(plan.resident.entries[0].quantSpec, QuantSpec{8});
  EXPECT_EQ(plan.bitsOverrideCount, 1);
}

TEST(RepackPlanTest, ResidentOrderGroupsLayersRanksAndNames) {
  Checkpoint c;
  for (const char* name : {
           "language_model.lm_head.weight",
           "language_model.model.norm.weight",
           "language_model.model.layers.10.self_attn.q_proj.weight",
           "language_model.model.layers.2.zz_unranked.weight",
           "language_model.model.layers.2.aa_unranked.weight",
           "language_model.model.layers.2.post_feedforward_layernorm_2.weight",
           "language_model.model.layers.2.self_attn.k_proj.weight",
           "language_model.model.layers.-1.self_attn.k_proj.weight",
           "language_model.model.layers.x.self_attn.q_proj.weight",
           "language_model.model.layers.3",
           "language_model.aaa",
           "language_model.model.embed_tokens.weight",
       }) {
    c.tensor(name, Dtype::bf16, {1});
  }
  const RepackPlan plan = build(c, smallArch(Family::gemma4, 0, 4));
  EXPECT_EQ(residentNames(plan),
            (std::vector<std::string>{
                "language_model.model.embed_tokens.weight",
                "language_model.model.layers.-1.self_attn.k_proj.weight",
                "language_model.model.layers.2.self_attn.k_proj.weight",
                "language_model.model.layers.2.post_feedforward_layernorm_2.weight",
                "language_model.model.layers.2.aa_unranked.weight",
                "language_model.model.layers.2.zz_unranked.weight",
                "language_model.model.layers.10.self_attn.q_proj.weight",
                "language_model.aaa",
                "language_model.model.layers.3",
                "language_model.model.layers.x.self_attn.q_proj.weight",
                "language_model.model.norm.weight",
                "language_model.lm_head.weight",
            }));
  EXPECT_TRUE(plan.layers.empty());
}

TEST(RepackPlanTest, ExpertMarkerWithoutRoleOrValidLayerStaysResident) {
  Checkpoint c;
  c.quantized("language_model.model.layers.0.experts.switch_glu.other_proj", {4, 64})
      .quantized("language_model.model.layers.5.experts.switch_glu.gate_proj", {4, 4, 64});
  const RepackPlan plan = build(c, smallArch(Family::gemma4, 1, 4));
  EXPECT_EQ(residentNames(plan),
            (std::vector<std::string>{
                "language_model.model.layers.0.experts.switch_glu.other_proj.weight",
                "language_model.model.layers.5.experts.switch_glu.gate_proj.weight"}));
  ASSERT_EQ(plan.layers.size(), 1u);
  EXPECT_EQ(plan.layers[0].expertsPerLayer, 0);
}

TEST(RepackPlanTest, QuantizationOverridesAndUnquantizedU32) {
  Checkpoint c;
  c.tensor("language_model.model.layers.0.router.per_expert_scale", Dtype::u32, {4})
      .tensorOfSize("language_model.model.embed_tokens.weight", Dtype::u32, {262144, 352}, 16)
      .tensor("language_model.model.embed_tokens.scales", Dtype::bf16, {1})
      .tensor("language_model.model.embed_tokens.biases", Dtype::bf16, {1})
      .experts("language_model.model.layers.0.experts.switch_glu.gate_proj", 4, 32, 64, 8)
      .experts("language_model.model.layers.0.experts.switch_glu.up_proj", 4, 32, 64)
      .experts("language_model.model.layers.0.experts.switch_glu.down_proj", 4, 64, 32);

  RepackPlan plan = build(c, smallArch(Family::gemma4, 1, 4));
  EXPECT_EQ(plan.resident.entries[0].logicalShape4, (std::array<uint32_t, 4>{262144, 2816, 0, 0}));
  // A u32 tensor without ".weight" is stored as it is.
  const ResidentEntry& scale = plan.resident.entries[1];
  EXPECT_EQ(scale.dtype, 0);
  EXPECT_FALSE(scale.quantSpec);
  EXPECT_FALSE(scale.sourceScales);
  EXPECT_EQ(scale.logicalShape4, (std::array<uint32_t, 4>{4, 0, 0, 0}));

  plan = build(c, smallArch(Family::gemma4, 1, 4), 4,
               {{"language_model.model.embed_tokens", QuantSpec{8}},
                {"language_model.model.layers.0.experts.switch_glu.gate_proj", QuantSpec{8}}});
  EXPECT_EQ(plan.resident.entries[0].logicalShape4, (std::array<uint32_t, 4>{262144, 1408, 0, 0}));
  EXPECT_EQ(plan.layers[0].subTensors[0].logicalShape, (std::vector<uint64_t>{4, 32, 64}));
  EXPECT_EQ(plan.layers[0].subTensors[0].bitsForWeights, 8);
  EXPECT_EQ(plan.layers[0].subTensors[3].bitsForWeights, 4);
}

TEST(RepackPlanTest, ExpertStrideRoundsUpToPages) {
  for (const auto& [weightBytes, stride] : std::vector<std::pair<uint64_t, uint64_t>>{
           {16384 - 8 * 4, 16384}, {16384 - 8 * 4 + 4, 32768}}) {
    Checkpoint c;
    // One expert; eight 4-byte companions and the gate weight fill the blob.
    c.tensorOfSize("language_model.model.layers.0.experts.switch_glu.gate_proj.weight", Dtype::u32,
                   {1, 1, 1}, weightBytes);
    for (const char* name :
         {"gate_proj.scales", "gate_proj.biases", "up_proj.weight", "up_proj.scales",
          "up_proj.biases", "down_proj.weight", "down_proj.scales", "down_proj.biases"}) {
      const std::string full =
          std::string("language_model.model.layers.0.experts.switch_glu.") + name;
      const bool weight = full.ends_with(".weight");
      c.tensorOfSize(full, weight ? Dtype::u32 : Dtype::bf16,
                     weight ? std::vector<uint64_t>{1, 1, 1} : std::vector<uint64_t>{1, 1, 2}, 4);
    }
    const RepackPlan plan = build(c, smallArch(Family::gemma4, 1, 1));
    EXPECT_EQ(plan.layers[0].expertStride, stride) << weightBytes;
  }
}

TEST(RepackPlanTest, IndexSizeCountsHeaderEntriesAndNames) {
  // 227 entries: 24 + 72 * 227 = 16368 bytes before the names.
  for (const auto& [nameBytes, indexSize] :
       std::vector<std::pair<size_t, uint64_t>>{{16000, 32768}, {16400, 32768}, {16401, 49152}}) {
    Checkpoint c;
    const std::string prefix = "language_model.t";
    size_t remaining = nameBytes;
    for (int i = 0; i < 227; ++i) {
      const size_t length = remaining / static_cast<size_t>(227 - i);
      std::string name = prefix + std::to_string(1000 + i);
      name.append(length - name.size(), 'x');
      remaining -= length;
      c.tensor(name, Dtype::bf16, {1});
    }
    const RepackPlan plan = build(c, smallArch(Family::gemma4, 0, 1));
    EXPECT_EQ(plan.resident.stringTable.size(), nameBytes);
    EXPECT_EQ(plan.resident.indexSize, indexSize) << nameBytes;
    EXPECT_EQ(plan.resident.entries[0].fileOffset, indexSize);
  }

  Checkpoint one;
  one.tensor("language_model.a", Dtype::bf16, {1});
  EXPECT_EQ(build(one, smallArch(Family::gemma4, 0, 1)).resident.indexSize, 16384u);
  const RepackPlan empty = build(Checkpoint(), smallArch(Family::gemma4, 0, 1));
  EXPECT_EQ(empty.resident.indexSize, 16384u);
  EXPECT_EQ(empty.resident.residentSize, 0u);
}

TEST(RepackPlanTest, MatchesKnownSourceByIndexDigest) {
  const SupportedModelSource row = *ModelCatalog::lookup("qwen36");
  Checkpoint c;
  c.tensor("language_model.a", Dtype::bf16, {1});
  IndexLoader::SourceMetadata m = c.metadata();
  m.indexSha256Hex = row.sourceIndexSHA256;
  EXPECT_EQ(RepackPlan::build(m, smallArch(Family::gemma4, 0, 1), c.headers(), kOut).matchedModelID,
            row.modelID);
  for (char& ch : m.indexSha256Hex) ch = static_cast<char>(std::toupper(ch));
  EXPECT_EQ(RepackPlan::build(m, smallArch(Family::gemma4, 0, 1), c.headers(), kOut).matchedModelID,
            row.modelID);
}

TEST(RepackPlanTest, RejectsInputsThatCannotBePlanned) {
  const std::string gate = "language_model.model.layers.0.experts.switch_glu.gate_proj";
  const std::string up = "language_model.model.layers.0.experts.switch_glu.up_proj";
  const std::string down = "language_model.model.layers.0.experts.switch_glu.down_proj";
  const std::string q = "language_model.model.layers.0.self_attn.q_proj";
  const auto fullBundle = [&](Checkpoint& c) {
    c.experts(gate, 4, 32, 64).experts(up, 4, 32, 64).experts(down, 4, 64, 32);
  };
  struct Case {
    const char* label;
    std::function<void(Checkpoint&)> fill;
    std::string expected;
    Family family = Family::gemma4;
    int64_t numExperts = 4;
    int64_t baseBits = 4;
    std::map<std::string, QuantSpec> overrides = {};
    int64_t numLayers = 1;
  };
  const uint64_t kTop = ~uint64_t{0};
  const std::vector<Case> cases = {
      {"gemma4 name without language_model.",
       [](Checkpoint& c) { c.tensor("model.embed_tokens.weight", Dtype::bf16, {4}); },
       "unknown tensor prefix: model.embed_tokens.weight"},
      {"lm_head.weight outside brask",
       [](Checkpoint& c) { c.tensor("lm_head.weight", Dtype::bf16, {4}); },
       "unknown tensor prefix: lm_head.weight", Family::lfm2moe},
      {"two tensors for one role",
       [&](Checkpoint& c) {
         fullBundle(c);
         c.tensor("language_model.model.layers.0.experts.switch_glu.w2.gate_proj.weight",
                  Dtype::u32, {4, 1, 1}, kShard2);
       },
       "configuration invalid: two routed-expert tensors for layer 0 role gate"},
      {"bundle without down",
       [&](Checkpoint& c) { c.experts(gate, 4, 32, 64).experts(up, 4, 32, 64); },
       "configuration invalid: layer 0 routed-expert bundle incomplete: gate=" + gate +
           ".weight, up=" + up + ".weight"},
      {"rank-2 gate weight",
       [&](Checkpoint& c) {
         fullBundle(c);
         c.quantized(gate, {4, 64});
       },
       "shape mismatch for " + gate +
           ".weight: expected U32 rank-3 with leading 4, got u32 [4, 8]"},
      {"bf16 gate weight",
       [&](Checkpoint& c) {
         fullBundle(c);
         c.tensor(gate + ".weight", Dtype::bf16, {4, 32, 64});
       },
       "shape mismatch for " + gate +
           ".weight: expected U32 rank-3 with leading 4, got bf16 [4, 32, 64]"},
      {"leading extent not the expert count",
       [&](Checkpoint& c) {
         fullBundle(c);
         c.experts(gate, 3, 32, 64);
       },
       "shape mismatch for " + gate +
           ".weight: expected U32 rank-3 with leading 4, got u32 [3, 32, 8]"},
      {"bytes not divisible by the experts",
       [&](Checkpoint& c) {
         fullBundle(c);
         c.tensorOfSize(up + ".scales", Dtype::bf16, {4, 32, 1}, 257);
       },
       "shape mismatch for " + up + ".weight: source bytes not evenly divisible by 4 experts"},
      {"missing scales",
       [&](Checkpoint& c) {
         c.tensor(q + ".weight", Dtype::u32, {64, 8});
       },
       "quantized tensor " + q + ".weight missing .scales companion"},
      {"missing biases",
       [&](Checkpoint& c) {
         c.tensor(q + ".weight", Dtype::u32, {64, 8}).tensor(q + ".scales", Dtype::bf16, {64, 1});
       },
       "quantized tensor " + q + ".weight missing .biases companion"},
      {"fp16 scales",
       [&](Checkpoint& c) {
         c.quantized(q, {64, 64}).tensor(q + ".scales", Dtype::fp16, {64, 1});
       },
       "dtype mismatch for " + q + ".weight: expected BF16 scales/biases, got fp16/bf16"},
      {"fp32 expert biases",
       [&](Checkpoint& c) {
         fullBundle(c);
         c.tensor(down + ".biases", Dtype::fp32, {4, 64, 1});
       },
       "dtype mismatch for " + down + ".weight: expected BF16 scales/biases, got bf16/fp32"},
      {"zero base bits",
       [&](Checkpoint& c) {
         c.quantized(q, {64, 64});
       },
       "configuration invalid: bit width 0 of " + q + ".weight must be positive", Family::gemma4, 4,
       0},
      {"negative override on an expert",
       fullBundle,
       "configuration invalid: bit width -8 of " + gate + ".weight must be positive",
       Family::gemma4,
       4,
       4,
       {{gate, QuantSpec{-8}}}},
      {"extent beyond 32 bits",
       [](Checkpoint& c) {
         c.tensorOfSize("language_model.t", Dtype::bf16, {2, 4294967296}, 2);
       },
       "configuration invalid: extent 4294967296 of language_model.t does not fit 32 bits"},
      {"unpacked extent beyond 32 bits",
       [&](Checkpoint& c) {
         c.quantized(q, {1, 64});
         c.tensorOfSize(q + ".weight", Dtype::u32, {1, 536870912}, 4);
       },
       "configuration invalid: extent 4294967296 of " + q + ".weight does not fit 32 bits"},
      {"unpacked extent overflows",
       [&](Checkpoint& c) {
         c.quantized(q, {1, 64});
         c.tensorOfSize(q + ".weight", Dtype::u32, {1, uint64_t{1} << 60}, 4);
       },
       "configuration invalid: unpacked extent of " + q + ".weight: arithmetic overflow"},
      {"expert extent beyond 32 bits",
       [&](Checkpoint& c) {
         fullBundle(c);
         c.tensorOfSize(up + ".scales", Dtype::bf16, {4, 4294967296, 1}, 256);
       },
       "configuration invalid: extent 4294967296 of " + up + ".scales does not fit 32 bits"},
      {"no experts to pack", fullBundle,
       "configuration invalid: numExperts 0 must be positive to pack layer 0", Family::gemma4, 0},
      {"resident payload past 2^64",
       [](Checkpoint& c) {
         c.tensorOfSize("language_model.a", Dtype::bf16, {1}, uint64_t{1} << 63)
             .tensorOfSize("language_model.b", Dtype::bf16, {1}, uint64_t{1} << 63);
       },
       "configuration invalid: resident payload offset: arithmetic overflow"},
      {"expert blob within a page of 2^64",
       [&](Checkpoint& c) {
         c.tensorOfSize(gate + ".weight", Dtype::u32, {1, 1, 1}, kTop - 100 - 8);
         for (const std::string& n :
              {gate + ".scales", gate + ".biases", up + ".weight", up + ".scales", up + ".biases",
               down + ".weight", down + ".scales", down + ".biases"}) {
           c.tensorOfSize(n, n.ends_with(".weight") ? Dtype::u32 : Dtype::bf16, {1, 1, 1}, 1);
         }
       },
       "configuration invalid: expert stride of layer 0: arithmetic overflow", Family::gemma4, 1},
      {"absurd layer count",
       [](Checkpoint&) {},
       "configuration invalid: numLayers 65537 exceeds the planning limit of 65536",
       Family::gemma4,
       4,
       4,
       {},
       65537},
      {"name too long for the index",
       [](Checkpoint& c) {
         c.tensor("language_model." + std::string(65521, 'x'), Dtype::bf16, {1});
       },
       "configuration invalid: tensor name of 65536 bytes exceeds 65535 bytes"},
  };
  for (const Case& k : cases) {
    Checkpoint c;
    k.fill(c);
    EXPECT_EQ(testutil::errorOf([&] {
                build(c, smallArch(k.family, k.numLayers, k.numExperts), k.baseBits, k.overrides);
              }),
              k.expected)
        << k.label;
  }
}

}  // namespace
