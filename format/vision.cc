#include "format/vision.h"

#include <algorithm>

#include "format/json_document.h"
#include "format/korvex_format.h"

namespace {

using korvex_json::json;
using korvex_json::ObjectReader;

[[noreturn]] void invalid(std::string field, std::string reason) {
  throw KorvexFormatError::invalid(std::move(field), std::move(reason));
}

std::string quotedList(const std::vector<std::string>& names) {
  std::string out = "[";
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += ", ";
    out += "\"" + names[i] + "\"";
  }
  return out + "]";
}

std::set<std::string> namesOf(const std::map<std::string, KorvexManifestFileV1>& files) {
  std::set<std::string> names;
  for (const auto& [name, f] : files) names.insert(name);
  return names;
}

// Path, basename and digest rules for one file table; `prefix` is
// "vision.manifest.files" or "vision.receipt.files".
void validateFileTable(const std::map<std::string, KorvexManifestFileV1>& files,
                       const std::string& prefix, bool checkDuplicateKeys) {
  std::set<std::string> keys;
  for (const auto& [name, entry] : files) {
    const std::string field = prefix + "." + name;
    KorvexPathValidator::validateBasename(name, field);
    if (checkDuplicateKeys && !keys.insert(KorvexPathValidator::appleFilesystemKey(name)).second) {
      invalid(field, "filesystem-equivalent duplicate path");
    }
    if (!isHexDigest64(entry.sha256))
      invalid(field + ".sha256", "expected 64 hexadecimal characters");
  }
}

template <typename Decode>
auto decodeCapped(std::span<const uint8_t> data, const char* document, Decode decodeBody) {
  if (data.size() > KorvexVisionFormatV1::metadataMaxBytes) {
    invalid(document, "metadata exceeds 4 MiB");
  }
  try {
    const json root = korvex_json::parse(data);
    return decodeBody(ObjectReader(root, ""));
  } catch (const korvex_json::DecodeError& e) {
    throw KorvexFormatError::invalid(document, e.what());
  }
}

std::string encodeCapped(const json& document, const char* name) {
  std::string out;
  try {
    out = korvex_json::pretty(document);
  } catch (const json::exception& e) {
    invalid(name, e.what());
  }
  if (out.size() > KorvexVisionFormatV1::metadataMaxBytes) invalid(name, "metadata exceeds 4 MiB");
  return out;
}

}  // namespace

namespace KorvexVisionFormatV1 {

bool isSidecarEntry(std::string_view name) {
  static constexpr std::array<std::string_view, 4> kPrefixes = {"._", ".Spotlight-", ".fseventsd",
                                                                ".TemporaryItems"};
  if (name == ".DS_Store") return true;
  for (std::string_view prefix : kPrefixes) {
    if (name.starts_with(prefix)) return true;
  }
  return name.ends_with(".icloud");
}

std::string entryDifference(const std::set<std::string>& expected,
                            const std::set<std::string>& actual) {
  std::vector<std::string> missing, unexpected;
  for (const std::string& name : expected) {
    if (!actual.contains(name)) missing.push_back(name);
  }
  for (const std::string& name : actual) {
    if (!expected.contains(name)) unexpected.push_back(name);
  }
  std::string text;
  if (!missing.empty()) text = "missing " + quotedList(missing);
  if (!unexpected.empty())
    text += (text.empty() ? "" : ", ") + ("unexpected " + quotedList(unexpected));
  return text.empty() ? "entries differ" : text;
}

}  // namespace KorvexVisionFormatV1

