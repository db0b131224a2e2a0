#include "tools/package_fixture.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "engine/io/sha256_stream.h"
#include "format/korvex_format.h"
#include "format/resident_index.h"

namespace {

void writeBytes(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

// Writes `size` pseudo-random bytes in 1 MiB blocks, so large fixtures stay
// cheap in memory.
void writeNoise(const std::string& path, uint64_t offset, uint64_t size, uint64_t seed,
                std::fstream& out) {
  std::vector<char> block(1 << 20);
  uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
  out.seekp(static_cast<std::streamoff>(offset));
  for (uint64_t done = 0; done < size;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(block.size(), size - done));
    for (size_t i = 0; i < n; i += 8) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      for (size_t b = 0; b < 8 && i + b < n; ++b)
        block[i + b] = static_cast<char>(state >> (8 * b));
    }
    out.write(block.data(), static_cast<std::streamsize>(n));
    done += n;
  }
  if (!out) throw std::runtime_error("cannot write " + path);
}

void createSized(const std::string& path, uint64_t size) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc).close();
  std::filesystem::resize_file(path, size);
}

KorvexManifestArchV1 archFor(int64_t numLayers, int64_t experts) {
  KorvexManifestArchV1 a;
  a.hiddenSize = 64;
  a.ffnIntermediate = 128;
  a.moeIntermediateSize = 32;
  a.numHeads = 4;
  a.numKVHeads = 2;
  a.numFullKVHeads = 1;
  a.headDim = 16;
  a.fullHeadDim = 32;
  a.vocabSize = 256;
  a.slidingWindow = 128;
  a.finalLogitSoftcap = 30;
  a.ropeTheta = 10000;
  a.fullRopeTheta = 1000000;
  a.partialRotaryFactor = 0.25;
  a.numLayers = numLayers;
  a.numExperts = experts;
  a.topKExperts = 1;
  a.hiddenActivation = "gelu_pytorch_tanh";
  a.fullAttentionLayerMask.assign(static_cast<size_t>(numLayers), 0);
  return a;
}

}  // namespace

PackageFixture writePackageFixture(const std::string& directory,
                                   const PackageFixtureOptions& options) {
  if (std::filesystem::exists(directory)) throw std::runtime_error(directory + " exists");
  PackageFixture f;
  f.directory = directory;

  // model_weights.bin: one bf16 tensor filling the payload.
  const std::string name = "language_model.model.norm.weight";
  const uint64_t indexSize = KorvexResidentIndexCodec::indexSizeFor(1, name.size());
  std::vector<uint8_t> index(indexSize, 0);
  KorvexResidentIndexCodec::writeHeader(index, {indexSize, options.residentPayloadBytes, 1});
  KorvexResidentIndexEntryV1 entry;
  entry.name = name;
  entry.dtype = static_cast<uint8_t>(KorvexFormatV1::DType::bf16);
  entry.fileOffset = indexSize;
  entry.sizeBytes = options.residentPayloadBytes;
  entry.shape = {static_cast<uint32_t>(options.residentPayloadBytes / 2), 0, 0, 0};
  KorvexResidentIndexCodec::writeEntry(std::span<uint8_t>(index).subspan(24, 72), entry,
                                       static_cast<uint32_t>(24 + 72));
  std::copy(name.begin(), name.end(), index.begin() + 24 + 72);
  const std::string weights = directory + "/model_weights.bin";
  createSized(weights, indexSize + options.residentPayloadBytes);
  {
    std::fstream out(weights, std::ios::binary | std::ios::in | std::ios::out);
    out.write(reinterpret_cast<const char*>(index.data()), static_cast<std::streamsize>(indexSize));
    writeNoise(weights, indexSize, options.residentPayloadBytes, options.seed, out);
  }

  // One file per layer; each expert writes its weights at the slot start.
  f.layout.expertStride = options.expertStride;
  f.layout.numLayers = options.numLayers;
  f.layout.expertsPerLayer = options.expertsPerLayer;
  const uint64_t layerSize = options.expertStride * static_cast<uint64_t>(options.expertsPerLayer);
  for (int64_t l = 0; l < options.numLayers; ++l) {
    char file[32];
    std::snprintf(file, sizeof file, "layer_%03lld.bin", static_cast<long long>(l));
    const std::string path = directory + "/packed_experts/" + file;
    createSized(path, layerSize);
    {
      std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
      writeNoise(path, 0, layerSize, options.seed + 1 + static_cast<uint64_t>(l), out);
    }
    KorvexLayerV1 layer{l, file, {}};
    for (int64_t e = 0; e < options.expertsPerLayer; ++e) {
      KorvexExpertV1 expert;
      expert.expert = e;
      expert.offset = static_cast<uint64_t>(e) * options.expertStride;
      expert.size = options.expertStride;
      expert.tensors["gate"] = {0, options.expertStride, "U32", {8, 4}, 4};
      layer.experts.push_back(std::move(expert));
    }
    f.layout.layers.push_back(std::move(layer));
  }

  writeBytes(directory + "/tokenizer/tokenizer.json", R"({"version":"1.0"})");
  writeBytes(directory + "/tokenizer/config.json", R"({"model_type":"gemma4"})");

  f.manifest.magic = std::string(KorvexFormatV1::magic);
  f.manifest.versionMajor = 1;
  f.manifest.flags = {
      {"streamingPresent", true}, {"turboQuantKV", false}, {"aneSharedExpert", false}};
  f.manifest.modelID = "fixture/model";
  f.manifest.sourceSnapshotHash = "sha256:" + std::string(64, 'a');
  f.manifest.arch = archFor(options.numLayers, options.expertsPerLayer);
  f.manifest.expertsPerLayer = options.expertsPerLayer;
  f.manifest.numLayers = options.numLayers;
  f.manifest.expertStride = options.expertStride;
  f.manifest.bitWidthOverridesHonored = 0;
  for (const char* path :
       {"model_weights.bin", "tokenizer/tokenizer.json", "tokenizer/config.json"}) {
    f.refreshFile(path);
  }
  for (const KorvexLayerV1& layer : f.layout.layers) f.refreshFile("packed_experts/" + layer.file);
  f.writeLayout();
  return f;
}

void PackageFixture::refreshFile(const std::string& relativePath) {
  const std::string path = directory + "/" + relativePath;
  manifest.files[relativePath] = {std::filesystem::file_size(path),
                                  Sha256Stream::hashFile(path, 1 << 20, false, false)};
}

void PackageFixture::writeLayout() {
  writeBytes(directory + "/packed_experts/layout.json",
             KorvexPackedExpertsLayoutCodec::encode(layout));
  refreshFile("packed_experts/layout.json");
  writeManifest();
}

void PackageFixture::writeManifest() const {
  writeBytes(directory + "/manifest.json", KorvexManifestCodec::encode(manifest));
}
