// The finishing step of a companion, shared by the local writer and the
// remote installer, with the binding it records and the lock it promotes
// under.
#include "engine/vision/vision_pack_writer.h"

#include <sys/file.h>

#include <cerrno>
#include <filesystem>

#include "engine/common/repack_error.h"
#include "engine/install/package_promotion.h"
#include "engine/install/writer_core.h"
#include "engine/io/posix.h"
#include "engine/io/sha256_stream.h"
#include "engine/vision/vision_lock_paths.h"
#include "format/manifest.h"
#include "format/vision.h"

namespace {

using KorvexVisionFormatV1::metadataMaxBytes;

std::string sha256Of(std::span<const uint8_t> bytes) {
  Sha256Stream stream;
  stream.update(bytes);
  return stream.finalizeHex();
}

std::span<const uint8_t> bytesOf(const std::string& text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

std::string joined(const std::string& directory, const std::string& name) {
  return (std::filesystem::path(directory) / name).string();
}

KorvexVisionTensorRegionV1 regionOf(const VisionPackPlan::Entry& entry) {
  KorvexVisionTensorRegionV1 region;
  region.name = entry.source.name;
  region.executionPosition = entry.executionPosition;
  region.file = std::string(KorvexVisionFormatV1::weightsFile);
  region.offset = entry.fileOffset;
  region.size = entry.source.sizeBytes;
  region.shape = entry.source.shape;
  switch (entry.source.dtype) {
    case SourceTensor::Dtype::u32:
      region.dtype = "U32";
      break;
    case SourceTensor::Dtype::bf16:
      region.dtype = "BF16";
      break;
    default:
      throwConfigurationInvalid("unsupported vision dtype for " + entry.source.name);
  }
  if (entry.quantSpec) {
    region.quantization = KorvexVisionQuantizationV1{entry.quantSpec->bits, "affine", "bf16",
                                                     "bf16", entry.groupSize};
  }
  return region;
}

// Promotes under the companion's use lock, so that a reader holding it never
// sees the directory change under it.
void promote(PackagePromotion promotion, const std::string& partial, const std::string& final) {
  const VisionPackMutationLock useLock = VisionPackMutationLock::acquire(final);
  promotion.partialDirectory = partial;
  promotion.finalDirectory = final;
  promotion.parentDirectory =
      std::filesystem::path(Posix::standardizedPath(final)).parent_path().string();
  promotePackage(promotion);
}

}  // namespace

VisionPackTextBinding VisionPackTextBinding::read(const std::string& textModelDirectory) {
  const std::vector<uint8_t> bytes =
      Posix::readBoundedData(joined(textModelDirectory, "manifest.json"), metadataMaxBytes);
  const KorvexManifestV1 manifest = KorvexManifestCodec::decode(bytes);
  if (!manifest.sourceSnapshotHash || manifest.sourceSnapshotHash->empty()) {
    throwConfigurationInvalid("text manifest has no sourceSnapshotHash");
  }
  return {*manifest.sourceSnapshotHash, sha256Of(bytes)};
}

VisionPackMutationLock VisionPackMutationLock::acquire(const std::string& companionDirectory) {
  std::string path = KorvexVisionLockPathsV1::useLockURL(companionDirectory);
  UniqueFd fd = Posix::openLock(path);
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    if (err == EWOULDBLOCK) throw RepackError(RepackError::InstallBusy{path});
    throw RepackError(RepackError::FileOpenFailed{path, err});
  }
  // The flock excludes others only while the locked file is the one at the
  // path. On failure the destructor unlocks and closes.
  VisionPackMutationLock lock(std::move(path), std::move(fd));
  if (!Posix::descriptorMatchesPath(lock.descriptor_.get(), lock.path_)) {
    throw RepackError(
        RepackError::InstallPathUnsafe{lock.path_, "lock path was replaced during acquisition"});
  }
  return lock;
}

VisionPackMutationLock& VisionPackMutationLock::operator=(VisionPackMutationLock&& other) noexcept {
  if (this != &other) {
    release();
    path_ = std::move(other.path_);
    descriptor_ = std::move(other.descriptor_);
  }
  return *this;
}

VisionPackMutationLock::~VisionPackMutationLock() { release(); }

void VisionPackMutationLock::release() {
  if (descriptor_.valid()) ::flock(descriptor_.get(), LOCK_UN);
  descriptor_.reset();
}

