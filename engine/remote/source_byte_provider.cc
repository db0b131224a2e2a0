#include "engine/remote/source_byte_provider.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

#include "engine/common/repack_audit.h"
#include "engine/common/repack_error.h"
#include "engine/io/posix.h"
#include "engine/io/sha256_stream.h"
#include "engine/remote/adaptive_concurrency.h"
#include "format/little_endian.h"

namespace {

// Body bytes gathered per write: a few dozen TLS records.
constexpr size_t kWriteBatchBytes = 131072;

void putInteger(Sha256Stream& stream, uint64_t value) {
  uint8_t bytes[8];
  little_endian::store<uint64_t>(bytes, value);
  stream.update(bytes, sizeof bytes);
}

void putText(Sha256Stream& stream, const std::string& text) {
  putInteger(stream, text.size());
  stream.update(text.data(), text.size());
}

}  // namespace

void checkRangeDestinations(const CoalescedRangeCopy& range) {
  for (const RangeCopy& destination : range.destinations) {
    const bool inside =
        destination.sourceOffset >= range.sourceOffset && destination.size <= range.size &&
        destination.sourceOffset - range.sourceOffset <= range.size - destination.size;
    if (!inside)
      throwConfigurationInvalid("range " + range.id +
                                " has a destination outside its source bytes");
  }
}

bool StreamedDestinationDigest::streamable(const CoalescedRangeCopy& range) {
  uint64_t next = range.sourceOffset;
  for (const RangeCopy& d : range.destinations) {
    if (d.sourceOffset < next) return false;
    next = d.sourceOffset + d.size;
  }
  return true;
}

StreamedDestinationDigest::StreamedDestinationDigest(const CoalescedRangeCopy& range,
                                                     const std::string& outputRoot)
    : range_(range), outputRoot_(outputRoot) {
  putText(stream_, "Velquor.RemoteRangeDestination.v1");
  putText(stream_, range.id);
  putInteger(stream_, range.destinations.size());
  enter(0);
}

// Writes the fields of each destination from `index` on that take no bytes
// before the one that does, then waits for that one's bytes.
void StreamedDestinationDigest::enter(size_t index) {
  for (current_ = index, taken_ = 0; current_ < range_.destinations.size(); ++current_) {
    const RangeCopy& d = range_.destinations[current_];
    putText(stream_, RangeCopyPlanner::relativeDestination(d.destinationPath, outputRoot_));
    putInteger(stream_, d.destinationOffset);
    putInteger(stream_, d.sourceOffset - range_.sourceOffset);
    putInteger(stream_, d.size);
    if (d.size > 0) return;
  }
}

void StreamedDestinationDigest::consume(uint64_t offsetInRange, std::span<const uint8_t> bytes) {
  if (broken_ || bytes.empty()) return;
  if (offsetInRange < position_) {
    broken_ = true;  // bytes again: the stream cannot take them back
    return;
  }
  position_ = offsetInRange + bytes.size();
  while (current_ < range_.destinations.size()) {
    const RangeCopy& d = range_.destinations[current_];
    const uint64_t first = d.sourceOffset - range_.sourceOffset;
    const uint64_t want = first + taken_;  // the next byte this destination needs
    if (offsetInRange > want) {
      broken_ = true;  // its bytes were skipped
      return;
    }
    const uint64_t end = offsetInRange + bytes.size();
    if (end <= want) return;
    const uint64_t to = std::min(end, first + d.size);
    stream_.update(bytes.data() + (want - offsetInRange), to - want);
    taken_ += to - want;
    if (taken_ < d.size) return;
    enter(current_ + 1);
  }
}

std::optional<std::string> StreamedDestinationDigest::finish() {
  if (broken_ || current_ < range_.destinations.size()) return std::nullopt;
  return stream_.finalizeHex();
}