namespace KorvexVisionStructuralValidator {

void validate(const KorvexVisionManifestV1& m) {
  using namespace KorvexVisionFormatV1;
  if (m.magic != magic || m.artifactKind != artifactKind) {
    invalid("vision.manifest.identity", "unsupported artifact");
  }
  if (m.versionMajor != versionMajor || m.versionMinor != versionMinor) {
    invalid("vision.manifest.version", "unsupported version");
  }
  if (m.modelID.empty() || m.sourceRevision.empty() || m.compatibleTextSourceSnapshotHash.empty()) {
    invalid("vision.manifest", "missing source identity");
  }
  const std::pair<const char*, const std::string*> digests[] = {
      {"vision.sourceIndexSha256", &m.sourceIndexSha256},
      {"vision.processorConfigSha256", &m.processorConfigSha256},
      {"vision.compatibleTextManifestSha256", &m.compatibleTextManifestSha256}};
  for (const auto& [field, digest] : digests) {
    if (!isHexDigest64(*digest)) invalid(field, "expected 64 hexadecimal characters");
  }
  if (namesOf(m.files) !=
      std::set<std::string>{std::string(weightsFile), std::string(processorFile)}) {
    invalid("vision.manifest.files", "expected exactly two payload files");
  }
  validateFileTable(m.files, "vision.manifest.files", true);
  if (m.tensors.empty()) invalid("vision.manifest.tensors", "expected at least one tensor");

  const uint64_t weightsSize = m.files.at(std::string(weightsFile)).size;
  uint64_t end = 0;
  std::set<std::string> names;
  for (size_t i = 0; i < m.tensors.size(); ++i) {
    const KorvexVisionTensorRegionV1& t = m.tensors[i];
    if (t.name.empty() || t.name.find('\0') != std::string::npos || !names.insert(t.name).second) {
      invalid("vision.tensor.name", "empty or duplicate tensor name");
    }
    if (t.executionPosition != static_cast<int64_t>(i)) {
      invalid("vision.tensor.executionPosition", "regions are reordered or duplicated");
    }
    if (t.file != weightsFile) invalid("vision.tensor.file", "tensor must use vision_weights.bin");
    if (t.offset % alignmentBytes != 0 || t.offset < end) {
      invalid("vision.tensor.offset", "misaligned or overlapping region");
    }
    if (t.shape.empty() || std::find(t.shape.begin(), t.shape.end(), 0u) != t.shape.end()) {
      invalid("vision.tensor.shape", "invalid shape");
    }
    uint64_t product = 1;
    for (uint64_t extent : t.shape) {
      product = korvexCheckedMultiply(product, extent, "vision.tensor.shape");
    }
    // An unknown dtype can match neither size rule nor quantization rule.
    const uint64_t elementBytes = t.dtype == "U32" ? 4 : t.dtype == "BF16" ? 2 : 0;
    const uint64_t expected = korvexCheckedMultiply(product, elementBytes, "vision.tensor.size");
    if (elementBytes == 0 || t.size != expected) {
      invalid("vision.tensor.size", "size does not match storage shape");
    }
    if ((t.dtype == "BF16") == t.quantization.has_value()) {
      invalid("vision.tensor.quantization", "dtype and quantization disagree");
    }
    if (t.quantization &&
        *t.quantization != KorvexVisionQuantizationV1{4, "affine", "bf16", "bf16", 64}) {
      invalid("vision.tensor.quantization", "unsupported quantization");
    }
    end = korvexCheckedAdd(t.offset, t.size, "vision.tensor.range");
    if (end > weightsSize) invalid("vision.tensor.range", "region exceeds vision_weights.bin");
  }
}

void validate(const KorvexVisionReceiptV1& r) {
  if (r.schemaVersion != 1 || r.artifactKind != KorvexVisionFormatV1::artifactKind ||
      r.companionDirectoryPath.empty() || r.sourceRepoID.empty() || r.sourceRevision.empty() ||
      r.verificationTimestamp.empty() || r.toolVersion.empty()) {
    invalid("vision.receipt", "invalid identity");
  }
  if (!isHexDigest64(r.manifestSha256)) {
    invalid("vision.receipt.manifestSha256", "expected 64 hexadecimal characters");
  }
  if (!isHexDigest64(r.compatibleTextManifestSha256)) {
    invalid("vision.receipt.compatibleTextManifestSha256", "expected 64 hexadecimal characters");
  }
  if (namesOf(r.files) != std::set<std::string>{"manifest.json", "vision_weights.bin"}) {
    invalid("vision.receipt.files", "file set mismatch");
  }
  validateFileTable(r.files, "vision.receipt.files", false);
}

}  // namespace KorvexVisionStructuralValidator

