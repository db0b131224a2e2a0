#include "engine/source/arch_info.h"

#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>

#include "engine/common/repack_error.h"
#include "tests/test_util.h"

namespace {

using nlohmann::json;

json layerTypes(size_t count, const char* base, const char* marked, std::vector<size_t> at) {
  json list = json::array();
  for (size_t i = 0; i < count; ++i) list.push_back(base);
  for (size_t i : at) list[i] = marked;
  return list;
}

json gemmaConfig() {
  return {{"model_type", "gemma4"},
          {"text_config",
           {{"hidden_size", 2816},
            {"intermediate_size", 2112},
            {"moe_intermediate_size", 704},
            {"num_attention_heads", 16},
            {"num_key_value_heads", 8},
            {"num_global_key_value_heads", 2},
            {"head_dim", 256},
            {"global_head_dim", 512},
            {"vocab_size", 262144},
            {"sliding_window", 1024},
            {"final_logit_softcapping", 30.0},
            {"num_hidden_layers", 3},
            {"num_experts", 128},
            {"top_k_experts", 8},
            {"layer_types", {"sliding_attention", "sliding_attention", "full_attention"}},
            {"rope_parameters",
             {{"sliding_attention", {{"rope_theta", 10000.0}}},
              {"full_attention", {{"rope_theta", 1000000.0}, {"partial_rotary_factor", 0.25}}}}}}}};
}

json qwenConfig() {
  return {{"model_type", "qwen3_5_moe"},
          {"text_config",
           {{"hidden_size", 2048},
            {"shared_expert_intermediate_size", 512},
            {"moe_intermediate_size", 512},
            {"num_attention_heads", 16},
            {"num_key_value_heads", 2},
            {"head_dim", 256},
            {"vocab_size", 248320},
            {"num_hidden_layers", 40},
            {"num_experts", 256},
            {"num_experts_per_tok", 8},
            {"linear_num_key_heads", 16},
            {"linear_num_value_heads", 32},
            {"linear_key_head_dim", 128},
            {"linear_value_head_dim", 128},
            {"linear_conv_kernel_dim", 4},
            {"attn_output_gate", true},
            {"hidden_act", "silu"},
            {"layer_types", layerTypes(40, "linear_attention", "full_attention",
                                       {3, 7, 11, 15, 19, 23, 27, 31, 35, 39})},
            {"rope_parameters", {{"rope_theta", 10000000}, {"partial_rotary_factor", 0.25}}}}}};
}

json lfm2Config() {
  return {{"model_type", "lfm2_moe"},
          {"hidden_size", 2048},
          {"intermediate_size", 11776},
          {"moe_intermediate_size", 1536},
          {"num_attention_heads", 32},
          {"num_key_value_heads", 8},
          {"vocab_size", 128000},
          {"num_hidden_layers", 40},
          {"num_experts", 64},
          {"num_experts_per_tok", 4},
          {"conv_L_cache", 3},
          {"rope_theta", 10000000.0},
          {"num_dense_layers", 2},
          {"use_expert_bias", true},
          {"norm_topk_prob", true},
          {"conv_bias", false},
          {"layer_types",
           layerTypes(40, "conv", "full_attention", {2, 6, 10, 14, 18, 22, 26, 30, 34, 38})}};
}

json braskConfig() {
  const std::vector<size_t> full = {0, 1, 5, 9, 13, 17, 21, 25, 29, 33, 37, 41, 45, 48};
  return {{"model_type", "brask"},
          {"hidden_size", 2048},
          {"intermediate_size", 6144},
          {"moe_intermediate_size", 512},
          {"shared_expert_intermediate_size", 1024},
          {"num_attention_heads", 32},
          {"num_key_value_heads", 4},
          {"head_dim", 128},
          {"vocab_size", 150144},
          {"sliding_window", 513},
          {"num_hidden_layers", 49},
          {"num_experts", 256},
          {"num_experts_per_tok", 6},
          {"tie_word_embeddings", false},
          {"hidden_act", "silu"},
          {"rope_parameters", {{"rope_theta", 500000}}},
          {"no_rope_layer_indices", full},
          {"mlp_only_layers", {0, 1}},
          {"mlx_export", {{"embedding_bits", 8}, {"routed_expert_bits", 4}}},
          {"layer_types", layerTypes(49, "sliding_attention", "full_attention", full)}};
}

class ArchInfoTest : public ::testing::Test {
 protected:
  ArchInfo load(const std::string& text) {
    testutil::writeFile(path(), text);
    return ArchInfo::load(path());
  }
  ArchInfo load(const json& config) { return load(config.dump()); }

  // "ok", the configJsonInvalid detail, or the name of another error.
  std::string error(const json& config) {
    try {
      load(config);
      return "ok";
    } catch (const RepackError& e) {
      const auto* invalid = e.as<RepackError::ConfigJsonInvalid>();
      if (invalid == nullptr) return e.description();
      EXPECT_EQ(invalid->path, path());
      return invalid->detail;
    }
  }

