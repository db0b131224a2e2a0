// The tensors and config.json of each family's MLX export. Names, dtypes and
// shape conventions follow the real exports; the extents come from the
// options. The families differ in their prefixes ("language_model." for the
// multimodal exports, "model." for the text-only ones), in where the routed
// experts live and in their config dialect.
#include "tools/checkpoint_generator_families.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

namespace checkpoint_gen {
namespace {

using nlohmann::json;

constexpr int64_t kGroupSize = 64;
constexpr int64_t kBaseBits = 4;
// MLX exports keep the routers (and Qwen's shared-expert gate) at 8 bits.
constexpr int64_t kRouterBits = 8;

[[noreturn]] void invalid(const std::string& what) { throw std::invalid_argument(what); }

void require(bool condition, const std::string& what) {
  if (!condition) invalid(what);
}

std::string layerPrefix(const std::string& modelPrefix, int64_t layer) {
  return modelPrefix + "layers." + std::to_string(layer) + ".";
}

// Collects the tensors of one checkpoint together with the per-module bit
// widths that its quantization block has to state.
class TensorList {
 public:
  explicit TensorList(const CheckpointOptions& options) : options_(options) {}

  void bf16(std::string name, std::vector<int64_t> shape) {
    add(std::move(name), "BF16", std::move(shape));
  }
  void f32(std::string name, std::vector<int64_t> shape) {
    add(std::move(name), "F32", std::move(shape));
  }

  // A quantized linear layer `module` (a weight name without ".weight") from
  // `cols` inputs to `rows` outputs. `familyBits` is the width the family's
  // exports use for it; a width other than the base is stated in the config.
  void linear(const std::string& module, int64_t rows, int64_t cols,
              int64_t familyBits = kBaseBits) {
    const int64_t bits = bitsFor(module, familyBits);
    if (bits != kBaseBits) overrides_[module] = bits;
    quantized(module, {}, rows, cols, bits);
  }

  // The embedding: its width comes from mlx_export.embedding_bits, which the
  // config states in its own block rather than in the quantization block.
  void embedding(const std::string& module, int64_t vocab, int64_t hidden) {
    quantized(module, {}, vocab, hidden,
              bitsFor(module, options_.embeddingBits.value_or(kBaseBits)));
  }

  // Routed experts stacked along a leading extent: [experts, rows, packed].
  void experts(const std::string& module, int64_t experts, int64_t rows, int64_t cols) {
    const int64_t bits = bitsFor(module, kBaseBits);
    quantized(module, {experts}, rows, cols, bits);
  }

  std::vector<TensorDecl> takeTensors() { return std::move(tensors_); }

  // The quantization block's entries: the family's own overrides, then the
  // caller's (which win, and are stated even when they restate the base).
  json quantizationBlock() const {
    json block = {{"group_size", kGroupSize}, {"bits", kBaseBits}, {"mode", "affine"}};
    std::map<std::string, int64_t> all = overrides_;
    for (const auto& [module, bits] : options_.bitsOverrides) all[module] = bits;
    for (const auto& [module, bits] : all) {
      block[module] = {{"bits", bits}, {"group_size", kGroupSize}};
    }
    return block;
  }

 private:
  int64_t bitsFor(const std::string& module, int64_t familyBits) const {
    const auto it = options_.bitsOverrides.find(module);
    return it == options_.bitsOverrides.end() ? familyBits : it->second;
  }

  // MLX affine layout: weight [lead..., rows, cols * bits / 32] as U32,
  // scales and biases [lead..., rows, cols / 64] as BF16.
  void quantized(const std::string& module, std::vector<int64_t> lead, int64_t rows, int64_t cols,
                 int64_t bits) {
    require(cols > 0 && cols % kGroupSize == 0,
            module + ": input width " + std::to_string(cols) +
                " is not a positive multiple of the group size 64");
    std::vector<int64_t> weight = lead, companion = lead;
    weight.insert(weight.end(), {rows, cols * bits / 32});
    companion.insert(companion.end(), {rows, cols / kGroupSize});
    add(module + ".weight", "U32", weight);
    add(module + ".scales", "BF16", companion);
    add(module + ".biases", "BF16", std::move(companion));
  }

