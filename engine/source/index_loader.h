// Reads a checkpoint directory's model.safetensors.index.json (which tensor
// lives in which shard) and the quantization part of its config.json.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// The bit width of one quantized tensor.
struct QuantSpec {
  int64_t bits = 0;
  bool operator==(const QuantSpec&) const = default;
};

template <>
struct std::hash<QuantSpec> {
  size_t operator()(const QuantSpec& q) const noexcept { return std::hash<int64_t>()(q.bits); }
};

namespace IndexLoader {

struct SourceMetadata {
  std::string indexPath;
  std::string configPath;
  std::string indexSha256Hex;                    // identity of the checkpoint
  std::map<std::string, std::string> weightMap;  // tensor name -> shard file name
  int64_t baseBits = 4;
  int64_t baseGroupSize = 64;
  std::string baseMode = "affine";
  std::map<std::string, QuantSpec> bitsOverrides;  // tensor prefix -> bits
  // Distinct shard names, ordered by the smallest tensor name each holds.
  std::vector<std::string> shardFilenames;

  bool operator==(const SourceMetadata&) const = default;
};

// Loads both files from `directory`. Every failure is a RepackError: reading
// or decoding problems of the index become indexJsonInvalid, of the config
// configJsonInvalid.
SourceMetadata load(const std::string& directory);

// The canonical index document for a weight map, byte for byte reproducible:
// {"metadata":{"total_size":N},"weight_map":{"a":"s1",...}} with keys sorted,
// no whitespace and names inserted verbatim (they never need escaping).
std::string canonicalIndexData(const std::map<std::string, std::string>& weightMap,
                               uint64_t totalSize);

}  // namespace IndexLoader
