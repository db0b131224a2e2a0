#include "engine/install/output_hash_behind.h"

#include <fcntl.h>

#include <algorithm>
#include <mutex>
#include <thread>

#include "engine/common/repack_audit.h"
#include "engine/common/repack_error.h"
#include "engine/common/unique_fd.h"
#include "engine/io/posix.h"
#include "engine/io/sha256_stream.h"

// `pending` and `firstPending` are guarded by the mutex; the stream, the
// offset hashed so far and the descriptor belong to the thread until it has
// stopped, then to `digest`.
struct OutputHashBehind::File {
  // Where each pending range first writes in this file: a range per file it
  // touches, not an entry per copy, since copies number in the hundred
  // thousands.
  struct Pending {
    uint64_t offset = 0;
    uint32_t range = 0;  // index into rangeWritten_
  };

  std::string path;
  uint64_t size = 0;
  std::vector<Pending> pending;  // by offset
  size_t firstPending = 0;

  Sha256Stream stream;
  uint64_t hashed = 0;
  UniqueFd fd;
  bool digested = false;
  // Set (under the mutex) when a range it holds bytes of was withdrawn; the
  // hashing thread then starts the file again.
  bool restart = false;

  void startAgain() {
    stream = Sha256Stream();
    hashed = 0;
    firstPending = 0;
    restart = false;
  }

  // The end of the prefix whose bytes are final: where the first range not
  // yet written starts writing.
  uint64_t finalPrefixLocked(const std::vector<bool>& rangeWritten) {
    while (firstPending < pending.size() && rangeWritten[pending[firstPending].range]) {
      ++firstPending;
    }
    return firstPending < pending.size() ? pending[firstPending].offset : size;
  }

  // Hashes [hashed, limit) through `buffer`; `beforeTile` may throw to stop.
  // Returns the tiles read.
  uint64_t hashTo(uint64_t limit, std::vector<uint8_t>& buffer,
                  const std::function<bool()>& beforeTile) {
    if (!fd.valid()) fd = Posix::openReadNoFollow(path);
    uint64_t tiles = 0;
    while (hashed < limit) {
      if (!beforeTile()) break;
      const uint64_t n = std::min<uint64_t>(buffer.size(), limit - hashed);
      Posix::preadAll(fd.get(), path, buffer.data(), static_cast<int64_t>(n), hashed);
      stream.update(buffer.data(), n);
      // The bytes are durable and many gigabytes in all; keep them out of
      // the cache once hashed.
      ::posix_fadvise(fd.get(), static_cast<off_t>(hashed), static_cast<off_t>(n),
                      POSIX_FADV_DONTNEED);
      hashed += n;
      ++tiles;
    }
    return tiles;
  }
};

OutputHashBehind::OutputHashBehind(std::vector<Output> outputs, const RangeCopyPlan& copyPlan,
                                   const std::set<std::string>& finishedIDs, int64_t tileBytes)
    : tileBytes_(tileBytes) {
  if (tileBytes_ <= 0) throwConfigurationInvalid("hash tile bytes must be positive");
  for (Output& output : outputs) {
    auto file = std::make_unique<File>();
    file->path = std::move(output.path);
    file->size = output.size;
    byPath_[file->path] = file.get();
    files_.push_back(std::move(file));
  }
  for (const CoalescedRangeCopy& range : copyPlan.coalescedCopies) {
    if (finishedIDs.contains(range.id)) continue;
    const auto index = static_cast<uint32_t>(rangeWritten_.size());
    rangeIndex_.emplace(range.id, index);
    rangeWritten_.push_back(false);
    std::map<File*, uint64_t> first;  // the range's lowest offset per file
    for (const RangeCopy& destination : range.destinations) {
      const auto file = byPath_.find(destination.destinationPath);
      if (file == byPath_.end() || destination.size == 0) continue;
      const auto [at, added] = first.emplace(file->second, destination.destinationOffset);
      if (!added) at->second = std::min(at->second, destination.destinationOffset);
    }
    rangeFiles_.emplace_back();
    for (const auto& [file, offset] : first) {
      file->pending.push_back({offset, index});
      rangeFiles_.back().push_back(file);
    }
  }
  for (const auto& file : files_) {
    std::sort(file->pending.begin(), file->pending.end(),
              [](const File::Pending& a, const File::Pending& b) { return a.offset < b.offset; });
    file->pending.shrink_to_fit();
  }
  thread_ = std::thread([this] { runThread(); });
}

OutputHashBehind::~OutputHashBehind() { stopThread(); }

