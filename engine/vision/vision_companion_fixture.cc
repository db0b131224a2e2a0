#include "engine/vision/vision_companion_fixture.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "engine/common/catalog.h"
#include "engine/common/repack_audit.h"
#include "engine/install/install_state.h"
#include "engine/io/posix.h"

namespace {

VisionPackPlan::Entry entry(std::string name, SourceTensor::Dtype dtype,
                            std::vector<uint64_t> shape, uint64_t elementBytes, int64_t position,
                            uint64_t fileOffset) {
  uint64_t size = elementBytes;
  for (uint64_t extent : shape) size *= extent;
  VisionPackPlan::Entry e;
  e.source = {std::move(name),
              "model-00001-of-00001.safetensors",
              dtype,
              std::move(shape),
              4096 + fileOffset,
              size};
  e.executionPosition = position;
  e.fileOffset = fileOffset;
  if (dtype == SourceTensor::Dtype::u32) e.quantSpec = QuantSpec{4};
  return e;
}

}  // namespace

VisionCompanionFixture writeVisionCompanionFixture(const std::string& directory,
                                                   const std::string& textModelDirectory,
                                                   uint64_t seed) {
  const SupportedModelSource& gemma = ModelCatalog::defaultSource();
  VisionCompanionFixture f;
  f.modelID = gemma.modelID;
  f.sourceRevision = gemma.revision;
  f.sourceIndexSha256 = gemma.sourceIndexSHA256;
  f.processorConfig = R"({"image_seq_length": 280, "seed": )" + std::to_string(seed) + "}\n";
  f.entries = {
      entry("vision_tower.patch_embedder.input_proj.weight", SourceTensor::Dtype::u32, {8, 4}, 4, 0,
            0),
      entry("vision_tower.std_bias", SourceTensor::Dtype::bf16, {24}, 2, 1, 16384),
      entry("embed_vision.embedding_projection.weight", SourceTensor::Dtype::u32, {2, 16}, 4, 2,
            32768),
  };
  f.weightsFileSize = 32768 + 128;

  const InstallLock lock = InstallLock::acquire(directory);
  const RemoteInstallPaths& paths = lock.paths();
  f.directory = paths.finalDirectory;
  std::filesystem::remove_all(paths.partialDirectory);
  std::filesystem::create_directory(paths.partialDirectory);
  const std::string weights = paths.partialDirectory + "/vision_weights.bin";
  {
    std::ofstream out(weights, std::ios::binary | std::ios::trunc);
    uint64_t state = seed * 0x9E3779B97F4A7C15ull + 7;
    for (uint64_t i = 0; i < f.weightsFileSize; ++i) {
      state = state * 6364136223846793005ull + 1442695040888963407ull;
      out.put(static_cast<char>(state >> 56));
    }
    if (!out) throw std::runtime_error("cannot write " + weights);
  }
  RepackAudit audit;
  PackagePromotion promotion;
  promotion.replaces = Posix::identity(paths.finalDirectory);
  f.result = VisionPackWriter::finish(
      f.entries, f.weightsFileSize, VisionPackPlan::kSourcePayloadBytes, f.modelID,
      f.sourceRevision, f.sourceIndexSha256,
      {reinterpret_cast<const uint8_t*>(f.processorConfig.data()), f.processorConfig.size()},
      weights, paths.partialDirectory, paths.finalDirectory,
      VisionPackTextBinding::read(textModelDirectory), audit, {}, promotion);
  return f;
}
