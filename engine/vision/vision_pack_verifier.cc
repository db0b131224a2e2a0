#include "engine/vision/vision_pack_verifier.h"

#include <cctype>
#include <set>
#include <vector>

#include "engine/common/repack_error.h"
#include "engine/io/directory_access.h"
#include "engine/io/posix.h"
#include "engine/io/sha256_stream.h"
#include "format/korvex_format.h"
#include "format/manifest.h"
#include "format/vision.h"

namespace {

using KorvexVisionFormatV1::metadataMaxBytes;

[[noreturn]] void incompatible(std::string detail) {
  throw RepackError(RepackError::InstallStateIncompatible{std::move(detail)});
}

std::string lowered(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string sha256Of(const std::vector<uint8_t>& bytes) {
  Sha256Stream stream;
  stream.update(bytes);
  return stream.finalizeHex();
}

// The verifier reports every rejected document as its own failure; the
// format library's text is kept whole inside it.
template <typename Decode>
auto decodeOrReject(Decode decode) {
  try {
    return decode();
  } catch (const KorvexFormatError& e) {
    throwConfigurationInvalid(e.description());
  }
}

// The contract's difference: each part as the format renders it, the parts
// joined with "; " so they stay apart from the ", " inside each list.
std::string contractDifference(const std::set<std::string>& expected,
                               const std::set<std::string>& actual) {
  std::set<std::string> present, extra;
  for (const std::string& name : actual) (expected.contains(name) ? present : extra).insert(name);
  std::vector<std::string> parts;
  if (present.size() != expected.size()) {
    parts.push_back(KorvexVisionFormatV1::entryDifference(expected, present));
  }
  if (!extra.empty()) {
    std::set<std::string> all = expected;
    all.insert(extra.begin(), extra.end());
    parts.push_back(KorvexVisionFormatV1::entryDifference(expected, all));
  }
  if (parts.empty()) return KorvexVisionFormatV1::entryDifference(expected, actual);
  std::string text = parts[0];
  for (size_t i = 1; i < parts.size(); ++i) text += "; " + parts[i];
  return text;
}

void checkContract(const KorvexDirectoryAccess& companion) {
  const std::set<std::string> expected = {std::string(KorvexVisionFormatV1::manifestFile),
                                          std::string(KorvexVisionFormatV1::weightsFile),
                                          std::string(KorvexVisionFormatV1::processorFile),
                                          std::string(KorvexVisionFormatV1::receiptFile)};
  std::set<std::string> actual;
  for (std::string& entry : companion.relativeEntries(0, 64)) {
    if (!KorvexVisionFormatV1::isSidecarEntry(entry)) actual.insert(std::move(entry));
  }
  if (actual != expected) {
    throwConfigurationInvalid("vision companion directory does not match the v1 contract: " +
                              contractDifference(expected, actual));
  }
}

// The physical path when it can be resolved (the recorded directory may be
// gone), else the textual standardisation.
std::string canonicalPath(const std::string& path) {
  const std::string standardized = Posix::standardizedPath(path);
  try {
    return Posix::physicalPath(standardized);
  } catch (const RepackError&) {
    return standardized;
  }
}

bool sameEntry(const KorvexManifestFileV1& a, const KorvexManifestFileV1& b) {
  return a.size == b.size && lowered(a.sha256) == lowered(b.sha256);
}

}  // namespace

namespace VisionPackVerifier {

VisionPackVerification verify(const std::string& companionDirectory,
                              const std::string& textModelDirectory, bool hashWeights,
                              const Progress& progress) {
  const std::string weightsName(KorvexVisionFormatV1::weightsFile);
  const std::string manifestName(KorvexVisionFormatV1::manifestFile);

  const KorvexDirectoryAccess companion(Posix::standardizedPath(companionDirectory));
  checkContract(companion);

  const std::vector<uint8_t> manifestBytes = companion.readMetadata(manifestName, metadataMaxBytes);
  const std::vector<uint8_t> receiptBytes =
      companion.readMetadata(std::string(KorvexVisionFormatV1::receiptFile), metadataMaxBytes);
  const KorvexVisionManifestV1 manifest =
      decodeOrReject([&] { return KorvexVisionManifestCodec::decode(manifestBytes); });
  const KorvexVisionReceiptV1 receipt =
      decodeOrReject([&] { return KorvexVisionReceiptCodec::decode(receiptBytes); });

  const KorvexDirectoryAccess text(Posix::standardizedPath(textModelDirectory));
  const std::vector<uint8_t> textBytes = text.readMetadata("manifest.json", metadataMaxBytes);
  const KorvexManifestV1 textManifest =
      decodeOrReject([&] { return KorvexManifestCodec::decode(textBytes); });

  if (!textManifest.sourceSnapshotHash ||
      *textManifest.sourceSnapshotHash != manifest.compatibleTextSourceSnapshotHash) {
    incompatible("vision companion belongs to a different text checkpoint");
  }
  const std::string textSha256 = sha256Of(textBytes);
  if (lowered(manifest.compatibleTextManifestSha256) != textSha256 ||
      lowered(receipt.compatibleTextManifestSha256) != textSha256) {
    incompatible("vision companion text manifest binding changed");
  }
  const std::string manifestSha256 = sha256Of(manifestBytes);
  if (lowered(receipt.manifestSha256) != manifestSha256) {
    throwConfigurationInvalid("vision companion receipt manifest binding mismatch");
  }
  if (canonicalPath(receipt.companionDirectoryPath) != canonicalPath(companion.rootPath())) {
    throwConfigurationInvalid("vision companion receipt directory binding mismatch");
  }
  if (receipt.sourceRepoID != manifest.modelID ||
      receipt.sourceRevision != manifest.sourceRevision) {
    throwConfigurationInvalid("vision companion receipt source binding mismatch");
  }
  const auto weights = manifest.files.find(weightsName);
  if (weights == manifest.files.end())
    throwConfigurationInvalid("vision manifest missing vision_weights.bin");

  uint64_t total = 0;
  for (const auto& [name, entry] : manifest.files) {
    if (name == weightsName && !hashWeights) continue;
    if (__builtin_add_overflow(total, entry.size, &total)) {
      throwConfigurationInvalid("vision manifest byte total overflowed");
    }
  }
  uint64_t verified = 0;
  for (const auto& [name, entry] : manifest.files) {  // ascending name order
    UniqueFd fd = companion.openFile(name);
    const uint64_t actual = companion.fileSize(fd.get(), name);
    if (actual != entry.size) {
      throwConfigurationInvalid(name + " size " + std::to_string(actual) +
                                " != " + std::to_string(entry.size));
    }
    // The receipt lists the weights (and the manifest, checked below); the
    // processor configuration is bound through the manifest's digest.
    if (name == weightsName) {
      const auto listed = receipt.files.find(name);
      if (listed == receipt.files.end() || !sameEntry(listed->second, entry)) {
        throwConfigurationInvalid(name + " receipt mismatch");
      }
    }
    if (name == weightsName && !hashWeights) continue;
    const std::string digest = companion.hash(fd.get(), name, true);
    if (__builtin_add_overflow(verified, entry.size, &verified)) {
      throwConfigurationInvalid("vision verified byte total overflowed");
    }
    if (progress) progress(verified, total);
    if (digest != lowered(entry.sha256)) throwConfigurationInvalid(name + " hash mismatch");
  }

  const auto listedManifest = receipt.files.find(manifestName);
  if (listedManifest == receipt.files.end() ||
      !sameEntry(listedManifest->second, {manifestBytes.size(), manifestSha256})) {
    throwConfigurationInvalid("vision manifest receipt entry mismatch");
  }

  return {manifestSha256, weights->second.size, manifest.sourceRevision, manifest.sourceIndexSha256,
          textSha256};
}

}  // namespace VisionPackVerifier
