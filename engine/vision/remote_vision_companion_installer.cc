#include "engine/vision/remote_vision_companion_installer.h"

#include <algorithm>
#include <filesystem>
#include <set>
#include <unordered_map>

#include "engine/common/catalog.h"
#include "engine/common/repack_error.h"
#include "engine/install/disk_space.h"
#include "engine/install/install_state.h"
#include "engine/install/remote_install_steps.h"
#include "engine/install/resume_checkpoint.h"
#include "engine/io/posix.h"
#include "engine/plan/range_copy_plan.h"
#include "engine/plan/vision_pack_plan.h"
#include "engine/remote/source_byte_provider.h"
#include "engine/vision/vision_pack_writer.h"
#include "format/korvex_format.h"
#include "format/vision.h"

namespace {

namespace fs = std::filesystem;
using Kind = Posix::EntryKind;

constexpr const char* kProcessorFile = "processor_config.json";

void removeAllIgnoringErrors(const std::string& path) {
  std::error_code ignored;
  fs::remove_all(path, ignored);
}

// The model identifier of a source whose index digest `knownSources` maps to
// one of the two Gemma 4 checkpoints of the catalogue; anything else is
// sourceFingerprintRejected.
std::string gemmaModelID(const std::string& indexSha256, const KnownSourceTable& knownSources) {
  const auto known = knownSources.find(indexSha256);
  if (known != knownSources.end()) {
    for (const SupportedModelSource& row : ModelCatalog::all()) {
      if (ModelCatalog::isVisionEligible(row) && row.modelID == known->second) return row.modelID;
    }
  }
  throw RepackError(
      RepackError::SourceFingerprintRejected{"model.safetensors.index.json", indexSha256});
}

// True when `path` is a regular file (not followed through a link) of
// exactly `size` bytes: the only weights file whose finished ranges count.
bool regularFileOfSize(const std::string& path, uint64_t size) {
  if (Posix::entryKind(path) != Kind::regular) return false;
  const UniqueFd fd = Posix::openReadNoFollow(path);
  return Posix::fileSize(fd.get(), path) == size;
}

// The finished ranges of a saved download that can be trusted: each must
// name a range of the plan (else the checkpoint is not this plan's and the
// run stops), and is kept only when its sizes match that range and the
// bytes now at its destinations still have its recorded digest. The others
// are dropped and fetched again. Ids are checked before any byte is read.
std::vector<RemoteCompletedRange> screenCompletedRanges(
    const std::vector<RemoteCompletedRange>& completed, const RangeCopyPlan& copyPlan,
    const std::string& partialDirectory, const CancellationToken& cancellation) {
  std::unordered_map<std::string, const CoalescedRangeCopy*> byID;
  for (const CoalescedRangeCopy& range : copyPlan.coalescedCopies) byID[range.id] = &range;
  for (const RemoteCompletedRange& done : completed) {
    if (!byID.contains(done.id)) {
      throw RepackError(RepackError::InstallStateCorrupt{partialDirectory,
                                                         "checkpoint contains an unknown range"});
    }
  }
  std::vector<RemoteCompletedRange> kept;
  for (const RemoteCompletedRange& done : completed) {
    const CoalescedRangeCopy& range = *byID.at(done.id);
    if (done.sourceBytes == range.size &&
        done.destinationBytes == RemoteInstallSteps::destinationBytesOf(range) &&
        destinationDigest(range, partialDirectory, {}, [&] { cancellation.check(); }) ==
            done.destinationDigest) {
      kept.push_back(done);
    }
  }
  RemoteInstallSteps::sortByID(kept);
  return kept;
}

// vision_weights.bin created afresh at its final size and synced. Whatever
// else stands at the path (a link, a directory) is removed first, so the
// file is never opened through a link.
void reserveWeightsFile(const std::string& partialDirectory, const std::string& weightsPath,
                        uint64_t size) {
  Posix::mkdirP(partialDirectory);
  const Kind kind = Posix::entryKind(weightsPath);
  if (kind != Kind::absent && kind != Kind::regular) Posix::removeAll(weightsPath);
  const UniqueFd fd = Posix::openCreateRW(weightsPath);
  Posix::ftruncate(fd.get(), weightsPath, size);
  Posix::fsync(fd.get(), weightsPath);
  Posix::fsyncDirectory(partialDirectory);
}

}  // namespace

