#include "engine/remote/local_byte_provider.h"

#include <fcntl.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "engine/common/repack_audit.h"
#include "engine/common/repack_error.h"
#include "engine/common/unique_fd.h"
#include "engine/io/posix.h"
#include "engine/io/sha256_stream.h"

namespace {

// Thrown into the fallback through its completion callback once the local
// side has failed, to end its copy; never leaves copyRanges.
class FallbackStopped : public std::exception {
 public:
  const char* what() const noexcept override { return "the copy stopped after another failure"; }
};

}  // namespace

struct LocalShardByteProvider::ShardJob {
  std::string shard;
  const LocalShardFile* file = nullptr;
  std::vector<const CoalescedRangeCopy*> ranges;  // unfinished, in plan order
};

// The state the readers and the fallback thread of one copyRanges call
// share. `mutex` guards everything below it and serialises the caller's
// callbacks and the warnings.
struct LocalShardByteProvider::Run {
  Run(const std::vector<CoalescedRangeCopy>& all, const std::set<std::string>& finished,
      const std::string& root, const std::string& temporary, RepackAudit& ledger,
      const CopyProgressHandler& onProgress,
      const std::function<void(const RemoteCompletedRange&)>& onCompletion,
      const LocalByteProviderOptions& settings)
      : ranges(all),
        finishedIDs(finished),
        outputRoot(root),
        temporaryRangePath(temporary),
        audit(ledger),
        progress(onProgress),
        completion(onCompletion),
        options(settings) {}

  const std::vector<CoalescedRangeCopy>& ranges;
  const std::set<std::string>& finishedIDs;
  const std::string& outputRoot;
  const std::string& temporaryRangePath;
  RepackAudit& audit;  // the local side's; the fallback has `fallbackAudit`
  const CopyProgressHandler& progress;
  const std::function<void(const RemoteCompletedRange&)>& completion;
  const LocalByteProviderOptions& options;
  CancellationToken stop;      // set on the first failure
  RepackAudit fallbackAudit;   // the fallback thread's alone until it has ended
  std::vector<ShardJob> jobs;  // fixed before the threads start

  std::mutex mutex;
  size_t nextJob = 0;
  std::exception_ptr failure;
  // Ranges for the fallback: `everything` (the caller's own list, when no
  // shard is local) or batches, one per shard it must copy.
  bool everything = false;
  std::deque<std::vector<CoalescedRangeCopy>> batches;
  bool readersDone = false;
  std::condition_variable fallbackWake;
  uint64_t fetchedBefore = 0;  // network bytes of the fallback's finished calls
  CopyProgress now;

  // Stops the local reads; the first failure is the run's.
  void fail(std::exception_ptr error) {
    const std::lock_guard<std::mutex> lock(mutex);
    if (!failure) failure = std::move(error);
    stop.cancel();
    fallbackWake.notify_all();
  }

  void checkStop() const {
    if (options.cancellation) options.cancellation->check();
    stop.check();
  }

  void warnLocked(const std::string& line) const {
    if (options.warn) options.warn(line);
  }

  void emitLocked() const {
    if (progress) progress(now);
  }
};

LocalShardByteProvider::LocalShardByteProvider(std::map<std::string, LocalShardFile> files,
                                               std::shared_ptr<SourceByteProvider> fallback,
                                               LocalByteProviderOptions options)
    : files_(std::move(files)), fallback_(std::move(fallback)), options_(std::move(options)) {}

