#include "format/packed_layout.h"

#include <algorithm>
#include <set>
#include <tuple>

#include "format/json_document.h"
#include "format/korvex_format.h"

namespace {

using korvex_json::json;
using korvex_json::ObjectReader;

constexpr const char* kDocument = "packed_experts/layout.json";

[[noreturn]] void invalid(std::string field, std::string reason) {
  throw KorvexFormatError::invalid(std::move(field), std::move(reason));
}

KorvexSubTensorV1 readSubTensor(const ObjectReader& r) {
  KorvexSubTensorV1 t;
  t.offset = r.uint64("offset");
  t.size = r.uint64("size");
  t.dtype = r.string("dtype");
  t.shape = r.uint32Array("shape");
  t.bits = r.optionalInt64("bits");
  return t;
}

KorvexPackedExpertsLayoutV1 readLayout(const json& document) {
  const ObjectReader r(document, "");
  KorvexPackedExpertsLayoutV1 layout;
  layout.expertStride = r.uint64("expertStride");
  layout.numLayers = r.int64("numLayers");
  layout.expertsPerLayer = r.int64("expertsPerLayer");
  const json& layers = r.array("layers");
  for (size_t i = 0; i < layers.size(); ++i) {
    const ObjectReader l = korvex_json::asObject(layers[i], "layers[" + std::to_string(i) + "]");
    KorvexLayerV1 layer;
    layer.layer = l.int64("layer");
    layer.file = l.string("file");
    const json& experts = l.array("experts");
    for (size_t k = 0; k < experts.size(); ++k) {
      const ObjectReader e =
          korvex_json::asObject(experts[k], l.childPath("experts") + "[" + std::to_string(k) + "]");
      KorvexExpertV1 expert;
      expert.expert = e.optionalInt64("expert");
      expert.physicalRank = e.optionalInt64("physicalRank");
      expert.offset = e.uint64("offset");
      expert.size = e.uint64("size");
      const ObjectReader tensors = e.object("tensors");
      for (const auto& [name, value] : tensors.value().items()) {
        expert.tensors[name] = readSubTensor(tensors.object(name));
      }
      layer.experts.push_back(std::move(expert));
    }
    layout.layers.push_back(std::move(layer));
  }
  return layout;
}

json layoutJSON(const KorvexPackedExpertsLayoutV1& layout) {
  json layers = json::array();
  for (const KorvexLayerV1& l : layout.layers) {
    json experts = json::array();
    for (const KorvexExpertV1& e : l.experts) {
      json tensors = json::object();
      for (const auto& [name, t] : e.tensors) {
        json tensor = {
            {"offset", t.offset}, {"size", t.size}, {"dtype", t.dtype}, {"shape", t.shape}};
        if (t.bits) tensor["bits"] = *t.bits;
        tensors[name] = std::move(tensor);
      }
      json expert = {{"offset", e.offset}, {"size", e.size}, {"tensors", std::move(tensors)}};
      if (e.expert) expert["expert"] = *e.expert;
      if (e.physicalRank) expert["physicalRank"] = *e.physicalRank;
      experts.push_back(std::move(expert));
    }
    layers.push_back({{"layer", l.layer}, {"file", l.file}, {"experts", std::move(experts)}});
  }
  return {{"expertStride", layout.expertStride},
          {"numLayers", layout.numLayers},
          {"expertsPerLayer", layout.expertsPerLayer},
          {"layers", std::move(layers)}};
}

void validateExpertTensors(const KorvexExpertV1& expert, int64_t id, uint64_t stride) {
  const std::string prefix = "expert[" + std::to_string(id) + "]";
  struct Range {
    uint64_t start, end;
    const std::string* name;
  };
  std::vector<Range> ranges;
  for (const auto& [name, t] : expert.tensors) {
    const std::string field = prefix + ".tensors." + name;
    const bool shapeOk =
        !t.shape.empty() && std::find(t.shape.begin(), t.shape.end(), 0u) == t.shape.end();
    if ((t.dtype != "U32" && t.dtype != "BF16") || name.empty() || t.size == 0 || !shapeOk ||
        (t.bits && (*t.bits < 1 || *t.bits > 32))) {
      invalid(field, "invalid dtype or shape");
    }
    const uint64_t end = korvexCheckedAdd(t.offset, t.size, "tensor." + name + ".range");
    if (end > stride) invalid(field, "range exceeds expert blob");
    ranges.push_back({t.offset, end, &name});
  }
  std::sort(ranges.begin(), ranges.end(), [](const Range& a, const Range& b) {
    return std::tie(a.start, a.end) < std::tie(b.start, b.end);
  });
  for (size_t i = 1; i < ranges.size(); ++i) {
    if (ranges[i].start < ranges[i - 1].end) {
      invalid(prefix + ".tensors",
              "overlapping ranges " + *ranges[i - 1].name + " and " + *ranges[i].name);
    }
  }
}

void validateLayer(const KorvexPackedExpertsLayoutV1& layout, const KorvexLayerV1& layer) {
  const std::string prefix = "layout.layers[" + std::to_string(layer.layer) + "]";
  const int64_t n = layout.expertsPerLayer;
  if (static_cast<int64_t>(layer.experts.size()) != n) {
    invalid(prefix + ".experts", "wrong expert count");
  }
  const bool anyExplicit =
      std::any_of(layer.experts.begin(), layer.experts.end(),
                  [](const KorvexExpertV1& e) { return e.expert.has_value(); });
  const bool allExplicit =
      std::all_of(layer.experts.begin(), layer.experts.end(),
                  [](const KorvexExpertV1& e) { return e.expert.has_value(); });
  if (anyExplicit && !allExplicit) {
    invalid(prefix + ".experts", "expert ids must be either all explicit or all positional");
  }
  std::set<int64_t> ids, ranks;
  std::set<uint64_t> offsets;
  for (size_t k = 0; k < layer.experts.size(); ++k) {
    const KorvexExpertV1& e = layer.experts[k];
    const int64_t id = e.expert.value_or(static_cast<int64_t>(k));
    const int64_t rank = e.physicalRank.value_or(id);
    if (id < 0 || id >= n || rank < 0 || rank >= n || !ids.insert(id).second ||
        !ranks.insert(rank).second || !offsets.insert(e.offset).second) {
      invalid(prefix + ".experts", "duplicate or invalid expert mapping");
    }
    const uint64_t slot =
        korvexCheckedMultiply(static_cast<uint64_t>(rank), layout.expertStride, "expert.offset");
    if (e.offset != slot || e.size != layout.expertStride) {
      invalid("expert[" + std::to_string(id) + "]", "offset or size does not match physical rank");
    }
    validateExpertTensors(e, id, layout.expertStride);
  }
}

}  // namespace