RemoteVisionCompanionInstaller::RemoteVisionCompanionInstaller(RemoteVisionCompanionOptions options,
                                                               RepackAudit& audit)
    : options_(std::move(options)), audit_(audit) {}

RemoteVisionCompanionResult RemoteVisionCompanionInstaller::run(const ProgressHandler& progress) {
  const RemoteVisionCompanionOptions& o = options_;
  const std::shared_ptr<const RemoteDownloadSession> session =
      o.downloadSession ? o.downloadSession : std::make_shared<const RemoteDownloadSession>();
  const CancellationToken& cancellation = session->cancellation();
  const auto emit = [&](ModelInstallProgress::Event event) {
    if (progress) progress(ModelInstallProgress{std::move(event)});
  };
  audit_.sampleMemory();

  // Start: nothing is touched and nothing is requested until the state is known.
  const RemoteInstallSteps::Transfer transfer = RemoteInstallSteps::transferOf(o);
  RemoteInstallSteps::checkTransfer(transfer);
  // A text package the companion could not bind to is refused before any download.
  VisionPackTextBinding binding = VisionPackTextBinding::read(o.textModelDirectory);

  const InstallLock lock = InstallLock::acquire(o.outputDirectory);
  const RemoteInstallPaths& paths = lock.paths();
  const RemoteInstallSteps::OutputState state =
      RemoteInstallSteps::checkOutputState(paths, o.overwrite, o.resume);
  const bool checkpointPresent = state.checkpointPresent;

  try {
    cancellation.check();
    const std::optional<RemoteInstallCheckpoint> loaded =
        RemoteInstallSteps::loadSavedDownload(paths, o.resume, transfer);

    // Plan.
    const HuggingFaceRemoteSource source =
        RemoteInstallSteps::hubSource(transfer, session, loaded, paths);
    const KnownSourceTable& knownSources =
        o.knownSources ? *o.knownSources : SourceFingerprint::knownSources();
    const LocalCheckpoint local = RemoteInstallSteps::localCheckpointOf(
        transfer, loaded ? loaded->resolvedCommit : o.revision);
    RemoteSnapshot snapshot;
    if (snapshot_) {
      snapshot = *snapshot_;
    } else {
      emit(ModelInstallProgress::DownloadingMetadata{});
      snapshot = RemoteInstallSteps::loadSnapshot(source, transfer, local, paths.metadataDirectory,
                                                  true, audit_, knownSources);
    }
    cancellation.check();
    const std::string& indexSha256 = snapshot.metadata.indexSha256Hex;
    const std::string modelID = gemmaModelID(indexSha256, knownSources);
    const VisionPackPlan plan = VisionPackPlan::build(snapshot.metadata, snapshot.shardHeaders);
    const std::string weightsPath =
        paths.partialDirectory + "/" + std::string(KorvexVisionFormatV1::weightsFile);
    const RangeCopyPlan copyPlan =
        RangeCopyPlanner::planVisionCompanion(plan, weightsPath, o.rangeChunkBytes);
    const HuggingFaceRemoteSource pinned = source.pinned(snapshot.resolvedCommit);

    RemoteInstallCheckpoint checkpoint = RemoteInstallSteps::checkpointFor(
        loaded, transfer, snapshot.resolvedCommit, indexSha256, copyPlan);
    if (loaded) {
      checkpoint.completedRanges = regularFileOfSize(weightsPath, plan.weightsFileSize)
                                       ? screenCompletedRanges(checkpoint.completedRanges, copyPlan,
                                                               paths.partialDirectory, cancellation)
                                       : std::vector<RemoteCompletedRange>{};
      checkpoint.write(paths.checkpointFile, paths.parentDirectory);
    }

    // Reserve.
    emit(ModelInstallProgress::Planning{copyPlan.remoteBytesToDownload, plan.weightsFileSize});
    const uint64_t reused = RemoteInstallSteps::finishedOf(checkpoint).sourceBytes;
    emit(ModelInstallProgress::CheckingDisk{RemoteInstallSteps::requireSpace(
        paths, plan.weightsFileSize, checkpoint, transfer, o.minFreeReserveBytes)});

    cancellation.check();
    RemoteInstallSteps::noteSource(audit_, transfer, snapshot.resolvedCommit, indexSha256,
                                   copyPlan);

    if (checkpoint.completedRanges.empty()) {
      emit(ModelInstallProgress::ReservingOutput{plan.weightsFileSize});
      // The checkpoint first, so that a run stopped here leaves a saved
      // download (whose resume reserves the file again), never a weights
      // file without its checkpoint.
      checkpoint.write(paths.checkpointFile, paths.parentDirectory);
      reserveWeightsFile(paths.partialDirectory, weightsPath, plan.weightsFileSize);
    }

    // Copy.
    const uint64_t downloadedThisRun = RemoteInstallSteps::copyPayload(
        {provider_, pinned, snapshot.remoteFiles, transfer, copyPlan, paths, snapshot.localFiles,
         snapshot.localHeaders},
        checkpoint, audit_, progress, {});
    audit_.sampleMemory();

    std::vector<uint8_t> processorConfig;
    if (processorConfig_) {
      processorConfig = *processorConfig_;
    } else {
      cancellation.check();
      const std::string fetched = paths.metadataDirectory + "/" + kProcessorFile;
      RemoteSnapshot::fetchSideFile(pinned, SnapshotSources{&local, o.offline, o.warn},
                                    kProcessorFile, KorvexVisionFormatV1::metadataMaxBytes, true,
                                    fetched, &audit_);
      processorConfig = Posix::readBoundedData(fetched, KorvexVisionFormatV1::metadataMaxBytes);
    }
    emit(ModelInstallProgress::HashingOutput{std::string(KorvexVisionFormatV1::weightsFile)});
    removeAllIgnoringErrors(paths.metadataDirectory);
    removeAllIgnoringErrors(paths.rangeTemporaryFile);

    // Finish: bind to the text package as it is now, then promote.
    emit(ModelInstallProgress::Finalizing{});
    cancellation.check();
    binding = VisionPackTextBinding::read(o.textModelDirectory);
    const VisionPackWriteResult written = VisionPackWriter::finish(
        plan.entries, plan.weightsFileSize, plan.sourcePayloadBytes, modelID, o.revision,
        indexSha256, processorConfig, weightsPath, paths.partialDirectory, paths.finalDirectory,
        binding, audit_, [&] { cancellation.check(); },
        RemoteInstallSteps::promotionOf(paths, state, checkpoint));

    RemoteVisionCompanionResult result;
    result.outputDir = o.outputDirectory;
    result.resolvedCommit = snapshot.resolvedCommit;
    result.tensorCount = written.tensorCount;
    result.sourcePayloadBytes = written.sourcePayloadBytes;
    result.weightsFileSize = written.weightsFileSize;
    result.manifestSha256 = written.manifestSha256;
    result.rangeRequestCount = static_cast<int64_t>(copyPlan.coalescedCopies.size());
    result.remoteBytesToDownload = copyPlan.remoteBytesToDownload;
    result.localBytes = RemoteInstallSteps::localPayloadBytes(copyPlan, snapshot);
    result.reusedBytes = reused;
    result.downloadedThisRunBytes = downloadedThisRun;
    return result;
  } catch (...) {
    // A saved download stays resumable; anything else this run created goes.
    if (!checkpointPresent && Posix::entryKind(paths.checkpointFile) == Kind::absent) {
      removeAllIgnoringErrors(paths.partialDirectory);
    }
    throw;
  }
}