std::string destinationDigest(const CoalescedRangeCopy& range, const std::string& outputRoot,
                              std::span<uint8_t> buffer,
                              const std::function<void()>& cancellationCheck) {
  std::vector<uint8_t> ownBuffer;
  if (buffer.empty()) {
    ownBuffer.resize(kDefaultWriteTileBytes);
    buffer = ownBuffer;
  }
  Sha256Stream stream;
  putText(stream, "Velquor.RemoteRangeDestination.v1");
  putText(stream, range.id);
  putInteger(stream, range.destinations.size());
  for (const RangeCopy& destination : range.destinations) {
    putText(stream, RangeCopyPlanner::relativeDestination(destination.destinationPath, outputRoot));
    putInteger(stream, destination.destinationOffset);
    putInteger(stream, destination.sourceOffset - range.sourceOffset);
    putInteger(stream, destination.size);
    UniqueFd fd = Posix::openReadNoFollow(destination.destinationPath);
    for (uint64_t done = 0; done < destination.size;) {
      if (cancellationCheck) cancellationCheck();
      const uint64_t chunk = std::min<uint64_t>(buffer.size(), destination.size - done);
      Posix::preadAll(fd.get(), destination.destinationPath, buffer.data(),
                      static_cast<int64_t>(chunk), destination.destinationOffset + done);
      stream.update(buffer.data(), chunk);
      done += chunk;
    }
  }
  return stream.finalizeHex();
}

HTTPRangeSourceByteProvider::HTTPRangeSourceByteProvider(
    HuggingFaceRemoteSource remote, std::map<std::string, RemoteFileInfo> files,
    int64_t writeTileBytes, int64_t connections)
    : remote_(std::move(remote)),
      files_(std::move(files)),
      writeTileBytes_(writeTileBytes),
      connections_(connections) {}

// The state the workers of one copyRanges call share. `mutex` guards
// everything below it and serialises the caller's callbacks.
//
// An attempt to fetch a range holds one of `controller.limit()` slots while
// it is on the network; its back-off pause and the local work after it
// (fsync, digest) hold none. A lowered limit therefore takes effect at the
// next attempt and never abandons a range in flight.
struct HTTPRangeSourceByteProvider::Run {
  Run(const std::string& root, RepackAudit& ledger, const CopyProgressHandler& onProgress,
      const std::function<void(const RemoteCompletedRange&)>& onCompletion, int64_t connections)
      : outputRoot(root),
        audit(ledger),
        progress(onProgress),
        completion(onCompletion),
        controller(connections, AdaptiveConcurrency::Clock::now()) {}

  const std::string& outputRoot;
  RepackAudit& audit;
  const CopyProgressHandler& progress;
  const std::function<void(const RemoteCompletedRange&)>& completion;
  RemoteRetryEnvironment retryEnvironment;  // serialised, and stopped by `stop`
  CancellationToken stop;                   // set on the first failure or cancellation

  std::mutex mutex;
  std::vector<const CoalescedRangeCopy*> pending;
  size_t next = 0;
  std::exception_ptr failure;
  uint64_t fetched = 0;                      // bytes received by finished attempts
  std::map<const void*, uint64_t> inFlight;  // bytes received by running attempts
  AdaptiveConcurrency controller;
  int64_t active = 0;                  // attempts holding a slot
  HttpTransport* transport = nullptr;  // told the limit, so that it keeps no more connections
  const RemoteRetryPolicy* policy = nullptr;
  std::chrono::steady_clock::time_point pausedUntil{};  // no new attempt before
  std::condition_variable slots;  // signalled when a slot frees or the limit changes

  uint64_t receivedLocked() const {
    uint64_t total = fetched;
    for (const auto& [key, bytes] : inFlight) total += bytes;
    return total;
  }

  // Feeds the controller the bytes received so far.
  void observeLocked() {
    const int64_t before = controller.limit();
    controller.observe(AdaptiveConcurrency::Clock::now(), receivedLocked());
    if (controller.limit() != before) limitChangedLocked();
  }

  void limitChangedLocked() {
    if (transport) transport->limitConnections(static_cast<size_t>(controller.limit()));
    slots.notify_all();
  }