namespace KorvexVisionManifestCodec {

KorvexVisionManifestV1 decode(std::span<const uint8_t> data) {
  KorvexVisionManifestV1 m = decodeCapped(data, "manifest.json", [](const ObjectReader& r) {
    KorvexVisionManifestV1 m;
    m.magic = r.string("magic");
    m.artifactKind = r.string("artifactKind");
    m.versionMajor = r.int64("versionMajor");
    m.versionMinor = r.int64("versionMinor");
    m.modelID = r.string("modelID");
    m.sourceRevision = r.string("sourceRevision");
    m.sourceIndexSha256 = r.string("sourceIndexSha256");
    m.processorConfigSha256 = r.string("processorConfigSha256");
    m.compatibleTextSourceSnapshotHash = r.string("compatibleTextSourceSnapshotHash");
    m.compatibleTextManifestSha256 = r.string("compatibleTextManifestSha256");
    m.files = decodeFileTable(r.object("files"));
    const json& tensors = r.array("tensors");
    for (size_t i = 0; i < tensors.size(); ++i) {
      const ObjectReader t =
          korvex_json::asObject(tensors[i], "tensors[" + std::to_string(i) + "]");
      KorvexVisionTensorRegionV1 region;
      region.name = t.string("name");
      region.executionPosition = t.int64("executionPosition");
      region.file = t.string("file");
      region.offset = t.uint64("offset");
      region.size = t.uint64("size");
      region.shape = t.uint64Array("shape");
      region.dtype = t.string("dtype");
      if (t.has("quantization")) {
        region.quantization = decodeQuantSlot(t.object("quantization"));
      }
      m.tensors.push_back(std::move(region));
    }
    return m;
  });
  KorvexVisionStructuralValidator::validate(m);
  return m;
}

std::string encode(const KorvexVisionManifestV1& m) {
  KorvexVisionStructuralValidator::validate(m);
  json tensors = json::array();
  for (const KorvexVisionTensorRegionV1& t : m.tensors) {
    json region = {{"name", t.name},  {"executionPosition", t.executionPosition},
                   {"file", t.file},  {"offset", t.offset},
                   {"size", t.size},  {"shape", t.shape},
                   {"dtype", t.dtype}};
    if (t.quantization) {
      region["quantization"] = encodeQuantSlot(*t.quantization);
    }
    tensors.push_back(std::move(region));
  }
  const json document = {{"magic", m.magic},
                         {"artifactKind", m.artifactKind},
                         {"versionMajor", m.versionMajor},
                         {"versionMinor", m.versionMinor},
                         {"modelID", m.modelID},
                         {"sourceRevision", m.sourceRevision},
                         {"sourceIndexSha256", m.sourceIndexSha256},
                         {"processorConfigSha256", m.processorConfigSha256},
                         {"compatibleTextSourceSnapshotHash", m.compatibleTextSourceSnapshotHash},
                         {"compatibleTextManifestSha256", m.compatibleTextManifestSha256},
                         {"files", encodeFileTable(m.files)},
                         {"tensors", std::move(tensors)}};
  return encodeCapped(document, "manifest.json");
}

}  // namespace KorvexVisionManifestCodec

namespace KorvexVisionReceiptCodec {

KorvexVisionReceiptV1 decode(std::span<const uint8_t> data) {
  KorvexVisionReceiptV1 r = decodeCapped(data, "verified-install.json", [](const ObjectReader& o) {
    KorvexVisionReceiptV1 r;
    r.schemaVersion = o.int64("schemaVersion");
    r.artifactKind = o.string("artifactKind");
    r.manifestSha256 = o.string("manifestSha256");
    r.companionDirectoryPath = o.string("companionDirectoryPath");
    r.compatibleTextManifestSha256 = o.string("compatibleTextManifestSha256");
    r.sourceRepoID = o.string("sourceRepoID");
    r.sourceRevision = o.string("sourceRevision");
    r.verificationTimestamp = o.string("verificationTimestamp");
    r.toolVersion = o.string("toolVersion");
    r.files = decodeFileTable(o.object("files"));
    return r;
  });
  KorvexVisionStructuralValidator::validate(r);
  return r;
}

std::string encode(const KorvexVisionReceiptV1& r) {
  KorvexVisionStructuralValidator::validate(r);
  const json document = {{"schemaVersion", r.schemaVersion},
                         {"artifactKind", r.artifactKind},
                         {"manifestSha256", r.manifestSha256},
                         {"companionDirectoryPath", r.companionDirectoryPath},
                         {"compatibleTextManifestSha256", r.compatibleTextManifestSha256},
                         {"sourceRepoID", r.sourceRepoID},
                         {"sourceRevision", r.sourceRevision},
                         {"verificationTimestamp", r.verificationTimestamp},
                         {"toolVersion", r.toolVersion},
                         {"files", encodeFileTable(r.files)}};
  return encodeCapped(document, "verified-install.json");
}

}  // namespace KorvexVisionReceiptCodec
