// The vision companion of a Gemma 4 text package: vision_weights.bin with the
// vision tensors back to back at page-aligned offsets, a copy of the source's
// processor_config.json, a manifest binding the companion to exactly one text
// package, and a receipt written after verification.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "format/manifest.h"

namespace KorvexVisionFormatV1 {

inline constexpr std::string_view magic = "KORVEX-VISION";
inline constexpr std::string_view artifactKind = "gemma4_vision_companion";
inline constexpr int64_t versionMajor = 1;
inline constexpr int64_t versionMinor = 0;
inline constexpr uint64_t alignmentBytes = 16384;
inline constexpr uint64_t metadataMaxBytes = 4194304;
inline constexpr std::string_view weightsFile = "vision_weights.bin";
inline constexpr std::string_view processorFile = "processor_config.json";
inline constexpr std::string_view manifestFile = "manifest.json";
inline constexpr std::string_view receiptFile = "verified-install.json";

// True when a single directory entry name is platform litter (Finder and
// indexer files, cloud placeholders) that verifiers skip.
bool isSidecarEntry(std::string_view name);

// How two sets of names differ: `missing ["a"], unexpected ["c"]`, or
// "entries differ" when they do not.
std::string entryDifference(const std::set<std::string>& expected,
                            const std::set<std::string>& actual);

}  // namespace KorvexVisionFormatV1

// The same five members as a manifest quantization slot.
using KorvexVisionQuantizationV1 = KorvexManifestQuantSlotV1;

struct KorvexVisionTensorRegionV1 {
  std::string name;
  int64_t executionPosition = 0;
  std::string file;
  uint64_t offset = 0;
  uint64_t size = 0;
  std::vector<uint64_t> shape;
  std::string dtype;  // "U32" or "BF16"
  std::optional<KorvexVisionQuantizationV1> quantization;
  bool operator==(const KorvexVisionTensorRegionV1&) const = default;
};

struct KorvexVisionManifestV1 {
  std::string magic;
  std::string artifactKind;
  int64_t versionMajor = 0;
  int64_t versionMinor = 0;
  std::string modelID;
  std::string sourceRevision;
  std::string sourceIndexSha256;
  std::string processorConfigSha256;
  std::string compatibleTextSourceSnapshotHash;
  std::string compatibleTextManifestSha256;
  std::map<std::string, KorvexManifestFileV1> files;
  std::vector<KorvexVisionTensorRegionV1> tensors;
  bool operator==(const KorvexVisionManifestV1&) const = default;
};

struct KorvexVisionReceiptV1 {
  int64_t schemaVersion = 0;
  std::string artifactKind;
  std::string manifestSha256;
  std::string companionDirectoryPath;
  std::string compatibleTextManifestSha256;
  std::string sourceRepoID;
  std::string sourceRevision;
  std::string verificationTimestamp;
  std::string toolVersion;
  std::map<std::string, KorvexManifestFileV1> files;
  bool operator==(const KorvexVisionReceiptV1&) const = default;
};

namespace KorvexVisionStructuralValidator {
void validate(const KorvexVisionManifestV1& manifest);
void validate(const KorvexVisionReceiptV1& receipt);
}  // namespace KorvexVisionStructuralValidator

// Both codecs refuse documents above 4 MiB: before parsing and after
// serialising.
namespace KorvexVisionManifestCodec {
KorvexVisionManifestV1 decode(std::span<const uint8_t> data);
std::string encode(const KorvexVisionManifestV1& manifest);
}  // namespace KorvexVisionManifestCodec

namespace KorvexVisionReceiptCodec {
KorvexVisionReceiptV1 decode(std::span<const uint8_t> data);
std::string encode(const KorvexVisionReceiptV1& receipt);
}  // namespace KorvexVisionReceiptCodec
