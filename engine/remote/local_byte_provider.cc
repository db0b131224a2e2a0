#include "engine/remote/local_byte_provider.h"

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <thread>
#include <utility>

#include "engine/common/repack_audit.h"
#include "engine/common/repack_error.h"
#include "engine/common/unique_fd.h"
#include "engine/io/posix.h"
#include "engine/io/sha256_stream.h"
#include "engine/io/write_behind_window.h"

namespace {

// Thrown into the fallback through its completion callback once the local
// side has failed, to end its copy; never leaves copyRanges.
class FallbackStopped : public std::exception {
 public:
  const char* what() const noexcept override { return "the copy stopped after another failure"; }
};

// Hands the chunks of one shard, in order, from the thread that reads them
// to the thread that writes them, through the fixed slots of one buffer:
// reading runs ahead of writing by at most the slots, and no chunk is
// copied. `close` ends both sides at once (a failure); `finish` lets the
// writer take what is left first.
class ChunkRing {
 public:
  struct Chunk {
    std::span<const uint8_t> bytes;
    uint64_t offset = 0;  // in the shard
  };

  explicit ChunkRing(std::span<uint8_t> memory)
      : memory_(memory),
        slots_(std::min(kSlots, memory.size())),
        slotBytes_(memory.size() / slots_) {}

  // The reader's next slot to fill, once the writer is done with it;
  // nothing once closed.
  std::optional<std::span<uint8_t>> acquire() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return closed_ || published_ - released_ < slots_; });
    if (closed_) return std::nullopt;
    return memory_.subspan((published_ % slots_) * slotBytes_, slotBytes_);
  }

  // `bytes` lie in the slot acquire gave last.
  void publish(std::span<const uint8_t> bytes, uint64_t offset) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      chunks_[published_ % slots_] = {bytes, offset};
      ++published_;
    }
    changed_.notify_all();
  }

  // True when every slot starts and ends on a multiple of `alignment`.
  bool aligned(uint64_t alignment) const {
    return reinterpret_cast<uintptr_t>(memory_.data()) % alignment == 0 &&
           slotBytes_ % alignment == 0;
  }

  void finish() { set(finished_); }
  void close() { set(closed_); }

  // The writer's next chunk; nothing once closed, or finished and drained.
  std::optional<Chunk> next() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return closed_ || finished_ || taken_ < published_; });
    if (closed_ || taken_ == published_) return std::nullopt;
    return chunks_[taken_++ % slots_];
  }

  // The oldest chunk taken is written; its slot may be filled again.
  void release() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      ++released_;
    }
    changed_.notify_all();
  }

 private:
  static constexpr size_t kSlots = 4;

  void set(bool& flag) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      flag = true;
    }
    changed_.notify_all();
  }

  std::span<uint8_t> memory_;
  size_t slots_;
  size_t slotBytes_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::array<Chunk, kSlots> chunks_{};
  uint64_t published_ = 0;
  uint64_t taken_ = 0;
  uint64_t released_ = 0;
  bool finished_ = false;
  bool closed_ = false;
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

// The writing side of one shard's pass: where each of its bytes goes, and
// the range digests fed from them. Chunks must come in shard order.
class LocalShardByteProvider::ShardOutputs {
 public:
  // Opens every destination of `job`'s ranges, which must lie inside the
  // shard's `size` bytes.
  ShardOutputs(const ShardJob& job, uint64_t size, const std::string& outputRoot,
               const std::function<void(const CoalescedRangeCopy&)>& placed,
               uint64_t writeBehindBytes)
      : job_(job),
        placed_(placed),
        finished_(job.ranges.size()),
        outputRoot_(outputRoot),
        writeBehind_(writeBehindBytes) {
    for (const CoalescedRangeCopy* range : job.ranges) {
      if (range->sourceOffset > size || range->size > size - range->sourceOffset) {
        throwConfigurationInvalid("range " + range->id + " exceeds " + job.shard);
      }
      for (const RangeCopy& d : range->destinations) {
        auto open = outputs_.find(d.destinationPath);
        if (open == outputs_.end()) {
          open =
              outputs_.emplace(d.destinationPath, Posix::openExistingRW(d.destinationPath)).first;
        }
        if (d.size > 0)
          pieces_.push_back({d.sourceOffset, d.sourceOffset + d.size, &d, open->second.get()});
      }
    }
    std::sort(pieces_.begin(), pieces_.end(),
              [](const Piece& a, const Piece& b) { return a.begin < b.begin; });
    digests_.resize(job.ranges.size());
    for (size_t i = 0; i < job.ranges.size(); ++i) {
      if (!StreamedDestinationDigest::streamable(*job.ranges[i])) continue;
      digests_[i].emplace(*job.ranges[i], outputRoot);
      byStart_.push_back(i);
    }
    std::sort(byStart_.begin(), byStart_.end(), [&job](size_t a, size_t b) {
      return job.ranges[a]->sourceOffset < job.ranges[b]->sourceOffset;
    });
    byEnd_.resize(job.ranges.size());
    for (size_t i = 0; i < byEnd_.size(); ++i) byEnd_[i] = i;
    std::sort(byEnd_.begin(), byEnd_.end(),
              [this](size_t a, size_t b) { return rangeEnd(a) < rangeEnd(b); });
  }

