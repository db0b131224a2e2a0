// Installs a Gemma 4 vision companion from the hub: streams only the vision
// tower's tensors of a pinned checkpoint into vision_weights.bin of a new
// companion directory bound to an installed text package, without fetching
// the rest of the checkpoint.
//
// It keeps the text install's state on disk beside the companion:
//
//   <parent>/N.vision.korvex               the finished companion
//   <parent>/N.vision.korvex.partial/      vision_weights.bin at its final size,
//                                          the range in flight and the fetched
//                                          metadata (.remote-metadata/)
//   <parent>/N.vision.korvex.install.lock  flock'ed for the whole run
//   <parent>/N.vision.korvex.resume.json   the finished ranges
//
// so an interrupted run (cancelled, failed or killed) leaves a saved download
// that a run with `resume` continues and the text engine's discard removes.
// The text binding is not part of the plan's fingerprint: a saved download
// survives a reinstall of the text package, and the finished companion binds
// to the text manifest as it is when the run finishes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/common/progress.h"
#include "engine/common/repack_audit.h"
#include "engine/remote/download_session.h"
#include "engine/remote/hugging_face_source.h"
#include "engine/remote/remote_snapshot.h"

class SourceByteProvider;

struct RemoteVisionCompanionOptions {
  std::string repoID;
  std::string revision;            // the catalogue row's pinned commit
  std::string textModelDirectory;  // the installed text package to bind to
  std::string outputDirectory;     // absolute path of the final companion directory
  std::optional<std::string> token;
  int64_t rangeChunkBytes = 67108864;
  int64_t writeTileBytes = 524288;
  uint64_t minFreeReserveBytes = 1073741824;
  bool overwrite = false;
  bool resume = false;
  // Its cancellation token is the run's: checked at every cancellation point.
  std::shared_ptr<const RemoteDownloadSession> downloadSession;
  std::string baseURL = kDefaultHubBaseURL;
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

struct RemoteVisionCompanionResult {
  std::string outputDir;
  std::string resolvedCommit;
  int64_t tensorCount = 0;
  uint64_t sourcePayloadBytes = 0;
  uint64_t weightsFileSize = 0;
  std::string manifestSha256;
  int64_t rangeRequestCount = 0;       // every coalesced range, reused or not
  uint64_t remoteBytesToDownload = 0;  // every planned payload byte, local ones included
  uint64_t localBytes = 0;             // of those, the bytes read from local copies
  uint64_t reusedBytes = 0;            // finished in an earlier run
  uint64_t downloadedThisRunBytes = 0;

  bool operator==(const RemoteVisionCompanionResult&) const = default;
};

class RemoteVisionCompanionInstaller {
 public:
  // Touches nothing.
  RemoteVisionCompanionInstaller(RemoteVisionCompanionOptions options, RepackAudit& audit);

  // One install or resume. Refusals of the options, the text package and
  // the directory state come before any request and leave the disk as it
  // was. Later failures (RepackError, CancellationError, the platform's
  // errors) keep a saved download once its checkpoint exists; before that
  // the partial directory is removed.
  RemoteVisionCompanionResult run(const ProgressHandler& progress);

  // Substitutes for the network, for tests: the copy goes through
  // `provider`, the checkpoint's metadata is `snapshot` (taken as loaded:
  // no request, and its source is not checked against the known set again
  // before the Gemma 4 check), and processor_config.json is `bytes`.
  void setByteProvider(std::shared_ptr<SourceByteProvider> provider) {
    provider_ = std::move(provider);
  }
  void setSnapshot(RemoteSnapshot snapshot) { snapshot_ = std::move(snapshot); }
  void setProcessorConfig(std::vector<uint8_t> bytes) { processorConfig_ = std::move(bytes); }

 private:
  RemoteVisionCompanionOptions options_;
  RepackAudit& audit_;
  std::shared_ptr<SourceByteProvider> provider_;
  std::optional<RemoteSnapshot> snapshot_;
  std::optional<std::vector<uint8_t>> processorConfig_;
};
