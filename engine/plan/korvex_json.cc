#include "engine/plan/korvex_json.h"

#include <ext/stdio_filebuf.h>

#include <cmath>
#include <istream>
#include <set>

#include "engine/common/repack_error.h"
#include "engine/io/posix.h"
#include "engine/plan/plan_support.h"
#include "format/json_document.h"
#include "format/korvex_format.h"
#include "format/manifest.h"

namespace KorvexJSON {
namespace {

using korvex_json::json;

// A layout describes every expert of every layer; the largest supported
// model's is a few tens of MiB.
constexpr uint64_t kMaxLayoutBytes = uint64_t{1} << 30;
// root {} > "layers" [] > layer {} > "experts" [] > expert {}
constexpr size_t kExpertMemberDepth = 5;

bool endsWith(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

// JSON has no spelling for NaN or infinity; the serialiser would write null.
double finite(double value, const char* key) {
  if (!std::isfinite(value)) {
    throwConfigurationInvalid(std::string("manifest.json: arch.") + key +
                              " is not a finite number");
  }
  return value;
}

json archObject(const ArchInfo& a) {
  json arch = {
      {"hiddenSize", a.hiddenSize},
      {"ffnIntermediate", a.intermediateSize},
      {"moeIntermediateSize", a.moeIntermediateSize},
      {"numHeads", a.numHeads},
      {"numKVHeads", a.numKVHeads},
      {"numFullKVHeads", a.numFullKVHeads},
      {"headDim", a.headDim},
      {"fullHeadDim", a.fullHeadDim},
      {"vocabSize", a.vocabSize},
      {"slidingWindow", a.slidingWindow},
      {"finalLogitSoftcap", finite(a.finalLogitSoftcap, "finalLogitSoftcap")},
      {"ropeTheta", finite(a.ropeTheta, "ropeTheta")},
      {"fullRopeTheta", finite(a.fullRopeTheta, "fullRopeTheta")},
      {"partialRotaryFactor", finite(a.partialRotaryFactor, "partialRotaryFactor")},
      {"numLayers", a.numLayers},
      {"numExperts", a.numExperts},
      {"topKExperts", a.topKExperts},
      {"tieWordEmbeddings", a.tieWordEmbeddings},
      {"attentionKEqV", a.attentionKEqV},
      {"hiddenActivation", a.hiddenActivation},
      {"fullAttentionLayerMask",
       std::vector<int64_t>(a.fullAttentionLayerMask.begin(), a.fullAttentionLayerMask.end())},
  };
  if (a.family != RepackModelFamily::gemma4) {
    arch["family"] = std::string(rawValue(a.family));
    arch["attnOutputGate"] = a.attnOutputGate;
    arch["attentionScale"] = finite(a.attentionScale, "attentionScale");
    arch["embeddingScaledBySqrtHidden"] = a.embeddingScaledBySqrtHidden;
    arch["routerScaled"] = a.routerScaled;
    arch["ffnSandwichNorms"] = a.ffnSandwichNorms;
    arch["sharedExpertGated"] = a.sharedExpertGated;
    arch["ropeNeoxSubdim"] = a.ropeNeoxSubdim;
    arch["linearNumKHeads"] = a.linearNumKHeads;
    arch["linearNumVHeads"] = a.linearNumVHeads;
    arch["linearKeyHeadDim"] = a.linearKeyHeadDim;
    arch["linearValueHeadDim"] = a.linearValueHeadDim;
    arch["linearConvKernelSize"] = a.linearConvKernelSize;
  }
  return arch;
}

// "gate", "gate_scales", "gate_biases", or role + "_" + component.
std::string subTensorName(const PerExpertTensorSlice& slice) {
  if (slice.component == "weights") return slice.role;
  return slice.role + "_" + slice.component;
}

[[noreturn]] void readBackFailed(const std::string& what) {
  throwConfigurationInvalid("layout.json validation failed: " + what);
}

// An integral JSON number that fits a signed 64-bit value.
bool readInteger(const json* value, int64_t& out) {
  if (value == nullptr) return false;
  if (value->is_number_unsigned()) {
    const uint64_t v = value->get<uint64_t>();
    if (v > static_cast<uint64_t>(INT64_MAX)) return false;
    out = static_cast<int64_t>(v);
    return true;
  }
  if (!value->is_number_integer()) return false;
  out = value->get<int64_t>();
  return true;
}

// A JSON number that is a whole value in 0 ... 2^64 - 1.
bool readUnsigned(const json* value, uint64_t& out) {
  if (value == nullptr) return false;
  if (value->is_number_unsigned()) {
    out = value->get<uint64_t>();
    return true;
  }
  if (value->is_number_integer()) {
    const int64_t v = value->get<int64_t>();
    if (v < 0) return false;
    out = static_cast<uint64_t>(v);
    return true;
  }
  if (value->is_number_float()) {
    const double d = value->get<double>();
    if (!std::isfinite(d) || d < 0 || d != std::trunc(d) || d >= 18446744073709551616.0) {
      return false;
    }
    out = static_cast<uint64_t>(d);
    return true;
  }
  return false;
}

const json* member(const json& object, const char* key) {
  const auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

bool isArrayOfObjects(const json* value) {
  if (value == nullptr || !value->is_array()) return false;
  for (const json& element : *value) {
    if (!element.is_object()) return false;
  }
  return true;
}

}  // namespace

ClassBitWidths classBitWidths(const RepackPlan& plan) {
  ClassBitWidths widths;
  switch (plan.arch.family) {
    case RepackModelFamily::lfm2moe:
      widths.router = 32;
      break;
    case RepackModelFamily::brask:
      widths.router = 16;
      break;
    default:
      widths.router = 8;
      break;
  }
  for (const ResidentEntry& entry : plan.resident.entries) {
    if (!entry.quantSpec) continue;
    const std::string& n = entry.name;
    const int64_t bits = entry.quantSpec->bits;
    if (n == "language_model.model.embed_tokens.weight" || n == "model.embed_tokens.weight") {
      widths.embedding = bits;
    }
    if (endsWith(n, ".self_attn.q_proj.weight") || endsWith(n, ".linear_attn.in_proj_qkv.weight")) {
      widths.attention = bits;
    }
    if (endsWith(n, ".router.proj.weight") || endsWith(n, ".mlp.gate.weight")) {
      widths.router = bits;
    }
    if (endsWith(n, ".mlp.gate_proj.weight") ||
        endsWith(n, ".mlp.shared_expert.gate_proj.weight") ||
        endsWith(n, ".feed_forward.gate_proj.weight")) {
      widths.sharedExpert = bits;
    }
  }
  widths.routedExpert = 4;
  for (const LayerFilePlan& layer : plan.layers) {
    if (layer.subTensors.empty()) continue;
    widths.routedExpert = layer.subTensors.front().bitsForWeights.value_or(4);
    break;
  }
  return widths;
}

std::string manifest(const RepackPlan& plan, const std::string& modelID,
                     const std::string& sourceSnapshotHash,
                     const std::map<std::string, FileEntry>& files, int64_t expertsPerLayer,
                     int64_t numLayers, uint64_t expertStride, const ClassBitWidths& bitWidths) {
  const auto slot = [&](int64_t bits) {
    return encodeQuantSlot({bits, plan.baseMode, "BF16", "BF16", plan.baseGroupSize});
  };
  std::map<std::string, KorvexManifestFileV1> table;
  for (const auto& [path, entry] : files) table[path] = {entry.size, entry.sha256};

  const json document = {
      {"magic", std::string(KorvexFormatV1::magic)},
      {"versionMajor", KorvexFormatV1::versionMajor},
      {"versionMinor", KorvexFormatV1::versionMinor},
      {"flags", {{"streamingPresent", true}, {"turboQuantKV", false}, {"aneSharedExpert", false}}},
      {"modelID", modelID},
      {"sourceSnapshotHash", sourceSnapshotHash},
      {"arch", archObject(plan.arch)},
      {"quant",
       {{"embedding", slot(bitWidths.embedding)},
        {"attention", slot(bitWidths.attention)},
        {"router", slot(bitWidths.router)},
        {"sharedExpert", slot(bitWidths.sharedExpert)},
        {"routedExpert", slot(bitWidths.routedExpert)}}},
      {"files", encodeFileTable(table)},
      {"expertsPerLayer", expertsPerLayer},
      {"numLayers", numLayers},
      {"expertStride", expertStride},
      {"bitWidthOverridesHonored", plan.bitsOverrideCount},
  };
  return korvex_json::pretty(document);
}

void writeLayout(const RepackPlan& plan, uint64_t expertStride,
                 const std::function<void(std::string_view)>& write) {
  int64_t expertsPerLayer = plan.layers.empty() ? 0 : plan.layers.front().expertsPerLayer;
  for (const LayerFilePlan& layer : plan.layers) {
    if (layer.expertsPerLayer > 0) {
      expertsPerLayer = layer.expertsPerLayer;
      break;
    }
  }
  const json head = {{"expertStride", expertStride},
                     {"numLayers", static_cast<int64_t>(plan.layers.size())},
                     {"expertsPerLayer", expertsPerLayer},
                     {"layers", json::array()}};
  const std::string text = korvex_json::pretty(head);
  if (plan.layers.empty()) {
    write(text);
    return;
  }

  // The tree of a whole layout is many times the size of its text (every
  // expert repeats its layer's tensor table), so the layers are printed one
  // at a time into the "layers" array, indented as the serialiser indents
  // the members of an array inside the root object.
  constexpr std::string_view kEmptyLayers = "\"layers\": []";
  const size_t at = text.find(kEmptyLayers);
  write(std::string_view(text).substr(0, at));
  write("\"layers\": [\n");
  bool first = true;
  for (const LayerFilePlan& layer : plan.layers) {
    json tensors = json::object();
    for (const PerExpertTensorSlice& slice : layer.subTensors) {
      json tensor = {{"offset", slice.offsetInExpertBlob},
                     {"size", slice.sizeInExpertBlob},
                     {"dtype", slice.dtype != 0 ? "BF16" : "U32"},
                     {"shape", slice.logicalShape}};
      if (slice.bitsForWeights) tensor["bits"] = *slice.bitsForWeights;
      tensors[subTensorName(slice)] = std::move(tensor);
    }
    json experts = json::array();
    for (int64_t e = 0; e < layer.expertsPerLayer; ++e) {
      const uint64_t offset =
          plan_support::multiply(static_cast<uint64_t>(e), layer.expertStride, "expert offset");
      experts.push_back(
          {{"expert", e}, {"offset", offset}, {"size", layer.expertStride}, {"tensors", tensors}});
    }
    const json layerObject = {{"layer", layer.layerIndex},
                              {"file", plan_support::lastComponent(layer.path)},
                              {"experts", std::move(experts)}};
    std::string indented = first ? "" : ",\n";
    first = false;
    // The serialiser escapes line breaks inside strings: every '\n' ends a line.
    const std::string member = korvex_json::pretty(layerObject);
    for (size_t begin = 0; begin < member.size();) {
      size_t end = member.find('\n', begin);
      end = end == std::string::npos ? member.size() : end + 1;
      indented += "    ";
      indented.append(member, begin, end - begin);
      begin = end;
    }
    write(indented);
  }
  write("\n  ]");
  write(std::string_view(text).substr(at + kEmptyLayers.size()));
}

std::string layout(const RepackPlan& plan, uint64_t expertStride) {
  std::string text;
  writeLayout(plan, expertStride, [&](std::string_view piece) { text += piece; });
  return text;
}

void checkLayoutReadBack(const std::string& layoutPath, const RepackPlan& plan) {
  // Streamed from the file, without the tensor tables of the experts (only
  // the experts' places are checked): the text and tree of a large model's
  // layout would each be tens of MiB.
  UniqueFd fd = Posix::openRead(layoutPath);
  const uint64_t size = Posix::fileSize(fd.get(), layoutPath);
  if (size > kMaxLayoutBytes) {
    throwConfigurationInvalid(layoutPath + " size " + std::to_string(size) + " exceeds cap " +
                              std::to_string(kMaxLayoutBytes));
  }
  __gnu_cxx::stdio_filebuf<char> buffer(fd.release(), std::ios::in, 1 << 16);
  std::istream input(&buffer);
  const json root =
      korvex_json::parseBounded(input, size, [](size_t depth, const std::string& key) {
        return depth == kExpertMemberDepth && key == "tensors";
      });

  if (!root.is_object() || !isArrayOfObjects(member(root, "layers"))) {
    readBackFailed("malformed root");
  }
  std::map<int64_t, const LayerFilePlan*> planned;
  for (const LayerFilePlan& layer : plan.layers) planned.emplace(layer.layerIndex, &layer);

  std::set<int64_t> seenLayers;
  for (const json& layerObject : root.at("layers")) {
    const json* experts = member(layerObject, "experts");
    int64_t layer = 0;
    if (!readInteger(member(layerObject, "layer"), layer) || !isArrayOfObjects(experts) ||
        !planned.contains(layer)) {
      readBackFailed("malformed layer");
    }
    if (!seenLayers.insert(layer).second)
      readBackFailed("duplicate layer " + std::to_string(layer));

    const LayerFilePlan& match = *planned.at(layer);
    const int64_t n = match.expertsPerLayer;
    const uint64_t stride = match.expertStride;
    if (n <= 0) continue;
    const unsigned __int128 fileSize = static_cast<unsigned __int128>(n) * stride;
    std::set<int64_t> ids;
    std::set<uint64_t> offsets;
    for (const json& expert : *experts) {
      int64_t id = 0;
      uint64_t offset = 0;
      uint64_t size = 0;
      if (!readInteger(member(expert, "expert"), id) ||
          !readUnsigned(member(expert, "offset"), offset) ||
          !readUnsigned(member(expert, "size"), size)) {
        readBackFailed("malformed expert");
      }
      if (id < 0 || id >= n) readBackFailed("expert out of range");
      if (!ids.insert(id).second) readBackFailed("duplicate expert " + std::to_string(id));
      if (!offsets.insert(offset).second) {
        readBackFailed("duplicate offset " + std::to_string(offset));
      }
      if (offset % KorvexFormatV1::alignmentBytes != 0) {
        readBackFailed("unaligned offset " + std::to_string(offset));
      }
      // id < n, and n * stride is the size of a planned file, so this fits.
      const uint64_t expected = static_cast<uint64_t>(id) * stride;
      if (offset != expected) {
        readBackFailed("offset " + std::to_string(offset) + " != expert * stride " +
                       std::to_string(expected));
      }
      if (size != stride || static_cast<unsigned __int128>(offset) + size > fileSize) {
        readBackFailed("expert range outside layer file");
      }
    }
    if (ids.size() < static_cast<uint64_t>(n)) {
      readBackFailed("missing experts in layer " + std::to_string(layer));
    }
  }

  std::set<int64_t> plannedIndices;
  for (const auto& [index, layerPlan] : planned) plannedIndices.insert(index);
  if (seenLayers != plannedIndices) {
    readBackFailed("expected " + std::to_string(plannedIndices.size()) + " layers, found " +
                   std::to_string(seenLayers.size()));
  }
}

}  // namespace KorvexJSON
