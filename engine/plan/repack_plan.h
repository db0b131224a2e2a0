// Plans of the output package: pure data, built before any byte is copied.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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