void LocalShardByteProvider::copyShard(Run& run, const ShardJob& job,
                                       std::vector<uint8_t>& buffer) const {
  const LocalShardFile& file = *job.file;
  // A shard that cannot be used goes to the fallback whole; its bytes
  // written so far are overwritten there and were never reported.
  const auto reject = [&](const RepackError& error) {
    if (!fallback_) throw error;
    std::vector<CoalescedRangeCopy> batch;
    batch.reserve(job.ranges.size());
    for (const CoalescedRangeCopy* range : job.ranges) batch.push_back(*range);
    const std::lock_guard<std::mutex> lock(run.mutex);
    run.warnLocked("warning: " + error.description() + "; " + job.shard +
                   " is fetched from the hub instead");
    run.batches.push_back(std::move(batch));
    run.fallbackWake.notify_all();
  };
  if (!file.sha256 && !file.uncheckedAllowed) {
    return reject(RepackError::LocalSourceRejected{file.path, job.shard, "has no known SHA-256"});
  }
  UniqueFd fd;
  uint64_t size = 0;
  try {
    fd = Posix::openRead(file.path);
    size = Posix::fileSize(fd.get(), file.path);
  } catch (const RepackError& error) {
    return reject(error);
  }
  if (size != file.size) {
    return reject(RepackError::LocalSourceRejected{
        file.path, job.shard,
        "has " + std::to_string(size) + " bytes, expected " + std::to_string(file.size)});
  }
  if (!file.sha256) {
    const std::lock_guard<std::mutex> lock(run.mutex);
    run.warnLocked("warning: " + job.shard + " from " + file.path +
                   " has no known SHA-256 and could not be checked");
  }

  // Every destination of the shard's ranges, by where its bytes start.
  struct Piece {
    uint64_t begin;
    uint64_t end;
    const RangeCopy* destination;
    int fd;
  };
  std::map<std::string, UniqueFd> outputs;
  std::vector<Piece> pieces;
  for (const CoalescedRangeCopy* range : job.ranges) {
    if (range->sourceOffset > size || range->size > size - range->sourceOffset) {
      throwConfigurationInvalid("range " + range->id + " exceeds " + job.shard);
    }
    for (const RangeCopy& d : range->destinations) {
      auto open = outputs.find(d.destinationPath);
      if (open == outputs.end()) {
        open = outputs.emplace(d.destinationPath, Posix::openExistingRW(d.destinationPath)).first;
      }
      if (d.size > 0)
        pieces.push_back({d.sourceOffset, d.sourceOffset + d.size, &d, open->second.get()});
    }
  }
  std::sort(pieces.begin(), pieces.end(),
            [](const Piece& a, const Piece& b) { return a.begin < b.begin; });
  // Each range's destination digest, taken from the bytes as they pass
  // where the range allows it; by where the range starts.
  std::vector<std::optional<StreamedDestinationDigest>> digests(job.ranges.size());
  std::vector<size_t> byStart;
  for (size_t i = 0; i < job.ranges.size(); ++i) {
    if (!StreamedDestinationDigest::streamable(*job.ranges[i])) continue;
    digests[i].emplace(*job.ranges[i], run.outputRoot);
    byStart.push_back(i);
  }
  std::sort(byStart.begin(), byStart.end(), [&](size_t a, size_t b) {
    return job.ranges[a]->sourceOffset < job.ranges[b]->sourceOffset;
  });
  size_t nextDigest = 0;
  std::vector<size_t> digesting;

  // One sequential pass over the whole file. The kernel reads ahead; the
  // pages behind each read are dropped, since nothing reads them again.
  (void)::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  Sha256Stream hasher;
  RepackAudit local;
  size_t nextPiece = 0;
  std::vector<const Piece*> active;
  for (uint64_t at = 0; at < size;) {
    run.checkStop();
    const uint64_t count = std::min<uint64_t>(buffer.size(), size - at);
    try {
      Posix::preadAll(fd.get(), file.path, buffer.data(), static_cast<int64_t>(count), at);
    } catch (const RepackError& error) {
      return reject(error);
    }
    (void)::posix_fadvise(fd.get(), static_cast<off_t>(at), static_cast<off_t>(count),
                          POSIX_FADV_DONTNEED);
    if (file.sha256) hasher.update(buffer.data(), count);
    const uint64_t end = at + count;
    while (nextPiece < pieces.size() && pieces[nextPiece].begin < end) {
      active.push_back(&pieces[nextPiece++]);
    }
    for (const Piece* piece : active) {
      const uint64_t from = std::max(at, piece->begin);
      const uint64_t to = std::min(end, piece->end);
      if (from >= to) continue;
      const RangeCopy& d = *piece->destination;
      const uint64_t target = d.destinationOffset + (from - d.sourceOffset);
      Posix::pwriteAll(piece->fd, d.destinationPath, buffer.data() + (from - at),
                       static_cast<int64_t>(to - from), target);
      // Start write-back now so the fsync before the reports finds most of
      // the bytes on their way to the disk. Advisory: the fsync is what
      // makes them durable.
      (void)::sync_file_range(piece->fd, static_cast<off64_t>(target),
                              static_cast<off64_t>(to - from), SYNC_FILE_RANGE_WRITE);
      local.sourceBytesRead += to - from;
      local.outputBytesWritten += to - from;
      local.intentionalCopyBytes += to - from;
      local.byteCopyTiles += 1;
    }
    std::erase_if(active, [end](const Piece* p) { return p->end <= end; });
    while (nextDigest < byStart.size() && job.ranges[byStart[nextDigest]]->sourceOffset < end) {
      digesting.push_back(byStart[nextDigest++]);
    }
    for (const size_t i : digesting) {
      const CoalescedRangeCopy& range = *job.ranges[i];
      const uint64_t from = std::max(at, range.sourceOffset);
      const uint64_t to = std::min(end, range.sourceOffset + range.size);
      if (from < to) {
        digests[i]->consume(from - range.sourceOffset,
                            {buffer.data() + (from - at), static_cast<size_t>(to - from)});
      }
    }
    std::erase_if(digesting, [&](size_t i) {
      return job.ranges[i]->sourceOffset + job.ranges[i]->size <= end;
    });
    at = end;
    const std::lock_guard<std::mutex> lock(run.mutex);
    run.audit.localBytesRead += count;
    run.now.localBytes += count;
    run.emitLocked();
  }
  {
    const std::lock_guard<std::mutex> lock(run.mutex);
    run.audit.merge(local);
  }
  if (file.sha256) {
    const std::string found = hasher.finalizeHex();
    if (found != *file.sha256) {
      return reject(RepackError::LocalSourceRejected{
          file.path, job.shard,
          "does not match its SHA-256 (expected " + *file.sha256 + ", found " + found + ")"});
    }
  }

  for (const auto& [path, output] : outputs) Posix::fsync(output.get(), path);
  std::span<uint8_t> tile(buffer.data(), std::min<size_t>(buffer.size(), kDefaultWriteTileBytes));
  for (size_t i = 0; i < job.ranges.size(); ++i) {
    const CoalescedRangeCopy* range = job.ranges[i];
    RemoteCompletedRange completed;
    completed.id = range->id;
    std::optional<std::string> streamed;
    if (digests[i]) streamed = digests[i]->finish();
    completed.destinationDigest =
        streamed ? std::move(*streamed)
                 : destinationDigest(*range, run.outputRoot, tile, [&run] { run.checkStop(); });
    completed.sourceBytes = range->size;
    for (const RangeCopy& d : range->destinations) completed.destinationBytes += d.size;
    run.checkStop();
    const std::lock_guard<std::mutex> lock(run.mutex);
    run.completion(completed);
    run.emitLocked();
  }
}

