#include "format/manifest.h"

#include <cmath>
#include <set>

#include "format/json_document.h"
#include "format/korvex_format.h"

namespace {

using korvex_json::json;
using korvex_json::ObjectReader;

KorvexManifestArchV1 readArch(const ObjectReader& r) {
  KorvexManifestArchV1 a;
  a.hiddenSize = r.int64("hiddenSize");
  a.ffnIntermediate = r.int64("ffnIntermediate");
  a.moeIntermediateSize = r.int64("moeIntermediateSize");
  a.numHeads = r.int64("numHeads");
  a.numKVHeads = r.int64("numKVHeads");
  a.numFullKVHeads = r.int64("numFullKVHeads");
  a.headDim = r.int64("headDim");
  a.fullHeadDim = r.int64("fullHeadDim");
  a.vocabSize = r.int64("vocabSize");
  a.slidingWindow = r.int64("slidingWindow");
  a.finalLogitSoftcap = r.number("finalLogitSoftcap");
  a.ropeTheta = r.number("ropeTheta");
  a.fullRopeTheta = r.number("fullRopeTheta");
  a.partialRotaryFactor = r.number("partialRotaryFactor");
  a.numLayers = r.int64("numLayers");
  a.numExperts = r.int64("numExperts");
  a.topKExperts = r.int64("topKExperts");
  a.tieWordEmbeddings = r.boolean("tieWordEmbeddings");
  a.attentionKEqV = r.boolean("attentionKEqV");
  a.hiddenActivation = r.string("hiddenActivation");
  a.fullAttentionLayerMask = r.int64Array("fullAttentionLayerMask");
  a.family = r.optionalString("family");
  a.attnOutputGate = r.optionalBoolean("attnOutputGate");
  a.attentionScale = r.optionalNumber("attentionScale");
  a.embeddingScaledBySqrtHidden = r.optionalBoolean("embeddingScaledBySqrtHidden");
  a.routerScaled = r.optionalBoolean("routerScaled");
  a.ffnSandwichNorms = r.optionalBoolean("ffnSandwichNorms");
  a.sharedExpertGated = r.optionalBoolean("sharedExpertGated");
  a.ropeNeoxSubdim = r.optionalBoolean("ropeNeoxSubdim");
  a.linearNumKHeads = r.optionalInt64("linearNumKHeads");
  a.linearNumVHeads = r.optionalInt64("linearNumVHeads");
  a.linearKeyHeadDim = r.optionalInt64("linearKeyHeadDim");
  a.linearValueHeadDim = r.optionalInt64("linearValueHeadDim");
  a.linearConvKernelSize = r.optionalInt64("linearConvKernelSize");
  return a;
}

json archJSON(const KorvexManifestArchV1& a) {
  json j = {{"hiddenSize", a.hiddenSize},
            {"ffnIntermediate", a.ffnIntermediate},
            {"moeIntermediateSize", a.moeIntermediateSize},
            {"numHeads", a.numHeads},
            {"numKVHeads", a.numKVHeads},
            {"numFullKVHeads", a.numFullKVHeads},
            {"headDim", a.headDim},
            {"fullHeadDim", a.fullHeadDim},
            {"vocabSize", a.vocabSize},
            {"slidingWindow", a.slidingWindow},
            {"finalLogitSoftcap", a.finalLogitSoftcap},
            {"ropeTheta", a.ropeTheta},
            {"fullRopeTheta", a.fullRopeTheta},
            {"partialRotaryFactor", a.partialRotaryFactor},
            {"numLayers", a.numLayers},
            {"numExperts", a.numExperts},
            {"topKExperts", a.topKExperts},
            {"tieWordEmbeddings", a.tieWordEmbeddings},
            {"attentionKEqV", a.attentionKEqV},
            {"hiddenActivation", a.hiddenActivation},
            {"fullAttentionLayerMask", a.fullAttentionLayerMask}};
  auto put = [&j](const char* key, const auto& optional) {
    if (optional) j[key] = *optional;
  };
  put("family", a.family);
  put("attnOutputGate", a.attnOutputGate);
  put("attentionScale", a.attentionScale);
  put("embeddingScaledBySqrtHidden", a.embeddingScaledBySqrtHidden);
  put("routerScaled", a.routerScaled);
  put("ffnSandwichNorms", a.ffnSandwichNorms);
  put("sharedExpertGated", a.sharedExpertGated);
  put("ropeNeoxSubdim", a.ropeNeoxSubdim);
  put("linearNumKHeads", a.linearNumKHeads);
  put("linearNumVHeads", a.linearNumVHeads);
  put("linearKeyHeadDim", a.linearKeyHeadDim);
  put("linearValueHeadDim", a.linearValueHeadDim);
  put("linearConvKernelSize", a.linearConvKernelSize);
  return j;
}

[[noreturn]] void invalid(std::string field, std::string reason) {
  throw KorvexFormatError::invalid(std::move(field), std::move(reason));
}

void validateArch(const KorvexManifestArchV1& a) {
  const bool positive = a.hiddenSize >= 1 && a.ffnIntermediate >= 1 && a.moeIntermediateSize >= 1 &&
                        a.numHeads >= 1 && a.numKVHeads >= 1 && a.numFullKVHeads >= 1 &&
                        a.headDim >= 1 && a.fullHeadDim >= 1 && a.vocabSize >= 1;
  bool maskOk = static_cast<int64_t>(a.fullAttentionLayerMask.size()) == a.numLayers;
  for (int64_t code : a.fullAttentionLayerMask) maskOk = maskOk && code >= 0 && code <= 3;
  if (!positive || a.slidingWindow < 0 || a.topKExperts < 1 || a.topKExperts > a.numExperts ||
      !std::isfinite(a.finalLogitSoftcap) || !std::isfinite(a.ropeTheta) || a.ropeTheta <= 0 ||
      !std::isfinite(a.fullRopeTheta) || a.fullRopeTheta <= 0 ||
      !std::isfinite(a.partialRotaryFactor) || a.partialRotaryFactor < 0 ||
      a.partialRotaryFactor > 1 || a.hiddenActivation.empty() || !maskOk) {
    invalid("manifest.arch", "invalid architecture values");
  }
}

void validateFiles(const std::map<std::string, KorvexManifestFileV1>& files) {
  // Keys of the paths seen so far, mapped to the path as listed.
  std::map<std::string, std::string> keys;
  for (const auto& [path, entry] : files) {
    const std::string field = "manifest.files." + path;
    KorvexPathValidator::validateRelativePath(path, field);
    const std::string key = KorvexPathValidator::appleFilesystemKey(path);
    if (!keys.emplace(key, path).second) invalid(field, "filesystem-equivalent duplicate path");
    if (key == "tokenizer" || key == "manifest.json" || key == "verified-install.json" ||
        key.starts_with("manifest.json/") || key.starts_with("verified-install.json/")) {
      invalid(field, "reserved artifact filename");
    }
    if (!isHexDigest64(entry.sha256)) {
      invalid(field + ".sha256", "expected 64 hexadecimal characters");
    }
  }
  for (const auto& [key, path] : keys) {
    for (size_t slash = key.rfind('/'); slash != std::string::npos && slash > 0;
         slash = key.rfind('/', slash - 1)) {
      if (keys.contains(key.substr(0, slash))) {
        invalid("manifest.files." + path, "file path collides with a directory prefix");
      }
    }
  }
}

}  // namespace

