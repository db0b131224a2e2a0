// manifest.json, the entry point of a .korvex package: format and version,
// model identity, architecture, quantization per weight class, packed-expert
// geometry, and the size and SHA-256 of every other file in the package.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "format/json_document.h"

struct KorvexManifestFileV1 {
  uint64_t size = 0;
  std::string sha256;  // 64 hex digits
  bool operator==(const KorvexManifestFileV1&) const = default;
};

struct KorvexManifestQuantSlotV1 {
  int64_t weightBits = 0;
  std::string scheme;
  std::string scaleType;
  std::string biasType;
  int64_t groupSize = 0;
  bool operator==(const KorvexManifestQuantSlotV1&) const = default;
};

struct KorvexManifestQuantV1 {
  KorvexManifestQuantSlotV1 embedding;
  KorvexManifestQuantSlotV1 attention;
  KorvexManifestQuantSlotV1 router;
  KorvexManifestQuantSlotV1 sharedExpert;
  KorvexManifestQuantSlotV1 routedExpert;
  bool operator==(const KorvexManifestQuantV1&) const = default;
};

struct KorvexManifestArchV1 {
  int64_t hiddenSize = 0;
  int64_t ffnIntermediate = 0;
  int64_t moeIntermediateSize = 0;
  int64_t numHeads = 0;
  int64_t numKVHeads = 0;
  int64_t numFullKVHeads = 0;
  int64_t headDim = 0;
  int64_t fullHeadDim = 0;
  int64_t vocabSize = 0;
  int64_t slidingWindow = 0;
  double finalLogitSoftcap = 0;
  double ropeTheta = 0;
  double fullRopeTheta = 0;
  double partialRotaryFactor = 0;
  int64_t numLayers = 0;
  int64_t numExperts = 0;
  int64_t topKExperts = 0;
  bool tieWordEmbeddings = false;
  bool attentionKEqV = false;
  std::string hiddenActivation;
  std::vector<int64_t> fullAttentionLayerMask;
  // Written for every family but gemma4.
  std::optional<std::string> family;
  std::optional<bool> attnOutputGate;
  std::optional<double> attentionScale;
  std::optional<bool> embeddingScaledBySqrtHidden;
  std::optional<bool> routerScaled;
  std::optional<bool> ffnSandwichNorms;
  std::optional<bool> sharedExpertGated;
  std::optional<bool> ropeNeoxSubdim;
  std::optional<int64_t> linearNumKHeads;
  std::optional<int64_t> linearNumVHeads;
  std::optional<int64_t> linearKeyHeadDim;
  std::optional<int64_t> linearValueHeadDim;
  std::optional<int64_t> linearConvKernelSize;
  bool operator==(const KorvexManifestArchV1&) const = default;
};

struct KorvexManifestV1 {
  std::string magic;
  int64_t versionMajor = 0;
  int64_t versionMinor = 0;
  std::map<std::string, bool> flags;
  std::string modelID;
  std::optional<std::string> sourceSnapshotHash;
  KorvexManifestArchV1 arch;
  std::optional<KorvexManifestQuantV1> quant;
  std::map<std::string, KorvexManifestFileV1> files;  // package-relative path -> entry
  int64_t expertsPerLayer = 0;
  int64_t numLayers = 0;
  uint64_t expertStride = 0;
  std::optional<int64_t> bitWidthOverridesHonored;
  bool operator==(const KorvexManifestV1&) const = default;
};

namespace KorvexManifestCodec {

// Parses without the structural rules; any parse or type failure is
// invalid("manifest.json", <description>).
KorvexManifestV1 decodeUnchecked(std::span<const uint8_t> data);
// The structural rules; the first broken one is a KorvexFormatError.
void validate(const KorvexManifestV1& manifest);
KorvexManifestV1 decode(std::span<const uint8_t> data);
// Validates, then serialises pretty-printed with sorted keys; absent
// optional members are omitted.
std::string encode(const KorvexManifestV1& manifest);

}  // namespace KorvexManifestCodec

// The {path: {size, sha256}} tables of the manifest and the vision documents.
std::map<std::string, KorvexManifestFileV1> decodeFileTable(const korvex_json::ObjectReader& table);
korvex_json::json encodeFileTable(const std::map<std::string, KorvexManifestFileV1>& files);

// A {weightBits, scheme, scaleType, biasType, groupSize} object.
KorvexManifestQuantSlotV1 decodeQuantSlot(const korvex_json::ObjectReader& slot);
korvex_json::json encodeQuantSlot(const KorvexManifestQuantSlotV1& slot);

// True when `text` is exactly 64 characters of 0-9, a-f, A-F.
bool isHexDigest64(const std::string& text);