  // Waits for a free slot and takes it. Throws CancellationError once the
  // run stops.
  void acquireSlot() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      stop.check();
      if (active < controller.limit() && std::chrono::steady_clock::now() >= pausedUntil) break;
      // Timed: the session's cancellation sets `stop` without signalling.
      slots.wait_for(lock, std::chrono::milliseconds(20));
    }
    ++active;
  }

  // Gives a slot back after an attempt; `error` is its failure, if any.
  void releaseSlot(const std::exception_ptr& error) {
    const std::lock_guard<std::mutex> lock(mutex);
    --active;
    if (error && AdaptiveConcurrency::isOverload(error)) {
      const int64_t before = controller.limit();
      controller.overloaded(AdaptiveConcurrency::Clock::now());
      if (controller.limit() != before) limitChangedLocked();
    }
    // A pause the server asked for (Retry-After, RateLimit) holds every
    // connection, not only the one that was told.
    if (error && policy != nullptr && RemoteRetryPolicy::isRetryable(error)) {
      try {
        const uint64_t ns = policy->retryDelayNs(error, 0, std::chrono::system_clock::now());
        if (ns > 0) {
          pausedUntil = std::max(pausedUntil,
                                 std::chrono::steady_clock::now() + std::chrono::nanoseconds(ns));
        }
      } catch (const RepackError&) {
        // The attempt's own retry loop reports an unusable delay.
      }
    }
    slots.notify_all();
  }
};

