// The run's ledger: one mutable record per install, shared by reference with
// every stage that reads, writes, copies, fetches or retries. Not
// synchronised; the stages of one run update it from one thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class RepackAudit {
 public:
  struct OutputFile {
    std::string relativePath;  // package-relative, "/" separators
    uint64_t size = 0;
    std::string sha256;
    bool operator==(const OutputFile&) const = default;
  };

  struct RemoteRetryRecord {
    std::string label;    // operation and file, e.g. "downloadRangeToTempFile:" + shard
    int64_t attempt = 0;  // 1-based number of the attempt that failed
    std::string detail;   // the failed attempt's error text
    bool operator==(const RemoteRetryRecord&) const = default;
  };

  RepackAudit() = default;
  RepackAudit(const RepackAudit&) = delete;
  RepackAudit& operator=(const RepackAudit&) = delete;

  void recordRetry(std::string label, int64_t attempt, std::string detail);
  // Samples the process's resident memory; does nothing when it cannot be read.
  void sampleMemory();
  // The report document: pretty-printed JSON with snake_case keys sorted;
  // the six optional members are omitted when absent.
  std::string report(const std::string& outputDir) const;

  // Adds the byte and request counters, the retries and the largest
  // transfer and scratch of a part of the work (one range's, one source's)
  // to this ledger.
  void merge(const RepackAudit& part);

  // Raises largestScratchBytes to `bytes` if it is lower.
  void noteScratch(int64_t bytes) {
    if (bytes > largestScratchBytes) largestScratchBytes = bytes;
  }

  uint64_t sourceBytesRead = 0;
  uint64_t outputBytesWritten = 0;
  uint64_t intentionalCopyBytes = 0;
  uint64_t byteCopyTiles = 0;
  int64_t largestScratchBytes = 0;
  bool wholeFileHeapBuffers = false;
  bool platformMemmoveObserved = false;
  int64_t mallocCountObserved = 0;
  int64_t bitWidthOverridesHonored = 0;
  std::string sourceSnapshotSha256;
  std::vector<std::string> tensorsDroppedMultimodal;
  double wallTimeSeconds = 0;
  uint64_t peakRssBytes = 0;
  std::vector<OutputFile> outputFiles;
  std::vector<uint64_t> rssSamples;
  std::string packedExpertLayoutMode = "identity";
  std::optional<std::string> packedExpertLayoutOrderPath;
  std::optional<std::string> packedExpertLayoutOrderSha256;
  std::optional<std::string> packedExpertLayoutStrategy;
  int64_t packedExpertReorderedLayerCount = 0;
  int64_t packedExpertLayoutAuditLogicalIDCount = 0;
  bool packedExpertLayoutOffsetValidationPassed = false;
  uint64_t remoteBytesDownloaded = 0;  // from the network only
  uint64_t localBytesRead = 0;         // source files read from local disk
  uint64_t remoteGapBytesDownloaded = 0;
  uint64_t remoteRangeRequests = 0;
  uint64_t remoteRangeRetries = 0;
  bool remoteRangeStreamingSupported = false;
  int64_t largestRemoteTransferBytes = 0;
  int64_t largestRemotePayloadHeapBytes = 0;
  std::optional<std::string> remoteRepoID;
  std::optional<std::string> remoteRequestedRevision;
  std::optional<std::string> remoteResolvedCommit;
  std::vector<RemoteRetryRecord> remoteRetries;
  std::vector<std::string> stalePartialsRemoved;
};

// The process's resident set size in bytes, read from /proc; nothing when it
// cannot be read.
std::optional<uint64_t> processResidentBytes();