namespace KorvexPackedExpertsLayoutCodec {

KorvexPackedExpertsLayoutV1 decode(std::span<const uint8_t> data) {
  KorvexPackedExpertsLayoutV1 layout;
  try {
    layout = readLayout(korvex_json::parse(data));
  } catch (const korvex_json::DecodeError& e) {
    throw KorvexFormatError::invalid(kDocument, e.what());
  }
  KorvexV1StructuralValidator::validate(layout);
  return layout;
}

std::string encode(const KorvexPackedExpertsLayoutV1& layout) {
  KorvexV1StructuralValidator::validate(layout);
  try {
    return korvex_json::pretty(layoutJSON(layout));
  } catch (const json::exception& e) {
    throw KorvexFormatError::invalid(kDocument, e.what());
  }
}

}  // namespace KorvexPackedExpertsLayoutCodec

namespace KorvexV1StructuralValidator {

void validate(const KorvexPackedExpertsLayoutV1& layout) {
  if (layout.numLayers < 1 || layout.expertsPerLayer < 1 || layout.expertStride == 0 ||
      layout.expertStride % KorvexFormatV1::alignmentBytes != 0 ||
      static_cast<int64_t>(layout.layers.size()) != layout.numLayers) {
    invalid("layout", "invalid dimensions or stride");
  }
  std::set<int64_t> seenLayers;
  std::set<std::string> fileKeys;
  for (const KorvexLayerV1& layer : layout.layers) {
    if (layer.layer < 0 || layer.layer >= layout.numLayers ||
        !seenLayers.insert(layer.layer).second) {
      invalid("layout.layers", "duplicate or invalid layer");
    }
    const std::string fileField = "layout.layers[" + std::to_string(layer.layer) + "].file";
    KorvexPathValidator::validateBasename(layer.file, fileField);
    const std::string key = KorvexPathValidator::appleFilesystemKey(layer.file);
    if (key == "layout.json") invalid(fileField, "reserved packed-expert filename");
    if (!fileKeys.insert(key).second) invalid(fileField, "duplicate layer filename");
    validateLayer(layout, layer);
  }
}

void crossValidate(int64_t manifestNumLayers, int64_t manifestExpertsPerLayer,
                   uint64_t manifestExpertStride,
                   const std::map<std::string, uint64_t>& manifestFileSizes,
                   const KorvexPackedExpertsLayoutV1& layout) {
  if (layout.numLayers != manifestNumLayers || layout.expertsPerLayer != manifestExpertsPerLayer ||
      layout.expertStride != manifestExpertStride) {
    invalid("manifest/layout", "dimension mismatch");
  }
  const uint64_t layerSize = korvexCheckedMultiply(
      layout.expertsPerLayer < 0 ? 0 : static_cast<uint64_t>(layout.expertsPerLayer),
      layout.expertStride, "layout.layerSize");
  for (const KorvexLayerV1& layer : layout.layers) {
    const std::string path = "packed_experts/" + layer.file;
    const auto it = manifestFileSizes.find(path);
    if (it == manifestFileSizes.end() || it->second != layerSize) {
      invalid("manifest.files." + path, "missing or wrong layer size");
    }
  }
}

void crossValidate(const KorvexManifestV1& manifest, const KorvexPackedExpertsLayoutV1& layout) {
  std::map<std::string, uint64_t> sizes;
  for (const auto& [path, entry] : manifest.files) sizes[path] = entry.size;
  crossValidate(manifest.numLayers, manifest.expertsPerLayer, manifest.expertStride, sizes, layout);
}

}  // namespace KorvexV1StructuralValidator