void HTTPRangeSourceByteProvider::copyOne(Run& run, const CoalescedRangeCopy& range,
                                          std::map<std::string, UniqueFd>& files,
                                          std::vector<uint8_t>& buffer) const {
  const RemoteFileInfo& info = files_.at(range.shardID);
  std::vector<int> descriptors;  // per destination
  try {
    for (const RangeCopy& destination : range.destinations) {
      auto open = files.find(destination.destinationPath);
      if (open == files.end()) {
        open = files
                   .emplace(destination.destinationPath,
                            Posix::openExistingRW(destination.destinationPath))
                   .first;
      }
      descriptors.push_back(open->second.get());
    }
  } catch (...) {
    run.releaseSlot(nullptr);
    throw;
  }
  RepackAudit local;
  // The destination digest follows each attempt's body; a range it cannot
  // follow is read back once durable.
  const bool streamable = StreamedDestinationDigest::streamable(range);
  std::optional<StreamedDestinationDigest> streamed;
  // Every byte of the body at offset `at` of the range goes to each
  // destination whose source bytes hold it.
  const auto writeOut = [&](uint64_t at, std::span<const uint8_t> bytes) {
    const uint64_t end = at + bytes.size();
    for (size_t i = 0; i < range.destinations.size(); ++i) {
      const RangeCopy& d = range.destinations[i];
      const uint64_t first = d.sourceOffset - range.sourceOffset;
      const uint64_t from = std::max(at, first);
      const uint64_t to = std::min(end, first + d.size);
      if (from >= to) continue;
      const uint64_t target = d.destinationOffset + (from - first);
      Posix::pwriteAll(descriptors[i], d.destinationPath, bytes.data() + (from - at),
                       static_cast<int64_t>(to - from), target);
      // Start write-back now so the fsync that ends the range finds most of
      // the bytes already on their way to the disk. Advisory: the fsync is
      // what makes the range durable.
      (void)::sync_file_range(descriptors[i], static_cast<off64_t>(target),
                              static_cast<off64_t>(to - from), SYNC_FILE_RANGE_WRITE);
      local.sourceBytesRead += to - from;
      local.outputBytesWritten += to - from;
      local.intentionalCopyBytes += to - from;
      local.byteCopyTiles += 1;
    }
  };
  // The body arrives in pieces of a TLS record or so; they are gathered in
  // `batch` (the body bytes from `batchAt`) and written out in tiles, which
  // keeps the writes and write-back requests per range few.
  std::vector<uint8_t>& batch = buffer;
  uint64_t batchAt = 0;
  const auto flush = [&] {
    if (!batch.empty()) writeOut(batchAt, batch);
    batchAt += batch.size();
    batch.clear();
  };
  const RemoteRangeSink sink = [&](uint64_t at, std::span<const uint8_t> bytes) {
    if (streamed) streamed->consume(at, bytes);
    if (at != batchAt + batch.size()) {
      flush();
      batchAt = at;
    }
    for (size_t done = 0; done < bytes.size();) {
      const std::span<const uint8_t> rest = bytes.subspan(done);
      if (batch.empty() && rest.size() >= kWriteBatchBytes) {
        writeOut(batchAt, rest);  // a piece as large as a tile needs no gathering
        batchAt += rest.size();
        return;
      }
      const size_t taken = std::min(kWriteBatchBytes - batch.size(), rest.size());
      batch.insert(batch.end(), rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(taken));
      done += taken;
      if (batch.size() == kWriteBatchBytes) flush();
    }
  };
  const auto report = [&](uint64_t received) {
    const std::lock_guard<std::mutex> lock(run.mutex);
    run.inFlight[&range] = received;
    run.observeLocked();
    if (run.progress) run.progress({run.receivedLocked(), run.active});
  };
  const HuggingFaceRemoteSource atCommit = remote_.pinned(info.resolvedCommit);
  // The worker took the range together with a slot for its first attempt.
  bool holding = true;
  const auto attempt = [&] {
    if (!holding) {
      run.acquireSlot();
      holding = true;
    }
    try {
      report(0);
      if (streamable) streamed.emplace(range, run.outputRoot);
      batch.clear();  // what a failed attempt gathered is fetched again
      batchAt = 0;
      const uint64_t bytes = atCommit.downloadRangeToSinkAttempt(
          range.shardID, info, range.sourceOffset, range.size, sink, report, run.stop);
      flush();
      holding = false;
      run.releaseSlot(nullptr);
      return bytes;
    } catch (...) {
      holding = false;
      run.releaseSlot(std::current_exception());
      throw;
    }
  };
  uint64_t received = 0;
  try {
    received = withRemoteRetries(remote_.retryPolicy, "downloadRangeToTempFile:" + range.shardID,
                                 &local, run.retryEnvironment, run.stop, attempt);
  } catch (...) {
    if (holding) run.releaseSlot(nullptr);
    const std::lock_guard<std::mutex> lock(run.mutex);
    run.inFlight.erase(&range);
    run.audit.merge(local);
    throw;
  }
  local.remoteRangeRequests += 1;
  local.remoteBytesDownloaded += received;
  local.largestRemoteTransferBytes = static_cast<int64_t>(received);

  std::set<int> touched(descriptors.begin(), descriptors.end());
  for (size_t i = 0; i < range.destinations.size(); ++i) {
    if (touched.erase(descriptors[i]) > 0) {
      Posix::fsync(descriptors[i], range.destinations[i].destinationPath);
    }
  }
  RemoteCompletedRange completed;
  completed.id = range.id;
  std::optional<std::string> digest;
  if (streamed) digest = streamed->finish();
  if (!digest) {
    std::vector<uint8_t> tile(static_cast<size_t>(writeTileBytes_));
    digest = destinationDigest(range, run.outputRoot, tile, [&] { run.stop.check(); });
  }
  completed.destinationDigest = std::move(*digest);
  completed.sourceBytes = range.size;
  for (const RangeCopy& destination : range.destinations) {
    completed.destinationBytes += destination.size;
  }
  const std::lock_guard<std::mutex> lock(run.mutex);
  run.inFlight.erase(&range);
  run.fetched += received;
  run.audit.merge(local);
  run.completion(completed);
  if (run.progress) run.progress({run.receivedLocked(), run.active});
}

void HTTPRangeSourceByteProvider::worker(Run& run) const {
  std::vector<uint8_t> buffer;  // gathers body bytes for their writes
  buffer.reserve(kWriteBatchBytes);
  std::map<std::string, UniqueFd> files;
  for (;;) {
    const CoalescedRangeCopy* range = nullptr;
    {
      // A range is taken only with a free slot for its first attempt.
      std::unique_lock<std::mutex> lock(run.mutex);
      for (;;) {
        if (run.failure || run.next == run.pending.size()) return;
        if (remote_.session().cancellation().isCancelled() || run.stop.isCancelled()) {
          run.failure = std::make_exception_ptr(CancellationError());
          run.stop.cancel();
          run.slots.notify_all();
          return;
        }
        if (run.active < run.controller.limit() &&
            std::chrono::steady_clock::now() >= run.pausedUntil) {
          break;
        }
        run.slots.wait_for(lock, std::chrono::milliseconds(20));
      }
      range = run.pending[run.next++];
      ++run.active;
    }
    try {
      copyOne(run, *range, files, buffer);
    } catch (...) {
      const std::lock_guard<std::mutex> lock(run.mutex);
      // The first failure is the run's; the others are the stop it caused.
      if (!run.failure) run.failure = std::current_exception();
      run.stop.cancel();
      run.slots.notify_all();
      return;
    }
  }
}

