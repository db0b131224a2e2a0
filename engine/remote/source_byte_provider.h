// The copy engine of an install: for each coalesced range of a copy plan it
// fetches the range from the hub, writes the range's bytes to every
// destination at its final offset, makes the touched destinations durable,
// fingerprints what it wrote and reports the finished range, which the
// caller records in its resume checkpoint.
//
// Destination digest: SHA-256 over (integers u64 little-endian; a text is its
// UTF-8 byte count as u64, then its bytes)
//   "Velquor.RemoteRangeDestination.v1", range id, #destinations,
//   {relative path, destinationOffset, offset in range, size,
//    the size bytes now in the destination file}...
// A resumed install recomputes it to decide which finished ranges it can
// trust, so this byte stream is binding across builds.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "engine/common/unique_fd.h"
#include "engine/io/sha256_stream.h"
#include "engine/plan/range_copy_plan.h"
#include "engine/remote/completed_range.h"
#include "engine/remote/hugging_face_source.h"

class RepackAudit;

// Where a copy stands: the bytes fetched from the network by this call so
// far, the transfers on the network at this moment, and the bytes this call
// has read from files on local disk.
struct CopyProgress {
  uint64_t fetchedBytes = 0;
  int64_t activeConnections = 0;
  uint64_t localBytes = 0;
  bool operator==(const CopyProgress&) const = default;
};
using CopyProgressHandler = std::function<void(const CopyProgress&)>;

class SourceByteProvider {
 public:
  virtual ~SourceByteProvider() = default;

  // Fetches and writes every range whose id is not in `finishedIDs`, in the
  // given order. Every destination lies under `outputRoot` in a file that
  // already exists at its final size. `temporaryRangePath` holds the range in
  // flight. `progress` receives the bytes fetched from the hub by this call
  // so far and the transfers running; `completion` receives each finished range and may throw,
  // which ends the copy with that error. A failure ends the copy; ranges completed before it stay
  // completed, the range in flight is not reported.
  virtual void copyRanges(const std::vector<CoalescedRangeCopy>& ranges,
                          const std::set<std::string>& finishedIDs, const std::string& outputRoot,
                          const std::string& temporaryRangePath, RepackAudit& audit,
                          const CopyProgressHandler& progress,
                          const std::function<void(const RemoteCompletedRange&)>& completion) = 0;
};

inline constexpr int64_t kDefaultWriteTileBytes = 524288;
inline constexpr int64_t kDefaultConnections = 8;
inline constexpr int64_t kMaxConnections = 64;

// The byte provider over ranged HTTP requests to the hub. Up to `connections`
// ranges are in flight at once, each on a worker thread of its own; how many
// of them are on the network at a time adapts to the server and the path
// (AdaptiveConcurrency: from min(4, connections), fewer after a 429, a 503
// or a stall), and `connections` 1 fetches one range at a time. A
// range's body goes straight to its destinations' final offsets as it
// arrives (no temporary file: the install needs no disk beyond the package).
// Once a range's bytes are all written, the worker fsyncs the files it
// touched, computes the destination digest and reports the range; reports
// are serialised, so `completion` and `progress` never run concurrently.
// A retryable failure is retried on its own connection while the others go
// on; a final one (or the session's cancellation) stops every transfer in
// flight, and copyRanges throws the first failure once all have stopped.
// Descriptors of destination files are per worker and closed when
// copyRanges returns.
class HTTPRangeSourceByteProvider final : public SourceByteProvider {
 public:
  // `remote` is pinned to the snapshot's commit; `files` maps shard names to
  // their metadata as the snapshot resolved them.
  HTTPRangeSourceByteProvider(HuggingFaceRemoteSource remote,
                              std::map<std::string, RemoteFileInfo> files,
                              int64_t writeTileBytes = kDefaultWriteTileBytes,
                              int64_t connections = 1);

  // `temporaryRangePath` is not used; a file an earlier build left there is
  // removed.
  void copyRanges(const std::vector<CoalescedRangeCopy>& ranges,
                  const std::set<std::string>& finishedIDs, const std::string& outputRoot,
                  const std::string& temporaryRangePath, RepackAudit& audit,
                  const CopyProgressHandler& progress,
                  const std::function<void(const RemoteCompletedRange&)>& completion) override;

 private:
  struct Run;
  void worker(Run& run) const;
  void copyOne(Run& run, const CoalescedRangeCopy& range, std::map<std::string, UniqueFd>& files,
               std::vector<uint8_t>& buffer) const;

  HuggingFaceRemoteSource remote_;
  std::map<std::string, RemoteFileInfo> files_;
  int64_t writeTileBytes_;
  int64_t connections_;
};

// The destination digest of `range` over the files now under `outputRoot`,
// read through `buffer` (a 524,288-byte one of its own when empty).
// `cancellationCheck` runs before every buffer-sized tile and may throw to
// stop a digest over gigabytes.
std::string destinationDigest(const CoalescedRangeCopy& range, const std::string& outputRoot,
                              std::span<uint8_t> buffer = {},
                              const std::function<void()>& cancellationCheck = {});

// The same destination digest taken from the range's bytes as they pass on
// their way to the destinations, so that nothing is read back. Bytes are
// given in order (offsets within the range, each call starting where the
// previous one ended or later). Possible only when the destinations take
// their bytes in that order without overlap, as the planner lays them out;
// `streamable` tells, and a range that is not is digested by reading back.
class StreamedDestinationDigest {
 public:
  static bool streamable(const CoalescedRangeCopy& range);

  // `range` must be streamable and outlive this object.
  StreamedDestinationDigest(const CoalescedRangeCopy& range, const std::string& outputRoot);

  // The bytes at `offsetInRange` onwards.
  void consume(uint64_t offsetInRange, std::span<const uint8_t> bytes);

  // The digest, once every destination byte has passed; nothing otherwise
  // (bytes skipped or repeated), and the caller reads back instead.
  std::optional<std::string> finish();

 private:
  void enter(size_t index);

  const CoalescedRangeCopy& range_;
  const std::string& outputRoot_;
  Sha256Stream stream_;
  size_t current_ = 0;     // the destination taking bytes now
  uint64_t taken_ = 0;     // of its bytes
  uint64_t position_ = 0;  // the range offset the next byte must have
  bool broken_ = false;
};

// Every destination lies inside the bytes of its range; configurationInvalid
// otherwise.
void checkRangeDestinations(const CoalescedRangeCopy& range);