std::map<std::string, KorvexManifestFileV1> decodeFileTable(const ObjectReader& table) {
  std::map<std::string, KorvexManifestFileV1> files;
  for (const auto& [path, value] : table.value().items()) {
    const ObjectReader f = korvex_json::asObject(value, table.childPath(path));
    files[path] = {f.uint64("size"), f.string("sha256")};
  }
  return files;
}

json encodeFileTable(const std::map<std::string, KorvexManifestFileV1>& files) {
  json table = json::object();
  for (const auto& [path, f] : files) table[path] = {{"size", f.size}, {"sha256", f.sha256}};
  return table;
}

KorvexManifestQuantSlotV1 decodeQuantSlot(const ObjectReader& r) {
  return {r.int64("weightBits"), r.string("scheme"), r.string("scaleType"), r.string("biasType"),
          r.int64("groupSize")};
}

json encodeQuantSlot(const KorvexManifestQuantSlotV1& s) {
  return {{"weightBits", s.weightBits},
          {"scheme", s.scheme},
          {"scaleType", s.scaleType},
          {"biasType", s.biasType},
          {"groupSize", s.groupSize}};
}

bool isHexDigest64(const std::string& text) {
  if (text.size() != 64) return false;
  for (char c : text) {
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!hex) return false;
  }
  return true;
}

