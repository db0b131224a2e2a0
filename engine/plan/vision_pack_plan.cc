#include "engine/plan/vision_pack_plan.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "engine/common/repack_error.h"
#include "engine/plan/plan_support.h"
#include "format/korvex_format.h"
#include "format/vision.h"

namespace {

// Offsets are rounded with the package page size, which is the vision format's too.
static_assert(KorvexVisionFormatV1::alignmentBytes == KorvexFormatV1::alignmentBytes);

bool startsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

std::string asciiLower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// Execution order: patch embedder, encoder layers by number, the two
// standardisation tensors, the embedding projection, everything else.
std::string executionKey(const std::string& name) {
  if (startsWith(name, "vision_tower.patch_embedder.")) return "0000/" + name;
  if (startsWith(name, "vision_tower.encoder.layers.")) {
    if (const std::optional<int64_t> layer = plan_support::layerIndex(name)) {
      char number[32];
      std::snprintf(number, sizeof number, "%03lld", static_cast<long long>(*layer));
      return "1000/" + std::string(number) + "/" + name;
    }
  }
  if (name == "vision_tower.std_bias" || name == "vision_tower.std_scale") return "2000/" + name;
  if (startsWith(name, "embed_vision.")) return "3000/" + name;
  return "9999/" + name;
}

// Decimal text of a sum that may exceed 64 bits.
std::string decimal(unsigned __int128 value) {
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(value % 10)));
    value /= 10;
  } while (value != 0);
  return digits;
}

}  // namespace

VisionPackPlan VisionPackPlan::build(const IndexLoader::SourceMetadata& metadata,
                                     const std::vector<Safetensors::Header>& headers) {
  if (metadata.baseBits != 4 || metadata.baseGroupSize != 64 ||
      asciiLower(metadata.baseMode) != "affine") {
    throwConfigurationInvalid(
        "vision companion requires MLX affine 4-bit group-64 source metadata");
  }

  std::vector<const SourceTensor*> selected;
  for (const Safetensors::Header& header : headers) {
    for (const SourceTensor& tensor : header.tensors) {
      if (startsWith(tensor.name, "vision_tower.") || startsWith(tensor.name, "embed_vision.")) {
        selected.push_back(&tensor);
      }
    }
  }
  if (selected.size() != static_cast<size_t>(kTensorCount)) {
    throwConfigurationInvalid("expected " + std::to_string(kTensorCount) +
                              " vision tensors, found " + std::to_string(selected.size()));
  }
  unsigned __int128 total = 0;
  for (const SourceTensor* tensor : selected) total += tensor->sizeBytes;
  if (total != kSourcePayloadBytes) {
    throwConfigurationInvalid("expected " + std::to_string(kSourcePayloadBytes) +
                              " vision bytes, found " + decimal(total));
  }

  std::vector<std::pair<std::string, const SourceTensor*>> ordered;
  ordered.reserve(selected.size());
  for (const SourceTensor* tensor : selected)
    ordered.emplace_back(executionKey(tensor->name), tensor);
  std::stable_sort(ordered.begin(), ordered.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });

  VisionPackPlan plan;
  plan.entries.reserve(ordered.size());
  uint64_t end = 0;
  for (const auto& [key, tensor] : ordered) {
    Entry entry;
    entry.source = *tensor;
    entry.executionPosition = static_cast<int64_t>(plan.entries.size());
    entry.fileOffset = plan_support::roundUpToPage(end, "vision_weights.bin offset");
    end = plan_support::add(entry.fileOffset, tensor->sizeBytes, "vision_weights.bin offset");
    switch (tensor->dtype) {
      case SourceTensor::Dtype::bf16:
        break;
      case SourceTensor::Dtype::u32: {
        std::string_view base = tensor->name;
        if (base.size() >= 7 && base.substr(base.size() - 7) == ".weight") {
          base.remove_suffix(7);
        }
        const auto override = metadata.bitsOverrides.find(std::string(base));
        if (override != metadata.bitsOverrides.end() && override->second.bits != 4) {
          throwConfigurationInvalid("unsupported vision quantization for " + tensor->name);
        }
        entry.quantSpec = QuantSpec{4};
        break;
      }
      case SourceTensor::Dtype::fp16:
      case SourceTensor::Dtype::fp32:
        throwConfigurationInvalid("unsupported vision dtype for " + tensor->name);
    }
    entry.groupSize = 64;
    plan.entries.push_back(std::move(entry));
  }
  plan.weightsFileSize = end;
  plan.sourcePayloadBytes = kSourcePayloadBytes;
  return plan;
}
