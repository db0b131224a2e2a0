#include "format/vision.h"

#include <gtest/gtest.h>

#include <functional>

#include "format/korvex_format.h"

namespace {

using M = KorvexVisionManifestV1;
using R = KorvexVisionReceiptV1;

std::span<const uint8_t> bytes(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

M validManifest() {
  M m;
  m.magic = "KORVEX-VISION";
  m.artifactKind = "gemma4_vision_companion";
  m.versionMajor = 1;
  m.modelID = "owner/gemma";
  m.sourceRevision = std::string(40, '1');
  m.sourceIndexSha256 = std::string(64, 'a');
  m.processorConfigSha256 = std::string(64, 'b');
  m.compatibleTextSourceSnapshotHash = "sha256:" + std::string(64, 'c');
  m.compatibleTextManifestSha256 = std::string(64, 'D');
  m.files = {{"vision_weights.bin", {16384 + 2304, std::string(64, 'e')}},
             {"processor_config.json", {10, std::string(64, 'f')}}};
  KorvexVisionTensorRegionV1 packed{"vision_tower.w",
                                    0,
                                    "vision_weights.bin",
                                    0,
                                    8 * 4 * 4,
                                    {8, 4},
                                    "U32",
                                    KorvexVisionQuantizationV1{4, "affine", "bf16", "bf16", 64}};
  KorvexVisionTensorRegionV1 norm{"vision_tower.n", 1,      "vision_weights.bin", 16384, 2304,
                                  {1152},           "BF16", std::nullopt};
  m.tensors = {packed, norm};
  return m;
}

R validReceipt() {
  R r;
  r.schemaVersion = 1;
  r.artifactKind = "gemma4_vision_companion";
  r.manifestSha256 = std::string(64, 'a');
  r.companionDirectoryPath = "/models/g.vision.korvex";
  r.compatibleTextManifestSha256 = std::string(64, 'b');
  r.sourceRepoID = "owner/gemma";
  r.sourceRevision = std::string(40, '1');
  r.verificationTimestamp = "2026-01-31T09:15:02Z";
  r.toolVersion = "VelquorRepack";
  r.files = {{"manifest.json", {1, std::string(64, 'c')}},
             {"vision_weights.bin", {2, std::string(64, 'd')}}};
  return r;
}

template <typename T>
std::string error(const T& document) {
  try {
    KorvexVisionStructuralValidator::validate(document);
    return "ok";
  } catch (const KorvexFormatError& e) {
    return e.description();
  }
}

TEST(KorvexVisionManifest, ValidationRules) {
  const std::string sha = std::string(64, '0');
  const std::vector<std::pair<std::function<void(M&)>, std::string>> cases = {
      {[](M&) {}, "ok"},
      {[](M& m) { m.artifactKind += "_v2"; }, "vision.manifest.identity: unsupported artifact"},
      {[](M& m) { m.versionMinor = 1; }, "vision.manifest.version: unsupported version"},
      {[](M& m) { m.sourceRevision.clear(); }, "vision.manifest: missing source identity"},
      {[](M& m) { m.processorConfigSha256 += "0"; },
       "vision.processorConfigSha256: expected 64 hexadecimal characters"},
      {[sha](M& m) {
         m.files["extra.bin"] = {1, sha};
       },
       "vision.manifest.files: expected exactly two payload files"},
      {[sha](M& m) {
         m.files.erase("processor_config.json");
         m.files["manifest.json"] = {1, sha};
       },
       "vision.manifest.files: expected exactly two payload files"},
      {[](M& m) { m.files["vision_weights.bin"].sha256 = "z"; },
       "vision.manifest.files.vision_weights.bin.sha256: expected 64 hexadecimal characters"},
      {[](M& m) { m.tensors.clear(); }, "vision.manifest.tensors: expected at least one tensor"},
      {[](M& m) { m.tensors[1].name = m.tensors[0].name; },
       "vision.tensor.name: empty or duplicate tensor name"},
      {[](M& m) { m.tensors[1].executionPosition = 0; },
       "vision.tensor.executionPosition: regions are reordered or duplicated"},
      {[](M& m) { m.tensors[1].file = "processor_config.json"; },
       "vision.tensor.file: tensor must use vision_weights.bin"},
      {[](M& m) { m.tensors[1].offset = 100; },
       "vision.tensor.offset: misaligned or overlapping region"},
      {[](M& m) {
         m.tensors[0].shape = {8, 4096};
         m.tensors[0].size = 8 * 4096 * 4;
         m.files["vision_weights.bin"].size = 1 << 20;
       },
       "vision.tensor.offset: misaligned or overlapping region"},
      // A region starting exactly at the previous end is fine when aligned.
      {[](M& m) {
         m.tensors[0].shape = {16, 256};
         m.tensors[0].size = 16384;
       },
       "ok"},
      {[](M& m) {
         m.tensors[1].shape = {1152, 0};
       },
       "vision.tensor.shape: invalid shape"},
      {[](M& m) {
         m.tensors[1].shape = {1ull << 40, 1ull << 40};
       },
       "vision.tensor.shape: arithmetic overflow"},
      {[](M& m) { m.tensors[1].size = 2303; },
       "vision.tensor.size: size does not match storage shape"},
      {[](M& m) { m.tensors[1].quantization = m.tensors[0].quantization; },
       "vision.tensor.quantization: dtype and quantization disagree"},
      {[](M& m) { m.tensors[0].quantization->groupSize = 32; },
       "vision.tensor.quantization: unsupported quantization"},
      {[](M& m) { m.files["vision_weights.bin"].size -= 1; },
       "vision.tensor.range: region exceeds vision_weights.bin"},
  };
  for (const auto& [mutate, expected] : cases) {
    M m = validManifest();
    mutate(m);
    EXPECT_EQ(error(m), expected);
  }
}

TEST(KorvexVisionReceipt, ValidationRules) {
  const std::vector<std::pair<std::function<void(R&)>, std::string>> cases = {
      {[](R&) {}, "ok"},
      {[](R& r) { r.schemaVersion = 2; }, "vision.receipt: invalid identity"},
      {[](R& r) { r.toolVersion.clear(); }, "vision.receipt: invalid identity"},
      {[](R& r) { r.manifestSha256.clear(); },
       "vision.receipt.manifestSha256: expected 64 hexadecimal characters"},
      {[](R& r) { r.files["processor_config.json"] = r.files["manifest.json"]; },
       "vision.receipt.files: file set mismatch"},
      {[](R& r) { r.files["manifest.json"].sha256 = "x"; },
       "vision.receipt.files.manifest.json.sha256: expected 64 hexadecimal characters"},
  };
  for (const auto& [mutate, expected] : cases) {
    R r = validReceipt();
    mutate(r);
    EXPECT_EQ(error(r), expected);
  }
}

TEST(KorvexVisionCodecs, RoundTripAndFourMebibyteCap) {
  const M m = validManifest();
  const std::string text = KorvexVisionManifestCodec::encode(m);
  EXPECT_EQ(KorvexVisionManifestCodec::decode(bytes(text)), m);
  EXPECT_EQ(text.find("\"quantization\": null"), std::string::npos);
  const R r = validReceipt();
  EXPECT_EQ(KorvexVisionReceiptCodec::decode(bytes(KorvexVisionReceiptCodec::encode(r))), r);

  // Padding with whitespace keeps the document valid: exactly 4 MiB decodes.
  std::string padded =
      text + std::string(KorvexVisionFormatV1::metadataMaxBytes - text.size(), ' ');
  EXPECT_EQ(KorvexVisionManifestCodec::decode(bytes(padded)), m);
  padded += ' ';
  try {
    KorvexVisionManifestCodec::decode(bytes(padded));
    FAIL();
  } catch (const KorvexFormatError& e) {
    EXPECT_EQ(e.description(), "manifest.json: metadata exceeds 4 MiB");
  }

  // Encoding refuses a document that would exceed the cap.
  M huge = m;
  huge.modelID = std::string(KorvexVisionFormatV1::metadataMaxBytes, 'x');
  EXPECT_THROW(KorvexVisionManifestCodec::encode(huge), KorvexFormatError);

  try {
    KorvexVisionReceiptCodec::decode(bytes("{\"schemaVersion\": 1}"));
    FAIL();
  } catch (const KorvexFormatError& e) {
    EXPECT_EQ(e.description(), "verified-install.json: key not found: artifactKind");
  }
}

TEST(KorvexVisionFormat, EntryDifference) {
  using KorvexVisionFormatV1::entryDifference;
  EXPECT_EQ(entryDifference({"a", "b"}, {"b", "c"}), "missing [\"a\"], unexpected [\"c\"]");
  EXPECT_EQ(entryDifference({"a", "b"}, {}), "missing [\"a\", \"b\"]");
  EXPECT_EQ(entryDifference({}, {"z"}), "unexpected [\"z\"]");
  EXPECT_EQ(entryDifference({"a"}, {"a"}), "entries differ");
}

}  // namespace
