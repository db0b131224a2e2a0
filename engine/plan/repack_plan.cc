#include "engine/plan/repack_plan.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <map>
#include <span>
#include <tuple>

#include "engine/common/catalog.h"
#include "engine/common/repack_error.h"
#include "engine/plan/plan_support.h"
#include "format/korvex_format.h"
#include "format/resident_index.h"

namespace {

using plan_support::add;

// A config may name any layer count; every gemma4/qwen36 layer gets a plan,
// so an absurd count would only exhaust memory. Real models have < 100.
constexpr int64_t kMaxModelLayers = 65536;
// The resident index stores a name's length in 16 bits.
constexpr uint64_t kMaxNameBytes = 65535;
constexpr uint64_t kMaxStringTableBytes = 0xFFFFFFFFull;
constexpr uint64_t kMaxExtent = 0xFFFFFFFFull;

const std::array<std::string_view, 3> kMultimodalPrefixes = {"vision_tower.", "embed_vision.",
                                                             "audio_tower."};
const std::array<std::string_view, 3> kRoles = {"gate", "up", "down"};

bool startsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

bool endsWith(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

bool isMultimodal(std::string_view name) {
  return std::any_of(kMultimodalPrefixes.begin(), kMultimodalPrefixes.end(),
                     [&](std::string_view p) { return startsWith(name, p); });
}

std::string_view familyPrefix(RepackModelFamily family) {
  switch (family) {
    case RepackModelFamily::gemma4:
    case RepackModelFamily::qwen36:
      return "language_model.";
    case RepackModelFamily::lfm2moe:
    case RepackModelFamily::brask:
      return "model.";
  }
  return "";
}

std::string_view expertMarker(RepackModelFamily family) {
  switch (family) {
    case RepackModelFamily::gemma4:
      return ".experts.switch_glu.";
    case RepackModelFamily::qwen36:
    case RepackModelFamily::brask:
      return ".mlp.switch_mlp.";
    case RepackModelFamily::lfm2moe:
      return ".feed_forward.switch_mlp.";
  }
  return "";
}

// Index into kRoles of a routed-expert name, or nothing.
std::optional<size_t> roleOf(std::string_view name) {
  if (name.find(".gate_proj.") != std::string_view::npos) return 0;
  if (name.find(".up_proj.") != std::string_view::npos) return 1;
  if (name.find(".down_proj.") != std::string_view::npos) return 2;
  return std::nullopt;
}

// Rank of a tensor within its layer: the first pattern of the family's table
// that matches, tested in table order; 100 when none does.
struct RankPattern {
  std::string_view text;
  bool suffix;  // "ends with" instead of "contains"
  int rank;
};

constexpr RankPattern kGemma4Ranks[] = {
    {".self_attn.q_proj.weight", false, 0},
    {".self_attn.k_proj.weight", false, 1},
    {".self_attn.v_proj.weight", false, 2},
    {".self_attn.o_proj.weight", false, 3},
    {".self_attn.q_norm.weight", false, 4},
    {".self_attn.k_norm.weight", false, 5},
    {".router.proj.weight", false, 6},
    {".router.scale", false, 7},
    {".router.per_expert_scale", false, 8},
    {".mlp.gate_proj.weight", false, 9},
    {".mlp.up_proj.weight", false, 10},
    {".mlp.down_proj.weight", false, 11},
    {".input_layernorm.weight", true, 12},
    {".post_attention_layernorm.weight", true, 13},
    {".pre_feedforward_layernorm.weight", true, 14},
    {".pre_feedforward_layernorm_2.weight", true, 15},
    {".post_feedforward_layernorm.weight", true, 16},
    {".post_feedforward_layernorm_1.weight", true, 17},
    {".post_feedforward_layernorm_2.weight", true, 18},
    {".layer_scalar", true, 19},
};

constexpr RankPattern kQwen36Ranks[] = {
    {".self_attn.q_proj.weight", false, 0},
    {".self_attn.k_proj.weight", false, 1},
    {".self_attn.v_proj.weight", false, 2},
    {".self_attn.o_proj.weight", false, 3},
    {".self_attn.q_norm.weight", false, 4},
    {".self_attn.k_norm.weight", false, 5},
    {".linear_attn.in_proj_qkv.weight", false, 6},
    {".linear_attn.in_proj_z.weight", false, 7},
    {".linear_attn.in_proj_a.weight", false, 8},
    {".linear_attn.in_proj_b.weight", false, 9},
    {".linear_attn.conv1d.weight", false, 10},
    {".linear_attn.A_log", true, 11},
    {".linear_attn.dt_bias", true, 12},
    {".linear_attn.norm.weight", false, 13},
    {".linear_attn.out_proj.weight", false, 14},
    {".mlp.gate.weight", false, 15},
    {".mlp.shared_expert_gate.weight", false, 16},
    {".mlp.shared_expert.gate_proj.weight", false, 17},
    {".mlp.shared_expert.up_proj.weight", false, 18},
    {".mlp.shared_expert.down_proj.weight", false, 19},
    {".input_layernorm.weight", true, 20},
    {".post_attention_layernorm.weight", true, 21},
};

constexpr RankPattern kLfm2moeRanks[] = {
    {".conv.in_proj.weight", false, 0},          {".conv.conv.weight", false, 1},
    {".conv.out_proj.weight", false, 2},         {".self_attn.q_proj.weight", false, 3},
    {".self_attn.k_proj.weight", false, 4},      {".self_attn.v_proj.weight", false, 5},
    {".self_attn.out_proj.weight", false, 6},    {".self_attn.q_layernorm.weight", false, 7},
    {".self_attn.k_layernorm.weight", false, 8}, {".feed_forward.gate.weight", false, 9},
    {".feed_forward.expert_bias", true, 10},     {".feed_forward.gate_proj.weight", false, 11},
    {".feed_forward.up_proj.weight", false, 12}, {".feed_forward.down_proj.weight", false, 13},
    {".operator_norm.weight", true, 14},         {".ffn_norm.weight", true, 15},
};

// Tested in this order: the shared-expert projections must be seen before
// the plain ".mlp.*_proj.weight" patterns. No pattern has rank 9.
constexpr RankPattern kBraskRanks[] = {
    {".self_attn.q_proj.weight", false, 0},
    {".self_attn.k_proj.weight", false, 1},
    {".self_attn.v_proj.weight", false, 2},
    {".self_attn.o_proj.weight", false, 3},
    {".self_attn.q_norm.weight", false, 4},
    {".self_attn.k_norm.weight", false, 5},
    {".self_attn.softmax_offset", true, 6},
    {".mlp.shared_expert.gate_proj.weight", false, 10},
    {".mlp.shared_expert.up_proj.weight", false, 11},
    {".mlp.shared_expert.down_proj.weight", false, 12},
    {".mlp.gate.weight", false, 7},
    {".mlp.gate.expert_bias", true, 8},
    {".mlp.gate_proj.weight", false, 13},
    {".mlp.up_proj.weight", false, 14},
    {".mlp.down_proj.weight", false, 15},
    {".input_layernorm.weight", true, 16},
    {".post_attention_layernorm.weight", true, 17},
};

int rankWithinLayer(RepackModelFamily family, std::string_view name) {
  std::span<const RankPattern> table;
  switch (family) {
    case RepackModelFamily::gemma4:
      table = kGemma4Ranks;
      break;
    case RepackModelFamily::qwen36:
      table = kQwen36Ranks;
      break;
    case RepackModelFamily::lfm2moe:
      table = kLfm2moeRanks;
      break;
    case RepackModelFamily::brask:
      table = kBraskRanks;
      break;
  }
  for (const RankPattern& p : table) {
    const bool match = p.suffix ? endsWith(name, p.text) : name.find(p.text) != std::string::npos;
    if (match) return p.rank;
  }
  return 100;
}

// Sort key of a resident name: (group, layer, rank, name).
struct ResidentKey {
  int group = 2;
  int64_t layer = 0;
  int rank = 0;
  const std::string* name = nullptr;

  bool operator<(const ResidentKey& o) const {
    return std::tie(group, layer, rank, *name) < std::tie(o.group, o.layer, o.rank, *o.name);
  }
};

ResidentKey residentKey(RepackModelFamily family, const std::string& name) {
  ResidentKey key;
  key.name = &name;
  if (name == "language_model.model.embed_tokens.weight" || name == "model.embed_tokens.weight") {
    key.group = 0;
  } else if (name == "language_model.model.norm.weight" || name == "model.embedding_norm.weight" ||
             name == "model.norm.weight") {
    key.group = 3;
  } else if (name == "language_model.lm_head.weight" || name == "lm_head.weight") {
    key.group = 4;
  } else if (const std::optional<int64_t> layer = plan_support::layerIndex(name)) {
    key.group = 1;
    key.layer = *layer;
    key.rank = rankWithinLayer(family, name);
  }
  return key;
}

std::string shapeText(const std::vector<uint64_t>& shape) {
  std::string out = "[";
  for (size_t i = 0; i < shape.size(); ++i) {
    if (i > 0) out += ", ";
    out += std::to_string(shape[i]);
  }
  return out + "]";
}

std::string baseName(const std::string& weightName) {
  static constexpr std::string_view kWeight = ".weight";
  return endsWith(weightName, kWeight) ? weightName.substr(0, weightName.size() - kWeight.size())
                                       : weightName;
}

int64_t bitsFor(const IndexLoader::SourceMetadata& metadata, const std::string& base,
                const std::string& weightName) {
  const auto it = metadata.bitsOverrides.find(base);
  const int64_t bits = it != metadata.bitsOverrides.end() ? it->second.bits : metadata.baseBits;
  if (bits <= 0) {
    throwConfigurationInvalid("bit width " + std::to_string(bits) + " of " + weightName +
                              " must be positive");
  }
  return bits;
}

// The last extent of a packed u32 weight as the number of values it holds.
uint64_t unpackedExtent(uint64_t packed, int64_t bits, const std::string& name) {
  return plan_support::multiply(packed, 32, "unpacked extent of " + name) /
         static_cast<uint64_t>(bits);
}

void requireExtent32(uint64_t extent, const std::string& name) {
  if (extent > kMaxExtent) {
    throwConfigurationInvalid("extent " + std::to_string(extent) + " of " + name +
                              " does not fit 32 bits");
  }
}

using TensorMap = std::map<std::string, SourceTensor>;

const SourceTensor& requireTensor(const TensorMap& tensors, const std::string& name) {
  const auto it = tensors.find(name);
  if (it == tensors.end()) throw RepackError(RepackError::MissingTensor{name});
  return it->second;
}

struct Companions {
  const SourceTensor* scales;
  const SourceTensor* biases;
};

// The .scales and .biases of a quantized weight, both bf16.
Companions requireCompanions(const TensorMap& tensors, const std::string& weightName,
                             const std::string& base) {
  const auto scales = tensors.find(base + ".scales");
  if (scales == tensors.end()) {
    throw RepackError(RepackError::MissingScalesCompanion{weightName});
  }
  const auto biases = tensors.find(base + ".biases");
  if (biases == tensors.end()) {
    throw RepackError(RepackError::MissingBiasesCompanion{weightName});
  }
  if (scales->second.dtype != SourceTensor::Dtype::bf16 ||
      biases->second.dtype != SourceTensor::Dtype::bf16) {
    throw RepackError(RepackError::DtypeMismatch{
        weightName, "expected BF16 scales/biases, got " +
                        std::string(plan_support::dtypeCaseName(scales->second.dtype)) + "/" +
                        std::string(plan_support::dtypeCaseName(biases->second.dtype))});
  }
  return {&scales->second, &biases->second};
}

ResidentFilePlan planResidentFile(const std::vector<std::string>& names, const TensorMap& tensors,
                                  const IndexLoader::SourceMetadata& metadata,
                                  const std::string& outputDirectory) {
  ResidentFilePlan plan;
  plan.path = plan_support::joinPath(outputDirectory, "model_weights.bin");

  for (const std::string& name : names) {
    if (name.size() > kMaxNameBytes) {
      throwConfigurationInvalid("tensor name of " + std::to_string(name.size()) +
                                " bytes exceeds " + std::to_string(kMaxNameBytes) + " bytes");
    }
    if (plan.stringTable.size() + name.size() > kMaxStringTableBytes) {
      throwConfigurationInvalid("resident string table exceeds " +
                                std::to_string(kMaxStringTableBytes) + " bytes");
    }
    plan.stringTableOffsets.push_back(static_cast<uint32_t>(plan.stringTable.size()));
    plan.stringTable += name;
  }
  try {
    plan.indexSize = KorvexResidentIndexCodec::indexSizeFor(names.size(), plan.stringTable.size());
  } catch (const KorvexFormatError& e) {
    throwConfigurationInvalid(e.description());
  }

  uint64_t offset = plan.indexSize;
  plan.entries.reserve(names.size());
  for (const std::string& name : names) {
    const SourceTensor& source = requireTensor(tensors, name);
    ResidentEntry entry;
    entry.name = name;
    entry.sourceWeight = source;
    entry.dtype = static_cast<uint8_t>(source.dtype);
    entry.fileOffset = offset;
    entry.sizeBytes = source.sizeBytes;
    std::vector<uint64_t> shape = source.shape;

    if (source.dtype == SourceTensor::Dtype::u32 && endsWith(name, ".weight")) {
      const std::string base = baseName(name);
      const Companions companions = requireCompanions(tensors, name, base);
      const int64_t bits = bitsFor(metadata, base, name);
      entry.quantSpec = QuantSpec{bits};
      entry.dtype = static_cast<uint8_t>(KorvexFormatV1::DType::u32);
      entry.scaleOffset = add(entry.fileOffset, source.sizeBytes, "resident payload offset");
      entry.scaleSize = companions.scales->sizeBytes;
      entry.biasOffset = add(entry.scaleOffset, entry.scaleSize, "resident payload offset");
      entry.biasSize = companions.biases->sizeBytes;
      entry.sourceScales = *companions.scales;
      entry.sourceBiases = *companions.biases;
      offset = add(entry.biasOffset, entry.biasSize, "resident payload offset");
      if (!shape.empty()) shape.back() = unpackedExtent(shape.back(), bits, name);
    } else {
      offset = add(entry.fileOffset, source.sizeBytes, "resident payload offset");
    }

    for (size_t i = 0; i < shape.size() && i < entry.logicalShape4.size(); ++i) {
      requireExtent32(shape[i], name);
      entry.logicalShape4[i] = static_cast<uint32_t>(shape[i]);
    }
    plan.entries.push_back(std::move(entry));
  }
  plan.residentSize = offset - plan.indexSize;
  return plan;
}

// The roles of one layer's routed experts: index into kRoles -> tensor name.
using ExpertBundle = std::array<std::optional<std::string>, 3>;

bool isEmpty(const ExpertBundle& bundle) {
  return std::none_of(bundle.begin(), bundle.end(), [](const auto& n) { return n.has_value(); });
}

// <output>/packed_experts/layer_NN.bin
std::string layerPath(const std::string& outputDirectory, int64_t number) {
  char name[32];
  std::snprintf(name, sizeof name, "layer_%02lld.bin", static_cast<long long>(number));
  return plan_support::joinPath(plan_support::joinPath(outputDirectory, "packed_experts"), name);
}

LayerFilePlan planLayer(int64_t modelLayer, int64_t number, const ExpertBundle& bundle,
                        const TensorMap& tensors, const IndexLoader::SourceMetadata& metadata,
                        const ArchInfo& arch, const std::string& outputDirectory) {
  if (std::any_of(bundle.begin(), bundle.end(), [](const auto& n) { return !n.has_value(); })) {
    std::string found;
    for (size_t r = 0; r < kRoles.size(); ++r) {
      if (!bundle[r]) continue;
      if (!found.empty()) found += ", ";
      found += std::string(kRoles[r]) + "=" + *bundle[r];
    }
    throwConfigurationInvalid("layer " + std::to_string(modelLayer) +
                              " routed-expert bundle incomplete: " + found);
  }
  const int64_t experts = arch.numExperts;
  if (experts <= 0) {
    throwConfigurationInvalid("numExperts " + std::to_string(experts) +
                              " must be positive to pack layer " + std::to_string(modelLayer));
  }
  const uint64_t e = static_cast<uint64_t>(experts);

  LayerFilePlan plan;
  plan.layerIndex = number;
  plan.path = layerPath(outputDirectory, number);
  uint64_t offset = 0;
  for (size_t r = 0; r < kRoles.size(); ++r) {
    const std::string& name = *bundle[r];
    const SourceTensor& weight = requireTensor(tensors, name);
    if (weight.dtype != SourceTensor::Dtype::u32 || weight.shape.size() != 3 ||
        weight.shape[0] != e) {
      throw RepackError(RepackError::ShapeMismatch{
          name, "expected U32 rank-3 with leading " + std::to_string(experts) + ", got " +
                    std::string(plan_support::dtypeCaseName(weight.dtype)) + " " +
                    shapeText(weight.shape)});
    }
    const std::string base = baseName(name);
    const Companions companions = requireCompanions(tensors, name, base);
    if (weight.sizeBytes % e != 0 || companions.scales->sizeBytes % e != 0 ||
        companions.biases->sizeBytes % e != 0) {
      throw RepackError(RepackError::ShapeMismatch{
          name, "source bytes not evenly divisible by " + std::to_string(experts) + " experts"});
    }
    const int64_t bits = bitsFor(metadata, base, name);

    std::vector<uint64_t> weightShape = weight.shape;
    weightShape.back() = unpackedExtent(weightShape.back(), bits, name);
    const struct {
      const char* component;
      const SourceTensor* source;
      std::vector<uint64_t> shape;
      std::optional<int64_t> bits;
    } parts[] = {
        {"weights", &weight, weightShape, bits},
        {"scales", companions.scales, companions.scales->shape, std::nullopt},
        {"biases", companions.biases, companions.biases->shape, std::nullopt},
    };
    for (const auto& part : parts) {
      for (uint64_t extent : part.shape) requireExtent32(extent, part.source->name);
      PerExpertTensorSlice slice;
      slice.role = std::string(kRoles[r]);
      slice.component = part.component;
      slice.dtype = static_cast<uint8_t>(part.source == &weight ? KorvexFormatV1::DType::u32
                                                                : KorvexFormatV1::DType::bf16);
      slice.logicalShape = part.shape;
      slice.offsetInExpertBlob = offset;
      slice.sizeInExpertBlob = part.source->sizeBytes / e;
      slice.sourceOffsetPerExpert = slice.sizeInExpertBlob;
      slice.sourceTensor = *part.source;
      slice.bitsForWeights = part.bits;
      offset =
          add(offset, slice.sizeInExpertBlob, "expert blob of layer " + std::to_string(modelLayer));
      plan.subTensors.push_back(std::move(slice));
    }
  }
  plan.expertStride =
      plan_support::roundUpToPage(offset, "expert stride of layer " + std::to_string(modelLayer));
  plan.expertsPerLayer = experts;
  return plan;
}

std::string lowerHex(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

RepackPlan RepackPlan::build(const IndexLoader::SourceMetadata& metadata, const ArchInfo& arch,
                             const std::vector<Safetensors::Header>& headers,
                             const std::string& outputDirectory) {
  if (arch.numLayers > kMaxModelLayers) {
    throwConfigurationInvalid("numLayers " + std::to_string(arch.numLayers) +
                              " exceeds the planning limit of " + std::to_string(kMaxModelLayers));
  }

  TensorMap tensors;
  for (const Safetensors::Header& header : headers) {
    for (const SourceTensor& tensor : header.tensors) tensors.insert_or_assign(tensor.name, tensor);
  }

  const RepackModelFamily family = arch.family;
  const std::string_view prefix = familyPrefix(family);
  const std::string_view marker = expertMarker(family);

  RepackPlan plan;
  std::vector<std::string> residentNames;
  std::map<int64_t, ExpertBundle> bundles;
  for (const auto& [name, tensor] : tensors) {
    const bool multimodal = isMultimodal(name);
    if (multimodal) plan.excludedMultimodalTensorNames.push_back(name);
    if (endsWith(name, ".scales") || endsWith(name, ".biases")) continue;
    if (family == RepackModelFamily::brask && name == "lm_head.weight") {
      residentNames.push_back(name);
      continue;
    }
    if (!startsWith(name, prefix)) {
      if (multimodal) continue;
      throw RepackError(RepackError::UnknownTensorPrefix{name});
    }
    if (name.find(marker) != std::string::npos) {
      const std::optional<size_t> role = roleOf(name);
      const std::optional<int64_t> layer = plan_support::layerIndex(name);
      if (role && layer && *layer >= 0 && *layer < arch.numLayers) {
        std::optional<std::string>& slot = bundles[*layer][*role];
        if (slot) {
          throwConfigurationInvalid("two routed-expert tensors for layer " +
                                    std::to_string(*layer) + " role " + std::string(kRoles[*role]));
        }
        slot = name;
        continue;
      }
    }
    residentNames.push_back(name);
  }

  std::vector<ResidentKey> keys;
  keys.reserve(residentNames.size());
  for (const std::string& name : residentNames) keys.push_back(residentKey(family, name));
  std::sort(keys.begin(), keys.end());
  std::vector<std::string> ordered;
  ordered.reserve(keys.size());
  for (const ResidentKey& key : keys) ordered.push_back(*key.name);

  plan.arch = arch;
  plan.baseMode = metadata.baseMode;
  plan.baseGroupSize = metadata.baseGroupSize;
  plan.bitsOverrideCount = static_cast<int64_t>(metadata.bitsOverrides.size());
  plan.resident = planResidentFile(ordered, tensors, metadata, outputDirectory);

  const bool skipDenseLayers =
      family == RepackModelFamily::lfm2moe || family == RepackModelFamily::brask;
  const ExpertBundle noExperts{};
  for (int64_t layer = 0; layer < arch.numLayers; ++layer) {
    const auto it = bundles.find(layer);
    const ExpertBundle& bundle = it == bundles.end() ? noExperts : it->second;
    if (isEmpty(bundle)) {
      if (skipDenseLayers) continue;
      LayerFilePlan empty;
      empty.layerIndex = layer;
      empty.path = layerPath(outputDirectory, layer);
      plan.layers.push_back(std::move(empty));
      continue;
    }
    const int64_t number = skipDenseLayers ? static_cast<int64_t>(plan.layers.size()) : layer;
    plan.layers.push_back(
        planLayer(layer, number, bundle, tensors, metadata, arch, outputDirectory));
  }

  const auto& known = SourceFingerprint::knownSources();
  const auto match = known.find(lowerHex(metadata.indexSha256Hex));
  if (match != known.end()) plan.matchedModelID = match->second;
  return plan;
}
