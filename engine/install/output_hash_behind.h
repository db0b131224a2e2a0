// Hashes an install's outputs while their ranges arrive, so that the pass
// after the copy reads only what could not be hashed in order.
//
// Each output's SHA-256 advances over its contiguous prefix of final bytes.
// Bytes no pending range writes (the reserved resident index, padding, and
// the ranges a resumed run kept) are final from the start; a pending range's
// destinations become final when the range is reported `written`: once it is
// durable, or earlier, as soon as its bytes are in place, when the writer can
// take the report back with `withdrawn` before it rewrites them. A
// background thread reads
// each newly final stretch back, mostly from the page cache, hashes it and
// drops it from the cache. `digest` stops the thread and hashes whatever is
// left, so the digest is that of the whole file as it stands.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/plan/range_copy_plan.h"

class RepackAudit;

class OutputHashBehind {
 public:
  struct Output {
    std::string path;
    uint64_t size = 0;
  };

  // `outputs` are the files to hash; the ranges of `copyPlan` whose ids are
  // not in `finishedIDs` are the ones still to be written. Starts the thread.
  OutputHashBehind(std::vector<Output> outputs, const RangeCopyPlan& copyPlan,
                   const std::set<std::string>& finishedIDs, int64_t tileBytes);
  // Stops the thread; nothing is reported.
  ~OutputHashBehind();
  OutputHashBehind(const OutputHashBehind&) = delete;
  OutputHashBehind& operator=(const OutputHashBehind&) = delete;

  // The bytes `range` wrote are final. Safe from any thread; a second
  // report of the same range changes nothing.
  void written(const CoalescedRangeCopy& range);
  // Takes back `written` for `range`, whose bytes are to be written again:
  // every output it writes to is hashed again from its start. Does nothing
  // for a range not reported written. Safe from any thread.
  void withdrawn(const CoalescedRangeCopy& range);

  // True when the output at `path` is one of this object's, planned at
  // `size` bytes and not digested yet.
  bool keeps(const std::string& path, uint64_t size) const;

  // The SHA-256 (hex) of the output at `path`, after every range has been
  // reported written. The first call stops the thread (rethrowing what it
  // failed with) and hashes the rest of every output, on two threads;
  // `cancellationCheck` runs before every tile, on either. Tile counts go
  // to `audit`.
  std::string digest(const std::string& path, RepackAudit& audit,
                     const std::function<void()>& cancellationCheck);

  // Bytes hashed by the thread while the copy ran (for the audit).
  uint64_t bytesHashedBehind() const;

 private:
  struct File;
  void runThread();
  bool hashReady(File& file, std::vector<uint8_t>& buffer);
  void stopThread();
  void finishAll(RepackAudit& audit, const std::function<void()>& cancellationCheck);

  std::vector<std::unique_ptr<File>> files_;
  std::map<std::string, File*> byPath_;
  std::map<std::string, uint32_t> rangeIndex_;  // of the pending ranges, by id
  int64_t tileBytes_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool stopping_ = false;
  uint64_t generation_ = 0;         // bumped by every `written`
  std::vector<bool> rangeWritten_;  // per pending range
  // Per pending range, the files it writes to, for `withdrawn`.
  std::vector<std::vector<File*>> rangeFiles_;
  bool stopped_ = false;
  std::exception_ptr failure_;
  uint64_t tilesBehind_ = 0;
  uint64_t bytesBehind_ = 0;
  std::thread thread_;
};
