// Runs the velquor-plan executable on small checkpoint directories and holds
// its document against the planner called in process.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "engine/plan/plan_fixtures.h"
#include "engine/plan/range_copy_plan.h"
#include "engine/plan/repack_plan.h"
#include "tests/test_util.h"

namespace {

using nlohmann::json;
using plan_fixtures::Checkpoint;
using Dtype = SourceTensor::Dtype;

testutil::ProcessResult velquorPlan(const std::vector<std::string>& args) {
  return testutil::runProcess(VELQUOR_PLAN_BINARY, args);
}

class VelquorPlanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The vision tensor is not planned; the default chunk downloads it as a gap.
    checkpoint_.quantized("language_model.model.embed_tokens", {256, 64})
        .tensor("vision_tower.patch_embedder.weight", Dtype::bf16, {4});
    for (int layer = 0; layer < 2; ++layer) {
      const std::string p = "language_model.model.layers." + std::to_string(layer);
      const std::string shard = layer == 0 ? plan_fixtures::kShard1 : plan_fixtures::kShard2;
      checkpoint_.quantized(p + ".self_attn.q_proj", {64, 64}, 4, shard)
          .tensor(p + ".input_layernorm.weight", Dtype::bf16, {64}, shard)
          .experts(p + ".experts.switch_glu.gate_proj", 4, 32, 64, 4, shard)
          .experts(p + ".experts.switch_glu.up_proj", 4, 32, 64, 4, shard)
          .experts(p + ".experts.switch_glu.down_proj", 4, 64, 32, 4, shard);
    }
    checkpoint_.tensor("language_model.model.norm.weight", Dtype::bf16, {64});
    checkpoint_.writeDirectory(dir_.path(), plan_fixtures::gemma4Config(2, 4));
  }

  // The same plan computed in this process.
  RangeCopyPlan expected(int64_t chunkBytes, RepackPlan& plan) const {
    const IndexLoader::SourceMetadata metadata = IndexLoader::load(dir_.path());
    plan = RepackPlan::build(metadata, ArchInfo::load(metadata.configPath), checkpoint_.headers(),
                             "/elsewhere");
    return RangeCopyPlanner::plan(plan, chunkBytes);
  }

  Checkpoint checkpoint_;
  testutil::TempDir dir_;
};

TEST_F(VelquorPlanTest, PrintsThePlanOfACheckpointDirectory) {
  const testutil::ProcessResult r = velquorPlan({dir_.path()});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const json doc = json::parse(r.out);

  RepackPlan plan;
  const RangeCopyPlan copies = expected(67108864, plan);
  EXPECT_EQ(doc.at("rangeChunkBytes"), 67108864);
  EXPECT_EQ(doc.at("canonicalFingerprint"), copies.canonicalFingerprint);
  EXPECT_EQ(doc.at("residentIndexSha256"), copies.residentIndexSha256);
  EXPECT_EQ(doc.at("remoteBytesToDownload"), copies.remoteBytesToDownload);
  EXPECT_EQ(doc.at("remoteGapBytesDownloaded"), copies.remoteGapBytesDownloaded);
  EXPECT_EQ(doc.at("remoteGapBytesDownloaded"), 8);
  EXPECT_EQ(doc.at("residentIndex"), (json{{"indexSize", 16384},
                                           {"residentSize", plan.resident.residentSize},
                                           {"entryCount", 6}}));

  const json& entries = doc.at("residentEntries");
  ASSERT_EQ(entries.size(), plan.resident.entries.size());
  EXPECT_EQ(entries[0], (json{{"name", "language_model.model.embed_tokens.weight"},
                              {"dtype", 0},
                              {"shape", {256, 64, 0, 0}},
                              {"fileOffset", 16384},
                              {"sizeBytes", 8192},
                              {"scaleOffset", 16384 + 8192},
                              {"scaleSize", 512},
                              {"biasOffset", 16384 + 8192 + 512},
                              {"biasSize", 512}}));
  EXPECT_EQ(entries[5].at("name"), "language_model.model.norm.weight");
  EXPECT_EQ(entries[5].at("dtype"), 1);

  const json& layers = doc.at("layers");
  ASSERT_EQ(layers.size(), 2u);
  EXPECT_EQ(layers[1].at("layerIndex"), 1);
  EXPECT_EQ(layers[1].at("file"), "layer_01.bin");
  EXPECT_EQ(layers[1].at("expertsPerLayer"), 4);
  EXPECT_EQ(layers[1].at("expertStride"), 16384);

  const json& ranges = doc.at("ranges");
  ASSERT_EQ(ranges.size(), copies.coalescedCopies.size());
  for (size_t i = 0; i < ranges.size(); ++i) {
    const CoalescedRangeCopy& c = copies.coalescedCopies[i];
    EXPECT_EQ(ranges[i], (json{{"id", c.id},
                               {"shardID", c.shardID},
                               {"sourceOffset", c.sourceOffset},
                               {"size", c.size},
                               {"destinationCount", c.destinations.size()}}));
  }
  EXPECT_EQ(ranges[0].at("shardID"), plan_fixtures::kShard1);
  EXPECT_EQ(doc.at("expectedOutputs"),
            (json{{{"relativePath", "model_weights.bin"},
                   {"size", plan.resident.indexSize + plan.resident.residentSize}},
                  {{"relativePath", "packed_experts/layer_00.bin"}, {"size", 65536}},
                  {{"relativePath", "packed_experts/layer_01.bin"}, {"size", 65536}}}));
  EXPECT_EQ(doc.at("excludedMultimodalTensorNames"), json{"vision_tower.patch_embedder.weight"});
}

