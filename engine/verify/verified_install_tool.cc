#include "engine/verify/verified_install_tool.h"

#include <map>
#include <set>

#include "engine/common/repack_error.h"
#include "engine/io/directory_access.h"
#include "engine/io/posix.h"
#include "engine/io/sha256_stream.h"
#include "format/json_document.h"
#include "format/korvex_format.h"
#include "format/install_receipt.h"
#include "format/manifest.h"

namespace {

using korvex_json::json;
using korvex_json::ObjectReader;

constexpr uint64_t kMaxDocumentBytes = 67108864;
constexpr const char* kLayoutPath = "packed_experts/layout.json";

[[noreturn]] void fail(std::string detail) {
  throw RepackError(RepackError::ConfigurationInvalid{std::move(detail)});
}

// The members of manifest.json the verifier needs; everything else is ignored.
struct ManifestView {
  std::map<std::string, KorvexManifestFileV1> files;
  int64_t expertsPerLayer = 0;
  int64_t numLayers = 0;
  uint64_t expertStride = 0;
  std::optional<std::string> sourceSnapshotHash;
};

struct LayoutView {
  struct Expert {
    std::optional<int64_t> expert;
    uint64_t offset;
    uint64_t size;
  };
  struct Layer {
    int64_t layer;
    std::string file;
    std::vector<Expert> experts;
  };
  uint64_t expertStride = 0;
  int64_t numLayers = 0;
  int64_t expertsPerLayer = 0;
  std::vector<Layer> layers;
};

ManifestView decodeManifest(const std::vector<uint8_t>& bytes) {
  try {
    const json document = korvex_json::parse(bytes);
    const ObjectReader r(document, "");
    ManifestView m;
    m.files = decodeFileTable(r.object("files"));
    m.expertsPerLayer = r.int64("expertsPerLayer");
    m.numLayers = r.int64("numLayers");
    m.expertStride = r.uint64("expertStride");
    m.sourceSnapshotHash = r.optionalString("sourceSnapshotHash");
    return m;
  } catch (const korvex_json::DecodeError& e) {
    fail(std::string("manifest.json invalid: ") + e.what());
  }
}

LayoutView decodeLayout(const std::vector<uint8_t>& bytes) {
  try {
    const json document = korvex_json::parse(bytes);
    const ObjectReader r(document, "");
    LayoutView layout;
    layout.expertStride = r.uint64("expertStride");
    layout.numLayers = r.int64("numLayers");
    layout.expertsPerLayer = r.int64("expertsPerLayer");
    const json& layers = r.array("layers");
    for (size_t i = 0; i < layers.size(); ++i) {
      const ObjectReader l = korvex_json::asObject(layers[i], "layers[" + std::to_string(i) + "]");
      LayoutView::Layer layer{l.int64("layer"), l.string("file"), {}};
      const json& experts = l.array("experts");
      for (size_t k = 0; k < experts.size(); ++k) {
        const ObjectReader e = korvex_json::asObject(
            experts[k], l.childPath("experts") + "[" + std::to_string(k) + "]");
        layer.experts.push_back({e.optionalInt64("expert"), e.uint64("offset"), e.uint64("size")});
      }
      layout.layers.push_back(std::move(layer));
    }
    return layout;
  } catch (const korvex_json::DecodeError& e) {
    fail(std::string(kLayoutPath) + " invalid: " + e.what());
  }
}

void checkPackedExperts(const KorvexDirectoryAccess& access, const ManifestView& manifest) {
  if (!manifest.files.contains(kLayoutPath)) fail("manifest missing packed_experts/layout.json");
  const LayoutView layout = decodeLayout(access.readMetadata(kLayoutPath, kMaxDocumentBytes));
  if (layout.numLayers <= 0 || layout.expertsPerLayer <= 0 || layout.expertStride == 0) {
    fail("packed expert layout dimensions must be positive");
  }
  if (layout.expertStride != manifest.expertStride || layout.numLayers != manifest.numLayers ||
      layout.expertsPerLayer != manifest.expertsPerLayer) {
    fail("packed expert layout dimensions mismatch manifest");
  }
  const uint64_t page = Posix::pageSize();
  const uint64_t stride = layout.expertStride;
  if (stride % page != 0) fail("expertStride " + std::to_string(stride) + " is not page-aligned");
  if (static_cast<int64_t>(layout.layers.size()) != layout.numLayers) {
    fail("packed expert layout layer count mismatch");
  }
  const uint64_t experts = static_cast<uint64_t>(layout.expertsPerLayer);
  uint64_t layerSize = 0;
  if (__builtin_mul_overflow(experts, stride, &layerSize))
    fail("packed expert layer size overflowed");

  std::set<int64_t> seenLayers;
  for (const LayoutView::Layer& layer : layout.layers) {
    if (layer.layer < 0 || layer.layer >= layout.numLayers) {
      fail("packed expert layer index out of range");
    }
    if (!seenLayers.insert(layer.layer).second) {
      fail("duplicate packed expert layer " + std::to_string(layer.layer));
    }
    try {
      KorvexPathValidator::validateBasename(layer.file, "packed_experts.file");
    } catch (const KorvexFormatError& e) {
      fail("unsafe packed expert layer filename " + layer.file + ": " + e.description());
    }
    const std::string path = "packed_experts/" + layer.file;
    if (layer.experts.size() != experts) fail(path + " expert count mismatch");
    const auto listed = manifest.files.find(path);
    if (listed == manifest.files.end()) fail("manifest missing " + path);
    if (listed->second.size != layerSize) {
      fail(path + " manifest size " + std::to_string(listed->second.size) +
           " != " + std::to_string(layerSize));
    }
    const uint64_t actual = access.fileSize(path);
    if (actual != layerSize) {
      fail(path + " size " + std::to_string(actual) + " != " + std::to_string(layerSize));
    }
    // Slots may be permuted; each must be one aligned, in-file stride.
    std::set<int64_t> ids;
    for (size_t k = 0; k < layer.experts.size(); ++k) {
      const LayoutView::Expert& e = layer.experts[k];
      const int64_t id = e.expert.value_or(static_cast<int64_t>(k));
      const std::string expert = path + " expert " + std::to_string(id);
      if (id < 0 || id >= layout.expertsPerLayer) fail(path + " expert id out of range");
      if (!ids.insert(id).second) fail(path + " duplicate expert " + std::to_string(id));
      if (e.size != stride) fail(expert + " size mismatch");
      if (e.offset % page != 0) fail(expert + " offset is not page-aligned");
      if (e.offset > layerSize - stride) fail(expert + " range exceeds file size");
    }
  }
}

}  // namespace