  std::string path() const { return dir_.file("config.json"); }

  testutil::TempDir dir_;
};

TEST_F(ArchInfoTest, Gemma4IsReadFromTextConfig) {
  const ArchInfo a = load(gemmaConfig());
  EXPECT_EQ(a.family, RepackModelFamily::gemma4);
  EXPECT_EQ(a.hiddenSize, 2816);
  EXPECT_EQ(a.numFullKVHeads, 2);
  EXPECT_EQ(a.fullHeadDim, 512);
  EXPECT_EQ(a.finalLogitSoftcap, 30.0);
  EXPECT_EQ(a.fullAttentionLayerMask, (std::vector<uint8_t>{0, 0, 1}));
  EXPECT_EQ(a.hiddenActivation, "gelu_pytorch_tanh");
  EXPECT_EQ(a.attentionScale, 1.0);
  EXPECT_TRUE(a.embeddingScaledBySqrtHidden && a.routerScaled && a.ffnSandwichNorms);
  EXPECT_FALSE(a.tieWordEmbeddings || a.attentionKEqV || a.sharedExpertGated);

  json c = gemmaConfig();
  c["text_config"].erase("rope_parameters");
  c["text_config"].erase("layer_types");
  c.erase("model_type");
  const ArchInfo defaults = load(c);
  EXPECT_EQ(defaults.ropeTheta, 10000);
  EXPECT_EQ(defaults.fullRopeTheta, 1000000);
  EXPECT_EQ(defaults.partialRotaryFactor, 0.25);
  EXPECT_TRUE(defaults.fullAttentionLayerMask.empty());

  c = gemmaConfig();
  c["model_type"] = "llama";
  c["text_config"]["layer_types"] = {"full_attention", "mystery"};
  c["text_config"]["hidden_size"] = 2048.9;
  const ArchInfo lenient = load(c);
  EXPECT_EQ(lenient.fullAttentionLayerMask, (std::vector<uint8_t>{1, 0}));
  EXPECT_EQ(lenient.hiddenSize, 2048);
}

TEST_F(ArchInfoTest, PinnedBaselinesAccepted) {
  const ArchInfo qwen = load(qwenConfig());
  EXPECT_EQ(qwen.family, RepackModelFamily::qwen36);
  EXPECT_EQ(qwen.attentionScale, 0.0625);
  EXPECT_EQ(qwen.intermediateSize, 512);
  const ArchInfo lfm = load(lfm2Config());
  EXPECT_EQ(lfm.family, RepackModelFamily::lfm2moe);
  EXPECT_EQ(lfm.headDim, 64);
  EXPECT_TRUE(lfm.tieWordEmbeddings);
  EXPECT_EQ(lfm.linearConvKernelSize, 3);
  const ArchInfo brask = load(braskConfig());
  EXPECT_EQ(brask.family, RepackModelFamily::brask);
  EXPECT_EQ(brask.ropeTheta, 500000);
  EXPECT_EQ(rawValue(brask.family), "brask");
}

using Mutation = std::function<void(json&)>;

struct MutationCase {
  const char* label;
  std::function<json()> base;
  Mutation mutate;
  std::string detail;
};

TEST_F(ArchInfoTest, RejectionsNameTheFirstFailure) {
  const std::string lfmBaseline =
      "lfm2_moe config does not match the pinned LFM2.5-24B-A2B architecture baseline";
  const std::string qwenBaselineText =
      "qwen3_5_moe config does not match the pinned Qwen3.6-35B-A3B architecture baseline";
  const std::string braskBaseline =
      "brask config does not match the pinned Brask 40B-A2.5B baseline";
  const std::vector<MutationCase> cases = {
      {"not object", gemmaConfig, [](json& c) { c = json::array(); }, "not a JSON object"},
      {"no text_config", gemmaConfig, [](json& c) { c.erase("text_config"); }, "no text_config"},
      {"text_config not object", gemmaConfig, [](json& c) { c["text_config"] = 1; },
       "no text_config"},
      {"hidden_size string", gemmaConfig, [](json& c) { c["text_config"]["hidden_size"] = "2048"; },
       "missing hidden_size"},
      {"unsigned beyond int64", gemmaConfig,
       [](json& c) { c["text_config"]["vocab_size"] = 18446744073709551615ull; },
       "missing vocab_size"},
      {"gemma order", gemmaConfig,
       [](json& c) {
         c["text_config"].erase("top_k_experts");
         c["text_config"].erase("final_logit_softcapping");
       },
       "missing final_logit_softcapping"},
      {"qwen layer_types", qwenConfig, [](json& c) { c["text_config"].erase("layer_types"); },
       "missing layer_types"},
      {"qwen unknown layer", qwenConfig,
       [](json& c) { c["text_config"]["layer_types"][0] = "conv"; },
       "unknown layer_types entry \"conv\""},
      {"qwen rope", qwenConfig,
       [](json& c) { c["text_config"]["rope_parameters"].erase("rope_theta"); },
       "missing rope_parameters.rope_theta"},
      {"qwen partial", qwenConfig,
       [](json& c) { c["text_config"]["rope_parameters"].erase("partial_rotary_factor"); },
       "missing rope_parameters.partial_rotary_factor"},
      {"qwen baseline", qwenConfig, [](json& c) { c["text_config"]["num_experts"] = 128; },
       qwenBaselineText},
      {"qwen other geometry", qwenConfig,
       [](json& c) {
         c["text_config"]["num_hidden_layers"] = 4;
         c["text_config"]["num_experts"] = 8;
       },
       "ok"},
      {"lfm geometry", lfm2Config, [](json& c) { c["hidden_size"] = 2050; },
       "invalid hidden_size (2050) or num_attention_heads (32)"},
      {"lfm zero heads", lfm2Config, [](json& c) { c["num_attention_heads"] = 0; },
       "invalid hidden_size (2048) or num_attention_heads (0)"},
      {"lfm rope", lfm2Config, [](json& c) { c.erase("rope_theta"); },
       "missing rope_parameters.rope_theta"},
      {"lfm rope nested wins", lfm2Config,
       [](json& c) {
         c.erase("rope_theta");
         c["rope_parameters"] = {{"rope_theta", 10000000}};
       },
       "ok"},
      {"lfm unknown layer", lfm2Config, [](json& c) { c["layer_types"][1] = "sliding_attention"; },
       "unknown layer_types entry \"sliding_attention\""},
      {"lfm layer not string", lfm2Config, [](json& c) { c["layer_types"][1] = 7; },
       "unknown layer_types entry \"7\""},
      {"lfm no dense layers", lfm2Config, [](json& c) { c.erase("num_dense_layers"); },
       lfmBaseline},
      {"lfm norm_topk false", lfm2Config, [](json& c) { c["norm_topk_prob"] = false; },
       lfmBaseline},
      {"lfm scaling", lfm2Config, [](json& c) { c["routed_scaling_factor"] = 2.5; }, lfmBaseline},
      {"lfm scaling one", lfm2Config, [](json& c) { c["routed_scaling_factor"] = 1; }, "ok"},
      {"lfm conv bias", lfm2Config, [](json& c) { c["conv_bias"] = true; }, lfmBaseline},
      {"lfm untied", lfm2Config, [](json& c) { c["tie_word_embeddings"] = false; }, lfmBaseline},
      {"lfm other geometry", lfm2Config,
       [](json& c) {
         c["hidden_size"] = 4096;
         c.erase("num_dense_layers");
       },
       "ok"},
      {"brask window", braskConfig, [](json& c) { c["sliding_window"] = 512; }, braskBaseline},
      {"brask no export", braskConfig, [](json& c) { c.erase("mlx_export"); }, braskBaseline},
      {"brask export bits", braskConfig, [](json& c) { c["mlx_export"]["embedding_bits"] = 4; },
       braskBaseline},
      {"brask mlp_only", braskConfig, [](json& c) { c["mlp_only_layers"] = {0}; }, braskBaseline},
      {"brask no_rope", braskConfig, [](json& c) { c.erase("no_rope_layer_indices"); },
       braskBaseline},
      {"brask shared", braskConfig, [](json& c) { c["shared_expert_intermediate_size"] = 2048; },
       braskBaseline},
      {"brask head_dim first", braskConfig,
       [](json& c) {
         c.erase("head_dim");
         c.erase("hidden_size");
       },
       "missing head_dim"},
      {"brask unknown layer", braskConfig, [](json& c) { c["layer_types"][3] = "conv"; },
       "unknown layer_types entry \"conv\""},
      // Well-formed but beyond the decoder's limits: a rejection, not a
      // decoding failure.
      {"nesting", gemmaConfig,
       [](json& c) {
         json deep = json::array();
         for (int i = 0; i < 300; ++i) deep = json::array({deep});
         c["unused"] = deep;
       },
       "JSON nesting deeper than 256 levels"},
  };
  for (const MutationCase& c : cases) {
    json config = c.base();
    c.mutate(config);
    EXPECT_EQ(error(config), c.detail) << c.label;
  }
}

TEST_F(ArchInfoTest, FileAndDecodingFailuresPropagate) {
  EXPECT_THROW(load(std::string("{\"model_type\": ")), nlohmann::json::parse_error);
  try {
    ArchInfo::load(dir_.file("absent.json"));
    FAIL();
  } catch (const RepackError& e) {
    EXPECT_EQ(e.kind(), RepackError::Case::fileOpenFailed);
  }
}

}  // namespace