namespace VisionPackWriter {

VisionPackWriteResult finish(
    const std::vector<VisionPackPlan::Entry>& entries, uint64_t weightsFileSize,
    uint64_t sourcePayloadBytes, const std::string& modelID, const std::string& sourceRevision,
    const std::string& sourceIndexSha256, std::span<const uint8_t> processorConfig,
    const std::string& weightsPath, const std::string& partialDirectory,
    const std::string& finalDirectory, const VisionPackTextBinding& binding, RepackAudit& audit,
    const std::function<void()>& cancellationCheck, const PackagePromotion& promotion) {
  const std::string weightsName(KorvexVisionFormatV1::weightsFile);
  const std::string processorName(KorvexVisionFormatV1::processorFile);
  const std::string manifestName(KorvexVisionFormatV1::manifestFile);

  // The manifest records weightsFileSize; a file of another length would
  // make a companion that can never verify.
  {
    const UniqueFd weights = Posix::openRead(weightsPath);
    const uint64_t actual = Posix::fileSize(weights.get(), weightsPath);
    if (actual != weightsFileSize) {
      throwConfigurationInvalid(weightsName + " size " + std::to_string(actual) +
                                " != " + std::to_string(weightsFileSize));
    }
  }
  const std::string weightsSha256 =
      WriterCore::hashEntireFile(weightsPath, weightsFileSize, audit, cancellationCheck);

  const std::string processorConfigSha256 = sha256Of(processorConfig);
  Posix::atomicWrite(processorConfig, joined(partialDirectory, processorName), partialDirectory);

  KorvexVisionManifestV1 manifest;
  manifest.magic = std::string(KorvexVisionFormatV1::magic);
  manifest.artifactKind = std::string(KorvexVisionFormatV1::artifactKind);
  manifest.versionMajor = KorvexVisionFormatV1::versionMajor;
  manifest.versionMinor = KorvexVisionFormatV1::versionMinor;
  manifest.modelID = modelID;
  manifest.sourceRevision = sourceRevision;
  manifest.sourceIndexSha256 = sourceIndexSha256;
  manifest.processorConfigSha256 = processorConfigSha256;
  manifest.compatibleTextSourceSnapshotHash = binding.sourceSnapshotHash;
  manifest.compatibleTextManifestSha256 = binding.textManifestSHA;
  manifest.files[weightsName] = {weightsFileSize, weightsSha256};
  manifest.files[processorName] = {processorConfig.size(), processorConfigSha256};
  for (const VisionPackPlan::Entry& entry : entries) manifest.tensors.push_back(regionOf(entry));
  const std::string manifestBytes = KorvexVisionManifestCodec::encode(manifest);
  const std::string manifestSha256 = sha256Of(bytesOf(manifestBytes));
  Posix::atomicWrite(bytesOf(manifestBytes), joined(partialDirectory, manifestName),
                     partialDirectory);

  // The receipt's file table is fixed by its format: the weights and the
  // manifest. processor_config.json is covered through the manifest's digest.
  KorvexVisionReceiptV1 receipt;
  receipt.schemaVersion = 1;
  receipt.artifactKind = std::string(KorvexVisionFormatV1::artifactKind);
  receipt.manifestSha256 = manifestSha256;
  receipt.companionDirectoryPath = finalDirectory;
  receipt.compatibleTextManifestSha256 = binding.textManifestSHA;
  receipt.sourceRepoID = modelID;
  receipt.sourceRevision = sourceRevision;
  // No clock time: the same source and text package give the same receipt.
  receipt.verificationTimestamp = "source-revision:" + sourceRevision;
  receipt.toolVersion = kToolVersion;
  receipt.files[weightsName] = manifest.files.at(weightsName);
  receipt.files[manifestName] = {manifestBytes.size(), manifestSha256};
  const std::string receiptBytes = KorvexVisionReceiptCodec::encode(receipt);
  Posix::atomicWrite(bytesOf(receiptBytes),
                     joined(partialDirectory, std::string(KorvexVisionFormatV1::receiptFile)),
                     partialDirectory);
  Posix::fsyncDirectory(partialDirectory);
  audit.outputBytesWritten += processorConfig.size() + manifestBytes.size() + receiptBytes.size();

  promote(promotion, partialDirectory, finalDirectory);

  audit.sampleMemory();
  VisionPackWriteResult result;
  result.tensorCount = static_cast<int64_t>(entries.size());
  result.sourcePayloadBytes = sourcePayloadBytes;
  result.weightsFileSize = weightsFileSize;
  result.manifestSha256 = manifestSha256;
  result.peakRSSBytes = audit.peakRssBytes;
  result.largestScratchBytes = audit.largestScratchBytes;
  return result;
}

}  // namespace VisionPackWriter
