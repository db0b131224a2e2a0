// The copy engine over shards already on local disk (the hub cache, a
// directory the user named), with the hub as the fallback for what is not
// there or cannot be trusted.
//
// A local shard is read once, sequentially from its first byte to its last,
// through a bounded buffer; every byte is hashed, including bytes no range
// needs, and each range's bytes go to its destinations' final offsets as
// they pass. None of the shard's ranges is reported before the whole shard
// has been read and its digest has matched: a report is what the caller
// records in its resume checkpoint, so it must never vouch for bytes of a
// file that turns out to be wrong. Once the digest matches, the touched
// destinations are made durable, fingerprinted (destinationDigest) and the
// ranges reported, exactly as the hub provider reports them, so the
// checkpoint is the same whatever the source.
//
// A shard that cannot be used (wrong size, wrong digest, no digest and not
// named by the user, unreadable) has its ranges fetched by the fallback,
// which overwrites whatever the failed pass wrote, after a warning; without
// a fallback (offline) the copy fails with the reason, naming the file.
// Shards without a local file go to the fallback from the start, on a
// thread of its own, while the local shards are read.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "engine/common/cancellation.h"
#include "engine/remote/source_byte_provider.h"

// A shard's copy on local disk.
struct LocalShardFile {
  std::string path;                   // the file to read; a symbolic link is followed
  uint64_t size = 0;                  // the shard's size
  std::optional<std::string> sha256;  // the expected digest, lower-case hex
  // With no digest: the user named the file, so it is used unchecked, with
  // a warning. A file with neither is never used.
  bool uncheckedAllowed = false;
};

struct LocalByteProviderOptions {
  // Per reader, in slots shared by the thread reading a shard and the
  // thread writing it out.
  int64_t bufferBytes = 2 * 1024 * 1024;
  int64_t readers = 2;  // local shards read at once
  // Written bytes each shard's writer leaves in the page cache (up to twice
  // this) before it drops the oldest once they are on the disk. The outputs
  // are hashed well within it, and a writer that keeps to a small, recycled
  // set of pages copies much faster than one that takes fresh memory for
  // every page (on virtual machines, memory handed back to the host faults
  // on first touch).
  int64_t writeBehindBytes = 512ll * 1024 * 1024;
  // Checked before every buffer; the fallback observes its own session's.
  const CancellationToken* cancellation = nullptr;
  // Receives each warning line ("warning: ..."), one call at a time.
  std::function<void(const std::string&)> warn;
  // For readers that follow the writes (may be empty). `rangePlaced` runs on
  // a shard's writer thread once every byte of a range is at its
  // destinations, before the shard's SHA-256 is known and before anything is
  // synced, so it is no report. `rangeWithdrawn` runs, before the fallback
  // writes them again, for each range of a shard that is not used after
  // all, placed or not.
  std::function<void(const CoalescedRangeCopy&)> rangePlaced;
  std::function<void(const CoalescedRangeCopy&)> rangeWithdrawn;
};

class LocalShardByteProvider final : public SourceByteProvider {
 public:
  // `files` maps shard names to their local copies; `fallback` (the hub
  // provider, null offline) copies the ranges of every other shard and of
  // every local shard that cannot be used.
  LocalShardByteProvider(std::map<std::string, LocalShardFile> files,
                         std::shared_ptr<SourceByteProvider> fallback,
                         LocalByteProviderOptions options = {});

  // Reports are serialised across the local readers and the fallback, so
  // `completion` and `progress` never run concurrently. Progress counts the
  // fallback's network bytes in fetchedBytes and the bytes read from local
  // files in localBytes. The first failure on either side stops the other
  // (the fallback at its next finished range, or through its session's
  // cancellation) and is rethrown once both have stopped. A shard all of
  // whose ranges are finished is not read.
  void copyRanges(const std::vector<CoalescedRangeCopy>& ranges,
                  const std::set<std::string>& finishedIDs, const std::string& outputRoot,
                  const std::string& temporaryRangePath, RepackAudit& audit,
                  const CopyProgressHandler& progress,
                  const std::function<void(const RemoteCompletedRange&)>& completion) override;

 private:
  struct Run;
  struct ShardJob;
  class ShardOutputs;
  void reader(Run& run) const;
  // Reads one shard and reports its ranges, or hands them to the fallback
  // when the shard cannot be used.
  void copyShard(Run& run, const ShardJob& job, std::span<uint8_t> buffer) const;
  void fallbackLoop(Run& run) const;

  std::map<std::string, LocalShardFile> files_;
  std::shared_ptr<SourceByteProvider> fallback_;
  LocalByteProviderOptions options_;
};
