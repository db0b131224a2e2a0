#include "engine/install/remote_install_steps.h"

#include <algorithm>
#include <filesystem>
#include <unordered_map>

#include "engine/common/repack_error.h"
#include "engine/install/disk_space.h"
#include "engine/io/posix.h"
#include "engine/io/sha256_stream.h"
#include "engine/remote/local_byte_provider.h"
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
  // Empty, the directory is what a run stopped between creating it and its
  // metadata folder left.
  const Kind metadata = Posix::entryKind(paths.metadataDirectory);
  if (Posix::entryKind(paths.partialDirectory) != Kind::directory ||
      Posix::entryKind(paths.checkpointFile) != Kind::absent ||
      (metadata != Kind::directory && metadata != Kind::absent)) {
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

// The hub's ranges for the shards a local copy could not give. A shard that
// was meant to come from disk is resolved at the hub afresh, and the hub's
// bytes of its header must be the ones the plan was made from: otherwise
// the plan itself rests on a broken file and no range of it can be trusted.
class HubFallback final : public SourceByteProvider {
 public:
  HubFallback(HuggingFaceRemoteSource pinned, std::map<std::string, RemoteFileInfo> files,
              const Copy& copy)
      : pinned_(std::move(pinned)), files_(std::move(files)), copy_(copy) {}

  void copyRanges(const std::vector<CoalescedRangeCopy>& ranges,
                  const std::set<std::string>& finishedIDs, const std::string& outputRoot,
                  const std::string& temporaryRangePath, RepackAudit& audit,
                  const CopyProgressHandler& progress,
                  const std::function<void(const RemoteCompletedRange&)>& completion) override {
    std::map<std::string, RemoteFileInfo> files = files_;
    std::set<std::string> checked;
    for (const CoalescedRangeCopy& range : ranges) {
      const std::string& shard = range.shardID;
      if (finishedIDs.contains(range.id) || !copy_.localFiles.contains(shard) ||
          !checked.insert(shard).second) {
        continue;
      }
      const RemoteFileInfo info = pinned_.resolveFileInfo(shard, &audit);
      if (const auto header = copy_.localHeaders.find(shard); header != copy_.localHeaders.end()) {
        const TemporaryRangeFile bytes = pinned_.downloadRangeToTempFile(
            shard, info, 0, static_cast<int64_t>(header->second.length), std::nullopt, {}, &audit);
        const std::string digest = Sha256Stream::hashFile(bytes.path, 65536, true, true);
        Posix::removeFile(bytes.path);
        if (digest != header->second.sha256) {
          throw RepackError(RepackError::LocalSourceRejected{
              copy_.localFiles.at(shard).path, shard,
              "has a header that differs from the hub's copy; remove the file and install "
              "again"});
        }
      }
      files[shard] = info;
    }
    HTTPRangeSourceByteProvider(pinned_, std::move(files), copy_.transfer.writeTileBytes,
                                copy_.transfer.connections)
        .copyRanges(ranges, finishedIDs, outputRoot, temporaryRangePath, audit, progress,
                    completion);
  }

 private:
  HuggingFaceRemoteSource pinned_;
  std::map<std::string, RemoteFileInfo> files_;
  const Copy& copy_;
};

bool isPinnedCommit(const std::string& revision) {
  return revision.size() == 40 &&
         revision.find_first_not_of("0123456789abcdef") == std::string::npos;
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
                     const std::function<void(const CoalescedRangeCopy&)>& written,
                     const std::function<void(const CoalescedRangeCopy&)>& withdrawn) {
  std::shared_ptr<SourceByteProvider> provider = copy.provider;
  std::map<std::string, LocalShardFile> localShards;
  for (const CoalescedRangeCopy& range : copy.copyPlan.coalescedCopies) {
    const auto local = copy.localFiles.find(range.shardID);
    if (local == copy.localFiles.end() || localShards.contains(range.shardID)) continue;
    localShards[range.shardID] = {local->second.path, local->second.size, local->second.sha256,
                                  local->second.namedByUser && !local->second.sha256};
  }
  if (!provider && localShards.empty()) {
    provider = std::make_shared<HTTPRangeSourceByteProvider>(
        copy.pinned, copy.files, copy.transfer.writeTileBytes, copy.transfer.connections);
  } else if (!localShards.empty()) {
    std::shared_ptr<SourceByteProvider> fallback = provider;
    if (!fallback && !copy.transfer.offline) {
      fallback = std::make_shared<HubFallback>(copy.pinned, copy.files, copy);
    }
    LocalByteProviderOptions options;
    options.cancellation = &copy.pinned.session().cancellation();
    options.warn = copy.transfer.warn;
    // A local shard's outputs can be hashed while they are still in the page
    // cache, long before the shard's digest lets its ranges be reported.
    if (written && withdrawn) {
      options.rangePlaced = written;
      options.rangeWithdrawn = withdrawn;
    }
    provider = std::make_shared<LocalShardByteProvider>(std::move(localShards), fallback, options);
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

LocalCheckpoint localCheckpointOf(const Transfer& t, const std::string& commit) {
  if (!isPinnedCommit(commit)) return LocalCheckpoint();
  if (t.localDirectory) return LocalCheckpoint::inDirectory(*t.localDirectory, commit);
  if (t.hubCacheRoot) return LocalCheckpoint::inHubCache(*t.hubCacheRoot, t.repoID, commit);
  return LocalCheckpoint();
}

RemoteSnapshot loadSnapshot(const HuggingFaceRemoteSource& source, const Transfer& t,
                            const LocalCheckpoint& local, const std::string& metadataDirectory,
                            bool requireKnownSource, RepackAudit& audit,
                            const KnownSourceTable& knownSources) {
  return RemoteSnapshot::load(source, metadataDirectory, requireKnownSource, &audit, knownSources,
                              SnapshotSources{&local, t.offline, t.warn});
}

uint64_t localPayloadBytes(const RangeCopyPlan& copyPlan, const RemoteSnapshot& snapshot) {
  uint64_t total = 0;
  for (const CoalescedRangeCopy& range : copyPlan.coalescedCopies) {
    if (snapshot.localFiles.contains(range.shardID)) total += range.size;
  }
  return total;
}

}  // namespace RemoteInstallSteps