namespace KorvexManifestCodec {

KorvexManifestV1 decodeUnchecked(std::span<const uint8_t> data) {
  try {
    const json document = korvex_json::parse(data);
    const ObjectReader r(document, "");
    KorvexManifestV1 m;
    m.magic = r.string("magic");
    m.versionMajor = r.int64("versionMajor");
    m.versionMinor = r.int64("versionMinor");
    const ObjectReader flags = r.object("flags");
    for (const auto& [key, value] : flags.value().items()) m.flags[key] = flags.boolean(key);
    m.modelID = r.string("modelID");
    m.sourceSnapshotHash = r.optionalString("sourceSnapshotHash");
    m.arch = readArch(r.object("arch"));
    if (r.has("quant")) {
      const ObjectReader q = r.object("quant");
      m.quant = KorvexManifestQuantV1{
          decodeQuantSlot(q.object("embedding")), decodeQuantSlot(q.object("attention")),
          decodeQuantSlot(q.object("router")), decodeQuantSlot(q.object("sharedExpert")),
          decodeQuantSlot(q.object("routedExpert"))};
    }
    m.files = decodeFileTable(r.object("files"));
    m.expertsPerLayer = r.int64("expertsPerLayer");
    m.numLayers = r.int64("numLayers");
    m.expertStride = r.uint64("expertStride");
    m.bitWidthOverridesHonored = r.optionalInt64("bitWidthOverridesHonored");
    return m;
  } catch (const korvex_json::DecodeError& e) {
    throw KorvexFormatError::invalid("manifest.json", e.what());
  }
}

void validate(const KorvexManifestV1& m) {
  if (m.magic != KorvexFormatV1::magic) invalid("manifest.magic", "expected KORVEX");
  if (m.versionMajor != KorvexFormatV1::versionMajor || m.versionMinor < 0) {
    invalid("manifest.version", "unsupported version");
  }
  for (const auto& [key, value] : m.flags) {
    if (!KorvexFormatV1::isKnownFlag(key)) invalid("manifest.flags." + key, "unknown v1 flag");
  }
  if (m.modelID.empty() || m.numLayers < 1 || m.expertsPerLayer < 1 || m.expertStride == 0 ||
      m.expertStride % KorvexFormatV1::alignmentBytes != 0) {
    invalid("manifest", "invalid dimensions or stride");
  }
  // Both counts come from the file: compare by difference, never by
  // numLayers + 2, which overflows near INT64_MAX. numLayers >= 1 here, so the
  // difference of the two positive counts cannot overflow.
  const bool extraDenseLayers = m.arch.family == "lfm2moe" || m.arch.family == "brask";
  const bool layersAgree =
      m.arch.numLayers == m.numLayers ||
      (extraDenseLayers && m.arch.numLayers > m.numLayers && m.arch.numLayers - m.numLayers == 2);
  if (!layersAgree || m.arch.numExperts != m.expertsPerLayer) {
    invalid("manifest.arch", "dimensions disagree with streaming metadata");
  }
  validateArch(m.arch);
  if (m.quant) {
    const std::pair<const char*, const KorvexManifestQuantSlotV1*> slots[] = {
        {"embedding", &m.quant->embedding},
        {"attention", &m.quant->attention},
        {"router", &m.quant->router},
        {"sharedExpert", &m.quant->sharedExpert},
        {"routedExpert", &m.quant->routedExpert}};
    for (const auto& [name, slot] : slots) {
      if (slot->weightBits < 1 || slot->weightBits > 32 || slot->groupSize < 1 ||
          slot->scheme.empty() || slot->scaleType.empty() || slot->biasType.empty()) {
        invalid(std::string("manifest.quant.") + name, "invalid quantization values");
      }
    }
  }
  validateFiles(m.files);
}

KorvexManifestV1 decode(std::span<const uint8_t> data) {
  KorvexManifestV1 m = decodeUnchecked(data);
  validate(m);
  return m;
}

std::string encode(const KorvexManifestV1& m) {
  validate(m);
  json document = {{"magic", m.magic},
                   {"versionMajor", m.versionMajor},
                   {"versionMinor", m.versionMinor},
                   {"flags", m.flags},
                   {"modelID", m.modelID},
                   {"arch", archJSON(m.arch)},
                   {"files", encodeFileTable(m.files)},
                   {"expertsPerLayer", m.expertsPerLayer},
                   {"numLayers", m.numLayers},
                   {"expertStride", m.expertStride}};
  if (m.sourceSnapshotHash) document["sourceSnapshotHash"] = *m.sourceSnapshotHash;
  if (m.quant) {
    document["quant"] = {{"embedding", encodeQuantSlot(m.quant->embedding)},
                         {"attention", encodeQuantSlot(m.quant->attention)},
                         {"router", encodeQuantSlot(m.quant->router)},
                         {"sharedExpert", encodeQuantSlot(m.quant->sharedExpert)},
                         {"routedExpert", encodeQuantSlot(m.quant->routedExpert)}};
  }
  if (m.bitWidthOverridesHonored)
    document["bitWidthOverridesHonored"] = *m.bitWidthOverridesHonored;
  try {
    return korvex_json::pretty(document);
  } catch (const json::exception& e) {
    throw KorvexFormatError::invalid("manifest.json", e.what());
  }
}

}  // namespace KorvexManifestCodec
