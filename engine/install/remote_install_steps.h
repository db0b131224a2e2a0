// The steps every installer of a hub checkpoint takes in the same way, the
// text install and the vision companion alike: bounds of the transfer
// options, the state rules of the output's install paths, the saved download
// a resume continues, the hub source, and the checkpoint kept in step with
// the finished ranges.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/common/progress.h"
#include "engine/common/repack_audit.h"
#include "engine/install/install_state.h"
#include "engine/install/package_promotion.h"
#include "engine/install/resume_checkpoint.h"
#include "engine/plan/range_copy_plan.h"
#include "engine/remote/download_session.h"
#include "engine/remote/hugging_face_source.h"
#include "engine/remote/remote_snapshot.h"
#include "engine/source/local_checkpoint.h"

class SourceByteProvider;

namespace RemoteInstallSteps {

// How an installer reaches the hub; both installers' options carry these.
struct Transfer {
  std::string repoID;
  std::string revision;
  std::optional<std::string> token;
  std::string baseURL;
  int64_t rangeChunkBytes = 0;
  int64_t writeTileBytes = 0;
  int64_t rangeRetryAttempts = 0;
  uint64_t retryBaseDelayNs = 0;
  int64_t connections = 1;  // ranges in flight at once
  // Copies already on disk: a directory the user named (--source), else the
  // hub cache under this root; offline, nothing is asked of the hub.
  std::optional<std::string> localDirectory;
  std::optional<std::string> hubCacheRoot;
  bool offline = false;
  // Receives the warnings of local sources ("warning: ..."), one at a time.
  std::function<void(const std::string&)> warn;
};

template <typename Options>
Transfer transferOf(const Options& o) {
  return {o.repoID,
          o.revision,
          o.token,
          o.baseURL,
          o.rangeChunkBytes,
          o.writeTileBytes,
          o.rangeRetryAttempts,
          o.retryBaseDelayNs,
          o.connections,
          o.localDirectory,
          o.hubCacheRoot,
          o.offline,
          o.warn};
}

// configurationInvalid for a range chunk outside 1 B..64 MiB, a write tile
// outside 1 B..1 MiB − 1, a negative retry count or connections outside
// 1..64. Nothing is touched yet.
void checkTransfer(const Transfer& t);

// What the state check found at the output.
struct OutputState {
  bool checkpointPresent = false;  // a saved download was there when the run began
  // The package the run may replace (with overwrite): promotion exchanges
  // this directory and no other.
  std::optional<Posix::FileIdentity> replaces;
};

// The output's state, under its lock: an existing package needs overwrite,
// and overwrite replaces only an empty directory or a package
// (installPathUnsafe otherwise) on a file system that can exchange two
// directories (promotionUnsupported otherwise, before any download); the
// partial directory and the checkpoint exist together or not at all
// (installStateCorrupt); a saved download needs resume and resume needs one.
// A partial directory left by a run killed before its first checkpoint,
// holding only fetched metadata, is removed first.
OutputState checkOutputState(const RemoteInstallPaths& paths, bool overwrite, bool resume);

// The promotion of this output (see package_promotion.h): the checkpoint
// goes with it. The result refers to its arguments, which must outlive it.
PackagePromotion promotionOf(const RemoteInstallPaths& paths, const OutputState& state,
                             const RemoteInstallCheckpoint& checkpoint);

// The checkpoint of the saved download a resume continues (none when not
// resuming); one of another repository or revision is refused.
std::optional<RemoteInstallCheckpoint> loadSavedDownload(const RemoteInstallPaths& paths,
                                                         bool resume, const Transfer& t);

// The hub source of the run: a resume stays on the commit it started from.
// Temporary files of metadata requests go to the metadata directory, which
// is removed before promotion, so a run killed in the middle of one leaves
// nothing that could end up in the package.
HuggingFaceRemoteSource hubSource(const Transfer& t,
                                  std::shared_ptr<const RemoteDownloadSession> session,
                                  const std::optional<RemoteInstallCheckpoint>& saved,
                                  const RemoteInstallPaths& paths);

// A new checkpoint for this source and plan, or the saved one when it is of
// the same commit, index and plan (else installStateIncompatible).
RemoteInstallCheckpoint checkpointFor(const std::optional<RemoteInstallCheckpoint>& saved,
                                      const Transfer& t, const std::string& resolvedCommit,
                                      const std::string& indexSha256,
                                      const RangeCopyPlan& copyPlan);

// Records a finished range (replacing an earlier record of it), keeps the
// ranges in id order and rewrites the checkpoint file.
void recordFinishedRange(RemoteInstallCheckpoint& checkpoint, const RemoteCompletedRange& done,
                         const RemoteInstallPaths& paths);

// Finished ranges in id order.
void sortByID(std::vector<RemoteCompletedRange>& ranges);

// The bytes a range writes to its destinations.
uint64_t destinationBytesOf(const CoalescedRangeCopy& range);

// What the saved download's finished ranges already hold.
struct Finished {
  std::set<std::string> ids;
  uint64_t sourceBytes = 0;       // fetched by earlier runs
  uint64_t destinationBytes = 0;  // written by earlier runs
};
Finished finishedOf(const RemoteInstallCheckpoint& checkpoint);

// Reserve phase: free space at the output's parent for the output bytes
// not yet written, one range chunk in flight and the user's reserve
// (diskSpaceInsufficient otherwise).
DiskSpaceRequirement requireSpace(const RemoteInstallPaths& paths, uint64_t outputBytes,
                                  const RemoteInstallCheckpoint& checkpoint, const Transfer& t,
                                  uint64_t minFreeReserveBytes);

// The source facts every install's audit carries.
void noteSource(RepackAudit& audit, const Transfer& t, const std::string& resolvedCommit,
                const std::string& indexSha256, const RangeCopyPlan& copyPlan);

// The copies of the checkpoint already on disk at `commit`: the directory
// the user named, else the hub cache's snapshot (none when `commit` is not
// a pinned commit).
LocalCheckpoint localCheckpointOf(const Transfer& t, const std::string& commit);

// The snapshot of the checkpoint, its files read from `local` where they
// are there and from the hub otherwise (never, offline).
RemoteSnapshot loadSnapshot(const HuggingFaceRemoteSource& source, const Transfer& t,
                            const LocalCheckpoint& local, const std::string& metadataDirectory,
                            bool requireKnownSource, RepackAudit& audit,
                            const KnownSourceTable& knownSources);

// The payload bytes of the plan that come from local copies.
uint64_t localPayloadBytes(const RangeCopyPlan& copyPlan, const RemoteSnapshot& snapshot);

// Copy phase, the same for every installer: fetches every range of the plan
// not finished yet through `provider` (the hub's ranges at `pinned` when
// null), records each finished range in the checkpoint, then passes it to
// `written` (may be empty). With `withdrawn` as well, a range read from a
// local shard goes to `written` as soon as its bytes are in place, and to
// `withdrawn` if the shard then fails its check. Progress goes out as
// CopyingPayload events.
// Returns the bytes fetched by this run.
struct Copy {
  std::shared_ptr<SourceByteProvider> provider;
  const HuggingFaceRemoteSource& pinned;
  const std::map<std::string, RemoteFileInfo>& files;
  const Transfer& transfer;
  const RangeCopyPlan& copyPlan;
  const RemoteInstallPaths& paths;
  // The shards on disk (read there) and the header bytes their plan rests on.
  const std::map<std::string, LocalFile>& localFiles;
  const std::map<std::string, RemoteSnapshot::HeaderBytes>& localHeaders;
};
uint64_t copyPayload(const Copy& copy, RemoteInstallCheckpoint& checkpoint, RepackAudit& audit,
                     const ProgressHandler& progress,
                     const std::function<void(const CoalescedRangeCopy&)>& written,
                     const std::function<void(const CoalescedRangeCopy&)>& withdrawn = {});

}  // namespace RemoteInstallSteps
