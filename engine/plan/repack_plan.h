// Plans of the output package: pure data, built before any byte is copied.
// RepackPlan::build sorts every source tensor into one of four fates:
// resident (stored whole in model_weights.bin), routed expert (split per
// expert into the packed layer files), companion (.scales/.biases, travelling
// with their weight) or excluded (multimodal towers).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/source/arch_info.h"
#include "engine/source/index_loader.h"
#include "engine/source/safetensors.h"

// One tensor stored whole in model_weights.bin, with its quantization
// companions. Offsets are absolute in the file; absent companions are 0, 0.
struct ResidentEntry {
  std::string name;
  uint8_t dtype = 0;  // package dtype code; 0 (u32) for a quantized weight
  std::array<uint32_t, 4> logicalShape4{};
  uint64_t fileOffset = 0;
  uint64_t sizeBytes = 0;
  uint64_t scaleOffset = 0;
  uint64_t scaleSize = 0;
  uint64_t biasOffset = 0;
  uint64_t biasSize = 0;
  std::optional<QuantSpec> quantSpec;  // present exactly for quantized weights
  SourceTensor sourceWeight;
  std::optional<SourceTensor> sourceScales;
  std::optional<SourceTensor> sourceBiases;

  bool operator==(const ResidentEntry&) const = default;
};

// The plan of model_weights.bin: index region, then payload.
struct ResidentFilePlan {
  std::string path;
  std::vector<ResidentEntry> entries;        // file order
  std::string stringTable;                   // every entry name's UTF-8 bytes, in entry order
  std::vector<uint32_t> stringTableOffsets;  // each name's start within stringTable
  uint64_t indexSize = 0;                    // multiple of 16 KiB
  uint64_t residentSize = 0;                 // payload bytes after the index region

  bool operator==(const ResidentFilePlan&) const = default;
};

// One expert's slice of one stacked routed-expert source tensor. Expert e's
// slice is the source range [absoluteOffset + e * sourceOffsetPerExpert,
// + sizeInExpertBlob), written at e * expertStride + offsetInExpertBlob.
struct PerExpertTensorSlice {
  std::string role;       // "gate", "up" or "down"
  std::string component;  // "weights", "scales" or "biases"
  uint8_t dtype = 0;      // 0 (u32) for weights, 1 (bf16) for scales and biases
  // Full source shape with the leading expert extent; for weights the last
  // extent is unpacked to (last * 32) / bits.
  std::vector<uint64_t> logicalShape;
  uint64_t offsetInExpertBlob = 0;
  uint64_t sizeInExpertBlob = 0;
  uint64_t sourceOffsetPerExpert = 0;
  SourceTensor sourceTensor;
  std::optional<int64_t> bitsForWeights;  // weights only

  bool operator==(const PerExpertTensorSlice&) const = default;
};

// One packed-expert layer file: expertsPerLayer blobs of expertStride bytes.
// An empty plan (gemma4/qwen36 layer without routed experts) has 0, 0 and no
// slices, and produces no file.
struct LayerFilePlan {
  int64_t layerIndex = 0;
  std::string path;  // <output>/packed_experts/layer_NN.bin
  int64_t expertsPerLayer = 0;
  uint64_t expertStride = 0;
  std::vector<PerExpertTensorSlice> subTensors;  // nine, in blob order

  bool operator==(const LayerFilePlan&) const = default;
};

struct RepackPlan {
  ArchInfo arch;
  std::string baseMode;
  int64_t baseGroupSize = 0;
  int64_t bitsOverrideCount = 0;
  ResidentFilePlan resident;
  std::vector<LayerFilePlan> layers;
  std::optional<std::string> matchedModelID;  // known-source lookup of the index digest
  std::vector<std::string> excludedMultimodalTensorNames;  // sorted

  bool operator==(const RepackPlan&) const = default;

  // Classifies every tensor of the shard headers and lays out the package
  // under outputDirectory. Throws RepackError; never returns a partial plan.
  static RepackPlan build(const IndexLoader::SourceMetadata& metadata, const ArchInfo& arch,
                          const std::vector<Safetensors::Header>& headers,
                          const std::string& outputDirectory);
};
