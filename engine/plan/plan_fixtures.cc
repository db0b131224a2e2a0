#include "engine/plan/plan_fixtures.h"

#include <numeric>

#include "engine/source/safetensors.h"
#include "tests/test_util.h"

namespace plan_fixtures {
namespace {

using nlohmann::json;

// Shards start their data area after the header; begin offsets are relative
// to it, as in a real shard.
uint64_t elementBytes(SourceTensor::Dtype dtype) {
  return dtype == SourceTensor::Dtype::u32 || dtype == SourceTensor::Dtype::fp32 ? 4 : 2;
}

const char* spelling(SourceTensor::Dtype dtype) {
  switch (dtype) {
    case SourceTensor::Dtype::u32:
      return "U32";
    case SourceTensor::Dtype::bf16:
      return "BF16";
    case SourceTensor::Dtype::fp16:
      return "F16";
    case SourceTensor::Dtype::fp32:
      return "F32";
  }
  return "?";
}

uint64_t product(const std::vector<uint64_t>& shape) {
  return std::accumulate(shape.begin(), shape.end(), uint64_t{1}, std::multiplies<>());
}

}  // namespace

Checkpoint& Checkpoint::tensor(const std::string& name, SourceTensor::Dtype dtype,
                               std::vector<uint64_t> shape, const std::string& shard) {
  const uint64_t size = product(shape) * elementBytes(dtype);
  return tensorOfSize(name, dtype, std::move(shape), size, shard);
}

Checkpoint& Checkpoint::tensorOfSize(const std::string& name, SourceTensor::Dtype dtype,
                                     std::vector<uint64_t> shape, uint64_t sizeBytes,
                                     const std::string& shard) {
  uint64_t& end = dataEnd_[shard];
  shards_[shard].push_back({name, dtype, std::move(shape), end, sizeBytes});
  end += sizeBytes;
  return *this;
}

Checkpoint& Checkpoint::quantized(const std::string& base, std::vector<uint64_t> shape, int bits,
                                  const std::string& shard) {
  const uint64_t cols = shape.back();
  std::vector<uint64_t> packed = shape;
  packed.back() = cols * static_cast<uint64_t>(bits) / 32;
  std::vector<uint64_t> groups = shape;
  groups.back() = std::max<uint64_t>(cols / 64, 1);
  tensor(base + ".weight", SourceTensor::Dtype::u32, packed, shard);
  tensor(base + ".scales", SourceTensor::Dtype::bf16, groups, shard);
  return tensor(base + ".biases", SourceTensor::Dtype::bf16, groups, shard);
}

Checkpoint& Checkpoint::experts(const std::string& base, uint64_t experts, uint64_t rows,
                                uint64_t cols, int bits, const std::string& shard) {
  return quantized(base, {experts, rows, cols}, bits, shard);
}

std::string Checkpoint::headerText(const std::string& shard) const {
  json header = json::object();
  for (const Entry& e : shards_.at(shard)) {
    header[e.name] = {{"dtype", spelling(e.dtype)},
                      {"shape", e.shape},
                      {"data_offsets", {e.begin, e.begin + e.sizeBytes}}};
  }
  return header.dump();
}

std::vector<std::string> Checkpoint::shardOrder() const { return metadata().shardFilenames; }

std::vector<Safetensors::Header> Checkpoint::headers() const {
  std::vector<Safetensors::Header> out;
  for (const std::string& shard : shardOrder()) {
    const uint64_t dataStart = 8 + headerText(shard).size();
    Safetensors::Header header;
    for (const Entry& e : shards_.at(shard)) {
      header.tensors.push_back({e.name, shard, e.dtype, e.shape, dataStart + e.begin, e.sizeBytes});
    }
    out.push_back(std::move(header));
  }
  return out;
}

IndexLoader::SourceMetadata Checkpoint::metadata(int64_t baseBits,
                                                 std::map<std::string, QuantSpec> overrides) const {
  IndexLoader::SourceMetadata m;
  m.indexPath = "/checkpoint/model.safetensors.index.json";
  m.configPath = "/checkpoint/config.json";
  m.indexSha256Hex = std::string(64, '0');
  for (const auto& [shard, entries] : shards_) {
    for (const Entry& e : entries) m.weightMap[e.name] = shard;
  }
  for (const auto& [name, shard] : m.weightMap) {
    if (std::find(m.shardFilenames.begin(), m.shardFilenames.end(), shard) ==
        m.shardFilenames.end()) {
      m.shardFilenames.push_back(shard);
    }
  }
  m.baseBits = baseBits;
  m.bitsOverrides = std::move(overrides);
  return m;
}

void Checkpoint::writeDirectory(const std::string& directory, json config) const {
  uint64_t total = 0;
  for (const std::string& shard : shardOrder()) {
    const std::string header = headerText(shard);
    std::string bytes(8, '\0');
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<char>((header.size() >> (8 * i)) & 0xff);
    bytes += header;
    bytes.append(dataEnd_.at(shard), '\0');
    total += dataEnd_.at(shard);
    testutil::writeFile(directory + "/" + shard, bytes);
  }
  testutil::writeFile(directory + "/model.safetensors.index.json",
                      IndexLoader::canonicalIndexData(metadata().weightMap, total));
  config["quantization"] = {{"bits", 4}, {"group_size", 64}};
  testutil::writeFile(directory + "/config.json", config.dump());
}

ArchInfo smallArch(RepackModelFamily family, int64_t numLayers, int64_t numExperts) {
  ArchInfo a;
  a.hiddenSize = 64;
  a.intermediateSize = 128;
  a.moeIntermediateSize = 32;
  a.numHeads = 4;
  a.numKVHeads = 2;
  a.numFullKVHeads = 2;
  a.headDim = 16;
  a.fullHeadDim = 16;
  a.vocabSize = 256;
  a.ropeTheta = 10000;
  a.fullRopeTheta = 10000;
  a.partialRotaryFactor = 1.0;
  a.numLayers = numLayers;
  a.numExperts = numExperts;
  a.topKExperts = std::min<int64_t>(2, numExperts);
  a.fullAttentionLayerMask.assign(static_cast<size_t>(numLayers), LayerCode::full);
  a.hiddenActivation = "silu";
  a.family = family;
  a.attentionScale = 0.25;
  return a;
}

json gemma4Config(int64_t numLayers, int64_t numExperts) {
  json layerTypes = json::array();
  for (int64_t i = 0; i < numLayers; ++i) {
    layerTypes.push_back(i % 2 == 0 ? "sliding_attention" : "full_attention");
  }
  return {{"model_type", "gemma4"},
          {"text_config",
           {{"layer_types", layerTypes},
            {"hidden_size", 64},
            {"intermediate_size", 128},
            {"moe_intermediate_size", 32},
            {"num_attention_heads", 4},
            {"num_key_value_heads", 2},
            {"num_global_key_value_heads", 1},
            {"head_dim", 16},
            {"global_head_dim", 32},
            {"vocab_size", 256},
            {"sliding_window", 128},
            {"final_logit_softcapping", 30.0},
            {"num_hidden_layers", numLayers},
            {"num_experts", numExperts},
            {"top_k_experts", std::min<int64_t>(2, numExperts)}}}};
}

json qwenConfig(int64_t numLayers, int64_t numExperts) {
  json layerTypes = json::array();
  for (int64_t i = 0; i < numLayers; ++i) {
    layerTypes.push_back(i % 4 == 3 ? "full_attention" : "linear_attention");
  }
  return {{"model_type", "qwen3_5_moe"},
          {"text_config",
           {{"layer_types", layerTypes},
            {"rope_parameters", {{"rope_theta", 10000000}, {"partial_rotary_factor", 0.25}}},
            {"attn_output_gate", true},
            {"head_dim", 16},
            {"hidden_size", 64},
            {"shared_expert_intermediate_size", 32},
            {"moe_intermediate_size", 32},
            {"num_attention_heads", 4},
            {"num_key_value_heads", 2},
            {"vocab_size", 256},
            {"num_hidden_layers", numLayers},
            {"num_experts", numExperts},
            {"num_experts_per_tok", std::min<int64_t>(2, numExperts)},
            {"linear_num_key_heads", 2},
            {"linear_num_value_heads", 4},
            {"linear_key_head_dim", 16},
            {"linear_value_head_dim", 16},
            {"linear_conv_kernel_dim", 4}}}};
}

json lfm2Config(int64_t numLayers, int64_t numExperts) {
  json layerTypes = json::array();
  for (int64_t i = 0; i < numLayers; ++i) {
    layerTypes.push_back(i % 4 == 2 ? "full_attention" : "conv");
  }
  return {{"model_type", "lfm2_moe"},
          {"layer_types", layerTypes},
          {"rope_theta", 1000000},
          {"hidden_size", 64},
          {"num_attention_heads", 4},
          {"intermediate_size", 128},
          {"moe_intermediate_size", 32},
          {"num_key_value_heads", 2},
          {"vocab_size", 256},
          {"num_hidden_layers", numLayers},
          {"num_experts", numExperts},
          {"num_experts_per_tok", std::min<int64_t>(2, numExperts)},
          {"conv_L_cache", 3}};
}

}  // namespace plan_fixtures
