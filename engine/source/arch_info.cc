#include "engine/source/arch_info.h"

#include <cmath>
#include <initializer_list>
#include <nlohmann/json.hpp>

#include "engine/common/repack_error.h"
#include "engine/io/posix.h"
#include "format/json_document.h"

std::string_view rawValue(RepackModelFamily family) {
  switch (family) {
    case RepackModelFamily::gemma4:
      return "gemma4";
    case RepackModelFamily::qwen36:
      return "qwen36";
    case RepackModelFamily::lfm2moe:
      return "lfm2moe";
    case RepackModelFamily::brask:
      return "brask";
  }
  return "";
}

std::optional<RepackModelFamily> repackModelFamilyFromRaw(std::string_view raw) {
  for (RepackModelFamily f : {RepackModelFamily::gemma4, RepackModelFamily::qwen36,
                              RepackModelFamily::lfm2moe, RepackModelFamily::brask}) {
    if (rawValue(f) == raw) return f;
  }
  return std::nullopt;
}

namespace {

using nlohmann::json;

// config.json files are a few KiB; anything near this is not a config.
constexpr uint64_t kMaxConfigBytes = 64ull << 20;

const json kEmpty = json::object();

// Reads the keys of one JSON object with the config value rules; every
// rejection is configJsonInvalid for the file being read.
class ConfigReader {
 public:
  ConfigReader(const std::string& path, const json& object) : path_(path), obj_(object) {}

  [[noreturn]] void fail(const std::string& detail) const {
    throw RepackError(RepackError::ConfigJsonInvalid{path_, detail});
  }

  const json* find(const char* key) const {
    const auto it = obj_.find(key);
    return it == obj_.end() ? nullptr : &*it;
  }

