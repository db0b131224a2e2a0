#include "engine/install/streaming_repacker.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <set>
#include <unordered_map>

#include "engine/common/catalog.h"
#include "engine/common/repack_error.h"
#include "engine/install/disk_space.h"
#include "engine/install/install_state.h"
#include "engine/install/remote_install_steps.h"
#include "engine/install/writer_core.h"
#include "engine/io/posix.h"
#include "engine/io/sha256_stream.h"
#include "engine/plan/korvex_json.h"
#include "engine/plan/range_copy_plan.h"
#include "engine/plan/resident_index_encoder.h"
#include "engine/remote/hugging_face_source.h"
#include "engine/remote/source_byte_provider.h"
#include "format/install_receipt.h"
#include "format/korvex_format.h"

namespace {

namespace fs = std::filesystem;
using Kind = Posix::EntryKind;

constexpr uint64_t kConfigCapBytes = 1048576;
constexpr int64_t kHashTileBytes = 65536;

struct SideFile {
  const char* name;
  uint64_t cap;
  bool required;
};
constexpr SideFile kSideFiles[] = {
    {"tokenizer.json", 67108864, true},          {"tokenizer_config.json", 4194304, true},
    {"special_tokens_map.json", 1048576, false}, {"chat_template.jinja", 4194304, false},
    {"chat_template.json", 4194304, false},
};

double wallClockSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

[[noreturn]] void invalid(std::string detail) {
  throw RepackError(RepackError::ConfigurationInvalid{std::move(detail)});
}

void removeAllIgnoringErrors(const std::string& path) {
  std::error_code ignored;
  fs::remove_all(path, ignored);
}

bool isNotFound(const RepackError& error) {
  if (const auto* s = error.as<RepackError::RemoteHTTPStatus>()) return s->status == 404;
  if (const auto* r = error.as<RepackError::RemoteHTTPResponse>()) return r->status == 404;
  return false;
}

uint64_t outputBytesOf(const RepackPlan& plan) {
  uint64_t total =
      korvexCheckedAdd(plan.resident.indexSize, plan.resident.residentSize, "resident.payload");
  for (const LayerFilePlan& layer : plan.layers) {
    if (layer.expertsPerLayer <= 0) continue;
    total = korvexCheckedAdd(total,
                             korvexCheckedMultiply(static_cast<uint64_t>(layer.expertsPerLayer),
                                                   layer.expertStride, "layout.layerSize"),
                             "outputBytes");
  }
  return total;
}

// Creates the outputs at their final sizes inside the partial directory:
// model_weights.bin with its index at the head, and one file per layer that
// has experts. Every file is fsync'ed, then the directory.
void reserveOutputs(const RepackPlan& plan, const std::string& partialDirectory, RepackAudit& audit,
                    const CancellationToken& cancellation) {
  Posix::mkdirP(partialDirectory + "/packed_experts");
  {
    UniqueFd resident = createResidentFile(plan.resident, audit);
    Posix::fsync(resident.get(), plan.resident.path);
  }
  for (const LayerFilePlan& layer : plan.layers) {
    if (layer.expertsPerLayer <= 0) continue;
    cancellation.check();
    UniqueFd fd = Posix::openCreateRW(layer.path);
    Posix::ftruncate(fd.get(), layer.path,
                     korvexCheckedMultiply(static_cast<uint64_t>(layer.expertsPerLayer),
                                           layer.expertStride, "layout.layerSize"));
    Posix::fsync(fd.get(), layer.path);
  }
  Posix::fsyncDirectory(partialDirectory + "/packed_experts");
  Posix::fsyncDirectory(partialDirectory);
}

// The manifest and the layout record one expert stride for every layer file.
// A checkpoint whose layers would need different strides (routed experts
// quantized with different bit widths in different layers) would give a
// package that no reader accepts, so it is refused before any download.
void requireOneExpertStride(const RepackPlan& plan) {
  const LayerFilePlan* first = nullptr;
  for (const LayerFilePlan& layer : plan.layers) {
    if (layer.expertsPerLayer <= 0) continue;
    if (first == nullptr) {
      first = &layer;
    } else if (layer.expertStride != first->expertStride ||
               layer.expertsPerLayer != first->expertsPerLayer) {
      invalid("packed-expert layer " + std::to_string(layer.layerIndex) + " needs stride " +
              std::to_string(layer.expertStride) + " with " +
              std::to_string(layer.expertsPerLayer) + " experts, layer " +
              std::to_string(first->layerIndex) + " stride " + std::to_string(first->expertStride) +
              " with " + std::to_string(first->expertsPerLayer) +
              " experts; a package holds one expert geometry for all layers");
    }
  }
}

// True when every expected output is a regular file of its planned size and
// model_weights.bin starts with exactly the planned resident index.
bool partialOutputsValid(const RangeCopyPlan& copyPlan, const RepackPlan& plan,
                         const std::string& partialDirectory) {
  for (const RemoteExpectedOutput& output : copyPlan.expectedOutputs) {
    const std::string path = partialDirectory + "/" + output.relativePath;
    if (Posix::entryKind(path) != Kind::regular) return false;
    UniqueFd fd = Posix::openReadNoFollow(path);
    if (Posix::fileSize(fd.get(), path) != output.size) return false;
  }
  const std::vector<uint8_t> expected = encodeResidentIndex(plan.resident);
  UniqueFd fd = Posix::openReadNoFollow(plan.resident.path);
  std::vector<uint8_t> chunk(std::min<size_t>(expected.size(), WriterCore::tileBytes));
  for (size_t offset = 0; offset < expected.size(); offset += chunk.size()) {
    const size_t n = std::min(chunk.size(), expected.size() - offset);
    Posix::preadAll(fd.get(), plan.resident.path, chunk.data(), static_cast<int64_t>(n), offset);
    if (!std::equal(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n),
                    expected.begin() + static_cast<std::ptrdiff_t>(offset))) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::vector<RemoteCompletedRange> RemoteStreamingRepacker::reconcileCompletedRanges(
    const std::vector<RemoteCompletedRange>& completed, const RangeCopyPlan& copyPlan,
    const std::string& partialDirectory, const std::function<void()>& cancellationCheck) {
  std::unordered_map<std::string, const CoalescedRangeCopy*> byID;
  for (const CoalescedRangeCopy& range : copyPlan.coalescedCopies) byID[range.id] = &range;
  std::vector<RemoteCompletedRange> kept;
  for (const RemoteCompletedRange& done : completed) {
    const auto it = byID.find(done.id);
    if (it == byID.end() || done.sourceBytes != it->second->size ||
        done.destinationBytes != RemoteInstallSteps::destinationBytesOf(*it->second)) {
      throw RepackError(RepackError::InstallStateCorrupt{partialDirectory,
                                                         "checkpoint contains an unknown range"});
    }
    if (destinationDigest(*it->second, partialDirectory, {}, cancellationCheck) ==
        done.destinationDigest) {
      kept.push_back(done);
    }
  }
  RemoteInstallSteps::sortByID(kept);
  return kept;
}

RemoteStreamingRepacker::RemoteStreamingRepacker(RemoteStreamingRepackOptions options,
                                                 RepackAudit& audit)
    : options_(std::move(options)), audit_(audit), startTime_(wallClockSeconds()) {}

RemoteStreamingRepackResult RemoteStreamingRepacker::run(const ProgressHandler& progress) {
  const RemoteStreamingRepackOptions& o = options_;
  const std::shared_ptr<const RemoteDownloadSession> session =
      o.downloadSession ? o.downloadSession : std::make_shared<const RemoteDownloadSession>();
  const CancellationToken& cancellation = session->cancellation();
  const auto emit = [&](ModelInstallProgress::Event event) {
    if (progress) progress(ModelInstallProgress{std::move(event)});
  };

  // Option check: nothing is touched yet.
  const RemoteInstallSteps::Transfer transfer = RemoteInstallSteps::transferOf(o);
  RemoteInstallSteps::checkTransfer(transfer);

  const InstallLock lock = InstallLock::acquire(o.outputDir);
  const RemoteInstallPaths& paths = lock.paths();

  // State check; failures up to here leave the disk as it was.
  const RemoteInstallSteps::OutputState state =
      RemoteInstallSteps::checkOutputState(paths, o.overwrite, o.resume);
  const bool checkpointPresent = state.checkpointPresent;

  try {
    cancellation.check();
    const std::optional<RemoteInstallCheckpoint> loaded =
        RemoteInstallSteps::loadSavedDownload(paths, o.resume, transfer);
    const HuggingFaceRemoteSource source =
        RemoteInstallSteps::hubSource(transfer, session, loaded, paths);

    emit(ModelInstallProgress::DownloadingMetadata{});
    RemoteSnapshot snapshot =
        o.knownSources
            ? RemoteSnapshot::load(source, paths.metadataDirectory, o.requireKnownSource, &audit_,
                                   *o.knownSources)
            : RemoteSnapshot::load(source, paths.metadataDirectory, o.requireKnownSource, &audit_);

    cancellation.check();
    RepackPlan plan = RepackPlan::build(snapshot.metadata, snapshot.arch, snapshot.shardHeaders,
                                        paths.partialDirectory);
    if (o.knownSources) {
      // The model id comes from the same table that admitted the source.
      const auto known = o.knownSources->find(snapshot.metadata.indexSha256Hex);
      plan.matchedModelID =
          known == o.knownSources->end() ? std::nullopt : std::optional<std::string>(known->second);
    }
    // The headers and the uncoalesced copies are not needed past planning;
    // for a large model they are most of what the install would hold.
    snapshot.shardHeaders = std::vector<Safetensors::Header>();
    requireOneExpertStride(plan);
    RangeCopyPlan copyPlan = RangeCopyPlanner::plan(plan, o.rangeChunkBytes);
    copyPlan.scalarCopies = std::vector<RangeCopy>();
    const HuggingFaceRemoteSource pinned = source.pinned(snapshot.resolvedCommit);

    RemoteInstallCheckpoint checkpoint = RemoteInstallSteps::checkpointFor(
        loaded, transfer, snapshot.resolvedCommit, snapshot.metadata.indexSha256Hex, copyPlan);
    if (loaded) {
      if (partialOutputsValid(copyPlan, plan, paths.partialDirectory)) {
        checkpoint.completedRanges =
            reconcileCompletedRanges(checkpoint.completedRanges, copyPlan, paths.partialDirectory,
                                     [&] { cancellation.check(); });
      } else {
        // Start the payload over under the same identity. Removing the
        // partial directory also removes the fetched metadata; config.json
        // is fetched again so that the package still carries it.
        checkpoint.completedRanges.clear();
        Posix::removeAll(paths.partialDirectory);
        Posix::mkdirP(paths.partialDirectory);
        reserveOutputs(plan, paths.partialDirectory, audit_, cancellation);
        if (const auto config = snapshot.remoteFiles.find("config.json");
            config != snapshot.remoteFiles.end()) {
          pinned.fetchSmallFile("config.json", config->second, kConfigCapBytes,
                                paths.metadataDirectory + "/config.json", &audit_);
        }
      }
      checkpoint.write(paths.checkpointFile, paths.parentDirectory);
    }

    const uint64_t outputBytes = outputBytesOf(plan);
    emit(ModelInstallProgress::Planning{copyPlan.remoteBytesToDownload, outputBytes});

    uint64_t finishedDestinationBytes = 0;
    for (const RemoteCompletedRange& r : checkpoint.completedRanges) {
      finishedDestinationBytes += r.destinationBytes;
    }
    const uint64_t stillToWrite =
        outputBytes > finishedDestinationBytes ? outputBytes - finishedDestinationBytes : 0;
    const DiskSpaceRequirement space = DiskSpaceChecker::requireAvailable(
        paths.parentDirectory,
        korvexCheckedAdd(stillToWrite, static_cast<uint64_t>(o.rangeChunkBytes), "diskSpace"),
        o.minFreeReserveBytes);
    emit(ModelInstallProgress::CheckingDisk{space});

    cancellation.check();
    audit_.remoteRepoID = o.repoID;
    audit_.remoteRequestedRevision = o.revision;
    audit_.remoteResolvedCommit = snapshot.resolvedCommit;
    audit_.remoteRangeStreamingSupported = true;
    audit_.remoteGapBytesDownloaded = copyPlan.remoteGapBytesDownloaded;
    audit_.sourceSnapshotSha256 = snapshot.metadata.indexSha256Hex;
    audit_.bitWidthOverridesHonored = static_cast<int64_t>(snapshot.metadata.bitsOverrides.size());
    audit_.tensorsDroppedMultimodal = plan.excludedMultimodalTensorNames;
    audit_.packedExpertLayoutMode = "identity";

    uint64_t reused = 0;
    for (const RemoteCompletedRange& r : checkpoint.completedRanges) reused += r.sourceBytes;

    if (o.dryRunSpaceCheck) {
      if (!loaded) removeAllIgnoringErrors(paths.partialDirectory);
      RemoteStreamingRepackResult result;
      result.outputDir = o.outputDir;
      result.resolvedCommit = snapshot.resolvedCommit;
      result.plan = std::move(plan);
      result.rangeRequestCount = static_cast<int64_t>(copyPlan.coalescedCopies.size());
      result.remoteBytesToDownload = copyPlan.remoteBytesToDownload;
      result.remoteGapBytesDownloaded = copyPlan.remoteGapBytesDownloaded;
      result.remoteRetryCount = audit_.remoteRangeRetries;
      result.reusedBytes = reused;
      result.dryRun = true;
      return result;
    }

    if (!loaded) {
      emit(ModelInstallProgress::ReservingOutput{outputBytes});
      reserveOutputs(plan, paths.partialDirectory, audit_, cancellation);
      checkpoint.write(paths.checkpointFile, paths.parentDirectory);
    }

    // Copy.
    std::shared_ptr<SourceByteProvider> provider = providerOverride_;
    if (!provider) {
      provider = std::make_shared<HTTPRangeSourceByteProvider>(pinned, snapshot.remoteFiles,
                                                               o.writeTileBytes, o.connections);
    }
    std::set<std::string> finished;
    for (const RemoteCompletedRange& r : checkpoint.completedRanges) finished.insert(r.id);
    const uint64_t downloadedBefore = audit_.remoteBytesDownloaded;
    const uint64_t total = copyPlan.remoteBytesToDownload;
    emit(ModelInstallProgress::CopyingPayload{reused, 0, total});
    provider->copyRanges(
        copyPlan.coalescedCopies, finished, paths.partialDirectory, paths.rangeTemporaryFile,
        audit_,
        [&](uint64_t fetched) {
          emit(ModelInstallProgress::CopyingPayload{reused, fetched, total});
        },
        [&](const RemoteCompletedRange& done) {
          RemoteInstallSteps::recordFinishedRange(checkpoint, done, paths);
        });
    // Finalization needs the ranges' count only; the memory goes to the layout.
    const auto rangeCount = static_cast<int64_t>(copyPlan.coalescedCopies.size());
    copyPlan.coalescedCopies = std::vector<CoalescedRangeCopy>();

    // Finalization: hash every output, then the documents, then promote.
    const auto record = [&](const std::string& relativePath, const std::string& path) {
      emit(ModelInstallProgress::HashingOutput{relativePath});
      cancellation.check();
      uint64_t size = 0;
      {
        UniqueFd fd = Posix::openRead(path);
        size = Posix::fileSize(fd.get(), path);
      }
      const std::string digest =
          WriterCore::hashEntireFile(path, size, audit_, [&] { cancellation.check(); });
      audit_.outputFiles.push_back({relativePath, size, digest});
    };

    record("model_weights.bin", plan.resident.path);
    uint64_t stride = 0;
    int64_t expertsPerLayer = 0;
    for (const LayerFilePlan& layer : plan.layers) {
      if (layer.expertsPerLayer <= 0) continue;
      if (stride == 0) {
        stride = layer.expertStride;
        expertsPerLayer = layer.expertsPerLayer;
      }
      cancellation.check();
      record("packed_experts/" + fs::path(layer.path).filename().string(), layer.path);
    }

    const std::string packedDirectory = paths.partialDirectory + "/packed_experts";
    Posix::mkdirP(packedDirectory);
    const std::string layoutPath = packedDirectory + "/layout.json";
    Posix::atomicWrite(
        [&](const Posix::PieceWriter& write) {
          KorvexJSON::writeLayout(plan, stride, [&](std::string_view piece) {
            write(piece);
            audit_.outputBytesWritten += piece.size();
          });
        },
        layoutPath, packedDirectory);
    KorvexJSON::checkLayoutReadBack(layoutPath, plan);
    record("packed_experts/layout.json", layoutPath);

    cancellation.check();
    const std::string tokenizerDirectory = paths.partialDirectory + "/tokenizer";
    cancellation.check();
    const std::string fetchedConfig = paths.metadataDirectory + "/config.json";
    Posix::mkdirP(tokenizerDirectory);
    Posix::fsyncDirectory(paths.partialDirectory);
    if (Posix::entryKind(fetchedConfig) == Kind::regular) {
      const std::string target = tokenizerDirectory + "/config.json";
      Posix::atomicWrite(Posix::readBoundedData(fetchedConfig, kConfigCapBytes), target,
                         tokenizerDirectory);
      record("tokenizer/config.json", target);
    }

    for (const SideFile& side : kSideFiles) {
      cancellation.check();
      RemoteFileInfo info;
      try {
        info = pinned.resolveFileInfo(side.name, &audit_);
      } catch (const RepackError& error) {
        if (!side.required && isNotFound(error)) continue;
        throw;
      }
      const std::string target = tokenizerDirectory + "/" + side.name;
      pinned.fetchSmallFile(side.name, info, side.cap, target, &audit_);
      record(std::string("tokenizer/") + side.name, target);
    }

    removeAllIgnoringErrors(paths.rangeTemporaryFile);
    removeAllIgnoringErrors(paths.metadataDirectory);
    Posix::fsyncDirectory(paths.partialDirectory);
    emit(ModelInstallProgress::Finalizing{});
    cancellation.check();

    std::map<std::string, KorvexJSON::FileEntry> files;
    std::vector<VerifiedFileRecord> receiptFiles;
    for (const RepackAudit::OutputFile& f : audit_.outputFiles) {
      files[f.relativePath] = {f.size, f.sha256};
      receiptFiles.push_back({f.relativePath, f.size, f.sha256});
    }
    const std::string manifestBytes = KorvexJSON::manifest(
        plan, plan.matchedModelID.value_or("unknown/snapshot"),
        "sha256:" + snapshot.metadata.indexSha256Hex, files, expertsPerLayer,
        static_cast<int64_t>(plan.layers.size()), stride, KorvexJSON::classBitWidths(plan));
    // Every file and directory above is durable by now, so the manifest
    // never describes bytes that a power loss could take back.
    const std::string manifestPath = paths.partialDirectory + "/manifest.json";
    Posix::atomicWrite(
        {reinterpret_cast<const uint8_t*>(manifestBytes.data()), manifestBytes.size()},
        manifestPath, paths.partialDirectory);
    audit_.outputBytesWritten += manifestBytes.size();

    const std::string manifestSha =
        Sha256Stream::hashFile(manifestPath, kHashTileBytes, false, false);
    const std::string receipt = VerifiedInstallReceipt::encode(
        paths.finalDirectory, manifestSha, manifestBytes.size(), o.repoID, snapshot.resolvedCommit,
        VerifiedInstallReceipt::kInstallToolVersion, receiptFiles,
        VerifiedInstallReceipt::timestampNow());
    Posix::atomicWrite({reinterpret_cast<const uint8_t*>(receipt.data()), receipt.size()},
                       paths.partialDirectory + "/verified-install.json", paths.partialDirectory);
    audit_.outputBytesWritten += receipt.size();

    cancellation.check();
    promotePackage(RemoteInstallSteps::promotionOf(paths, state, checkpoint));

    audit_.wallTimeSeconds = wallClockSeconds() - startTime_;
    audit_.wholeFileHeapBuffers = false;
    if (o.copyAuditPath) {
      const std::string report = audit_.report(o.outputDir);
      const std::string directory = fs::path(*o.copyAuditPath).parent_path().string();
      Posix::mkdirP(directory);
      Posix::atomicWrite({reinterpret_cast<const uint8_t*>(report.data()), report.size()},
                         *o.copyAuditPath, directory);
    }

    RemoteStreamingRepackResult result;
    result.outputDir = o.outputDir;
    result.resolvedCommit = snapshot.resolvedCommit;
    result.plan = std::move(plan);
    result.rangeRequestCount = rangeCount;
    result.remoteBytesToDownload = copyPlan.remoteBytesToDownload;
    result.remoteGapBytesDownloaded = copyPlan.remoteGapBytesDownloaded;
    result.remoteRetryCount = audit_.remoteRangeRetries;
    result.reusedBytes = reused;
    result.downloadedThisRunBytes = audit_.remoteBytesDownloaded - downloadedBefore;
    return result;
  } catch (...) {
    // A saved download stays resumable; anything else this run created goes.
    if (!checkpointPresent && Posix::entryKind(paths.checkpointFile) == Kind::absent) {
      removeAllIgnoringErrors(paths.partialDirectory);
    }
    throw;
  }
}

void RemoteStreamingRepacker::discardSavedDownload(const std::string& outputDirectory) {
  const InstallLock lock = InstallLock::acquire(outputDirectory, false);
  const RemoteInstallPaths& paths = lock.paths();
  const Kind partial = Posix::entryKind(paths.partialDirectory);
  const Kind checkpoint = Posix::entryKind(paths.checkpointFile);
  if (partial == Kind::absent && checkpoint == Kind::absent) {
    throw RepackError(RepackError::InstallStateMissing{paths.checkpointFile});
  }
  if (partial != Kind::absent) Posix::removeAll(paths.partialDirectory);
  if (checkpoint != Kind::absent) Posix::removeFile(paths.checkpointFile);
  Posix::fsyncDirectory(paths.parentDirectory);
}

std::optional<RemoteInstallCheckpoint> RemoteStreamingRepacker::savedDownloadCheckpoint(
    const std::string& outputDirectory, const std::string& repoID, const std::string& revision) {
  const InstallLock lock = InstallLock::acquire(outputDirectory);
  const RemoteInstallPaths& paths = lock.paths();
  const Kind partial = Posix::entryKind(paths.partialDirectory);
  const Kind checkpoint = Posix::entryKind(paths.checkpointFile);
  if (partial == Kind::absent && checkpoint == Kind::absent) return std::nullopt;
  if (partial == Kind::directory && checkpoint == Kind::regular) {
    RemoteInstallCheckpoint loaded = RemoteInstallCheckpoint::load(paths.checkpointFile);
    if (loaded.repoID != repoID || loaded.requestedRevision != revision) {
      throw RepackError(
          RepackError::InstallStateIncompatible{"saved download belongs to a different source"});
    }
    return loaded;
  }
  throw RepackError(RepackError::InstallStateCorrupt{
      paths.partialDirectory, "partial directory and checkpoint must exist together"});
}