  void add(std::string name, const char* dtype, std::vector<int64_t> shape) {
    TensorDecl tensor{std::move(name), dtype, {}};
    for (int64_t extent : shape) {
      require(extent > 0, tensor.name + ": extent " + std::to_string(extent) + " is not positive");
      tensor.shape.push_back(static_cast<uint64_t>(extent));
    }
    tensors_.push_back(std::move(tensor));
  }

  const CheckpointOptions& options_;
  std::vector<TensorDecl> tensors_;
  std::map<std::string, int64_t> overrides_;
};

json quantizedConfig(json config, const TensorList& tensors) {
  config["quantization"] = tensors.quantizationBlock();
  config["quantization_config"] = config["quantization"];
  return config;
}

void addMlxExport(json& config, const CheckpointOptions& o) {
  if (o.embeddingBits) config["mlx_export"] = {{"embedding_bits", *o.embeddingBits}};
}

// ---- Gemma 4 -------------------------------------------------------------

// The vision tower of the real checkpoint: a 27-layer encoder of width 1152
// stored in bf16, and a 4-bit projection into the 2816-wide text stream of
// the real model (whatever the text geometry, so that the totals stay those
// of the real tower: 358 tensors, 1,140,925,536 bytes).
void gemma4VisionTower(TensorList& t) {
  constexpr int64_t kWidth = 1152, kMlp = 4304, kLayers = 27, kHeadDim = 72;
  constexpr int64_t kPatchInputs = 3 * 16 * 16, kPositions = 10240, kTextWidth = 2816;
  t.bf16("vision_tower.patch_embedder.input_proj.weight", {kWidth, kPatchInputs});
  t.bf16("vision_tower.patch_embedder.position_embedding_table", {2, kPositions, kWidth});
  for (int64_t i = 0; i < kLayers; ++i) {
    const std::string l = layerPrefix("vision_tower.encoder.", i);
    for (const char* proj : {"q_proj", "k_proj", "v_proj", "o_proj"}) {
      t.bf16(l + "self_attn." + proj + ".weight", {kWidth, kWidth});
    }
    t.bf16(l + "self_attn.q_norm.weight", {kHeadDim});
    t.bf16(l + "self_attn.k_norm.weight", {kHeadDim});
    t.bf16(l + "mlp.gate_proj.weight", {kMlp, kWidth});
    t.bf16(l + "mlp.up_proj.weight", {kMlp, kWidth});
    t.bf16(l + "mlp.down_proj.weight", {kWidth, kMlp});
    for (const char* norm : {"input_layernorm", "post_attention_layernorm",
                             "pre_feedforward_layernorm", "post_feedforward_layernorm"}) {
      t.bf16(l + norm + ".weight", {kWidth});
    }
  }
  t.bf16("vision_tower.std_bias", {kWidth});
  t.bf16("vision_tower.std_scale", {kWidth});
  t.linear("embed_vision.embedding_projection", kTextWidth, kWidth);
}

json gemma4VisionConfig() {
  return {{"model_type", "gemma4_vision"},
          {"hidden_size", 1152},
          {"intermediate_size", 4304},
          {"num_hidden_layers", 27},
          {"num_attention_heads", 16},
          {"head_dim", 72},
          {"patch_size", 16},
          {"position_embedding_size", 10240},
          {"hidden_activation", "gelu_pytorch_tanh"},
          {"rms_norm_eps", 1e-06}};
}

FamilyContent gemma4(const CheckpointOptions& o) {
  TensorList t(o);
  const std::string p = "language_model.model.";
  t.embedding(p + "embed_tokens", o.vocabSize, o.hiddenSize);
  t.bf16(p + "norm.weight", {o.hiddenSize});
  json layerTypes = json::array();
  for (int64_t i = 0; i < o.numLayers; ++i) {
    // Five sliding-window layers, then one full-attention layer.
    const bool full = i % 6 == 5;
    layerTypes.push_back(full ? "full_attention" : "sliding_attention");
    const std::string l = layerPrefix(p, i);
    const int64_t headDim = full ? o.fullHeadDim : o.headDim;
    const int64_t kvHeads = full ? o.numFullKVHeads : o.numKVHeads;
    t.linear(l + "self_attn.q_proj", o.numHeads * headDim, o.hiddenSize);
    t.linear(l + "self_attn.k_proj", kvHeads * headDim, o.hiddenSize);
    // attention_k_eq_v: the keys of full-attention layers double as values.
    if (!full) t.linear(l + "self_attn.v_proj", kvHeads * headDim, o.hiddenSize);
    t.linear(l + "self_attn.o_proj", o.hiddenSize, o.numHeads * headDim);
    t.bf16(l + "self_attn.q_norm.weight", {headDim});
    t.bf16(l + "self_attn.k_norm.weight", {headDim});
    t.linear(l + "router.proj", o.numExperts, o.hiddenSize, kRouterBits);
    t.bf16(l + "router.scale", {o.hiddenSize});
    t.bf16(l + "router.per_expert_scale", {o.numExperts});
    t.linear(l + "mlp.gate_proj", o.intermediateSize, o.hiddenSize);
    t.linear(l + "mlp.up_proj", o.intermediateSize, o.hiddenSize);
    t.linear(l + "mlp.down_proj", o.hiddenSize, o.intermediateSize);
    t.experts(l + "experts.switch_glu.gate_proj", o.numExperts, o.moeIntermediateSize,
              o.hiddenSize);
    t.experts(l + "experts.switch_glu.up_proj", o.numExperts, o.moeIntermediateSize, o.hiddenSize);
    t.experts(l + "experts.switch_glu.down_proj", o.numExperts, o.hiddenSize,
              o.moeIntermediateSize);
    for (const char* norm :
         {"input_layernorm", "post_attention_layernorm", "pre_feedforward_layernorm",
          "pre_feedforward_layernorm_2", "post_feedforward_layernorm",
          "post_feedforward_layernorm_1", "post_feedforward_layernorm_2"}) {
      t.bf16(l + norm + ".weight", {o.hiddenSize});
    }
    t.bf16(l + "layer_scalar", {1});
  }
  if (o.vision == VisionTower::full) gemma4VisionTower(t);
  if (o.audioTower) {
    t.bf16("audio_tower.subsample_conv_projection.conv_0.conv.weight", {128, 3, 3, 1});
    t.bf16("audio_tower.conformer.0.attention.attn.q_proj.weight", {1536, 1536});
  }

  const json text = {{"model_type", "gemma4_text"},
                     {"hidden_size", o.hiddenSize},
                     {"intermediate_size", o.intermediateSize},
                     {"moe_intermediate_size", o.moeIntermediateSize},
                     {"num_attention_heads", o.numHeads},
                     {"num_key_value_heads", o.numKVHeads},
                     {"num_global_key_value_heads", o.numFullKVHeads},
                     {"head_dim", o.headDim},
                     {"global_head_dim", o.fullHeadDim},
                     {"vocab_size", o.vocabSize},
                     {"sliding_window", o.slidingWindow},
                     {"final_logit_softcapping", 30.0},
                     {"num_hidden_layers", o.numLayers},
                     {"num_experts", o.numExperts},
                     {"top_k_experts", o.topKExperts},
                     {"enable_moe_block", true},
                     {"layer_types", layerTypes},
                     {"rope_parameters",
                      {{"sliding_attention", {{"rope_type", "default"}, {"rope_theta", 10000.0}}},
                       {"full_attention",
                        {{"rope_type", "proportional"},
                         {"rope_theta", 1000000.0},
                         {"partial_rotary_factor", 0.25}}}}},
                     {"attention_k_eq_v", true},
                     {"attention_bias", false},
                     {"tie_word_embeddings", true},
                     {"hidden_activation", "gelu_pytorch_tanh"},
                     {"rms_norm_eps", 1e-06},
                     {"max_position_embeddings", 262144}};
  json config = {{"architectures", json::array({"Gemma4ForConditionalGeneration"})},
                 {"model_type", "gemma4"},
                 {"text_config", text},
                 {"tie_word_embeddings", true},
                 {"bos_token_id", 2},
                 {"eos_token_id", json::array({1, 6})},
                 {"pad_token_id", 0},
                 {"torch_dtype", "bfloat16"},
                 {"transformers_version", "5.0.0"}};
  if (o.vision == VisionTower::full) {
    config["vision_config"] = gemma4VisionConfig();
    config["boi_token_id"] = 7;
    config["eoi_token_id"] = 8;
    config["image_token_id"] = 9;
    config["vision_soft_tokens_per_image"] = 280;
  }
  if (o.audioTower)
    config["audio_config"] = {{"model_type", "gemma4_audio"}, {"hidden_size", 1536}};
  addMlxExport(config, o);
  return {t.takeTensors(), quantizedConfig(std::move(config), t)};
}

// ---- Qwen3.5/3.6 MoE ------------------------------------------------------

FamilyContent qwen(const CheckpointOptions& o) {
  TensorList t(o);
  const std::string p = "language_model.model.";
  t.embedding(p + "embed_tokens", o.vocabSize, o.hiddenSize);
  t.bf16(p + "norm.weight", {o.hiddenSize});
  t.linear("language_model.lm_head", o.vocabSize, o.hiddenSize);
  const int64_t keyWidth = o.linearNumKeyHeads * o.linearKeyHeadDim;
  const int64_t valueWidth = o.linearNumValueHeads * o.linearValueHeadDim;
  const int64_t convWidth = 2 * keyWidth + valueWidth;
  json layerTypes = json::array();
  for (int64_t i = 0; i < o.numLayers; ++i) {
    // Three linear-attention layers, then one full-attention layer.
    const bool full = i % 4 == 3;
    layerTypes.push_back(full ? "full_attention" : "linear_attention");
    const std::string l = layerPrefix(p, i);
    if (full) {
      // The query projection also yields the output gate (attn_output_gate).
      t.linear(l + "self_attn.q_proj", 2 * o.numHeads * o.headDim, o.hiddenSize);
      t.linear(l + "self_attn.k_proj", o.numKVHeads * o.headDim, o.hiddenSize);
      t.linear(l + "self_attn.v_proj", o.numKVHeads * o.headDim, o.hiddenSize);
      t.linear(l + "self_attn.o_proj", o.hiddenSize, o.numHeads * o.headDim);
      t.bf16(l + "self_attn.q_norm.weight", {o.headDim});
      t.bf16(l + "self_attn.k_norm.weight", {o.headDim});
    } else {
      t.linear(l + "linear_attn.in_proj_qkv", convWidth, o.hiddenSize);
      t.linear(l + "linear_attn.in_proj_z", valueWidth, o.hiddenSize);
      t.linear(l + "linear_attn.in_proj_b", o.linearNumValueHeads, o.hiddenSize);
      t.linear(l + "linear_attn.in_proj_a", o.linearNumValueHeads, o.hiddenSize);
      t.bf16(l + "linear_attn.conv1d.weight", {convWidth, o.convKernelSize, 1});
      t.f32(l + "linear_attn.A_log", {o.linearNumValueHeads});
      t.bf16(l + "linear_attn.dt_bias", {o.linearNumValueHeads});
      t.bf16(l + "linear_attn.norm.weight", {o.linearValueHeadDim});
      t.linear(l + "linear_attn.out_proj", o.hiddenSize, valueWidth);
    }
    t.linear(l + "mlp.gate", o.numExperts, o.hiddenSize, kRouterBits);
    t.linear(l + "mlp.shared_expert_gate", 1, o.hiddenSize, kRouterBits);
    t.linear(l + "mlp.shared_expert.gate_proj", o.sharedExpertIntermediateSize, o.hiddenSize);
    t.linear(l + "mlp.shared_expert.up_proj", o.sharedExpertIntermediateSize, o.hiddenSize);
    t.linear(l + "mlp.shared_expert.down_proj", o.hiddenSize, o.sharedExpertIntermediateSize);
    t.experts(l + "mlp.switch_mlp.gate_proj", o.numExperts, o.moeIntermediateSize, o.hiddenSize);
    t.experts(l + "mlp.switch_mlp.up_proj", o.numExperts, o.moeIntermediateSize, o.hiddenSize);
    t.experts(l + "mlp.switch_mlp.down_proj", o.numExperts, o.hiddenSize, o.moeIntermediateSize);
    t.bf16(l + "input_layernorm.weight", {o.hiddenSize});
    t.bf16(l + "post_attention_layernorm.weight", {o.hiddenSize});
  }

  const json text = {{"model_type", "qwen3_5_moe_text"},
                     {"hidden_size", o.hiddenSize},
                     {"shared_expert_intermediate_size", o.sharedExpertIntermediateSize},
                     {"moe_intermediate_size", o.moeIntermediateSize},
                     {"num_attention_heads", o.numHeads},
                     {"num_key_value_heads", o.numKVHeads},
                     {"head_dim", o.headDim},
                     {"vocab_size", o.vocabSize},
                     {"num_hidden_layers", o.numLayers},
                     {"num_experts", o.numExperts},
                     {"num_experts_per_tok", o.topKExperts},
                     {"linear_num_key_heads", o.linearNumKeyHeads},
                     {"linear_num_value_heads", o.linearNumValueHeads},
                     {"linear_key_head_dim", o.linearKeyHeadDim},
                     {"linear_value_head_dim", o.linearValueHeadDim},
                     {"linear_conv_kernel_dim", o.convKernelSize},
                     {"full_attention_interval", 4},
                     {"attn_output_gate", true},
                     {"hidden_act", "silu"},
                     {"layer_types", layerTypes},
                     {"rope_parameters",
                      {{"rope_type", "default"},
                       {"rope_theta", 10000000},
                       {"partial_rotary_factor", 0.25},
                       {"mrope_interleaved", true},
                       {"mrope_section", json::array({11, 11, 10})}}},
                     {"norm_topk_prob", true},
                     {"rms_norm_eps", 1e-06},
                     {"router_aux_loss_coef", 0.001},
                     {"max_position_embeddings", 262144},
                     {"tie_word_embeddings", false}};
  json config = {{"architectures", json::array({"Qwen3_5MoeForConditionalGeneration"})},
                 {"model_type", "qwen3_5_moe"},
                 {"text_config", text},
                 {"tie_word_embeddings", false},
                 {"eos_token_id", 2},
                 {"torch_dtype", "bfloat16"},
                 {"transformers_version", "5.0.0"}};
  addMlxExport(config, o);
  return {t.takeTensors(), quantizedConfig(std::move(config), t)};
}

// ---- LFM2 MoE ---------------------------------------------------------------

FamilyContent lfm2(const CheckpointOptions& o) {
  require(o.numHeads > 0 && o.hiddenSize % o.numHeads == 0,
          "lfm2moe: hidden size " + std::to_string(o.hiddenSize) +
              " is not a multiple of the head count " + std::to_string(o.numHeads));
  require(o.numDenseLayers >= 0 && o.numDenseLayers < o.numLayers,
          "lfm2moe: the dense layers must leave at least one MoE layer");
  TensorList t(o);
  const std::string p = "model.";
  const int64_t headDim = o.hiddenSize / o.numHeads;
  t.embedding(p + "embed_tokens", o.vocabSize, o.hiddenSize);
  t.bf16(p + "embedding_norm.weight", {o.hiddenSize});
  json layerTypes = json::array();
  for (int64_t i = 0; i < o.numLayers; ++i) {
    // Attention at layers 2, 6, 10, ...; short convolutions elsewhere.
    const bool full = i % 4 == 2;
    layerTypes.push_back(full ? "full_attention" : "conv");
    const std::string l = layerPrefix(p, i);
    if (full) {
      t.linear(l + "self_attn.q_proj", o.numHeads * headDim, o.hiddenSize);
      t.linear(l + "self_attn.k_proj", o.numKVHeads * headDim, o.hiddenSize);
      t.linear(l + "self_attn.v_proj", o.numKVHeads * headDim, o.hiddenSize);
      t.linear(l + "self_attn.out_proj", o.hiddenSize, o.numHeads * headDim);
      t.bf16(l + "self_attn.q_layernorm.weight", {headDim});
      t.bf16(l + "self_attn.k_layernorm.weight", {headDim});
    } else {
      t.linear(l + "conv.in_proj", 3 * o.hiddenSize, o.hiddenSize);
      t.bf16(l + "conv.conv.weight", {o.hiddenSize, o.convKernelSize, 1});
      t.linear(l + "conv.out_proj", o.hiddenSize, o.hiddenSize);
    }
    if (i < o.numDenseLayers) {
      t.linear(l + "feed_forward.gate_proj", o.intermediateSize, o.hiddenSize);
      t.linear(l + "feed_forward.up_proj", o.intermediateSize, o.hiddenSize);
      t.linear(l + "feed_forward.down_proj", o.hiddenSize, o.intermediateSize);
    } else {
      t.linear(l + "feed_forward.gate", o.numExperts, o.hiddenSize, kRouterBits);
      t.f32(l + "feed_forward.expert_bias", {o.numExperts});
      t.experts(l + "feed_forward.switch_mlp.gate_proj", o.numExperts, o.moeIntermediateSize,
                o.hiddenSize);
      t.experts(l + "feed_forward.switch_mlp.up_proj", o.numExperts, o.moeIntermediateSize,
                o.hiddenSize);
      t.experts(l + "feed_forward.switch_mlp.down_proj", o.numExperts, o.hiddenSize,
                o.moeIntermediateSize);
    }
    t.bf16(l + "operator_norm.weight", {o.hiddenSize});
    t.bf16(l + "ffn_norm.weight", {o.hiddenSize});
  }

  json config = {{"architectures", json::array({"Lfm2MoeForCausalLM"})},
                 {"model_type", "lfm2_moe"},
                 {"hidden_size", o.hiddenSize},
                 {"intermediate_size", o.intermediateSize},
                 {"moe_intermediate_size", o.moeIntermediateSize},
                 {"num_attention_heads", o.numHeads},
                 {"num_key_value_heads", o.numKVHeads},
                 {"vocab_size", o.vocabSize},
                 {"num_hidden_layers", o.numLayers},
                 {"num_experts", o.numExperts},
                 {"num_experts_per_tok", o.topKExperts},
                 {"num_dense_layers", o.numDenseLayers},
                 {"conv_L_cache", o.convKernelSize},
                 {"conv_bias", false},
                 {"rope_theta", 10000000.0},
                 {"use_expert_bias", true},
                 {"norm_topk_prob", true},
                 {"routed_scaling_factor", 1.0},
                 {"tie_word_embeddings", true},
                 {"layer_types", layerTypes},
                 {"norm_eps", 1e-05},
                 {"max_position_embeddings", 128000},
                 {"bos_token_id", 1},
                 {"eos_token_id", 7},
                 {"pad_token_id", 0},
                 {"torch_dtype", "bfloat16"},
                 {"transformers_version", "4.57.1"}};
  addMlxExport(config, o);
  return {t.takeTensors(), quantizedConfig(std::move(config), t)};
}

// ---- Brask ------------------------------------------------------------------

constexpr int64_t kBraskLayers = 49;
constexpr int64_t kBraskExperts = 256;
constexpr int64_t kBraskEmbeddingBits = 8;
// Full-attention layers (without rotary embedding); the others use the
// sliding window.
const std::vector<int64_t> kBraskFullLayers = {0, 1, 5, 9, 13, 17, 21, 25, 29, 33, 37, 41, 45, 48};
const std::vector<int64_t> kBraskDenseLayers = {0, 1};

// The pinned Brask configuration, whatever the tensor geometry: its reader
// accepts nothing else.
json braskConfig() {
  json layerTypes = json::array();
  for (int64_t i = 0; i < kBraskLayers; ++i) {
    const bool full =
        std::find(kBraskFullLayers.begin(), kBraskFullLayers.end(), i) != kBraskFullLayers.end();
    layerTypes.push_back(full ? "full_attention" : "sliding_attention");
  }
  return {{"architectures", json::array({"BraskForCausalLM"})},
          {"model_type", "brask"},
          {"hidden_size", 2048},
          {"intermediate_size", 6144},
          {"moe_intermediate_size", 512},
          {"shared_expert_intermediate_size", 1024},
          {"num_attention_heads", 32},
          {"num_key_value_heads", 4},
          {"head_dim", 128},
          {"vocab_size", 150144},
          {"sliding_window", 513},
          {"num_hidden_layers", kBraskLayers},
          {"num_experts", kBraskExperts},
          {"num_experts_per_tok", 6},
          {"norm_topk_prob", true},
          {"tie_word_embeddings", false},
          {"hidden_act", "silu"},
          {"attention_bias", false},
          {"rms_norm_eps", 1e-05},
          {"max_position_embeddings", 131072},
          {"rope_parameters", {{"rope_type", "default"}, {"rope_theta", 500000.0}}},
          {"no_rope_layer_indices", kBraskFullLayers},
          {"mlp_only_layers", kBraskDenseLayers},
          {"layer_types", layerTypes},
          {"mlx_export", {{"embedding_bits", kBraskEmbeddingBits}, {"routed_expert_bits", 4}}},
          {"bos_token_id", 1},
          {"eos_token_id", 5},
          {"pad_token_id", 0},
          {"torch_dtype", "bfloat16"}};
}

FamilyContent brask(const CheckpointOptions& o) {
  require(o.numExperts == kBraskExperts,
          "brask: the pinned configuration has 256 experts, so the tensors must have 256");
  require(o.numLayers > 2 && o.numLayers <= kBraskLayers,
          "brask: layers must be 3 to 49 (layers 0 and 1 are dense)");
  require(o.embeddingBits.value_or(kBraskEmbeddingBits) == kBraskEmbeddingBits,
          "brask: the pinned configuration has 8-bit embeddings");
  CheckpointOptions withEmbedding = o;
  withEmbedding.embeddingBits = kBraskEmbeddingBits;
  TensorList t(withEmbedding);
  const std::string p = "model.";
  t.embedding(p + "embed_tokens", o.vocabSize, o.hiddenSize);
  t.bf16(p + "norm.weight", {o.hiddenSize});
  t.linear("lm_head", o.vocabSize, o.hiddenSize);
  for (int64_t i = 0; i < o.numLayers; ++i) {
    const std::string l = layerPrefix(p, i);
    t.linear(l + "self_attn.q_proj", o.numHeads * o.headDim, o.hiddenSize);
    t.linear(l + "self_attn.k_proj", o.numKVHeads * o.headDim, o.hiddenSize);
    t.linear(l + "self_attn.v_proj", o.numKVHeads * o.headDim, o.hiddenSize);
    t.linear(l + "self_attn.o_proj", o.hiddenSize, o.numHeads * o.headDim);
    t.bf16(l + "self_attn.q_norm.weight", {o.headDim});
    t.bf16(l + "self_attn.k_norm.weight", {o.headDim});
    t.f32(l + "self_attn.softmax_offset", {o.numHeads});
    if (i < static_cast<int64_t>(kBraskDenseLayers.size())) {
      t.linear(l + "mlp.gate_proj", o.intermediateSize, o.hiddenSize);
      t.linear(l + "mlp.up_proj", o.intermediateSize, o.hiddenSize);
      t.linear(l + "mlp.down_proj", o.hiddenSize, o.intermediateSize);
    } else {
      t.linear(l + "mlp.gate", o.numExperts, o.hiddenSize, kRouterBits);
      t.f32(l + "mlp.gate.expert_bias", {o.numExperts});
      t.linear(l + "mlp.shared_expert.gate_proj", o.sharedExpertIntermediateSize, o.hiddenSize);
      t.linear(l + "mlp.shared_expert.up_proj", o.sharedExpertIntermediateSize, o.hiddenSize);
      t.linear(l + "mlp.shared_expert.down_proj", o.hiddenSize, o.sharedExpertIntermediateSize);
      t.experts(l + "mlp.switch_mlp.gate_proj", o.numExperts, o.moeIntermediateSize, o.hiddenSize);
      t.experts(l + "mlp.switch_mlp.up_proj", o.numExperts, o.moeIntermediateSize, o.hiddenSize);
      t.experts(l + "mlp.switch_mlp.down_proj", o.numExperts, o.hiddenSize, o.moeIntermediateSize);
    }
    t.bf16(l + "input_layernorm.weight", {o.hiddenSize});
    t.bf16(l + "post_attention_layernorm.weight", {o.hiddenSize});
  }
  return {t.takeTensors(), quantizedConfig(braskConfig(), t)};
}

}  // namespace

FamilyContent describeFamily(const CheckpointOptions& o) {
  const bool isGemma = o.family == CheckpointFamily::gemma4;
  require(isGemma || (o.vision == VisionTower::none && !o.audioTower),
          "vision and audio towers exist only in gemma4 checkpoints");
  require(o.numLayers > 0, "the layer count must be positive");
  require(o.numExperts > 0 && o.topKExperts > 0 && o.topKExperts <= o.numExperts,
          "the expert count must be positive and at least top-k");
  for (const auto& [module, bits] : o.bitsOverrides) {
    require(bits == 2 || bits == 3 || bits == 4 || bits == 5 || bits == 6 || bits == 8,
            "unsupported bit width " + std::to_string(bits) + " for " + module);
  }
  if (o.embeddingBits) {
    const int64_t bits = *o.embeddingBits;
    require(bits == 2 || bits == 3 || bits == 4 || bits == 5 || bits == 6 || bits == 8,
            "unsupported embedding bit width " + std::to_string(bits));
  }
  switch (o.family) {
    case CheckpointFamily::gemma4:
      return gemma4(o);
    case CheckpointFamily::qwen3_5_moe:
      return qwen(o);
    case CheckpointFamily::lfm2moe:
      return lfm2(o);
    case CheckpointFamily::brask:
      return brask(o);
  }
  invalid("unknown family");
}

}  // namespace checkpoint_gen
