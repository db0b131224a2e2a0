// Small source checkpoints built in memory for the planning tests: shard
// headers with consistent offsets, the matching shard index metadata, and
// the same checkpoint as real files (config.json, the shard index and shards
// whose data areas are zeros) for tests that run the tools.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/source/arch_info.h"
#include "engine/source/index_loader.h"
#include "engine/source/safetensors.h"

namespace plan_fixtures {

inline constexpr const char* kShard1 = "model-00001-of-00002.safetensors";
inline constexpr const char* kShard2 = "model-00002-of-00002.safetensors";

class Checkpoint {
 public:
  // A tensor of `sizeBytes` (by default shape product × element size) at the
  // next offset of the shard's data area.
  Checkpoint& tensor(const std::string& name, SourceTensor::Dtype dtype,
                     std::vector<uint64_t> shape, const std::string& shard = kShard1);
  Checkpoint& tensorOfSize(const std::string& name, SourceTensor::Dtype dtype,
                           std::vector<uint64_t> shape, uint64_t sizeBytes,
                           const std::string& shard = kShard1);
  // base + ".weight" as packed u32 of `bits` per value, with bf16 ".scales"
  // and ".biases" for groups of 64; `shape` is the logical shape.
  Checkpoint& quantized(const std::string& base, std::vector<uint64_t> shape, int bits = 4,
                        const std::string& shard = kShard1);
  // Stacked routed experts: quantized(base, {experts, rows, cols}).
  Checkpoint& experts(const std::string& base, uint64_t experts, uint64_t rows, uint64_t cols,
                      int bits = 4, const std::string& shard = kShard1);

  // Headers as parseHeader would return them for shards named by their file
  // names, in shardFilenames order.
  std::vector<Safetensors::Header> headers() const;
  // Weight map, shard order and quantization; bitsOverrides as given.
  IndexLoader::SourceMetadata metadata(int64_t baseBits = 4,
                                       std::map<std::string, QuantSpec> overrides = {}) const;

  // Writes the shards, model.safetensors.index.json and config.json (the
  // given document, with a 4-bit group-64 "quantization" block added).
  void writeDirectory(const std::string& directory, nlohmann::json config) const;

 private:
  struct Entry {
    std::string name;
    SourceTensor::Dtype dtype;
    std::vector<uint64_t> shape;
    uint64_t begin;
    uint64_t sizeBytes;
  };
  // The header JSON text of one shard.
  std::string headerText(const std::string& shard) const;
  std::vector<std::string> shardOrder() const;

  std::map<std::string, std::vector<Entry>> shards_;
  std::map<std::string, uint64_t> dataEnd_;
};

// An ArchInfo of the family with a small geometry (no config file involved).
ArchInfo smallArch(RepackModelFamily family, int64_t numLayers, int64_t numExperts);

// config.json documents that ArchInfo::load reads as the family, with the
// given geometry (below the pinned baselines' geometry, so none applies).
nlohmann::json gemma4Config(int64_t numLayers, int64_t numExperts);
nlohmann::json qwenConfig(int64_t numLayers, int64_t numExperts);
nlohmann::json lfm2Config(int64_t numLayers, int64_t numExperts);

}  // namespace plan_fixtures
