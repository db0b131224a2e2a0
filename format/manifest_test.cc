#include "format/manifest.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>

#include "format/korvex_format.h"

namespace {

std::span<const uint8_t> bytes(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

KorvexManifestV1 valid() {
  KorvexManifestV1 m;
  m.magic = "KORVEX";
  m.versionMajor = 1;
  m.flags = {{"streamingPresent", true}, {"turboQuantKV", false}, {"aneSharedExpert", false}};
  m.modelID = "owner/model";
  m.sourceSnapshotHash = "sha256:" + std::string(64, 'a');
  KorvexManifestArchV1& a = m.arch;
  a.hiddenSize = a.ffnIntermediate = a.moeIntermediateSize = a.numHeads = a.numKVHeads = 8;
  a.numFullKVHeads = a.headDim = a.fullHeadDim = a.vocabSize = 8;
  a.finalLogitSoftcap = -1.5;
  a.ropeTheta = 10000;
  a.fullRopeTheta = 1e6;
  a.partialRotaryFactor = 0.25;
  a.numLayers = 2;
  a.numExperts = 4;
  a.topKExperts = 2;
  a.hiddenActivation = "silu";
  a.fullAttentionLayerMask = {0, 1};
  m.quant = KorvexManifestQuantV1{{4, "affine", "BF16", "BF16", 64},
                                  {4, "affine", "BF16", "BF16", 64},
                                  {8, "affine", "BF16", "BF16", 64},
                                  {8, "affine", "BF16", "BF16", 64},
                                  {4, "affine", "BF16", "BF16", 64}};
  m.files = {{"model_weights.bin", {10, std::string(64, 'b')}},
             {"packed_experts/layout.json", {20, std::string(64, 'c')}},
             {"tokenizer/tokenizer.json", {30, std::string(64, 'd')}}};
  m.expertsPerLayer = 4;
  m.numLayers = 2;
  m.expertStride = 16384;
  return m;
}

std::string validationError(const KorvexManifestV1& m) {
  try {
    KorvexManifestCodec::validate(m);
    return "ok";
  } catch (const KorvexFormatError& e) {
    return e.description();
  }
}

TEST(KorvexManifest, ValidationReportsTheFirstBrokenRule) {
  using M = KorvexManifestV1;
  const std::string sha = std::string(64, 'e');
  const std::vector<std::pair<std::function<void(M&)>, std::string>> cases = {
      {[](M&) {}, "ok"},
      {[](M& m) { m.magic = "korvex"; }, "manifest.magic: expected KORVEX"},
      {[](M& m) { m.versionMinor = 7; }, "ok"},
      {[](M& m) { m.versionMajor = 2; }, "manifest.version: unsupported version"},
      {[](M& m) { m.versionMinor = -1; }, "manifest.version: unsupported version"},
      {[](M& m) { m.flags["fastPath"] = true; }, "manifest.flags.fastPath: unknown v1 flag"},
      {[](M& m) { m.flags.clear(); }, "ok"},
      {[](M& m) { m.modelID.clear(); }, "manifest: invalid dimensions or stride"},
      {[](M& m) { m.expertStride = 16385; }, "manifest: invalid dimensions or stride"},
      {[](M& m) { m.expertStride = 0; }, "manifest: invalid dimensions or stride"},
      {[](M& m) { m.numLayers = 0; }, "manifest: invalid dimensions or stride"},
      {[](M& m) { m.numLayers = 1; }, "manifest.arch: dimensions disagree with streaming metadata"},
      {[](M& m) { m.expertsPerLayer = 3; },
       "manifest.arch: dimensions disagree with streaming metadata"},
      {[](M& m) {
         m.arch.family = "lfm2moe";
         m.arch.numLayers = 4;
         m.arch.fullAttentionLayerMask = {3, 3, 1, 3};
       },
       "ok"},
      {[](M& m) {
         m.arch.family = "brask";
         m.arch.numLayers = 3;
         m.arch.fullAttentionLayerMask = {0, 0, 1};
       },
       "manifest.arch: dimensions disagree with streaming metadata"},
      {[](M& m) {
         m.arch.family = "qwen36";
         m.arch.numLayers = 4;
       },
       "manifest.arch: dimensions disagree with streaming metadata"},
      // Counts near the limits of int64 are compared without wrapping: with
      // numLayers + 2 wrapped to INT64_MIN + 1, the second case would agree.
      {[](M& m) {
         m.arch.family = "lfm2moe";
         m.numLayers = INT64_MAX;
       },
       "manifest.arch: dimensions disagree with streaming metadata"},
      {[](M& m) {
         m.arch.family = "brask";
         m.numLayers = INT64_MAX;
         m.arch.numLayers = INT64_MIN + 1;
       },
       "manifest.arch: dimensions disagree with streaming metadata"},
      {[](M& m) { m.arch.partialRotaryFactor = 1.0; }, "ok"},
      {[](M& m) { m.arch.partialRotaryFactor = -0.0; }, "ok"},
      {[](M& m) { m.arch.partialRotaryFactor = 1.5; },
       "manifest.arch: invalid architecture values"},
      {[](M& m) { m.arch.ropeTheta = 0; }, "manifest.arch: invalid architecture values"},
      {[](M& m) { m.arch.finalLogitSoftcap = NAN; }, "manifest.arch: invalid architecture values"},
      {[](M& m) { m.arch.topKExperts = 5; }, "manifest.arch: invalid architecture values"},
      {[](M& m) { m.arch.slidingWindow = -1; }, "manifest.arch: invalid architecture values"},
      {[](M& m) {
         m.arch.fullAttentionLayerMask = {0, 4};
       },
       "manifest.arch: invalid architecture values"},
      {[](M& m) { m.arch.fullAttentionLayerMask = {0}; },
       "manifest.arch: invalid architecture values"},
      {[](M& m) { m.arch.hiddenActivation.clear(); }, "manifest.arch: invalid architecture values"},
      {[](M& m) { m.quant->router.weightBits = 32; }, "ok"},
      {[](M& m) { m.quant->router.weightBits = 33; },
       "manifest.quant.router: invalid quantization values"},
      {[](M& m) { m.quant->routedExpert.scheme.clear(); },
       "manifest.quant.routedExpert: invalid quantization values"},
      {[](M& m) { m.quant.reset(); }, "ok"},
      {[sha](M& m) {
         m.files["a//b"] = {1, sha};
       },
       "manifest.files.a//b: non-canonical path"},
      {[sha](M& m) {
         m.files["Tokenizer/tokenizer.json"] = {1, sha};
       },
       "manifest.files.tokenizer/tokenizer.json: filesystem-equivalent duplicate path"},
      {[sha](M& m) {
         m.files["tokenizer"] = {1, sha};
       },
       "manifest.files.tokenizer: reserved artifact filename"},
      {[sha](M& m) {
         m.files["Manifest.JSON"] = {1, sha};
       },
       "manifest.files.Manifest.JSON: reserved artifact filename"},
      {[sha](M& m) {
         m.files["verified-install.json/x"] = {1, sha};
       },
       "manifest.files.verified-install.json/x: reserved artifact filename"},
      {[](M& m) { m.files["model_weights.bin"].sha256 = std::string(64, 'F'); }, "ok"},
      {[](M& m) { m.files["model_weights.bin"].sha256 = std::string(63, 'f'); },
       "manifest.files.model_weights.bin.sha256: expected 64 hexadecimal characters"},
      {[](M& m) { m.files["model_weights.bin"].sha256 = std::string(63, 'f') + "g"; },
       "manifest.files.model_weights.bin.sha256: expected 64 hexadecimal characters"},
      {[sha](M& m) {
         m.files["packed_experts"] = {1, sha};
       },
       "manifest.files.packed_experts/layout.json: file path collides with a directory prefix"},
      {[sha](M& m) {
         m.files["A"] = {1, sha};
         m.files["a/b"] = {1, sha};
       },
       "manifest.files.a/b: file path collides with a directory prefix"},
  };
  for (const auto& [mutate, error] : cases) {
    KorvexManifestV1 m = valid();
    mutate(m);
    EXPECT_EQ(validationError(m), error);
  }
}

TEST(KorvexManifest, EncodesSortedPrettyJSONAndDecodesItBack) {
  const KorvexManifestV1 m = valid();
  const std::string text = KorvexManifestCodec::encode(m);
  EXPECT_NE(text.find("\"packed_experts/layout.json\""), std::string::npos);  // "/" unescaped
  EXPECT_NE(text.find('\n'), std::string::npos);
  const std::vector<std::string> order = {"\"arch\"",         "\"bitWidthOverridesHonored\"",
                                          "\"expertStride\"", "\"expertsPerLayer\"",
                                          "\"files\"",        "\"flags\"",
                                          "\"magic\"",        "\"modelID\""};
  size_t last = 0;
  for (const std::string& key : order) {
    const size_t at = text.find("\n  " + key);
    if (key == "\"bitWidthOverridesHonored\"") {
      EXPECT_EQ(at, std::string::npos);  // absent optional members are omitted
      continue;
    }
    ASSERT_NE(at, std::string::npos) << key;
    EXPECT_GT(at, last) << key;
    last = at;
  }
  EXPECT_LT(text.find("\"attentionKEqV\""), text.find("\"fullAttentionLayerMask\""));
  EXPECT_EQ(text.find("\"family\""), std::string::npos);
  EXPECT_EQ(KorvexManifestCodec::decode(bytes(text)), m);
}

TEST(KorvexManifest, DecodeRejectsMalformedDocuments) {
  const std::string good = KorvexManifestCodec::encode(valid());
  auto error = [](const std::string& text) {
    try {
      KorvexManifestCodec::decodeUnchecked(bytes(text));
      return std::string("ok");
    } catch (const KorvexFormatError& e) {
      EXPECT_EQ(e.field(), "manifest.json");
      return e.reason();
    }
  };
  EXPECT_EQ(error(good), "ok");
  EXPECT_NE(error("{"), "ok");
  EXPECT_NE(error("[]"), "ok");
  EXPECT_EQ(error(std::string(300, '[') + std::string(300, ']')),
            "JSON nesting deeper than 256 levels");
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return text.replace(at, from.size(), to);
  };
  EXPECT_EQ(error(replaced("\n  \"numLayers\": 2,", "\n  \"numLayers\": \"2\",")),
            "type mismatch at numLayers: expected a 64-bit integer");
  EXPECT_EQ(error(replaced("\"magic\"", "\"magik\"")), "key not found: magic");
  EXPECT_EQ(error(replaced("\"expertStride\": 16384", "\"expertStride\": -16384")),
            "type mismatch at expertStride: expected an unsigned 64-bit integer");
  EXPECT_EQ(error(replaced("\"expertStride\": 16384", "\"expertStride\": 16384.5")),
            "type mismatch at expertStride: expected an unsigned 64-bit integer");
  EXPECT_EQ(error(replaced("\"expertStride\": 16384", "\"expertStride\": 16384.0")), "ok");
  // Optional members may be null; unknown members are ignored.
  EXPECT_EQ(error(replaced("\"sourceSnapshotHash\": \"sha256:",
                           "\"x\": 1, \"sourceSnapshotHash\": null, \"y\": \"")),
            "ok");
  EXPECT_EQ(error(replaced("\"streamingPresent\": true", "\"streamingPresent\": 1")),
            "type mismatch at flags.streamingPresent: expected a boolean");
}

}  // namespace
