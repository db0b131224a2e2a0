// Reader of safetensors shard headers. A shard is an 8-byte little-endian
// header length N, N bytes of UTF-8 JSON, then the data area; the JSON maps
// tensor names to {dtype, shape, data_offsets} with offsets relative to the
// data area. Only headers are read, never tensor data.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

struct SourceTensor {
  // Codes shared with the package's dtype byte.
  enum class Dtype : uint8_t { u32 = 0, bf16 = 1, fp16 = 2, fp32 = 3 };

  std::string name;       // the header key, unchanged
  std::string shardPath;  // the caller's identity string for the shard
  Dtype dtype = Dtype::u32;
  std::vector<uint64_t> shape;  // outermost first; empty for a scalar
  uint64_t absoluteOffset = 0;  // from the start of the shard file
  uint64_t sizeBytes = 0;

  bool operator==(const SourceTensor&) const = default;
};

template <>
struct std::hash<SourceTensor> {
  size_t operator()(const SourceTensor& t) const noexcept;
};

namespace Safetensors {

inline constexpr uint64_t kMaxHeaderBytes = 16777216;

struct Header {
  // In the decoded object's iteration order, which carries no meaning.
  std::vector<SourceTensor> tensors;
};

// Checks and parses the JSON header bytes (those after the 8-byte prefix) of
// a shard of `fileSize` bytes. `path` is recorded in every tensor and every
// error. Every failure, malformed JSON included, is RepackError; malformed
// JSON is safetensorsHeaderInvalid with the decoder's words as detail.
std::vector<SourceTensor> parseHeader(const std::string& path, uint64_t fileSize,
                                      std::span<const uint8_t> headerBytes);

// Reads the prefix and header of a local shard file and parses them. Never
// allocates more than the capped header length.
Header readHeader(const std::string& path);

}  // namespace Safetensors
