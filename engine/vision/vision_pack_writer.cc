#include "engine/vision/vision_pack_writer.h"

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <memory>

#include "engine/common/repack_error.h"
#include "engine/install/install_state.h"
#include "engine/install/writer_core.h"
#include "engine/io/mmap_handle.h"
#include "engine/io/posix.h"
#include "engine/source/index_loader.h"
#include "engine/source/safetensors.h"
#include "format/vision.h"

namespace {

std::string joined(const std::string& directory, const std::string& name) {
  return (std::filesystem::path(directory) / name).string();
}

// The model identifier of an accepted source: the digest must be known and
// map to one of the two Gemma 4 checkpoints of the catalogue.
std::string acceptedModelID(const std::string& indexSha256,
                            const VisionPackWriter::KnownSources& knownSources) {
  const auto known = knownSources.find(indexSha256);
  if (known != knownSources.end()) {
    for (const SupportedModelSource& row : ModelCatalog::all()) {
      if (ModelCatalog::isVisionEligible(row) && row.modelID == known->second) return row.modelID;
    }
  }
  throw RepackError(
      RepackError::SourceFingerprintRejected{"model.safetensors.index.json", indexSha256});
}

}  // namespace

namespace VisionPackWriter {

VisionPackWriteResult write(const VisionPackWriteOptions& options, RepackAudit& audit,
                            const KnownSources& knownSources) {
  audit.sampleMemory();
  const IndexLoader::SourceMetadata metadata = IndexLoader::load(options.inputDirectory);
  const std::string modelID = acceptedModelID(metadata.indexSha256Hex, knownSources);
  std::vector<Safetensors::Header> headers;
  for (const std::string& shard : metadata.shardFilenames) {
    headers.push_back(Safetensors::readHeader(joined(options.inputDirectory, shard)));
  }
  const VisionPackPlan plan = VisionPackPlan::build(metadata, headers);
  const VisionPackTextBinding binding = VisionPackTextBinding::read(options.textModelDirectory);
  // A checkpoint directory of the hub's cache holds links to its blobs.
  const std::vector<uint8_t> processorConfig = Posix::readBoundedData(
      joined(options.inputDirectory, std::string(KorvexVisionFormatV1::processorFile)),
      KorvexVisionFormatV1::metadataMaxBytes, true);

  const InstallLock installLock = InstallLock::acquire(options.outputDirectory);
  const RemoteInstallPaths& paths = installLock.paths();
  if (Posix::entryKind(paths.partialDirectory) != Posix::EntryKind::absent) {
    if (!options.overwrite) {
      throwConfigurationInvalid("output exists: " + paths.partialDirectory + "; pass --overwrite");
    }
    Posix::removeAll(paths.partialDirectory);
    // A saved download's checkpoint must not outlive its partial directory.
    Posix::removeFile(paths.checkpointFile);
  }
  if (!options.overwrite && Posix::entryKind(paths.finalDirectory) != Posix::EntryKind::absent) {
    throwConfigurationInvalid("output exists: " + paths.finalDirectory + "; pass --overwrite");
  }
  PackagePromotion promotion;
  if (Posix::entryKind(paths.finalDirectory) == Posix::EntryKind::directory) {
    requireReplaceablePackage(paths.finalDirectory);
    promotion.replaces = Posix::identity(paths.finalDirectory);
  }

  if (::mkdir(paths.partialDirectory.c_str(), 0755) != 0) {
    const int err = errno;
    throw RepackError(RepackError::MkdirFailed{paths.partialDirectory, err});
  }
  const std::string weightsPath =
      joined(paths.partialDirectory, std::string(KorvexVisionFormatV1::weightsFile));
  {
    UniqueFd weights = Posix::openCreateRW(weightsPath);
    Posix::ftruncate(weights.get(), weightsPath, plan.weightsFileSize);
    // One mapping per shard for the whole copy; only the tile being copied
    // stays resident.
    std::map<std::string, std::unique_ptr<MmapHandle>> shards;
    for (const VisionPackPlan::Entry& entry : plan.entries) {
      const SourceTensor& tensor = entry.source;
      if (tensor.sizeBytes == 0) continue;
      std::unique_ptr<MmapHandle>& shard = shards[tensor.shardPath];
      if (!shard) shard = std::make_unique<MmapHandle>(tensor.shardPath);
      // The header was checked against the file's size when it was read; a
      // shard that shrank since must not be read past its end.
      const uint64_t length = static_cast<uint64_t>(shard->length());
      if (tensor.absoluteOffset > length || tensor.sizeBytes > length - tensor.absoluteOffset) {
        uint64_t end = 0;
        if (__builtin_add_overflow(tensor.absoluteOffset, tensor.sizeBytes, &end)) end = UINT64_MAX;
        throw RepackError(
            RepackError::SafetensorsTensorOutOfRange{tensor.shardPath, tensor.name, end, length});
      }
      WriterCore::pwriteTensorRegion(*shard, tensor.absoluteOffset, tensor.sizeBytes, weights.get(),
                                     weightsPath, entry.fileOffset, audit);
      audit.sampleMemory();
    }
    Posix::fsync(weights.get(), weightsPath);
  }
  return finish(plan.entries, plan.weightsFileSize, plan.sourcePayloadBytes, modelID,
                options.sourceRevision, metadata.indexSha256Hex, processorConfig, weightsPath,
                paths.partialDirectory, paths.finalDirectory, binding, audit, {}, promotion);
}

}  // namespace VisionPackWriter
