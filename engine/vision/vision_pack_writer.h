// Writes a Gemma 4 vision companion: a small directory beside a text package
//
//   Name.vision.korvex/vision_weights.bin      the vision tensors, 16 KiB-aligned
//   Name.vision.korvex/processor_config.json   the source's, byte for byte
//   Name.vision.korvex/manifest.json           regions + binding to the text package
//   Name.vision.korvex/verified-install.json   receipt
//
// Everything is written into Name.vision.korvex.partial under the output's
// install lock, and appears under the final name in one rename (or, when an
// older companion is replaced, one atomic exchange) taken under the
// companion's use lock, so a reader of the final directory never sees a
// mixture of old and new files. A failure before promotion leaves the partial
// directory for a later overwrite; the local writer does not resume.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "engine/common/catalog.h"
#include "engine/common/repack_audit.h"
#include "engine/common/unique_fd.h"
#include "engine/install/package_promotion.h"
#include "engine/plan/vision_pack_plan.h"

struct VisionPackWriteOptions {
  std::string inputDirectory;      // local checkpoint directory
  std::string textModelDirectory;  // the installed text package to bind to
  std::string outputDirectory;     // the final companion directory
  std::string sourceRevision;      // recorded as the source revision
  bool overwrite = false;
};

struct VisionPackWriteResult {
  int64_t tensorCount = 0;
  uint64_t sourcePayloadBytes = 0;
  uint64_t weightsFileSize = 0;
  std::string manifestSha256;
  uint64_t peakRSSBytes = 0;
  int64_t largestScratchBytes = 0;
  bool operator==(const VisionPackWriteResult&) const = default;
};

// What ties a companion to one text package: the text manifest's
// sourceSnapshotHash and the digest of its manifest.json bytes as stored.
struct VisionPackTextBinding {
  std::string sourceSnapshotHash;
  std::string textManifestSHA;  // lower-case hex
  bool operator==(const VisionPackTextBinding&) const = default;

  // Reads <textModelDirectory>/manifest.json (at most 4 MiB, not through a
  // symbolic link) and decodes it with the text manifest codec, whose
  // KorvexFormatError passes through. A manifest without a non-empty
  // sourceSnapshotHash is configurationInvalid("text manifest has no
  // sourceSnapshotHash").
  static VisionPackTextBinding read(const std::string& textModelDirectory);
};

// The exclusive, never-waiting flock on a companion's use lock
// ("." + name + ".use.lock" in the companion's physical parent). Whoever uses
// a companion holds it; promotion takes it so that a companion in use is
// never exchanged underneath its user. Released (unlocked and closed) on
// destruction; the lock file itself stays.
class VisionPackMutationLock {
 public:
  // Fails with installBusy(lock path) when another descriptor holds the lock,
  // fileOpenFailed for any other open or flock failure, fileStatFailed when the
  // parent cannot be resolved, and installPathUnsafe when the lock file was
  // replaced while it was being taken.
  static VisionPackMutationLock acquire(const std::string& companionDirectory);

  VisionPackMutationLock(VisionPackMutationLock&&) noexcept = default;
  VisionPackMutationLock& operator=(VisionPackMutationLock&&) noexcept;
  ~VisionPackMutationLock();

  const std::string& path() const { return path_; }

 private:
  VisionPackMutationLock(std::string path, UniqueFd descriptor)
      : path_(std::move(path)), descriptor_(std::move(descriptor)) {}
  void release();

  std::string path_;
  UniqueFd descriptor_;
};

namespace VisionPackWriter {

inline constexpr const char* kToolVersion = "VelquorRepack/vision-v1";

// Index digest -> model identifier, the shape of SourceFingerprint's table.
using KnownSources = std::map<std::string, std::string, std::less<>>;

// Builds the companion from a checkpoint on local disk: loads its index,
// accepts it only when `knownSources` maps its index digest to one of the two
// Gemma 4 model identifiers (else sourceFingerprintRejected), plans the
// vision tensors, copies them from the mapped shards in 512 KiB tiles with
// the consumed source pages released behind them, then runs finish(). The
// output's install lock is held throughout. An existing partial directory or
// final directory is refused unless options.overwrite; with it the partial
// directory (and a saved download's checkpoint beside it) is removed first.
VisionPackWriteResult write(const VisionPackWriteOptions& options, RepackAudit& audit,
                            const KnownSources& knownSources = SourceFingerprint::knownSources());

// Completes a companion whose vision_weights.bin (at `weightsPath`, inside
// `partialDirectory`) already holds every planned region: writes
// processor_config.json, hashes the weights back from disk with the cache
// dropped behind the reads, writes manifest.json and verified-install.json,
// syncs, and promotes `partialDirectory` to `finalDirectory` under the
// companion's use lock (see package_promotion.h: a rename that never
// replaces, or the exchange of the one directory in promotion.replaces
// followed by removal of the old content; the paths in `promotion` are
// filled in here). The caller holds the output's install lock.
// `cancellationCheck` runs before every tile of the weights' hash and may
// throw to stop before anything is written.
VisionPackWriteResult finish(
    const std::vector<VisionPackPlan::Entry>& entries, uint64_t weightsFileSize,
    uint64_t sourcePayloadBytes, const std::string& modelID, const std::string& sourceRevision,
    const std::string& sourceIndexSha256, std::span<const uint8_t> processorConfig,
    const std::string& weightsPath, const std::string& partialDirectory,
    const std::string& finalDirectory, const VisionPackTextBinding& binding, RepackAudit& audit,
    const std::function<void()>& cancellationCheck, const PackagePromotion& promotion = {});

}  // namespace VisionPackWriter