  // Writes the shard's bytes at `at` to every destination that needs them.
  void write(uint64_t at, std::span<const uint8_t> bytes) {
    const uint64_t end = at + bytes.size();
    while (nextPiece_ < pieces_.size() && pieces_[nextPiece_].begin < end) {
      active_.push_back(&pieces_[nextPiece_++]);
    }
    for (const Piece* piece : active_) {
      const uint64_t from = std::max(at, piece->begin);
      const uint64_t to = std::min(end, piece->end);
      if (from >= to) continue;
      const RangeCopy& d = *piece->destination;
      const uint64_t target = d.destinationOffset + (from - d.sourceOffset);
      Posix::pwriteAll(piece->fd, d.destinationPath, bytes.data() + (from - at),
                       static_cast<int64_t>(to - from), target);
      // The fsync before the reports then finds most of the bytes on the
      // disk already.
      writeBehind_.written(piece->fd, target, to - from);
      audit_.sourceBytesRead += to - from;
      audit_.outputBytesWritten += to - from;
      audit_.intentionalCopyBytes += to - from;
      audit_.byteCopyTiles += 1;
    }
    std::erase_if(active_, [end](const Piece* p) { return p->end <= end; });
    while (nextDigest_ < byStart_.size() &&
           job_.ranges[byStart_[nextDigest_]]->sourceOffset < end) {
      digesting_.push_back(byStart_[nextDigest_++]);
    }
    for (const size_t i : digesting_) {
      const CoalescedRangeCopy& range = *job_.ranges[i];
      const uint64_t from = std::max(at, range.sourceOffset);
      const uint64_t to = std::min(end, range.sourceOffset + range.size);
      if (from < to) {
        digests_[i]->consume(from - range.sourceOffset,
                             bytes.subspan(from - at, static_cast<size_t>(to - from)));
      }
    }
    std::erase_if(digesting_, [this, end](size_t i) { return rangeEnd(i) <= end; });
    while (nextEnded_ < byEnd_.size() && rangeEnd(byEnd_[nextEnded_]) <= end) {
      ended(byEnd_[nextEnded_++]);
    }
  }

  void fsync() const {
    for (const auto& [path, output] : outputs_) Posix::fsync(output.get(), path);
  }

  // The digest of the `index`th range, once the whole shard has been written.
  const std::string& digest(size_t index) const {
    if (!finished_[index]) {
      throwConfigurationInvalid("range " + job_.ranges[index]->id + " was not written whole");
    }
    return *finished_[index];
  }

  const RepackAudit& audit() const { return audit_; }

 private:
  struct Piece {
    uint64_t begin;
    uint64_t end;
    const RangeCopy* destination;
    int fd;
  };

  // Every byte of the `index`th range is at its destinations: its digest is
  // taken now, from what passed or else read back while the bytes are still
  // in the page cache (at the end of the shard they may have left it).
  void ended(size_t index) {
    const CoalescedRangeCopy& range = *job_.ranges[index];
    if (digests_[index]) finished_[index] = digests_[index]->finish();
    digests_[index].reset();
    if (!finished_[index]) {
      tile_.resize(static_cast<size_t>(kDefaultWriteTileBytes));
      finished_[index] = destinationDigest(range, outputRoot_, tile_);
    }
    if (placed_) placed_(range);
  }

  uint64_t rangeEnd(size_t range) const {
    return job_.ranges[range]->sourceOffset + job_.ranges[range]->size;
  }

  const ShardJob& job_;
  const std::function<void(const CoalescedRangeCopy&)>& placed_;
  std::map<std::string, UniqueFd> outputs_;
  std::vector<Piece> pieces_;  // every destination, by where its bytes start
  size_t nextPiece_ = 0;
  std::vector<const Piece*> active_;
  // Each range's digest where the range allows it to be fed in passing, and
  // those ranges by where they start.
  std::vector<std::optional<StreamedDestinationDigest>> digests_;
  std::vector<size_t> byStart_;
  size_t nextDigest_ = 0;
  std::vector<size_t> digesting_;
  std::vector<size_t> byEnd_;  // ranges by where they end
  size_t nextEnded_ = 0;
  std::vector<std::optional<std::string>> finished_;  // digests of ended ranges
  std::vector<uint8_t> tile_;                         // to read back the others
  std::string outputRoot_;
  WriteBehindWindow writeBehind_;
  RepackAudit audit_;
};

