// The resume checkpoint, <output>.resume.json: which coalesced ranges of the
// plan are finished, so an interrupted install can continue. One compact JSON
// object, keys sorted, "/" written as "\/", at most 8 MiB:
//
//   {"completedRanges":[{"destinationBytes":N,"destinationDigest":"<hex64>",
//     "id":"<range id>","sourceBytes":N},...],
//    "planFingerprint":"<hex64>","repoID":"owner/name",
//    "requestedRevision":"...","resolvedCommit":"<40 chars>","schema":1,
//    "sourceIndexSHA256":"<hex64>","totalSourceBytes":N}
//
// It is always replaced atomically, so a reader sees the previous or the next
// complete checkpoint. Every key is required; unknown keys are ignored.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/remote/completed_range.h"

struct RemoteInstallCheckpoint {
  static constexpr int64_t schemaVersion = 1;
  static constexpr uint64_t maximumBytes = 8388608;

  int64_t schema = schemaVersion;
  std::string repoID;
  std::string requestedRevision;
  std::string resolvedCommit;     // 40 characters
  std::string sourceIndexSHA256;  // 64 characters
  std::string planFingerprint;    // 64 characters
  uint64_t totalSourceBytes = 0;  // > 0
  std::vector<RemoteCompletedRange> completedRanges;

  bool operator==(const RemoteInstallCheckpoint&) const = default;

  // Reads, decodes and validates; anything unreadable or inconsistent is
  // installStateCorrupt(path, ...). A missing file is fileOpenFailed (errno 2).
  static RemoteInstallCheckpoint load(const std::string& path);

  // Validates, encodes and atomically replaces `path` (durable in
  // parentDirectory). Refuses an encoding above maximumBytes.
  void write(const std::string& path, const std::string& parentDirectory) const;

  // Throws installStateCorrupt(path, detail) for the first broken rule.
  void validate(const std::string& path) const;

  // The compact sorted JSON written to disk.
  std::string encode() const;

  // True when the checkpoint belongs to this source and plan.
  bool matches(const std::string& repoID, const std::string& requestedRevision,
               const std::string& sourceIndexSHA256, const std::string& planFingerprint) const;

  // The sum of destinationBytes, refused when above `maximum`.
  uint64_t validatedDestinationBytes(uint64_t maximum, const std::string& path) const;
};