void HTTPRangeSourceByteProvider::copyRanges(
    const std::vector<CoalescedRangeCopy>& ranges, const std::set<std::string>& finishedIDs,
    const std::string& outputRoot, const std::string& temporaryRangePath, RepackAudit& audit,
    const CopyProgressHandler& progress,
    const std::function<void(const RemoteCompletedRange&)>& completion) {
  if (writeTileBytes_ <= 0) throwConfigurationInvalid("writeTileBytes must be positive");
  if (connections_ < 1 || connections_ > kMaxConnections) {
    throwConfigurationInvalid("bad connections " + std::to_string(connections_));
  }
  const RemoteDownloadSession& session = remote_.session();
  const CancellationToken& cancel = session.cancellation();
  cancel.check();
  if (Posix::entryKind(temporaryRangePath) == Posix::EntryKind::regular) {
    ::unlink(temporaryRangePath.c_str());  // left by an earlier build; never read
  }
  audit.noteScratch(writeTileBytes_);

  Run run(outputRoot, audit, progress, completion, connections_);
  run.transport = &session.transport();
  run.policy = &remote_.retryPolicy;
  for (const CoalescedRangeCopy& range : ranges) {
    if (finishedIDs.contains(range.id)) continue;
    if (!files_.contains(range.shardID))
      throwConfigurationInvalid("missing remote info for " + range.shardID);
    checkRangeDestinations(range);
    run.pending.push_back(&range);
  }
  if (run.pending.empty()) return;
  if (progress) progress({});

  // The environment's clock, jitter and sleep are the session's. Pauses of
  // several workers run at once and end when the run stops; an injected
  // environment without such a pause, which need not be thread-safe, is
  // called one thread at a time (a test's fake sleeper returns at once).
  auto environmentMutex = std::make_shared<std::mutex>();
  const RemoteRetryEnvironment shared = session.retryEnvironment();
  run.retryEnvironment.now = [environmentMutex, shared] {
    const std::lock_guard<std::mutex> lock(*environmentMutex);
    return shared.now();
  };
  run.retryEnvironment.jitter = [environmentMutex, shared] {
    const std::lock_guard<std::mutex> lock(*environmentMutex);
    return shared.jitter();
  };
  if (shared.stoppableSleeper) {
    run.retryEnvironment.sleeper = [shared, &run](uint64_t ns) {
      shared.stoppableSleeper(ns, run.stop);
    };
  } else {
    run.retryEnvironment.sleeper = [environmentMutex, shared, &run](uint64_t ns) {
      run.stop.check();
      {
        const std::lock_guard<std::mutex> lock(*environmentMutex);
        shared.sleeper(ns);
      }
      run.stop.check();
    };
  }

  const size_t count = std::min<size_t>(static_cast<size_t>(connections_), run.pending.size());
  std::vector<std::thread> workers;
  workers.reserve(count);
  for (size_t i = 0; i < count; ++i) workers.emplace_back([this, &run] { worker(run); });
  // The session's token (Ctrl-C) reaches the transfers in flight through the
  // run's own token, which also stops them after a final failure.
  std::atomic<bool> done{false};
  std::thread watcher([&] {
    while (!done.load()) {
      if (cancel.isCancelled()) run.stop.cancel();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  for (std::thread& w : workers) w.join();
  done.store(true);
  watcher.join();
  run.transport->limitConnections(0);
  if (run.failure) std::rethrow_exception(run.failure);
  cancel.check();
}