void LocalShardByteProvider::copyShard(Run& run, const ShardJob& job,
                                       std::span<uint8_t> buffer) const {
  const LocalShardFile& file = *job.file;
  // A shard that cannot be used goes to the fallback whole; its bytes
  // written so far are overwritten there and were never reported.
  const auto reject = [&](const RepackError& error) {
    if (!fallback_) throw error;
    if (options_.rangeWithdrawn) {
      for (const CoalescedRangeCopy* range : job.ranges) options_.rangeWithdrawn(*range);
    }
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
  ShardOutputs outputs(job, size, run.outputRoot, options_.rangePlaced,
                       static_cast<uint64_t>(options_.writeBehindBytes));

  // One sequential pass over the whole file, on two threads: this one reads
  // and hashes each chunk, the writer puts it at its destinations and feeds
  // the range digests, so that a shard read alone still keeps two cores
  // busy. The bytes are used once: where the file system allows, they are
  // read past the page cache, which would only cost a copy and memory;
  // elsewhere the kernel reads ahead and the pages behind each read are
  // dropped.
  ChunkRing ring(buffer);
  bool direct = ring.aligned(Posix::kDirectReadAlignment) && Posix::enableDirectReads(fd.get());
  (void)::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  const auto readChunk = [&](uint8_t* into, uint64_t count, uint64_t at) {
    if (direct) {
      try {
        return Posix::preadDirect(fd.get(), file.path, into, static_cast<int64_t>(count), at);
      } catch (const RepackError&) {
        // Read again through the page cache, which gives the error if any.
        direct = false;
        Posix::disableDirectReads(fd.get());
      }
    }
    Posix::preadAll(fd.get(), file.path, into, static_cast<int64_t>(count), at);
    (void)::posix_fadvise(fd.get(), static_cast<off_t>(at), static_cast<off_t>(count),
                          POSIX_FADV_DONTNEED);
  };
  Sha256Stream hasher;
  std::exception_ptr writerFailure;
  std::thread writer([&ring, &outputs, &writerFailure] {
    try {
      while (const std::optional<ChunkRing::Chunk> chunk = ring.next()) {
        outputs.write(chunk->offset, chunk->bytes);
        ring.release();
      }
    } catch (...) {
      writerFailure = std::current_exception();
      ring.close();
    }
  });
  // Closes the ring and joins the writer, on every way out of the pass: the
  // writer never outlives it, and nothing writes once the fallback starts.
  struct StopWriter {
    ChunkRing& ring;
    std::thread& thread;
    void operator()() const {
      ring.close();
      if (thread.joinable()) thread.join();
    }
    ~StopWriter() { (*this)(); }
  } stopWriter{ring, writer};
  std::optional<RepackError> readFailure;
  for (uint64_t at = 0; at < size;) {
    run.checkStop();
    const std::optional<std::span<uint8_t>> slot = ring.acquire();
    if (!slot) break;  // the writer failed
    const uint64_t count = std::min<uint64_t>(slot->size(), size - at);
    try {
      readChunk(slot->data(), count, at);
    } catch (const RepackError& error) {
      readFailure = error;
      break;
    }
    if (file.sha256) hasher.update(slot->data(), count);
    ring.publish(slot->first(static_cast<size_t>(count)), at);
    at += count;
    const std::lock_guard<std::mutex> lock(run.mutex);
    run.audit.localBytesRead += count;
    run.now.localBytes += count;
    run.emitLocked();
  }
  if (readFailure) {
    stopWriter();
    return reject(*readFailure);
  }
  ring.finish();  // the writer takes what is left, then ends
  writer.join();
  if (writerFailure) std::rethrow_exception(writerFailure);
  {
    const std::lock_guard<std::mutex> lock(run.mutex);
    run.audit.merge(outputs.audit());
  }
  if (file.sha256) {
    const std::string found = hasher.finalizeHex();
    if (found != *file.sha256) {
      return reject(RepackError::LocalSourceRejected{
          file.path, job.shard,
          "does not match its SHA-256 (expected " + *file.sha256 + ", found " + found + ")"});
    }
  }

  outputs.fsync();
  for (size_t i = 0; i < job.ranges.size(); ++i) {
    const CoalescedRangeCopy* range = job.ranges[i];
    RemoteCompletedRange completed;
    completed.id = range->id;
    completed.destinationDigest = outputs.digest(i);
    completed.sourceBytes = range->size;
    for (const RangeCopy& d : range->destinations) completed.destinationBytes += d.size;
    run.checkStop();
    const std::lock_guard<std::mutex> lock(run.mutex);
    run.completion(completed);
    run.emitLocked();
  }
}

void LocalShardByteProvider::reader(Run& run) const {
  // Aligned for reads past the page cache.
  const auto bytes = static_cast<size_t>(options_.bufferBytes);
  const size_t alignment = Posix::kDirectReadAlignment;
  const std::unique_ptr<uint8_t, decltype(&std::free)> memory(
      static_cast<uint8_t*>(
          std::aligned_alloc(alignment, (bytes + alignment - 1) / alignment * alignment)),
      &std::free);
  if (!memory) {
    // On this thread a throw would end the process; the run fails instead.
    run.fail(std::make_exception_ptr(std::bad_alloc()));
    return;
  }
  const std::span<uint8_t> buffer(memory.get(), bytes);
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
  if (options_.writeBehindBytes <= 0) {
    throwConfigurationInvalid("writeBehindBytes must be positive");
  }
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
