// The work list of a streaming install: every source-to-destination byte
// move of a plan, merged into download ranges of at most rangeChunkBytes, the
// files the install produces, and a canonical fingerprint of all of it.
//
// Fingerprint byte stream (SHA-256; integers u64 little-endian; a string is
// its UTF-8 byte count as u64 then its bytes):
//   "Velquor.RemoteInstallPlan.v1", 1, 0, rangeChunkBytes, layout mode,
//   layout-order digest (or ""), residentIndexSha256,
//   #outputs, {relativePath, size}...,
//   #ranges, {id, NFC(shardID), sourceOffset, size, #destinations,
//             {relative path, destinationOffset, offset in range, size}...}...
// A resume checkpoint stores it; a resumed install proceeds only when a fresh
// plan has the same value, so this format is binding across builds.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/io/sha256_stream.h"
#include "engine/plan/repack_plan.h"
#include "engine/plan/shared_path.h"

// A plan holds one of these per tensor and per expert slice; the copies of
// one plan share the text of each shard and destination path.
struct RangeCopy {
  SharedPath shardID;  // the source tensor's shardPath
  uint64_t sourceOffset = 0;
  uint64_t size = 0;
  SharedPath destinationPath;  // absolute
  uint64_t destinationOffset = 0;

  bool operator==(const RangeCopy&) const = default;
};

struct CoalescedRangeCopy {
  std::string id;  // "range-%08d"
  std::string shardID;
  uint64_t sourceOffset = 0;
  uint64_t size = 0;
  std::vector<RangeCopy> destinations;  // each lies inside the range

  bool operator==(const CoalescedRangeCopy&) const = default;
};

struct RemoteExpectedOutput {
  std::string relativePath;
  uint64_t size = 0;

  bool operator==(const RemoteExpectedOutput&) const = default;
};

struct RangeCopyPlan {
  std::vector<RangeCopy> scalarCopies;
  std::vector<CoalescedRangeCopy> coalescedCopies;
  uint64_t remoteBytesToDownload = 0;
  uint64_t remoteGapBytesDownloaded = 0;
  std::string canonicalFingerprint;
  // Text install: SHA-256 of the resident index region; vision companion:
  // the vision plan digest.
  std::string residentIndexSha256;
  std::vector<RemoteExpectedOutput> expectedOutputs;  // sorted by relativePath

  bool operator==(const RangeCopyPlan&) const = default;
};

// Feeds u64 values (8 bytes little-endian) and strings (length-prefixed) to
// a SHA-256 stream.
class FingerprintWriter {
 public:
  void integer(uint64_t value);
  void string(const std::string& text);
  std::string finalizeHex() { return stream_.finalizeHex(); }

 private:
  Sha256Stream stream_;
};

struct VisionPackPlan;

namespace RangeCopyPlanner {

inline constexpr const char* kIdentityLayoutMode = "identity";
inline constexpr const char* kVisionLayoutMode = "vision-companion";

// The copy plan of a text install. Every failure is configurationInvalid
// (or scratchExceeded from the resident index encoder).
RangeCopyPlan plan(const RepackPlan& plan, int64_t rangeChunkBytes,
                   const std::string& layoutMode = kIdentityLayoutMode,
                   const std::optional<std::string>& layoutOrderDigest = std::nullopt);

// The copy plan of a vision companion whose weights file is at
// weightsFilePath (absolute).
RangeCopyPlan planVisionCompanion(const VisionPackPlan& visionPlan,
                                  const std::string& weightsFilePath, int64_t rangeChunkBytes);

std::vector<CoalescedRangeCopy> coalesce(const std::vector<RangeCopy>& copies,
                                         int64_t rangeChunkBytes);

// The package-relative path of an absolute destination under outputRoot.
std::string relativeDestination(const std::string& destinationPath, const std::string& outputRoot);

}  // namespace RangeCopyPlanner
