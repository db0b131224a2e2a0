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
#include "engine/install/output_hash_behind.h"
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

void removeAllIgnoringErrors(const std::string& path) {
  std::error_code ignored;
  fs::remove_all(path, ignored);
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
      throwConfigurationInvalid(
          "packed-expert layer " + std::to_string(layer.layerIndex) + " needs stride " +
          std::to_string(layer.expertStride) + " with " + std::to_string(layer.expertsPerLayer) +
          " experts, layer " + std::to_string(first->layerIndex) + " stride " +
          std::to_string(first->expertStride) + " with " + std::to_string(first->expertsPerLayer) +
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

namespace {

// One install, phase by phase. The phases run in order on one object that
// carries what each hands to the next; a failure in any of them leaves the
// clean-up to `run`.
class InstallRun {
 public:
  InstallRun(const RemoteStreamingRepackOptions& options, RepackAudit& audit,
             const ProgressHandler& progress, const RemoteInstallPaths& paths,
             const RemoteInstallSteps::OutputState& state,
             std::shared_ptr<const RemoteDownloadSession> session,
             std::shared_ptr<SourceByteProvider> provider)
      : o_(options),
        audit_(audit),
        progress_(progress),
        paths_(paths),
        state_(state),
        session_(std::move(session)),
        cancellation_(session_->cancellation()),
        provider_(std::move(provider)),
        transfer_(RemoteInstallSteps::transferOf(options)) {}

  // Metadata, plan, copy plan and the checkpoint this run keeps: a saved
  // download's finished ranges are screened, or its outputs started over.
  void plan();
  // Free space for what is still to write; nothing is written yet.
  void checkSpace();
  // What a dry run reports once the space is known.
  RemoteStreamingRepackResult dryRunResult();
  // The outputs at their final sizes and the first checkpoint.
  void reserve();
  // Every range not finished yet, hashed behind as it lands.
  void copy();
  // Output digests, layout, side files, manifest and receipt.
  void finalize();
  // The package at the output, the audit report, and the run's result.
  RemoteStreamingRepackResult promote(double startTime);

 private:
  void emit(ModelInstallProgress::Event event) const {
    if (progress_) progress_(ModelInstallProgress{std::move(event)});
  }
  // Records the output's size and digest in the audit.
  void record(const std::string& relativePath, const std::string& path);
  // Hands the plan over to the result: the last thing the run does.
  RemoteStreamingRepackResult resultBase();
  SnapshotSources sources() const { return {&local_, o_.offline, transfer_.warn}; }

  const RemoteStreamingRepackOptions& o_;
  RepackAudit& audit_;
  const ProgressHandler& progress_;
  const RemoteInstallPaths& paths_;
  const RemoteInstallSteps::OutputState& state_;
  std::shared_ptr<const RemoteDownloadSession> session_;
  const CancellationToken& cancellation_;
  std::shared_ptr<SourceByteProvider> provider_;
  const RemoteInstallSteps::Transfer transfer_;

  std::optional<RemoteInstallCheckpoint> loaded_;
  std::optional<HuggingFaceRemoteSource> pinned_;
  RemoteSnapshot snapshot_;
  RepackPlan plan_;
  RangeCopyPlan copyPlan_;
  LocalCheckpoint local_;
  int64_t rangeCount_ = 0;
  uint64_t localBytes_ = 0;
  RemoteInstallCheckpoint checkpoint_;
  uint64_t outputBytes_ = 0;
  uint64_t reused_ = 0;
  uint64_t downloadedThisRun_ = 0;
  std::unique_ptr<OutputHashBehind> hashBehind_;
  uint64_t stride_ = 0;
  int64_t expertsPerLayer_ = 0;
  std::string manifestBytes_;
};

void InstallRun::plan() {
  cancellation_.check();
  loaded_ = RemoteInstallSteps::loadSavedDownload(paths_, o_.resume, transfer_);
  const HuggingFaceRemoteSource source =
      RemoteInstallSteps::hubSource(transfer_, session_, loaded_, paths_);

  emit(ModelInstallProgress::DownloadingMetadata{});
  local_ = RemoteInstallSteps::localCheckpointOf(transfer_,
                                                 loaded_ ? loaded_->resolvedCommit : o_.revision);
  snapshot_ = RemoteInstallSteps::loadSnapshot(
      source, transfer_, local_, paths_.metadataDirectory, o_.requireKnownSource, audit_,
      o_.knownSources ? *o_.knownSources : SourceFingerprint::knownSources());

  cancellation_.check();
  plan_ = RepackPlan::build(snapshot_.metadata, snapshot_.arch, snapshot_.shardHeaders,
                            paths_.partialDirectory);
  if (o_.knownSources) {
    // The model id comes from the same table that admitted the source.
    const auto known = o_.knownSources->find(snapshot_.metadata.indexSha256Hex);
    plan_.matchedModelID =
        known == o_.knownSources->end() ? std::nullopt : std::optional<std::string>(known->second);
  }
  // The headers and the uncoalesced copies are not needed past planning;
  // for a large model they are most of what the install would hold.
  snapshot_.shardHeaders = std::vector<Safetensors::Header>();
  requireOneExpertStride(plan_);
  copyPlan_ = RangeCopyPlanner::plan(plan_, o_.rangeChunkBytes);
  copyPlan_.scalarCopies = std::vector<RangeCopy>();
  rangeCount_ = static_cast<int64_t>(copyPlan_.coalescedCopies.size());
  localBytes_ = RemoteInstallSteps::localPayloadBytes(copyPlan_, snapshot_);
  pinned_ = source.pinned(snapshot_.resolvedCommit);

  checkpoint_ = RemoteInstallSteps::checkpointFor(loaded_, transfer_, snapshot_.resolvedCommit,
                                                  snapshot_.metadata.indexSha256Hex, copyPlan_);
  if (loaded_) {
    if (partialOutputsValid(copyPlan_, plan_, paths_.partialDirectory)) {
      checkpoint_.completedRanges = RemoteStreamingRepacker::reconcileCompletedRanges(
          checkpoint_.completedRanges, copyPlan_, paths_.partialDirectory,
          [&] { cancellation_.check(); });
    } else {
      // Start the payload over under the same identity. Removing the
      // partial directory also removes the fetched metadata; config.json
      // is fetched again so that the package still carries it.
      checkpoint_.completedRanges.clear();
      Posix::removeAll(paths_.partialDirectory);
      Posix::mkdirP(paths_.partialDirectory);
      reserveOutputs(plan_, paths_.partialDirectory, audit_, cancellation_);
      if (snapshot_.remoteFiles.contains("config.json")) {
        RemoteSnapshot::fetchSideFile(*pinned_, sources(), "config.json", kConfigCapBytes, true,
                                      paths_.metadataDirectory + "/config.json", &audit_);
      }
    }
    checkpoint_.write(paths_.checkpointFile, paths_.parentDirectory);
  }

  outputBytes_ = outputBytesOf(plan_);
  emit(ModelInstallProgress::Planning{copyPlan_.remoteBytesToDownload, outputBytes_});
}

void InstallRun::checkSpace() {
  emit(ModelInstallProgress::CheckingDisk{RemoteInstallSteps::requireSpace(
      paths_, outputBytes_, checkpoint_, transfer_, o_.minFreeReserveBytes)});

  cancellation_.check();
  RemoteInstallSteps::noteSource(audit_, transfer_, snapshot_.resolvedCommit,
                                 snapshot_.metadata.indexSha256Hex, copyPlan_);
  audit_.bitWidthOverridesHonored = static_cast<int64_t>(snapshot_.metadata.bitsOverrides.size());
  audit_.tensorsDroppedMultimodal = plan_.excludedMultimodalTensorNames;
  audit_.packedExpertLayoutMode = "identity";
  reused_ = RemoteInstallSteps::finishedOf(checkpoint_).sourceBytes;
}

RemoteStreamingRepackResult InstallRun::resultBase() {
  RemoteStreamingRepackResult result;
  result.outputDir = o_.outputDir;
  result.resolvedCommit = snapshot_.resolvedCommit;
  result.plan = std::move(plan_);
  result.rangeRequestCount = rangeCount_;
  result.remoteBytesToDownload = copyPlan_.remoteBytesToDownload;
  result.localBytes = localBytes_;
  result.remoteGapBytesDownloaded = copyPlan_.remoteGapBytesDownloaded;
  result.remoteRetryCount = audit_.remoteRangeRetries;
  result.reusedBytes = reused_;
  return result;
}

RemoteStreamingRepackResult InstallRun::dryRunResult() {
  if (!loaded_) removeAllIgnoringErrors(paths_.partialDirectory);
  RemoteStreamingRepackResult result = resultBase();
  result.dryRun = true;
  return result;
}

void InstallRun::reserve() {
  if (loaded_) return;
  emit(ModelInstallProgress::ReservingOutput{outputBytes_});
  // The checkpoint first: a run stopped while the outputs are created then
  // leaves a saved download whose resume creates them again, never outputs
  // without their checkpoint.
  checkpoint_.write(paths_.checkpointFile, paths_.parentDirectory);
  reserveOutputs(plan_, paths_.partialDirectory, audit_, cancellation_);
}

void InstallRun::copy() {
  std::vector<OutputHashBehind::Output> outputs{
      {plan_.resident.path, plan_.resident.indexSize + plan_.resident.residentSize}};
  for (const LayerFilePlan& layer : plan_.layers) {
    if (layer.expertsPerLayer <= 0) continue;
    outputs.push_back(
        {layer.path, korvexCheckedMultiply(static_cast<uint64_t>(layer.expertsPerLayer),
                                           layer.expertStride, "layout.layerSize")});
  }
  hashBehind_ = std::make_unique<OutputHashBehind>(std::move(outputs), copyPlan_,
                                                   RemoteInstallSteps::finishedOf(checkpoint_).ids,
                                                   kHashTileBytes);
  downloadedThisRun_ = RemoteInstallSteps::copyPayload(
      {provider_, *pinned_, snapshot_.remoteFiles, transfer_, copyPlan_, paths_,
       snapshot_.localFiles, snapshot_.localHeaders},
      checkpoint_, audit_, progress_,
      [&](const CoalescedRangeCopy& range) { hashBehind_->written(range); },
      [&](const CoalescedRangeCopy& range) { hashBehind_->withdrawn(range); });
  // Finalization needs none of the ranges; the memory goes to the layout.
  copyPlan_.coalescedCopies = std::vector<CoalescedRangeCopy>();
}

void InstallRun::record(const std::string& relativePath, const std::string& path) {
  emit(ModelInstallProgress::HashingOutput{relativePath});
  cancellation_.check();
  uint64_t size = 0;
  {
    UniqueFd fd = Posix::openRead(path);
    size = Posix::fileSize(fd.get(), path);
  }
  const auto check = [&] { cancellation_.check(); };
  const std::string digest = hashBehind_ && hashBehind_->keeps(path, size)
                                 ? hashBehind_->digest(path, audit_, check)
                                 : WriterCore::hashEntireFile(path, size, audit_, check);
  audit_.outputFiles.push_back({relativePath, size, digest});
}

void InstallRun::finalize() {
  record("model_weights.bin", plan_.resident.path);
  for (const LayerFilePlan& layer : plan_.layers) {
    if (layer.expertsPerLayer <= 0) continue;
    if (stride_ == 0) {
      stride_ = layer.expertStride;
      expertsPerLayer_ = layer.expertsPerLayer;
    }
    cancellation_.check();
    record("packed_experts/" + fs::path(layer.path).filename().string(), layer.path);
  }
  hashBehind_.reset();

  const std::string packedDirectory = paths_.partialDirectory + "/packed_experts";
  Posix::mkdirP(packedDirectory);
  const std::string layoutPath = packedDirectory + "/layout.json";
  Posix::atomicWrite(
      [&](const Posix::PieceWriter& write) {
        KorvexJSON::writeLayout(plan_, stride_, [&](std::string_view piece) {
          write(piece);
          audit_.outputBytesWritten += piece.size();
        });
      },
      layoutPath, packedDirectory);
  KorvexJSON::checkLayoutReadBack(layoutPath, plan_);
  record("packed_experts/layout.json", layoutPath);

  cancellation_.check();
  const std::string tokenizerDirectory = paths_.partialDirectory + "/tokenizer";
  const std::string fetchedConfig = paths_.metadataDirectory + "/config.json";
  Posix::mkdirP(tokenizerDirectory);
  Posix::fsyncDirectory(paths_.partialDirectory);
  if (Posix::entryKind(fetchedConfig) == Kind::regular) {
    const std::string target = tokenizerDirectory + "/config.json";
    Posix::atomicWrite(Posix::readBoundedData(fetchedConfig, kConfigCapBytes), target,
                       tokenizerDirectory);
    record("tokenizer/config.json", target);
  }

  for (const SideFile& side : kSideFiles) {
    cancellation_.check();
    const std::string target = tokenizerDirectory + "/" + side.name;
    if (!RemoteSnapshot::fetchSideFile(*pinned_, sources(), side.name, side.cap, side.required,
                                       target, &audit_)) {
      continue;
    }
    record(std::string("tokenizer/") + side.name, target);
  }

  removeAllIgnoringErrors(paths_.rangeTemporaryFile);
  removeAllIgnoringErrors(paths_.metadataDirectory);
  Posix::fsyncDirectory(paths_.partialDirectory);
  emit(ModelInstallProgress::Finalizing{});
  cancellation_.check();

  std::map<std::string, KorvexJSON::FileEntry> files;
  std::vector<VerifiedFileRecord> receiptFiles;
  for (const RepackAudit::OutputFile& f : audit_.outputFiles) {
    files[f.relativePath] = {f.size, f.sha256};
    receiptFiles.push_back({f.relativePath, f.size, f.sha256});
  }
  manifestBytes_ = KorvexJSON::manifest(plan_, plan_.matchedModelID.value_or("unknown/snapshot"),
                                        "sha256:" + snapshot_.metadata.indexSha256Hex, files,
                                        expertsPerLayer_, static_cast<int64_t>(plan_.layers.size()),
                                        stride_, KorvexJSON::classBitWidths(plan_));
  // Every file and directory above is durable by now, so the manifest
  // never describes bytes that a power loss could take back.
  const std::string manifestPath = paths_.partialDirectory + "/manifest.json";
  Posix::atomicWrite(
      {reinterpret_cast<const uint8_t*>(manifestBytes_.data()), manifestBytes_.size()},
      manifestPath, paths_.partialDirectory);
  audit_.outputBytesWritten += manifestBytes_.size();

  const std::string manifestSha =
      Sha256Stream::hashFile(manifestPath, kHashTileBytes, false, false);
  const std::string receipt = VerifiedInstallReceipt::encode(
      paths_.finalDirectory, manifestSha, manifestBytes_.size(), o_.repoID,
      snapshot_.resolvedCommit, VerifiedInstallReceipt::kInstallToolVersion, receiptFiles,
      VerifiedInstallReceipt::timestampNow());
  Posix::atomicWrite({reinterpret_cast<const uint8_t*>(receipt.data()), receipt.size()},
                     paths_.partialDirectory + "/verified-install.json", paths_.partialDirectory);
  audit_.outputBytesWritten += receipt.size();
}

RemoteStreamingRepackResult InstallRun::promote(double startTime) {
  cancellation_.check();
  promotePackage(RemoteInstallSteps::promotionOf(paths_, state_, checkpoint_));

  audit_.wallTimeSeconds = wallClockSeconds() - startTime;
  audit_.wholeFileHeapBuffers = false;
  if (o_.copyAuditPath) {
    const std::string report = audit_.report(o_.outputDir);
    const std::string directory = fs::path(*o_.copyAuditPath).parent_path().string();
    Posix::mkdirP(directory);
    Posix::atomicWrite({reinterpret_cast<const uint8_t*>(report.data()), report.size()},
                       *o_.copyAuditPath, directory);
  }
  RemoteStreamingRepackResult result = resultBase();
  result.downloadedThisRunBytes = downloadedThisRun_;
  return result;
}

}  // namespace

RemoteStreamingRepackResult RemoteStreamingRepacker::run(const ProgressHandler& progress) {
  const RemoteStreamingRepackOptions& o = options_;
  const std::shared_ptr<const RemoteDownloadSession> session =
      o.downloadSession ? o.downloadSession : std::make_shared<const RemoteDownloadSession>();

  // Option check: nothing is touched yet.
  RemoteInstallSteps::checkTransfer(RemoteInstallSteps::transferOf(o));

  const InstallLock lock = InstallLock::acquire(o.outputDir);
  const RemoteInstallPaths& paths = lock.paths();

  // State check; failures up to here leave the disk as it was.
  const RemoteInstallSteps::OutputState state =
      RemoteInstallSteps::checkOutputState(paths, o.overwrite, o.resume);

  try {
    InstallRun install(o, audit_, progress, paths, state, session, providerOverride_);
    install.plan();
    install.checkSpace();
    if (o.dryRunSpaceCheck) return install.dryRunResult();
    install.reserve();
    install.copy();
    install.finalize();
    return install.promote(startTime_);
  } catch (...) {
    // A saved download stays resumable; anything else this run created goes.
    if (!state.checkpointPresent && Posix::entryKind(paths.checkpointFile) == Kind::absent) {
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
