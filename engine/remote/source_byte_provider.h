// The copy engine of an install: for each coalesced range of a copy plan it
// fetches the range from the hub into a temporary file, copies the range's
// bytes tile by tile to every destination at its final offset, makes the
// touched destinations durable, fingerprints what it wrote and reports the
// finished range, which the caller records in its resume checkpoint.
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
#include <set>
#include <span>
#include <string>
#include <vector>

#include "engine/common/unique_fd.h"
#include "engine/plan/range_copy_plan.h"
#include "engine/remote/completed_range.h"
#include "engine/remote/hugging_face_source.h"

class RepackAudit;

class SourceByteProvider {
 public:
  virtual ~SourceByteProvider() = default;

  // Fetches and writes every range whose id is not in `finishedIDs`, in the
  // given order. Every destination lies under `outputRoot` in a file that
  // already exists at its final size. `temporaryRangePath` holds the range in
  // flight. `progress` receives the bytes fetched from the hub by this call
  // so far; `completion` receives each finished range and may throw, which
  // ends the copy with that error. A failure ends the copy; ranges completed
  // before it stay completed, the range in flight is not reported.
  virtual void copyRanges(const std::vector<CoalescedRangeCopy>& ranges,
                          const std::set<std::string>& finishedIDs, const std::string& outputRoot,
                          const std::string& temporaryRangePath, RepackAudit& audit,
                          const std::function<void(uint64_t)>& progress,
                          const std::function<void(const RemoteCompletedRange&)>& completion) = 0;
};

inline constexpr int64_t kDefaultWriteTileBytes = 524288;

// The byte provider over ranged HTTP requests to the hub. One range at a
// time on the calling thread; each range's transfer is self-contained (its
// own connection, temporary file and completion). Descriptors of destination
// files are shared across ranges and closed when copyRanges returns.
class HTTPRangeSourceByteProvider final : public SourceByteProvider {
 public:
  // `remote` is pinned to the snapshot's commit; `files` maps shard names to
  // their metadata as the snapshot resolved them.
  HTTPRangeSourceByteProvider(HuggingFaceRemoteSource remote,
                              std::map<std::string, RemoteFileInfo> files,
                              int64_t writeTileBytes = kDefaultWriteTileBytes);

  void copyRanges(const std::vector<CoalescedRangeCopy>& ranges,
                  const std::set<std::string>& finishedIDs, const std::string& outputRoot,
                  const std::string& temporaryRangePath, RepackAudit& audit,
                  const std::function<void(uint64_t)>& progress,
                  const std::function<void(const RemoteCompletedRange&)>& completion) override;

 private:
  using DescriptorCache = std::map<std::string, UniqueFd>;

  // Fetches one range into `temporaryPath` under the retry loop; returns the
  // bytes received.
  uint64_t fetchRange(const CoalescedRangeCopy& range, const RemoteFileInfo& info,
                      const std::string& temporaryPath, RepackAudit& audit, uint64_t fetchedBefore,
                      const std::function<void(uint64_t)>& progress) const;
  // Copies the fetched range to its destinations; returns the touched paths.
  std::set<std::string> writeDestinations(const CoalescedRangeCopy& range,
                                          const std::string& temporaryPath, RepackAudit& audit,
                                          std::span<uint8_t> buffer,
                                          DescriptorCache& descriptors) const;

  HuggingFaceRemoteSource remote_;
  std::map<std::string, RemoteFileInfo> files_;
  int64_t writeTileBytes_;
};

// The destination digest of `range` over the files now under `outputRoot`,
// read through `buffer` (a 524,288-byte one of its own when empty).
// `cancellationCheck` runs before every buffer-sized tile and may throw to
// stop a digest over gigabytes.
std::string destinationDigest(const CoalescedRangeCopy& range, const std::string& outputRoot,
                              std::span<uint8_t> buffer = {},
                              const std::function<void()>& cancellationCheck = {});