void LocalShardByteProvider::reader(Run& run) const {
  std::vector<uint8_t> buffer(static_cast<size_t>(options_.bufferBytes));
  for (;;) {
    const ShardJob* job = nullptr;
    {
      const std::lock_guard<std::mutex> lock(run.mutex);
      if (run.failure || run.nextJob == run.jobs.size()) return;
      job = &run.jobs[run.nextJob++];
    }
    try {
      copyShard(run, *job, buffer);
    } catch (...) {
      run.fail(std::current_exception());
      return;
    }
  }
}

void LocalShardByteProvider::fallbackLoop(Run& run) const {
  const CopyProgressHandler progress = [&run](const CopyProgress& p) {
    const std::lock_guard<std::mutex> lock(run.mutex);
    run.now.fetchedBytes = run.fetchedBefore + p.fetchedBytes;
    run.now.activeConnections = p.activeConnections;
    run.emitLocked();
  };
  const std::function<void(const RemoteCompletedRange&)> completion =
      [&run](const RemoteCompletedRange& range) {
        const std::lock_guard<std::mutex> lock(run.mutex);
        if (run.stop.isCancelled()) throw FallbackStopped();
        run.completion(range);
      };
  for (;;) {
    std::vector<CoalescedRangeCopy> batch;
    const std::vector<CoalescedRangeCopy>* input = &batch;
    {
      std::unique_lock<std::mutex> lock(run.mutex);
      run.fallbackWake.wait(lock, [&run] {
        return run.failure || run.everything || !run.batches.empty() || run.readersDone;
      });
      if (run.failure) return;
      if (std::exchange(run.everything, false)) {
        input = &run.ranges;
      } else if (!run.batches.empty()) {
        batch = std::move(run.batches.front());
        run.batches.pop_front();
      } else {
        return;
      }
    }
    try {
      fallback_->copyRanges(*input, run.finishedIDs, run.outputRoot, run.temporaryRangePath,
                            run.fallbackAudit, progress, completion);
    } catch (const FallbackStopped&) {
      return;
    } catch (...) {
      run.fail(std::current_exception());
      return;
    }
    const std::lock_guard<std::mutex> lock(run.mutex);
    run.fetchedBefore = run.now.fetchedBytes;
    run.now.activeConnections = 0;
  }
}

