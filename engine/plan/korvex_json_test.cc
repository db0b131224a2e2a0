#include "engine/plan/korvex_json.h"

#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>

#include "engine/common/repack_error.h"
#include "engine/plan/plan_fixtures.h"
#include "engine/plan/range_copy_plan.h"
#include "format/manifest.h"
#include "format/packed_layout.h"
#include "tests/test_util.h"

namespace {

using nlohmann::json;
using plan_fixtures::Checkpoint;
using Family = RepackModelFamily;

std::span<const uint8_t> bytesOf(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// numLayers model layers; the first `dense` have no routed experts.
RepackPlan familyPlan(Family family, int64_t numLayers, int64_t dense, int64_t experts,
                      std::map<std::string, QuantSpec> overrides = {}) {
  const bool text = family == Family::gemma4 || family == Family::qwen36;
  const std::string root = text ? "language_model.model." : "model.";
  std::string marker, router;
  switch (family) {
    case Family::gemma4:
      marker = ".experts.switch_glu.", router = ".router.proj";
      break;
    case Family::qwen36:
      marker = ".mlp.switch_mlp.", router = ".mlp.gate";
      break;
    case Family::lfm2moe:
      marker = ".feed_forward.switch_mlp.", router = ".feed_forward.gate";
      break;
    case Family::brask:
      marker = ".mlp.switch_mlp.", router = ".mlp.gate";
      break;
  }
  Checkpoint c;
  c.quantized(root + "embed_tokens", {256, 64});
  for (int64_t layer = 0; layer < numLayers; ++layer) {
    const std::string p = root + "layers." + std::to_string(layer);
    c.quantized(p + ".self_attn.q_proj", {64, 64});
    if (layer < dense) {
      c.quantized(p + (family == Family::lfm2moe ? ".feed_forward" : ".mlp") + ".gate_proj",
                  {128, 64});
      continue;
    }
    c.quantized(p + router, {static_cast<uint64_t>(experts), 64})
        .experts(p + marker + "gate_proj", experts, 32, 64)
        .experts(p + marker + "up_proj", experts, 32, 64)
        .experts(p + marker + "down_proj", experts, 64, 32);
  }
  return RepackPlan::build(c.metadata(4, std::move(overrides)),
                           plan_fixtures::smallArch(family, numLayers, experts), c.headers(),
                           "/out/pkg.partial");
}

const std::string kDigest(64, 'a');

struct Documents {
  std::string manifest;
  std::string layout;
};

// Both documents as the install finalization writes them.
Documents write(const RepackPlan& plan) {
  const RangeCopyPlan copies = RangeCopyPlanner::plan(plan, 67108864);
  const std::string layoutBytes = KorvexJSON::layout(plan, plan.layers.front().expertStride);
  std::map<std::string, KorvexJSON::FileEntry> files;
  for (const RemoteExpectedOutput& o : copies.expectedOutputs)
    files[o.relativePath] = {o.size, kDigest};
  files["packed_experts/layout.json"] = {layoutBytes.size(), kDigest};
  files["tokenizer/config.json"] = {10, kDigest};
  const std::string manifestBytes = KorvexJSON::manifest(
      plan, "model/x", "sha256:" + kDigest, files, plan.layers.front().expertsPerLayer,
      static_cast<int64_t>(plan.layers.size()), plan.layers.front().expertStride,
      KorvexJSON::classBitWidths(plan));
  return {manifestBytes, layoutBytes};
}

TEST(KorvexJsonTest, DocumentsOfEveryFamilyPassTheFormatValidators) {
  struct Case {
    Family family;
    int64_t layers;
    int64_t dense;
  };
  for (const Case& k : {Case{Family::gemma4, 2, 0}, Case{Family::qwen36, 3, 0},
                        Case{Family::lfm2moe, 4, 2}, Case{Family::brask, 4, 2}}) {
    const RepackPlan plan = familyPlan(k.family, k.layers, k.dense, 4);
    const Documents docs = write(plan);
    SCOPED_TRACE(std::string(rawValue(k.family)));

    KorvexManifestV1 manifest;
    KorvexPackedExpertsLayoutV1 layout;
    ASSERT_EQ(
        testutil::errorOf([&] { manifest = KorvexManifestCodec::decode(bytesOf(docs.manifest)); }),
        "ok");
    ASSERT_EQ(testutil::errorOf(
                  [&] { layout = KorvexPackedExpertsLayoutCodec::decode(bytesOf(docs.layout)); }),
              "ok");
    EXPECT_EQ(
        testutil::errorOf([&] { KorvexV1StructuralValidator::crossValidate(manifest, layout); }),
        "ok");

    EXPECT_EQ(manifest.modelID, "model/x");
    EXPECT_EQ(manifest.sourceSnapshotHash, "sha256:" + kDigest);
    EXPECT_EQ(manifest.flags, (std::map<std::string, bool>{{"streamingPresent", true},
                                                           {"turboQuantKV", false},
                                                           {"aneSharedExpert", false}}));
    EXPECT_EQ(manifest.numLayers, k.layers - k.dense);
    EXPECT_EQ(manifest.arch.numLayers, k.layers);
    EXPECT_EQ(manifest.arch.ffnIntermediate, plan.arch.intermediateSize);
    EXPECT_EQ(manifest.arch.fullAttentionLayerMask.size(), static_cast<size_t>(k.layers));
    EXPECT_EQ(manifest.bitWidthOverridesHonored, 0);
    ASSERT_TRUE(manifest.quant);
    EXPECT_EQ(manifest.quant->routedExpert,
              (KorvexManifestQuantSlotV1{4, "affine", "BF16", "BF16", 64}));
    if (k.family == Family::gemma4) {
      EXPECT_FALSE(manifest.arch.family);
      EXPECT_FALSE(manifest.arch.attentionScale);
      EXPECT_FALSE(manifest.arch.linearConvKernelSize);
    } else {
      EXPECT_EQ(manifest.arch.family, std::string(rawValue(k.family)));
      EXPECT_EQ(manifest.arch.attentionScale, plan.arch.attentionScale);
      EXPECT_EQ(manifest.arch.linearConvKernelSize, plan.arch.linearConvKernelSize);
      EXPECT_EQ(manifest.arch.ropeNeoxSubdim, plan.arch.ropeNeoxSubdim);
    }

    ASSERT_EQ(layout.layers.size(), plan.layers.size());
    const KorvexExpertV1& expert = layout.layers.back().experts[3];
    EXPECT_EQ(layout.layers.back().file,
              "layer_0" + std::to_string(plan.layers.size() - 1) + ".bin");
    EXPECT_EQ(expert.expert, 3);
    EXPECT_FALSE(expert.physicalRank);
    EXPECT_EQ(expert.offset, 3 * 16384u);
    std::vector<std::string> names;
    for (const auto& [name, t] : expert.tensors) names.push_back(name);
    EXPECT_EQ(names,
              (std::vector<std::string>{"down", "down_biases", "down_scales", "gate", "gate_biases",
                                        "gate_scales", "up", "up_biases", "up_scales"}));
    EXPECT_EQ(expert.tensors.at("gate"), (KorvexSubTensorV1{0, 1024, "U32", {4, 32, 64}, 4}));
    EXPECT_EQ(expert.tensors.at("down_scales"),
              (KorvexSubTensorV1{2 * 1152 + 1024, 128, "BF16", {4, 64, 1}, std::nullopt}));
  }
}

TEST(KorvexJsonTest, ManifestTextIsSortedPrettyAndUnescaped) {
  const Documents docs = write(familyPlan(Family::gemma4, 1, 0, 2));
  EXPECT_NE(docs.manifest.find("\"packed_experts/layout.json\""), std::string::npos);
  EXPECT_NE(docs.manifest.find("\n  \"arch\": {"), std::string::npos);
  std::vector<size_t> at;
  for (const char* key :
       {"\"arch\"", "\"bitWidthOverridesHonored\"", "\"expertStride\"", "\"expertsPerLayer\"",
        "\"files\"", "\"flags\"", "\"magic\"", "\"modelID\"", "\"quant\"", "\"sourceSnapshotHash\"",
        "\"versionMajor\"", "\"versionMinor\""}) {
    at.push_back(docs.manifest.find("\n  " + std::string(key)));
    EXPECT_NE(at.back(), std::string::npos) << key;
  }
  EXPECT_TRUE(std::is_sorted(at.begin(), at.end()));
  EXPECT_EQ(json::parse(docs.manifest).at("arch").size(), 21u);
  const json layout = json::parse(docs.layout);
  EXPECT_EQ(layout.at("layers")[0].at("experts")[0].at("tensors").at("gate_scales").count("bits"),
            0u);
}

TEST(KorvexJsonTest, ClassBitWidthsFollowResidentEntriesAndTheFirstPackedLayer) {
  using W = KorvexJSON::ClassBitWidths;
  // Entries without a quantization spec never count; defaults depend on the family.
  RepackPlan plan = familyPlan(Family::lfm2moe, 3, 0, 2);
  EXPECT_EQ(KorvexJSON::classBitWidths(plan), (W{4, 4, 32, 8, 4}));
  plan = familyPlan(Family::brask, 3, 1, 2);
  EXPECT_EQ(KorvexJSON::classBitWidths(plan), (W{4, 4, 4, 4, 4}));
  plan.arch.family = Family::brask;
  plan.resident.entries.clear();
  plan.layers.clear();
  EXPECT_EQ(KorvexJSON::classBitWidths(plan), (W{4, 4, 16, 8, 4}));
  plan.arch.family = Family::gemma4;
  EXPECT_EQ(KorvexJSON::classBitWidths(plan), (W{4, 4, 8, 8, 4}));

  plan = familyPlan(Family::qwen36, 2, 0, 2,
                    {{"language_model.model.embed_tokens", QuantSpec{8}},
                     {"language_model.model.layers.1.mlp.gate", QuantSpec{6}},
                     {"language_model.model.layers.0.mlp.switch_mlp.gate_proj", QuantSpec{3}},
                     {"language_model.model.layers.1.mlp.switch_mlp.gate_proj", QuantSpec{2}}});
  EXPECT_EQ(KorvexJSON::classBitWidths(plan), (W{8, 4, 6, 8, 3}));
}

TEST(KorvexJsonTest, LayoutReadBackReportsTheFirstMismatch) {
  const RepackPlan plan = familyPlan(Family::gemma4, 3, 0, 4);
  const json good = json::parse(KorvexJSON::layout(plan, 16384));
  testutil::TempDir dir;
  const std::string path = dir.file("layout.json");

  struct Case {
    const char* label;
    std::function<void(json&)> change;
    std::string expected;
  };
  const std::string prefix = "configuration invalid: layout.json validation failed: ";
  const auto expert1 = [](json& l) -> json& { return l["layers"][0]["experts"][1]; };
  const std::vector<Case> cases = {
      {"unchanged", [](json&) {}, "ok"},
      {"root not an object", [](json& l) { l = json::array(); }, prefix + "malformed root"},
      {"no layers", [](json& l) { l.erase("layers"); }, prefix + "malformed root"},
      {"layer not an object", [](json& l) { l["layers"][1] = 1; }, prefix + "malformed root"},
      {"layer without index", [](json& l) { l["layers"][0].erase("layer"); },
       prefix + "malformed layer"},
      {"layer index as text", [](json& l) { l["layers"][0]["layer"] = "0"; },
       prefix + "malformed layer"},
      {"layer not planned", [](json& l) { l["layers"][0]["layer"] = 7; },
       prefix + "malformed layer"},
      {"experts not objects", [](json& l) { l["layers"][0]["experts"][2] = 0; },
       prefix + "malformed layer"},
      {"layer twice", [](json& l) { l["layers"][1]["layer"] = 0; }, prefix + "duplicate layer 0"},
      {"expert without offset", [&](json& l) { expert1(l).erase("offset"); },
       prefix + "malformed expert"},
      {"negative size", [&](json& l) { expert1(l)["size"] = -1; }, prefix + "malformed expert"},
      {"id past the experts", [&](json& l) { expert1(l)["expert"] = 4; },
       prefix + "expert out of range"},
      {"negative id", [&](json& l) { expert1(l)["expert"] = -1; }, prefix + "expert out of range"},
      {"id twice", [&](json& l) { expert1(l)["expert"] = 0; }, prefix + "duplicate expert 0"},
      {"offset twice, before the stride rule", [&](json& l) { expert1(l)["offset"] = 0; },
       prefix + "duplicate offset 0"},
      {"unaligned", [&](json& l) { expert1(l)["offset"] = 100; }, prefix + "unaligned offset 100"},
      {"wrong slot", [&](json& l) { expert1(l)["offset"] = 32768; },
       prefix + "offset 32768 != expert * stride 16384"},
      {"short slot", [&](json& l) { expert1(l)["size"] = 16383; },
       prefix + "expert range outside layer file"},
      {"expert missing", [](json& l) { l["layers"][2]["experts"].erase(3); },
       prefix + "missing experts in layer 2"},
      {"layer missing", [](json& l) { l["layers"].erase(1); },
       prefix + "expected 3 layers, found 2"},
  };
  for (const Case& k : cases) {
    json layout = good;
    k.change(layout);
    testutil::writeFile(path, layout.dump());
    EXPECT_EQ(testutil::errorOf([&] { KorvexJSON::checkLayoutReadBack(path, plan); }), k.expected)
        << k.label;
  }

  testutil::writeFile(path, "{\"layers\": [");
  EXPECT_NE(testutil::errorOf([&] { KorvexJSON::checkLayoutReadBack(path, plan); }).find("parse"),
            std::string::npos);
  EXPECT_EQ(testutil::errorOf([&] { KorvexJSON::checkLayoutReadBack(dir.file("none"), plan); }),
            "open(" + dir.file("none") + ") failed: errno 2");
}

}  // namespace