void OutputHashBehind::written(const CoalescedRangeCopy& range) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = rangeIndex_.find(range.id);
    if (found != rangeIndex_.end()) rangeWritten_[found->second] = true;
    ++generation_;
  }
  changed_.notify_all();
}

void OutputHashBehind::withdrawn(const CoalescedRangeCopy& range) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = rangeIndex_.find(range.id);
    // A range not reported written holds back every file it writes to, so
    // none of its bytes was hashed: nothing to take back.
    if (found == rangeIndex_.end() || !rangeWritten_[found->second]) return;
    rangeWritten_[found->second] = false;
    for (File* file : rangeFiles_[found->second]) file->restart = true;
    ++generation_;
  }
  changed_.notify_all();
}

void OutputHashBehind::runThread() {
  try {
    std::vector<uint8_t> buffer(static_cast<size_t>(tileBytes_));
    const std::function<bool()> going = [this] {
      const std::lock_guard<std::mutex> lock(mutex_);
      return !stopping_;
    };
    for (;;) {
      uint64_t seen = 0;
      std::vector<std::pair<File*, uint64_t>> work;
      {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
        seen = generation_;
        for (const auto& file : files_) {
          // Only this thread touches a file's stream while it runs.
          if (file->restart) file->startAgain();
          const uint64_t limit = file->finalPrefixLocked(rangeWritten_);
          if (limit > file->hashed) work.emplace_back(file.get(), limit);
        }
      }
      for (auto& [file, limit] : work) {
        const uint64_t before = file->hashed;
        const uint64_t tiles = file->hashTo(limit, buffer, going);
        const std::lock_guard<std::mutex> lock(mutex_);
        tilesBehind_ += tiles;
        bytesBehind_ += file->hashed - before;
      }
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [&] { return stopping_ || generation_ != seen; });
    }
  } catch (...) {
    const std::lock_guard<std::mutex> lock(mutex_);
    failure_ = std::current_exception();
  }
}

void OutputHashBehind::stopThread() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void OutputHashBehind::finishAll(RepackAudit& audit,
                                 const std::function<void()>& cancellationCheck) {
  stopThread();
  stopped_ = true;
  audit.byteCopyTiles += tilesBehind_;
  if (failure_) std::rethrow_exception(failure_);
  for (const auto& file : files_) {
    if (file->restart) file->startAgain();
  }
  // What is left is mostly the outputs of the last ranges, all reported at
  // the end of the copy; two threads take them file by file.
  std::mutex mutex;
  size_t next = 0;
  uint64_t tiles = 0;
  std::exception_ptr failure;
  const auto work = [&] {
    try {
      std::vector<uint8_t> buffer(static_cast<size_t>(tileBytes_));
      for (;;) {
        File* file = nullptr;
        {
          const std::lock_guard<std::mutex> lock(mutex);
          if (failure || next == files_.size()) return;
          file = files_[next++].get();
        }
        const uint64_t done = file->hashTo(file->size, buffer, [&] {
          {
            const std::lock_guard<std::mutex> lock(mutex);
            if (failure) return false;
          }
          if (cancellationCheck) cancellationCheck();
          return true;
        });
        file->fd.reset();
        const std::lock_guard<std::mutex> lock(mutex);
        tiles += done;
      }
    } catch (...) {
      // Kept for the caller: on the helper a throw would end the process.
      const std::lock_guard<std::mutex> lock(mutex);
      if (!failure) failure = std::current_exception();
    }
  };
  std::thread helper(work);
  work();
  helper.join();
  audit.noteScratch(2 * tileBytes_);
  audit.byteCopyTiles += tiles;
  if (failure) std::rethrow_exception(failure);
}

std::string OutputHashBehind::digest(const std::string& path, RepackAudit& audit,
                                     const std::function<void()>& cancellationCheck) {
  if (!stopped_) finishAll(audit, cancellationCheck);
  const auto found = byPath_.find(path);
  if (found == byPath_.end()) throwConfigurationInvalid("no hash kept for output " + path);
  File& file = *found->second;
  if (file.digested) throwConfigurationInvalid("output " + path + " was digested already");
  if (file.hashed != file.size)
    throwConfigurationInvalid("output " + path + " was not hashed whole");
  file.digested = true;
  return file.stream.finalizeHex();
}

bool OutputHashBehind::keeps(const std::string& path, uint64_t size) const {
  const auto found = byPath_.find(path);
  return found != byPath_.end() && found->second->size == size && !found->second->digested;
}

uint64_t OutputHashBehind::bytesHashedBehind() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return bytesBehind_;
}
