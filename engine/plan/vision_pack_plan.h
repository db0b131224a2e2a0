// The vision companion's plan: the 358 vision-tower tensors of a Gemma 4
// checkpoint in execution order, each at a 16 KiB-aligned offset of
// vision_weights.bin.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "engine/source/index_loader.h"
#include "engine/source/safetensors.h"

struct VisionPackPlan {
  static constexpr int64_t kTensorCount = 358;
  static constexpr uint64_t kSourcePayloadBytes = 1140925536;

  struct Entry {
    SourceTensor source;
    int64_t executionPosition = 0;
    uint64_t fileOffset = 0;
    std::optional<QuantSpec> quantSpec;  // bits 4 for u32, absent for bf16
    int64_t groupSize = 64;
    bool operator==(const Entry&) const = default;
  };

  std::vector<Entry> entries;
  uint64_t weightsFileSize = 0;  // end of the last tensor, no trailing padding
  uint64_t sourcePayloadBytes = kSourcePayloadBytes;

  bool operator==(const VisionPackPlan&) const = default;

  // Throws configurationInvalid(detail).
  static VisionPackPlan build(const IndexLoader::SourceMetadata& metadata,
                              const std::vector<Safetensors::Header>& headers);
};