TEST_F(VelquorPlanTest, ChunkSizeChangesRangesAndFingerprint) {
  const testutil::ProcessResult byDefault = velquorPlan({dir_.path()});
  const testutil::ProcessResult small = velquorPlan({"--chunk-bytes", "4096", dir_.path()});
  ASSERT_EQ(small.exitStatus, 0) << small.err;
  const json doc = json::parse(small.out);
  RepackPlan plan;
  const RangeCopyPlan copies = expected(4096, plan);
  EXPECT_EQ(doc.at("rangeChunkBytes"), 4096);
  EXPECT_EQ(doc.at("canonicalFingerprint"), copies.canonicalFingerprint);
  EXPECT_NE(doc.at("canonicalFingerprint"), json::parse(byDefault.out).at("canonicalFingerprint"));
  EXPECT_EQ(doc.at("ranges").size(), copies.coalescedCopies.size());
  // The same run twice prints the same document.
  EXPECT_EQ(velquorPlan({dir_.path(), "--chunk-bytes=4096"}).out, small.out);
}

TEST_F(VelquorPlanTest, UsageAndPlanningFailures) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{},
                                             {"--chunk-bytes"},
                                             {"--chunk-bytes", "x", dir_.path()},
                                             {"--chunk-bytes", "12k", dir_.path()},
                                             {"--bogus", dir_.path()},
                                             {dir_.path(), dir_.path()}}) {
    const testutil::ProcessResult r = velquorPlan(args);
    EXPECT_EQ(r.exitStatus, 2) << ::testing::PrintToString(args);
    EXPECT_EQ(r.err, "usage: velquor-plan [--chunk-bytes N] <checkpoint-dir>\n");
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(velquorPlan({"--help"}).exitStatus, 0);

  testutil::ProcessResult r = velquorPlan({"--chunk-bytes", "0", dir_.path()});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, "configuration invalid: rangeChunkBytes must be positive\n");
  EXPECT_EQ(r.out, "");

  r = velquorPlan({dir_.file("absent")});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_TRUE(r.err.starts_with("index.json " + dir_.file("absent") +
                                "/model.safetensors.index.json invalid: "))
      << r.err;

  // Errors name the shard as the index does, not the local path.
  testutil::writeFile(dir_.file(plan_fixtures::kShard2), "1234");
  r = velquorPlan({dir_.path()});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, std::string("safetensors header at ") + plan_fixtures::kShard2 +
                       " invalid: file too short\n");
  testutil::writeFile(dir_.file(plan_fixtures::kShard2),
                      std::string("\xff\0\0\0\0\0\0\0", 8) + "{}");
  r = velquorPlan({dir_.path()});
  EXPECT_EQ(r.err, std::string("safetensors header at ") + plan_fixtures::kShard2 +
                       " size 255 exceeds bound\n");
}

}  // namespace