void LocalShardByteProvider::copyRanges(
    const std::vector<CoalescedRangeCopy>& ranges, const std::set<std::string>& finishedIDs,
    const std::string& outputRoot, const std::string& temporaryRangePath, RepackAudit& audit,
    const CopyProgressHandler& progress,
    const std::function<void(const RemoteCompletedRange&)>& completion) {
  if (options_.bufferBytes <= 0) throwConfigurationInvalid("bufferBytes must be positive");
  if (options_.readers < 1) throwConfigurationInvalid("readers must be positive");
  if (options_.cancellation) options_.cancellation->check();

  Run run(ranges, finishedIDs, outputRoot, temporaryRangePath, audit, progress, completion,
          options_);
  std::map<std::string, size_t> jobOf;
  std::vector<CoalescedRangeCopy> remote;
  size_t remoteCount = 0;
  for (const CoalescedRangeCopy& range : ranges) {
    if (finishedIDs.contains(range.id)) continue;
    checkRangeDestinations(range);
    const auto file = files_.find(range.shardID);
    if (file == files_.end()) {
      if (!fallback_) {
        throwConfigurationInvalid("no local file for " + range.shardID +
                                  " and no hub to fetch it from");
      }
      remoteCount += 1;
      continue;
    }
    auto [at, added] = jobOf.emplace(range.shardID, run.jobs.size());
    if (added) run.jobs.push_back(ShardJob{range.shardID, &file->second, {}});
    run.jobs[at->second].ranges.push_back(&range);
  }
  if (run.jobs.empty() && remoteCount == 0) return;
  if (run.jobs.empty()) {
    run.everything = true;  // the caller's list as it is: no copy of the plan
  } else if (remoteCount > 0) {
    remote.reserve(remoteCount);
    for (const CoalescedRangeCopy& range : ranges) {
      if (!finishedIDs.contains(range.id) && !files_.contains(range.shardID)) {
        remote.push_back(range);
      }
    }
    run.batches.push_back(std::move(remote));
  }
  audit.noteScratch(options_.bufferBytes);
  if (progress) progress({});

  std::thread fallbackThread;
  if (fallback_) fallbackThread = std::thread([this, &run] { fallbackLoop(run); });
  const size_t count = std::min<size_t>(static_cast<size_t>(options_.readers), run.jobs.size());
  std::vector<std::thread> readers;
  readers.reserve(count);
  for (size_t i = 0; i < count; ++i) readers.emplace_back([this, &run] { reader(run); });
  for (std::thread& r : readers) r.join();
  {
    const std::lock_guard<std::mutex> lock(run.mutex);
    run.readersDone = true;
    run.fallbackWake.notify_all();
  }
  if (fallbackThread.joinable()) fallbackThread.join();
  audit.merge(run.fallbackAudit);
  if (run.failure) std::rethrow_exception(run.failure);
  if (options_.cancellation) options_.cancellation->check();
}