namespace VerifiedInstallTool {

VerifyInstallResult run(const VerifyInstallOptions& options) {
  const KorvexDirectoryAccess access(options.inputKorvex);
  const std::vector<uint8_t> manifestBytes =
      access.readMetadata("manifest.json", kMaxDocumentBytes);
  Sha256Stream manifestHash;
  manifestHash.update(manifestBytes);
  const std::string manifestSha256 = manifestHash.finalizeHex();
  uint64_t total = manifestBytes.size();

  const ManifestView manifest = decodeManifest(manifestBytes);
  checkPackedExperts(access, manifest);

  std::vector<VerifiedFileRecord> records;
  for (const auto& [path, entry] : manifest.files) {  // ascending path order
    UniqueFd fd = access.openFile(path);
    const uint64_t actual = access.fileSize(fd.get(), path);
    if (actual != entry.size) {
      fail(path + " size " + std::to_string(actual) + " != manifest " + std::to_string(entry.size));
    }
    std::string digest = access.hash(fd.get(), path, true);
    fd.reset();
    std::string listed = entry.sha256;
    for (char& c : listed) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (digest != listed) fail(path + " SHA mismatch");
    if (__builtin_add_overflow(total, entry.size, &total)) fail("verified byte total overflowed");
    records.push_back({path, entry.size, std::move(digest)});
  }

  std::set<std::string> expected = {"manifest.json", "verified-install.json", "tokenizer"};
  for (const auto& [path, entry] : manifest.files) {
    expected.insert(path);
    for (size_t slash = path.find('/'); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
      expected.insert(path.substr(0, slash));
    }
  }
  VerifyInstallResult result;
  for (const std::string& entry : access.relativeEntries(16, 100000)) {
    if (entry == ".DS_Store" || entry == "tokenizer" || entry.starts_with("tokenizer/")) continue;
    if (!expected.contains(entry)) result.unexpectedEntries.push_back(entry);
  }

  const std::string receipt = VerifiedInstallReceipt::encode(
      Posix::standardizedPath(access.rootPath()), manifestSha256, manifestBytes.size(),
      std::nullopt, manifest.sourceSnapshotHash, VerifiedInstallReceipt::kVerifierToolVersion,
      records, VerifiedInstallReceipt::timestampNow());
  access.atomicWrite({reinterpret_cast<const uint8_t*>(receipt.data()), receipt.size()},
                     "verified-install.json");

  result.receiptPath = access.rootPath() + "/verified-install.json";
  result.fileCount = static_cast<int64_t>(records.size()) + 1;
  result.bytesVerified = total;
  return result;
}

}  // namespace VerifiedInstallTool
