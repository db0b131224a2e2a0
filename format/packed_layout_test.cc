#include "format/packed_layout.h"

#include <gtest/gtest.h>

#include <functional>

#include "format/korvex_format.h"

namespace {

using L = KorvexPackedExpertsLayoutV1;

L valid() {
  L layout;
  layout.expertStride = 16384;
  layout.numLayers = 2;
  layout.expertsPerLayer = 2;
  for (int64_t l = 0; l < 2; ++l) {
    KorvexLayerV1 layer{l, "layer_00" + std::to_string(l) + ".bin", {}};
    for (int64_t e = 0; e < 2; ++e) {
      KorvexExpertV1 expert;
      expert.expert = e;
      expert.offset = 16384 * static_cast<uint64_t>(e);
      expert.size = 16384;
      expert.tensors["down"] = {0, 100, "U32", {4, 8}, 4};
      expert.tensors["down_scales"] = {100, 100, "BF16", {4, 2}, std::nullopt};
      layer.experts.push_back(expert);
    }
    layout.layers.push_back(layer);
  }
  return layout;
}

std::string error(const L& layout) {
  try {
    KorvexV1StructuralValidator::validate(layout);
    return "ok";
  } catch (const KorvexFormatError& e) {
    return e.description();
  }
}

TEST(KorvexPackedExpertsLayout, StructuralRules) {
  const std::vector<std::pair<std::function<void(L&)>, std::string>> cases = {
      {[](L&) {}, "ok"},
      {[](L& l) { l.expertStride = 16385; }, "layout: invalid dimensions or stride"},
      {[](L& l) { l.layers.pop_back(); }, "layout: invalid dimensions or stride"},
      {[](L& l) { l.layers[1].layer = 0; }, "layout.layers: duplicate or invalid layer"},
      {[](L& l) { l.layers[1].layer = 2; }, "layout.layers: duplicate or invalid layer"},
      {[](L& l) { l.layers[0].file = "../x.bin"; }, "layout.layers[0].file: non-canonical path"},
      {[](L& l) { l.layers[0].file = "a/x.bin"; }, "layout.layers[0].file: expected basename"},
      {[](L& l) { l.layers[0].file = "LAYOUT.JSON"; },
       "layout.layers[0].file: reserved packed-expert filename"},
      {[](L& l) { l.layers[1].file = "LAYER_000.BIN"; },
       "layout.layers[1].file: duplicate layer filename"},
      {[](L& l) { l.layers[0].experts.pop_back(); },
       "layout.layers[0].experts: wrong expert count"},
      {[](L& l) { l.layers[0].experts[1].expert.reset(); },
       "layout.layers[0].experts: expert ids must be either all explicit or all positional"},
      {[](L& l) {
         for (auto& e : l.layers[0].experts) e.expert.reset();
       },
       "ok"},
      {[](L& l) { l.layers[0].experts[1].physicalRank = 0; },
       "layout.layers[0].experts: duplicate or invalid expert mapping"},
      {[](L& l) { l.layers[0].experts[1].expert = 2; },
       "layout.layers[0].experts: duplicate or invalid expert mapping"},
      // Permuted slots are fine when each offset matches its rank.
      {[](L& l) {
         auto& e = l.layers[1].experts;
         e[0].physicalRank = 1;
         e[0].offset = 16384;
         e[1].physicalRank = 0;
         e[1].offset = 0;
       },
       "ok"},
      {[](L& l) { l.layers[0].experts[1].offset = 32768; },
       "expert[1]: offset or size does not match physical rank"},
      {[](L& l) { l.layers[0].experts[0].size = 100; },
       "expert[0]: offset or size does not match physical rank"},
      {[](L& l) { l.layers[0].experts[0].tensors["down"].dtype = "F16"; },
       "expert[0].tensors.down: invalid dtype or shape"},
      {[](L& l) { l.layers[0].experts[0].tensors["down"].bits = 0; },
       "expert[0].tensors.down: invalid dtype or shape"},
      {[](L& l) { l.layers[0].experts[0].tensors["down"].bits.reset(); }, "ok"},
      {[](L& l) {
         l.layers[0].experts[0].tensors["down"].shape = {4, 0};
       },
       "expert[0].tensors.down: invalid dtype or shape"},
      {[](L& l) { l.layers[0].experts[0].tensors["down"].offset = UINT64_MAX; },
       "tensor.down.range: arithmetic overflow"},
      {[](L& l) { l.layers[0].experts[0].tensors["down_scales"].offset = 16300; },
       "expert[0].tensors.down_scales: range exceeds expert blob"},
      {[](L& l) { l.layers[0].experts[0].tensors["down"].size = 101; },
       "expert[0].tensors: overlapping ranges down and down_scales"},
  };
  for (const auto& [mutate, expected] : cases) {
    L layout = valid();
    mutate(layout);
    EXPECT_EQ(error(layout), expected);
  }
}

TEST(KorvexPackedExpertsLayout, CodecRoundTripAndCrossValidation) {
  const L layout = valid();
  const std::string text = KorvexPackedExpertsLayoutCodec::encode(layout);
  const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  EXPECT_EQ(KorvexPackedExpertsLayoutCodec::decode(bytes), layout);
  EXPECT_LT(text.find("\"expertStride\""), text.find("\"expertsPerLayer\""));
  EXPECT_EQ(text.find("physicalRank"), std::string::npos);
  try {
    const std::string bad =
        R"({"expertStride":16384,"numLayers":1,"expertsPerLayer":1,"layers":{}})";
    KorvexPackedExpertsLayoutCodec::decode(
        {reinterpret_cast<const uint8_t*>(bad.data()), bad.size()});
    FAIL();
  } catch (const KorvexFormatError& e) {
    EXPECT_EQ(e.description(),
              "packed_experts/layout.json: type mismatch at layers: expected an array");
  }

  std::map<std::string, uint64_t> sizes = {{"packed_experts/layer_000.bin", 32768},
                                           {"packed_experts/layer_001.bin", 32768}};
  EXPECT_NO_THROW(KorvexV1StructuralValidator::crossValidate(2, 2, 16384, sizes, layout));
  auto crossError = [&](int64_t layers, int64_t experts, uint64_t stride) {
    try {
      KorvexV1StructuralValidator::crossValidate(layers, experts, stride, sizes, layout);
      return std::string("ok");
    } catch (const KorvexFormatError& e) {
      return e.description();
    }
  };
  EXPECT_EQ(crossError(3, 2, 16384), "manifest/layout: dimension mismatch");
  EXPECT_EQ(crossError(2, 2, 32768), "manifest/layout: dimension mismatch");
  sizes["packed_experts/layer_001.bin"] = 32767;
  EXPECT_EQ(crossError(2, 2, 16384),
            "manifest.files.packed_experts/layer_001.bin: missing or wrong layer size");
  sizes.erase("packed_experts/layer_000.bin");
  EXPECT_EQ(crossError(2, 2, 16384),
            "manifest.files.packed_experts/layer_000.bin: missing or wrong layer size");
}

}  // namespace