  // Integral numbers as they are, other numbers truncated toward zero. A value
  // that no 64-bit integer holds is treated like a missing one.
  static std::optional<int64_t> integer(const json* value) {
    if (value == nullptr || !value->is_number()) return std::nullopt;
    if (value->is_number_integer() && !value->is_number_unsigned()) return value->get<int64_t>();
    if (value->is_number_unsigned()) {
      const uint64_t u = value->get<uint64_t>();
      if (u > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
      return static_cast<int64_t>(u);
    }
    const double d = std::trunc(value->get<double>());
    if (!std::isfinite(d) || d < -9223372036854775808.0 || d >= 9223372036854775808.0) {
      return std::nullopt;
    }
    return static_cast<int64_t>(d);
  }

  int64_t requiredInt(const char* key) const {
    const std::optional<int64_t> v = integer(find(key));
    if (!v) fail(std::string("missing ") + key);
    return *v;
  }

  double requiredNumber(const char* key) const {
    const json* v = find(key);
    if (v == nullptr || !v->is_number()) fail(std::string("missing ") + key);
    return v->get<double>();
  }

  std::optional<double> optionalNumber(const char* key) const {
    const json* v = find(key);
    if (v == nullptr || !v->is_number()) return std::nullopt;
    return v->get<double>();
  }

  bool optionalBool(const char* key, bool fallback) const {
    const json* v = find(key);
    return v != nullptr && v->is_boolean() ? v->get<bool>() : fallback;
  }

  std::string optionalString(const char* key, const char* fallback) const {
    const json* v = find(key);
    return v != nullptr && v->is_string() ? v->get<std::string>() : fallback;
  }

  // A sub-object, or an empty object when absent or not an object.
  const json& object(const char* key) const {
    const json* v = find(key);
    return v != nullptr && v->is_object() ? *v : kEmpty;
  }

  struct LayerName {
    const char* name;
    uint8_t code;
  };

  // Required "layer_types": every entry must be one of the names given.
  std::vector<uint8_t> requiredLayerTypes(std::initializer_list<LayerName> names) const {
    const json* list = find("layer_types");
    if (list == nullptr || !list->is_array()) fail("missing layer_types");
    std::vector<uint8_t> mask;
    mask.reserve(list->size());
    for (const json& entry : *list) {
      const LayerName* match = nullptr;
      if (entry.is_string()) {
        for (const LayerName& n : names) {
          if (entry.get_ref<const std::string&>() == n.name) match = &n;
        }
      }
      if (match == nullptr) {
        const std::string text = entry.is_string() ? entry.get<std::string>() : entry.dump();
        fail("unknown layer_types entry \"" + text + "\"");
      }
      mask.push_back(match->code);
    }
    return mask;
  }

  // rope_parameters.rope_theta, else the top-level rope_theta.
  std::optional<double> ropeThetaWithTopLevelFallback() const {
    if (auto v = ConfigReader(path_, object("rope_parameters")).optionalNumber("rope_theta")) {
      return v;
    }
    return optionalNumber("rope_theta");
  }

  const std::string& path() const { return path_; }

 private:
  const std::string& path_;
  const json& obj_;
};

std::vector<uint8_t> maskWith(size_t layers, uint8_t base, uint8_t marked,
                              std::initializer_list<size_t> markedLayers) {
  std::vector<uint8_t> mask(layers, base);
  for (size_t i : markedLayers) mask[i] = marked;
  return mask;
}

ArchInfo readGemma4(const ConfigReader& c) {
  ArchInfo a;
  a.family = RepackModelFamily::gemma4;
  // Optional here: anything but a list of strings gives an empty mask.
  if (const json* list = c.find("layer_types"); list != nullptr && list->is_array()) {
    std::vector<uint8_t> mask;
    bool allStrings = true;
    for (const json& entry : *list) {
      if (!entry.is_string()) {
        allStrings = false;
        break;
      }
      mask.push_back(entry.get_ref<const std::string&>() == "full_attention" ? LayerCode::full
                                                                             : LayerCode::sliding);
    }
    if (allStrings) a.fullAttentionLayerMask = std::move(mask);
  }
  const ConfigReader rope(c.path(), c.object("rope_parameters"));
  const ConfigReader sliding(c.path(), rope.object("sliding_attention"));
  const ConfigReader full(c.path(), rope.object("full_attention"));
  a.ropeTheta = sliding.optionalNumber("rope_theta").value_or(10000);
  a.fullRopeTheta = full.optionalNumber("rope_theta").value_or(1000000);
  a.partialRotaryFactor = full.optionalNumber("partial_rotary_factor").value_or(0.25);
  a.attentionKEqV = c.optionalBool("attention_k_eq_v", false);
  a.tieWordEmbeddings = c.optionalBool("tie_word_embeddings", false);
  a.hiddenActivation = c.optionalString("hidden_activation", "gelu_pytorch_tanh");
  a.hiddenSize = c.requiredInt("hidden_size");
  a.intermediateSize = c.requiredInt("intermediate_size");
  a.moeIntermediateSize = c.requiredInt("moe_intermediate_size");
  a.numHeads = c.requiredInt("num_attention_heads");
  a.numKVHeads = c.requiredInt("num_key_value_heads");
  a.numFullKVHeads = c.requiredInt("num_global_key_value_heads");
  a.headDim = c.requiredInt("head_dim");
  a.fullHeadDim = c.requiredInt("global_head_dim");
  a.vocabSize = c.requiredInt("vocab_size");
  a.slidingWindow = c.requiredInt("sliding_window");
  a.finalLogitSoftcap = c.requiredNumber("final_logit_softcapping");
  a.numLayers = c.requiredInt("num_hidden_layers");
  a.numExperts = c.requiredInt("num_experts");
  a.topKExperts = c.requiredInt("top_k_experts");
  a.attentionScale = 1.0;
  a.embeddingScaledBySqrtHidden = true;
  a.routerScaled = true;
  a.ffnSandwichNorms = true;
  return a;
}

ArchInfo qwenBaseline() {
  ArchInfo a;
  a.hiddenSize = 2048;
  a.intermediateSize = 512;
  a.moeIntermediateSize = 512;
  a.numHeads = 16;
  a.numKVHeads = 2;
  a.numFullKVHeads = 2;
  a.headDim = 256;
  a.fullHeadDim = 256;
  a.vocabSize = 248320;
  a.ropeTheta = 10000000;
  a.fullRopeTheta = 10000000;
  a.partialRotaryFactor = 0.25;
  a.numLayers = 40;
  a.numExperts = 256;
  a.topKExperts = 8;
  a.fullAttentionLayerMask =
      maskWith(40, LayerCode::linear, LayerCode::full, {3, 7, 11, 15, 19, 23, 27, 31, 35, 39});
  a.hiddenActivation = "silu";
  a.family = RepackModelFamily::qwen36;
  a.attnOutputGate = true;
  a.attentionScale = 0.0625;
  a.sharedExpertGated = true;
  a.ropeNeoxSubdim = true;
  a.linearNumKHeads = 16;
  a.linearNumVHeads = 32;
  a.linearKeyHeadDim = 128;
  a.linearValueHeadDim = 128;
  a.linearConvKernelSize = 4;
  return a;
}

ArchInfo readQwen(const ConfigReader& c) {
  ArchInfo a;
  a.family = RepackModelFamily::qwen36;
  a.fullAttentionLayerMask = c.requiredLayerTypes(
      {{"linear_attention", LayerCode::linear}, {"full_attention", LayerCode::full}});
  const ConfigReader rope(c.path(), c.object("rope_parameters"));
  const std::optional<double> theta = rope.optionalNumber("rope_theta");
  if (!theta) c.fail("missing rope_parameters.rope_theta");
  const std::optional<double> partial = rope.optionalNumber("partial_rotary_factor");
  if (!partial) c.fail("missing rope_parameters.partial_rotary_factor");
  a.ropeTheta = *theta;
  a.fullRopeTheta = *theta;
  a.partialRotaryFactor = *partial;
  a.tieWordEmbeddings = c.optionalBool("tie_word_embeddings", false);
  a.attnOutputGate = c.optionalBool("attn_output_gate", false);
  a.hiddenActivation = c.optionalString("hidden_act", "silu");
  a.headDim = c.requiredInt("head_dim");
  a.fullHeadDim = a.headDim;
  a.hiddenSize = c.requiredInt("hidden_size");
  a.intermediateSize = c.requiredInt("shared_expert_intermediate_size");
  a.moeIntermediateSize = c.requiredInt("moe_intermediate_size");
  a.numHeads = c.requiredInt("num_attention_heads");
  a.numKVHeads = c.requiredInt("num_key_value_heads");
  a.numFullKVHeads = a.numKVHeads;
  a.vocabSize = c.requiredInt("vocab_size");
  a.numLayers = c.requiredInt("num_hidden_layers");
  a.numExperts = c.requiredInt("num_experts");
  a.topKExperts = c.requiredInt("num_experts_per_tok");
  a.linearNumKHeads = c.requiredInt("linear_num_key_heads");
  a.linearNumVHeads = c.requiredInt("linear_num_value_heads");
  a.linearKeyHeadDim = c.requiredInt("linear_key_head_dim");
  a.linearValueHeadDim = c.requiredInt("linear_value_head_dim");
  a.linearConvKernelSize = c.requiredInt("linear_conv_kernel_dim");
  a.attentionScale = 1.0 / std::sqrt(static_cast<double>(a.headDim));
  a.sharedExpertGated = true;
  a.ropeNeoxSubdim = true;

  if (a.hiddenSize == 2048 && a.numLayers == 40 && a != qwenBaseline()) {
    c.fail("qwen3_5_moe config does not match the pinned Qwen3.6-35B-A3B architecture baseline");
  }
  return a;
}

ArchInfo lfm2Baseline() {
  ArchInfo a;
  a.hiddenSize = 2048;
  a.intermediateSize = 11776;
  a.moeIntermediateSize = 1536;
  a.numHeads = 32;
  a.numKVHeads = 8;
  a.numFullKVHeads = 8;
  a.headDim = 64;
  a.fullHeadDim = 64;
  a.vocabSize = 128000;
  a.ropeTheta = 10000000;
  a.fullRopeTheta = 10000000;
  a.partialRotaryFactor = 1.0;
  a.numLayers = 40;
  a.numExperts = 64;
  a.topKExperts = 4;
  a.tieWordEmbeddings = true;
  a.fullAttentionLayerMask =
      maskWith(40, LayerCode::shortConv, LayerCode::full, {2, 6, 10, 14, 18, 22, 26, 30, 34, 38});
  a.hiddenActivation = "silu";
  a.family = RepackModelFamily::lfm2moe;
  a.attentionScale = 0.125;
  a.linearConvKernelSize = 3;
  return a;
}

// The keys of the pinned LFM2 export that ArchInfo does not carry.
bool lfm2ExtraKeysMatch(const ConfigReader& c) {
  const json* dense = c.find("num_dense_layers");
  if (ConfigReader::integer(dense) != 2) return false;
  for (const char* key : {"use_expert_bias", "norm_topk_prob"}) {
    const json* v = c.find(key);
    if (v == nullptr || !v->is_boolean() || !v->get<bool>()) return false;
  }
  if (const json* bias = c.find("conv_bias");
      bias != nullptr && !(bias->is_boolean() && !bias->get<bool>())) {
    return false;
  }
  if (const json* scale = c.find("routed_scaling_factor");
      scale != nullptr && !(scale->is_number() && scale->get<double>() == 1.0)) {
    return false;
  }
  return true;
}

ArchInfo readLfm2(const ConfigReader& c) {
  ArchInfo a;
  a.family = RepackModelFamily::lfm2moe;
  a.fullAttentionLayerMask =
      c.requiredLayerTypes({{"conv", LayerCode::shortConv}, {"full_attention", LayerCode::full}});
  const std::optional<double> theta = c.ropeThetaWithTopLevelFallback();
  if (!theta) c.fail("missing rope_parameters.rope_theta");
  a.ropeTheta = *theta;
  a.fullRopeTheta = *theta;
  a.partialRotaryFactor = 1.0;
  a.hiddenSize = c.requiredInt("hidden_size");
  a.numHeads = c.requiredInt("num_attention_heads");
  if (a.hiddenSize < 1 || a.numHeads < 1 || a.hiddenSize % a.numHeads != 0) {
    c.fail("invalid hidden_size (" + std::to_string(a.hiddenSize) + ") or num_attention_heads (" +
           std::to_string(a.numHeads) + ")");
  }
  a.headDim = a.hiddenSize / a.numHeads;
  a.fullHeadDim = a.headDim;
  a.intermediateSize = c.requiredInt("intermediate_size");
  a.moeIntermediateSize = c.requiredInt("moe_intermediate_size");
  a.numKVHeads = c.requiredInt("num_key_value_heads");
  a.numFullKVHeads = a.numKVHeads;
  a.vocabSize = c.requiredInt("vocab_size");
  a.numLayers = c.requiredInt("num_hidden_layers");
  a.numExperts = c.requiredInt("num_experts");
  a.topKExperts = c.requiredInt("num_experts_per_tok");
  a.tieWordEmbeddings = c.optionalBool("tie_word_embeddings", true);
  a.linearConvKernelSize = c.requiredInt("conv_L_cache");
  a.hiddenActivation = "silu";
  a.attentionScale = 1.0 / std::sqrt(static_cast<double>(a.headDim));

  if (a.hiddenSize == 2048 && a.numLayers == 40 &&
      (a != lfm2Baseline() || !lfm2ExtraKeysMatch(c))) {
    c.fail("lfm2_moe config does not match the pinned LFM2.5-24B-A2B architecture baseline");
  }
  return a;
}

// True when the value is an integral number (written with or without a
// fraction part of zero) equal to `expected`.
bool isInteger(const json* value, int64_t expected) {
  return value != nullptr && value->is_number() &&
         !(value->is_number_float() && value->get<double>() != std::trunc(value->get<double>())) &&
         ConfigReader::integer(value) == expected;
}

bool isIntegerList(const json* value, std::initializer_list<int64_t> expected) {
  if (value == nullptr || !value->is_array() || value->size() != expected.size()) return false;
  auto want = expected.begin();
  for (const json& element : *value) {
    if (!isInteger(&element, *want++)) return false;
  }
  return true;
}

bool braskMatchesBaseline(const ConfigReader& c, const ArchInfo& a) {
  static constexpr std::initializer_list<size_t> kNoRopeLayers = {0,  1,  5,  9,  13, 17, 21,
                                                                  25, 29, 33, 37, 41, 45, 48};
  const bool fieldsMatch =
      a.hiddenSize == 2048 && a.intermediateSize == 6144 && a.moeIntermediateSize == 512 &&
      a.numHeads == 32 && a.numKVHeads == 4 && a.headDim == 128 && a.vocabSize == 150144 &&
      a.slidingWindow == 513 && a.numLayers == 49 && a.numExperts == 256 && a.topKExperts == 6 &&
      !a.tieWordEmbeddings && a.hiddenActivation == "silu" &&
      a.fullAttentionLayerMask == maskWith(49, LayerCode::sliding, LayerCode::full, kNoRopeLayers);
  if (!fieldsMatch) return false;
  if (!isIntegerList(c.find("no_rope_layer_indices"),
                     {0, 1, 5, 9, 13, 17, 21, 25, 29, 33, 37, 41, 45, 48}) ||
      !isIntegerList(c.find("mlp_only_layers"), {0, 1})) {
    return false;
  }
  const json* exportInfo = c.find("mlx_export");
  if (exportInfo == nullptr || !exportInfo->is_object()) return false;
  const ConfigReader exported(c.path(), *exportInfo);
  if (ConfigReader::integer(exported.find("embedding_bits")) != 8 ||
      ConfigReader::integer(exported.find("routed_expert_bits")) != 4) {
    return false;
  }
  return isInteger(c.find("shared_expert_intermediate_size"), 1024);
}

ArchInfo readBrask(const ConfigReader& c) {
  ArchInfo a;
  a.family = RepackModelFamily::brask;
  a.fullAttentionLayerMask = c.requiredLayerTypes(
      {{"full_attention", LayerCode::full}, {"sliding_attention", LayerCode::sliding}});
  a.headDim = c.requiredInt("head_dim");
  a.fullHeadDim = a.headDim;
  a.ropeTheta = c.ropeThetaWithTopLevelFallback().value_or(10000);
  a.fullRopeTheta = a.ropeTheta;
  a.partialRotaryFactor = 1.0;
  a.hiddenSize = c.requiredInt("hidden_size");
  a.intermediateSize = c.requiredInt("intermediate_size");
  a.moeIntermediateSize = c.requiredInt("moe_intermediate_size");
  a.numHeads = c.requiredInt("num_attention_heads");
  a.numKVHeads = c.requiredInt("num_key_value_heads");
  a.numFullKVHeads = a.numKVHeads;
  a.vocabSize = c.requiredInt("vocab_size");
  a.slidingWindow = c.requiredInt("sliding_window");
  a.numLayers = c.requiredInt("num_hidden_layers");
  a.numExperts = c.requiredInt("num_experts");
  a.topKExperts = c.requiredInt("num_experts_per_tok");
  a.tieWordEmbeddings = c.optionalBool("tie_word_embeddings", false);
  a.hiddenActivation = c.optionalString("hidden_act", "silu");
  a.attentionScale = 1.0 / std::sqrt(static_cast<double>(a.headDim));

  if (!braskMatchesBaseline(c, a)) {
    c.fail("brask config does not match the pinned Brask 40B-A2.5B baseline");
  }
  return a;
}

}  // namespace

ArchInfo ArchInfo::load(const std::string& configPath) {
  const std::vector<uint8_t> bytes = Posix::readWholeFile(configPath, kMaxConfigBytes);
  json config;
  try {
    config = korvex_json::parseBounded(bytes);
  } catch (const korvex_json::LimitExceeded& e) {
    throw RepackError(RepackError::ConfigJsonInvalid{configPath, e.what()});
  }
  const ConfigReader top(configPath, config);
  if (!config.is_object()) top.fail("not a JSON object");

  const json* modelType = top.find("model_type");
  const std::string type =
      modelType != nullptr && modelType->is_string() ? modelType->get<std::string>() : "";
  if (type == "lfm2_moe") return readLfm2(top);
  if (type == "brask") return readBrask(top);

  const json* text = top.find("text_config");
  if (text == nullptr || !text->is_object()) top.fail("no text_config");
  const ConfigReader textConfig(configPath, *text);
  if (type == "qwen3_5_moe") return readQwen(textConfig);
  return readGemma4(textConfig);
}
