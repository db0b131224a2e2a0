#include "engine/install/remote_install_steps.h"

#include <algorithm>
#include <filesystem>
#include <unordered_map>

#include "engine/common/repack_error.h"
#include "engine/install/disk_space.h"
#include "engine/io/posix.h"
#include "engine/remote/source_byte_provider.h"
#include "format/korvex_format.h"

namespace RemoteInstallSteps {
namespace {

namespace fs = std::filesystem;
using Kind = Posix::EntryKind;

constexpr uint64_t kMaxDelayNs = 16000000000ULL;
constexpr uint64_t kMaxServerDelayNs = 3600000000000ULL;

// A run killed while it read the source's metadata, before anything was
// reserved or recorded, leaves a partial directory that holds nothing but
// the metadata directory and no checkpoint. Nothing in it can be resumed,
// so it is removed and the output is as if that run had never started,
// rather than refused until the user discards it. A partial directory with
// anything else in it and no checkpoint stays refused.
void removeMetadataOnlyPartial(const RemoteInstallPaths& paths) {
  if (Posix::entryKind(paths.partialDirectory) != Kind::directory ||
      Posix::entryKind(paths.checkpointFile) != Kind::absent ||
      Posix::entryKind(paths.metadataDirectory) != Kind::directory) {
    return;
  }
  std::error_code error;
  fs::directory_iterator entries(paths.partialDirectory, error);
  if (error) return;
  for (const fs::directory_entry& entry : entries) {
    if (entry.path().string() != paths.metadataDirectory) return;
  }
  // When it cannot be removed, the state check below refuses what is left.
  fs::remove_all(paths.partialDirectory, error);
  if (!error) Posix::fsyncDirectory(paths.parentDirectory);
}

}  // namespace

void checkTransfer(const Transfer& t) {
  if (t.rangeChunkBytes < 1 || t.rangeChunkBytes > 67108864) {
    throwConfigurationInvalid("bad range chunk bytes " + std::to_string(t.rangeChunkBytes));
  }
  if (t.writeTileBytes < 1 || t.writeTileBytes > 1048575) {
    throwConfigurationInvalid("bad write tile bytes " + std::to_string(t.writeTileBytes));
  }
  if (t.rangeRetryAttempts < 0) {
    throwConfigurationInvalid("bad range retry attempts " + std::to_string(t.rangeRetryAttempts));
  }
  if (t.connections < 1 || t.connections > kMaxConnections) {
    throwConfigurationInvalid("bad connections " + std::to_string(t.connections));
  }
}

OutputState checkOutputState(const RemoteInstallPaths& paths, bool overwrite, bool resume) {
  OutputState state;
  if (Posix::entryKind(paths.finalDirectory) == Kind::directory) {
    if (!overwrite) outputTaken(paths.finalDirectory);
    requireReplaceablePackage(paths.finalDirectory);
    // Promotion exchanges the two directories; a file system that cannot
    // would otherwise fail only after the whole download.
    Posix::requireExchangeSupport(paths.parentDirectory);
    state.replaces = Posix::identity(paths.finalDirectory);
  }
  removeMetadataOnlyPartial(paths);
  const bool partialPresent = Posix::entryKind(paths.partialDirectory) == Kind::directory;
  const bool checkpointPresent = Posix::entryKind(paths.checkpointFile) == Kind::regular;
  if (partialPresent != checkpointPresent) {
    throw RepackError(RepackError::InstallStateCorrupt{
        paths.partialDirectory, "partial directory and checkpoint must exist together"});
  }
  if (!resume && partialPresent) {
    throw RepackError(
        RepackError::InstallStateIncompatible{"saved download exists; resume or discard it"});
  }
  if (resume && !partialPresent) {
    throw RepackError(RepackError::InstallStateMissing{paths.checkpointFile});
  }
  state.checkpointPresent = checkpointPresent;
  return state;
}

PackagePromotion promotionOf(const RemoteInstallPaths& paths, const OutputState& state,
                             const RemoteInstallCheckpoint& checkpoint) {
  PackagePromotion promotion;
  promotion.partialDirectory = paths.partialDirectory;
  promotion.finalDirectory = paths.finalDirectory;
  promotion.parentDirectory = paths.parentDirectory;
  promotion.replaces = state.replaces;
  promotion.dropCheckpoint = [&] {
    Posix::removeFile(paths.checkpointFile);
    Posix::fsyncDirectory(paths.parentDirectory);
  };
  promotion.restoreCheckpoint = [&] {
    checkpoint.write(paths.checkpointFile, paths.parentDirectory);
  };
  return promotion;
}

std::optional<RemoteInstallCheckpoint> loadSavedDownload(const RemoteInstallPaths& paths,
                                                         bool resume, const Transfer& t) {
  if (!resume) return std::nullopt;
  RemoteInstallCheckpoint loaded = RemoteInstallCheckpoint::load(paths.checkpointFile);
  if (loaded.repoID != t.repoID || loaded.requestedRevision != t.revision) {
    throw RepackError(
        RepackError::InstallStateIncompatible{"saved download belongs to a different source"});
  }
  return loaded;
}

HuggingFaceRemoteSource hubSource(const Transfer& t,
                                  std::shared_ptr<const RemoteDownloadSession> session,
                                  const std::optional<RemoteInstallCheckpoint>& saved,
                                  const RemoteInstallPaths& paths) {
  RemoteRetryPolicy retryPolicy;
  retryPolicy.attempts = t.rangeRetryAttempts;
  retryPolicy.baseDelayNs = t.retryBaseDelayNs;
  retryPolicy.maxDelayNs = kMaxDelayNs;
  retryPolicy.maxServerDelayNs = kMaxServerDelayNs;
  HuggingFaceRemoteSource source;
  source.repoID = t.repoID;
  source.requestedRevision = t.revision;
  if (saved) source.resolvedCommit = saved->resolvedCommit;
  source.token = t.token;
  source.downloadSession = std::move(session);
  source.baseURL = t.baseURL;
  source.tempDirectory = paths.metadataDirectory;
  source.retryPolicy = retryPolicy;
  return source;
}

RemoteInstallCheckpoint checkpointFor(const std::optional<RemoteInstallCheckpoint>& saved,
                                      const Transfer& t, const std::string& resolvedCommit,
                                      const std::string& indexSha256,
                                      const RangeCopyPlan& copyPlan) {
  if (!saved) {
    RemoteInstallCheckpoint checkpoint;
    checkpoint.repoID = t.repoID;
    checkpoint.requestedRevision = t.revision;
    checkpoint.resolvedCommit = resolvedCommit;
    checkpoint.sourceIndexSHA256 = indexSha256;
    checkpoint.planFingerprint = copyPlan.canonicalFingerprint;
    checkpoint.totalSourceBytes = copyPlan.remoteBytesToDownload;
    return checkpoint;
  }
  if (saved->resolvedCommit != resolvedCommit ||
      saved->totalSourceBytes != copyPlan.remoteBytesToDownload ||
      !saved->matches(t.repoID, t.revision, indexSha256, copyPlan.canonicalFingerprint)) {
    throw RepackError(
        RepackError::InstallStateIncompatible{"saved download source or copy plan changed"});
  }
  return *saved;
}

void recordFinishedRange(RemoteInstallCheckpoint& checkpoint, const RemoteCompletedRange& done,
                         const RemoteInstallPaths& paths) {
  std::erase_if(checkpoint.completedRanges,
                [&](const RemoteCompletedRange& r) { return r.id == done.id; });
  checkpoint.completedRanges.push_back(done);
  sortByID(checkpoint.completedRanges);
  checkpoint.write(paths.checkpointFile, paths.parentDirectory);
}

void sortByID(std::vector<RemoteCompletedRange>& ranges) {
  std::stable_sort(ranges.begin(), ranges.end(),
                   [](const auto& a, const auto& b) { return a.id < b.id; });
}

uint64_t destinationBytesOf(const CoalescedRangeCopy& range) {
  uint64_t total = 0;
  for (const RangeCopy& d : range.destinations) total += d.size;
  return total;
}

Finished finishedOf(const RemoteInstallCheckpoint& checkpoint) {
  Finished finished;
  for (const RemoteCompletedRange& r : checkpoint.completedRanges) {
    finished.ids.insert(r.id);
    finished.sourceBytes += r.sourceBytes;
    finished.destinationBytes += r.destinationBytes;
  }
  return finished;
}

DiskSpaceRequirement requireSpace(const RemoteInstallPaths& paths, uint64_t outputBytes,
                                  const RemoteInstallCheckpoint& checkpoint, const Transfer& t,
                                  uint64_t minFreeReserveBytes) {
  const uint64_t written = finishedOf(checkpoint).destinationBytes;
  const uint64_t stillToWrite = outputBytes > written ? outputBytes - written : 0;
  return DiskSpaceChecker::requireAvailable(
      paths.parentDirectory,
      korvexCheckedAdd(stillToWrite, static_cast<uint64_t>(t.rangeChunkBytes), "diskSpace"),
      minFreeReserveBytes);
}

void noteSource(RepackAudit& audit, const Transfer& t, const std::string& resolvedCommit,
                const std::string& indexSha256, const RangeCopyPlan& copyPlan) {
  audit.remoteRepoID = t.repoID;
  audit.remoteRequestedRevision = t.revision;
  audit.remoteResolvedCommit = resolvedCommit;
  audit.remoteRangeStreamingSupported = true;
  audit.remoteGapBytesDownloaded = copyPlan.remoteGapBytesDownloaded;
  audit.sourceSnapshotSha256 = indexSha256;
}

uint64_t copyPayload(const Copy& copy, RemoteInstallCheckpoint& checkpoint, RepackAudit& audit,
                     const ProgressHandler& progress,
                     const std::function<void(const CoalescedRangeCopy&)>& written) {
  std::shared_ptr<SourceByteProvider> provider = copy.provider;
  if (!provider) {
    provider = std::make_shared<HTTPRangeSourceByteProvider>(
        copy.pinned, copy.files, copy.transfer.writeTileBytes, copy.transfer.connections);
  }
  std::unordered_map<std::string, const CoalescedRangeCopy*> byID;
  if (written) {
    for (const CoalescedRangeCopy& range : copy.copyPlan.coalescedCopies) byID[range.id] = &range;
  }
  const Finished finished = finishedOf(checkpoint);
  const uint64_t total = copy.copyPlan.remoteBytesToDownload;
  const auto emit = [&](const CopyProgress& now) {
    if (progress) {
      progress(ModelInstallProgress{ModelInstallProgress::CopyingPayload{
          finished.sourceBytes, now.fetchedBytes, total, now.activeConnections}});
    }
  };
  const uint64_t downloadedBefore = audit.remoteBytesDownloaded;
  emit({});
  provider->copyRanges(copy.copyPlan.coalescedCopies, finished.ids, copy.paths.partialDirectory,
                       copy.paths.rangeTemporaryFile, audit, emit,
                       [&](const RemoteCompletedRange& done) {
                         recordFinishedRange(checkpoint, done, copy.paths);
                         if (written) written(*byID.at(done.id));
                       });
  return audit.remoteBytesDownloaded - downloadedBefore;
}

}  // namespace RemoteInstallSteps
