#include "engine/install/output_hash_behind.h"

#include <fcntl.h>

#include <algorithm>

#include "engine/common/repack_audit.h"
#include "engine/common/repack_error.h"
#include "engine/common/unique_fd.h"
#include "engine/io/posix.h"
#include "engine/io/sha256_stream.h"

// `pending` and `firstPending` are guarded by the mutex; the stream, the
// offset hashed so far and the descriptor belong to the thread until it has
// stopped, then to `digest`.
struct OutputHashBehind::File {
  // A file's ranges may number in the hundred thousands: kept compact.
  struct Stretch {
    uint64_t offset = 0;
    uint64_t end = 0;
  };

  std::string path;
  uint64_t size = 0;
  std::vector<Stretch> pending;  // by offset; never overlapping
  std::vector<bool> written;     // per pending stretch
  size_t firstPending = 0;

  Sha256Stream stream;
  uint64_t hashed = 0;
  UniqueFd fd;
  bool digested = false;

  // The end of the prefix whose bytes are final.
  uint64_t finalPrefixLocked() {
    while (firstPending < pending.size() && written[firstPending]) ++firstPending;
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
    for (const RangeCopy& destination : range.destinations) {
      const auto file = byPath_.find(destination.destinationPath);
      if (file == byPath_.end()) continue;
      file->second->pending.push_back(
          {destination.destinationOffset, destination.destinationOffset + destination.size});
    }
  }
  for (const auto& file : files_) {
    std::sort(file->pending.begin(), file->pending.end(),
              [](const File::Stretch& a, const File::Stretch& b) { return a.offset < b.offset; });
    file->pending.shrink_to_fit();
    file->written.assign(file->pending.size(), false);
  }
  thread_ = std::thread([this] { runThread(); });
}

OutputHashBehind::~OutputHashBehind() { stopThread(); }

void OutputHashBehind::written(const CoalescedRangeCopy& range) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (const RangeCopy& destination : range.destinations) {
      const auto file = byPath_.find(destination.destinationPath);
      if (file == byPath_.end()) continue;
      std::vector<File::Stretch>& pending = file->second->pending;
      const auto at = std::lower_bound(
          pending.begin(), pending.end(), destination.destinationOffset,
          [](const File::Stretch& s, uint64_t offset) { return s.offset < offset; });
      if (at != pending.end() && at->offset == destination.destinationOffset) {
        file->second->written[static_cast<size_t>(at - pending.begin())] = true;
      }
    }
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
          const uint64_t limit = file->finalPrefixLocked();
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

std::string OutputHashBehind::digest(const std::string& path, RepackAudit& audit,
                                     const std::function<void()>& cancellationCheck) {
  if (!stopped_) {
    stopThread();
    stopped_ = true;
    audit.byteCopyTiles += tilesBehind_;
    if (failure_) std::rethrow_exception(failure_);
  }
  const auto found = byPath_.find(path);
  if (found == byPath_.end()) throwConfigurationInvalid("no hash kept for output " + path);
  File& file = *found->second;
  std::vector<uint8_t> buffer(static_cast<size_t>(tileBytes_));
  audit.noteScratch(tileBytes_);
  audit.byteCopyTiles += file.hashTo(file.size, buffer, [&] {
    if (cancellationCheck) cancellationCheck();
    return true;
  });
  file.fd.reset();
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
