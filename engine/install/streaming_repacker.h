// The install orchestrator: one run takes a pinned hub checkpoint and an
// output directory and produces a complete .korvex package there without
// ever storing a source shard. It fetches the checkpoint's metadata, plans
// every byte, checks free space, reserves the outputs at their final sizes
// inside <output>.partial, downloads the planned coalesced ranges (several
// at once, see `connections`) straight to their final offsets, records each
// finished range in <output>.resume.json, then hashes the outputs, writes the
// side files, layout, manifest and receipt and promotes the partial directory
// with one rename that never replaces (or, with overwrite, one exchange with
// the package the state check saw; see package_promotion.h).
//
// On disk, per output, between runs: nothing; a saved download (partial
// directory and checkpoint, resumable or discardable); a finished package;
// or a finished package plus a saved download of its replacement. A failure
// after the first checkpoint write always leaves a resumable saved download.
// A process killed before that write leaves a partial directory without a
// checkpoint: while it holds only fetched metadata the next run clears it
// away; once outputs were reserved it is refused as corrupt until
// --discard-partial removes it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "engine/common/cancellation.h"
#include "engine/common/progress.h"
#include "engine/common/repack_audit.h"
#include "engine/install/resume_checkpoint.h"
#include "engine/plan/range_copy_plan.h"
#include "engine/plan/repack_plan.h"
#include "engine/remote/download_session.h"
#include "engine/remote/remote_snapshot.h"

class SourceByteProvider;

struct RemoteStreamingRepackOptions {
  std::string repoID;
  std::string revision;   // the requested revision (the catalogue pins a commit)
  std::string outputDir;  // absolute path of the final directory
  std::optional<std::string> token;
  bool requireKnownSource = true;
  std::optional<std::string> copyAuditPath;  // audit report written after success
  int64_t rangeChunkBytes = 67108864;
  int64_t writeTileBytes = 524288;
  uint64_t minFreeReserveBytes = 1073741824;
  bool overwrite = false;
  bool resume = false;
  bool dryRunSpaceCheck = false;
  // Its cancellation token is the run's: checked at every cancellation point.
  std::shared_ptr<const RemoteDownloadSession> downloadSession;
  std::string baseURL = "https://huggingface.co";
  int64_t rangeRetryAttempts = 4;
  uint64_t retryBaseDelayNs = 1000000000;
  int64_t connections = 8;  // ranges in flight at once, 1..64 (kDefaultConnections)
  // Copies already on disk: a directory the user named, else the hub cache
  // under this root. Offline, no request is made at all.
  std::optional<std::string> localDirectory;
  std::optional<std::string> hubCacheRoot;
  bool offline = false;
  std::function<void(const std::string&)> warn;  // warnings about local copies

  // Index digest -> model id of the checkpoints this build accepts; the
  // compiled-in catalogue when unset. Tests inject generated checkpoints.
  std::optional<KnownSourceTable> knownSources;
};

struct RemoteStreamingRepackResult {
  std::string outputDir;
  std::string resolvedCommit;
  RepackPlan plan;
  int64_t rangeRequestCount = 0;       // every coalesced range, reused or not
  uint64_t remoteBytesToDownload = 0;  // every planned payload byte, local ones included
  uint64_t localBytes = 0;             // of those, the bytes read from local copies
  uint64_t remoteGapBytesDownloaded = 0;
  uint64_t remoteRetryCount = 0;
  uint64_t reusedBytes = 0;  // finished in an earlier run
  uint64_t downloadedThisRunBytes = 0;
  bool dryRun = false;
};

class RemoteStreamingRepacker {
 public:
  // Records the start time; touches nothing.
  RemoteStreamingRepacker(RemoteStreamingRepackOptions options, RepackAudit& audit);

  // One install (or dry run). Throws RepackError, CancellationError or the
  // platform's errors; the failure clean-up keeps a saved download resumable.
  RemoteStreamingRepackResult run(const ProgressHandler& progress);

  // Removes the saved download of `outputDirectory` (as the user typed it).
  // installStateMissing when there is none.
  static void discardSavedDownload(const std::string& outputDirectory);

  // The saved download's checkpoint, nothing when there is none;
  // installStateIncompatible when it belongs to another source.
  static std::optional<RemoteInstallCheckpoint> savedDownloadCheckpoint(
      const std::string& outputDirectory, const std::string& repoID, const std::string& revision);

  // Keeps the completed ranges whose bytes in the partial directory still
  // match their recorded digest; installStateCorrupt("checkpoint contains an
  // unknown range") for one the plan lacks or whose sizes differ. The bytes
  // are read back in tiles; `cancellationCheck` runs before every tile and
  // may throw to stop.
  static std::vector<RemoteCompletedRange> reconcileCompletedRanges(
      const std::vector<RemoteCompletedRange>& completed, const RangeCopyPlan& copyPlan,
      const std::string& partialDirectory, const std::function<void()>& cancellationCheck);

  // Test seam: copy through this provider instead of the hub's ranges.
  void setByteProviderForTesting(std::shared_ptr<SourceByteProvider> provider) {
    providerOverride_ = std::move(provider);
  }

 private:
  RemoteStreamingRepackOptions options_;
  RepackAudit& audit_;
  double startTime_;
  std::shared_ptr<SourceByteProvider> providerOverride_;
};
