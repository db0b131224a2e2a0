// packed_experts/layout.json: the geometry of the per-layer expert files.
// Each layer file holds expertsPerLayer slots of expertStride bytes (a
// positive multiple of 16 KiB); the expert at physical rank r occupies
// [r * stride, (r + 1) * stride). Inside a slot, named sub-tensors (weights,
// scales, biases of each projection) occupy non-overlapping ranges.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "format/manifest.h"

struct KorvexSubTensorV1 {
  uint64_t offset = 0;  // within the expert's slot
  uint64_t size = 0;
  std::string dtype;  // "U32" or "BF16"
  std::vector<uint32_t> shape;
  std::optional<int64_t> bits;
  bool operator==(const KorvexSubTensorV1&) const = default;
};

struct KorvexExpertV1 {
  std::optional<int64_t> expert;        // absent: the position in the array
  std::optional<int64_t> physicalRank;  // absent: the expert id
  uint64_t offset = 0;
  uint64_t size = 0;
  std::map<std::string, KorvexSubTensorV1> tensors;
  bool operator==(const KorvexExpertV1&) const = default;
};

struct KorvexLayerV1 {
  int64_t layer = 0;
  std::string file;  // base name inside packed_experts/
  std::vector<KorvexExpertV1> experts;
  bool operator==(const KorvexLayerV1&) const = default;
};

struct KorvexPackedExpertsLayoutV1 {
  uint64_t expertStride = 0;
  int64_t numLayers = 0;
  int64_t expertsPerLayer = 0;
  std::vector<KorvexLayerV1> layers;
  bool operator==(const KorvexPackedExpertsLayoutV1&) const = default;
};

namespace KorvexPackedExpertsLayoutCodec {
KorvexPackedExpertsLayoutV1 decode(std::span<const uint8_t> data);
std::string encode(const KorvexPackedExpertsLayoutV1& layout);
}  // namespace KorvexPackedExpertsLayoutCodec

namespace KorvexV1StructuralValidator {

void validate(const KorvexPackedExpertsLayoutV1& layout);

// The layout against the manifest's geometry and its file table.
void crossValidate(int64_t manifestNumLayers, int64_t manifestExpertsPerLayer,
                   uint64_t manifestExpertStride,
                   const std::map<std::string, uint64_t>& manifestFileSizes,
                   const KorvexPackedExpertsLayoutV1& layout);
void crossValidate(const KorvexManifestV1& manifest, const KorvexPackedExpertsLayoutV1& layout);

}  // namespace KorvexV1StructuralValidator
