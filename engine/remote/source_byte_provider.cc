#include "engine/remote/source_byte_provider.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "engine/common/repack_audit.h"
#include "engine/common/repack_error.h"
#include "engine/io/posix.h"
#include "engine/io/sha256_stream.h"
#include "format/little_endian.h"

namespace {

[[noreturn]] void throwInvalid(std::string detail) {
  throw RepackError(RepackError::ConfigurationInvalid{std::move(detail)});
}

// Removes the temporary range file when the range ends, however it ends.
class TemporaryRangeGuard {
 public:
  explicit TemporaryRangeGuard(const std::string& path) : path_(path) {}
  TemporaryRangeGuard(const TemporaryRangeGuard&) = delete;
  TemporaryRangeGuard& operator=(const TemporaryRangeGuard&) = delete;
  ~TemporaryRangeGuard() { ::unlink(path_.c_str()); }

 private:
  const std::string& path_;
};

// Every destination must lie inside the bytes its range downloads.
void checkDestinations(const CoalescedRangeCopy& range) {
  for (const RangeCopy& destination : range.destinations) {
    const bool inside =
        destination.sourceOffset >= range.sourceOffset && destination.size <= range.size &&
        destination.sourceOffset - range.sourceOffset <= range.size - destination.size;
    if (!inside) throwInvalid("range " + range.id + " has a destination outside its source bytes");
  }
}

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
    int64_t writeTileBytes)
    : remote_(std::move(remote)), files_(std::move(files)), writeTileBytes_(writeTileBytes) {}

uint64_t HTTPRangeSourceByteProvider::fetchRange(
    const CoalescedRangeCopy& range, const RemoteFileInfo& info, const std::string& temporaryPath,
    RepackAudit& audit, uint64_t fetchedBefore,
    const std::function<void(uint64_t)>& progress) const {
  const RemoteDownloadSession& session = remote_.session();
  const RemoteProgress inFlight = [&](uint64_t received) { progress(fetchedBefore + received); };
  const HuggingFaceRemoteSource atCommit = remote_.pinned(info.resolvedCommit);
  return withRemoteRetries(remote_.retryPolicy, "downloadRangeToTempFile:" + range.shardID, &audit,
                           session.retryEnvironment(), session.cancellation(), [&] {
                             progress(fetchedBefore);
                             return atCommit
                                 .downloadRangeAttempt(range.shardID, info, range.sourceOffset,
                                                       static_cast<int64_t>(range.size),
                                                       temporaryPath, inFlight)
                                 .byteCount;
                           });
}

std::set<std::string> HTTPRangeSourceByteProvider::writeDestinations(
    const CoalescedRangeCopy& range, const std::string& temporaryPath, RepackAudit& audit,
    std::span<uint8_t> buffer, DescriptorCache& descriptors) const {
  const CancellationToken& cancel = remote_.session().cancellation();
  const int fd = Posix::sys::open(temporaryPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    throw RepackError(RepackError::FileOpenFailed{temporaryPath, err});
  }
  UniqueFd temporary(fd);
  std::set<std::string> touched;
  for (const RangeCopy& destination : range.destinations) {
    auto cached = descriptors.find(destination.destinationPath);
    if (cached == descriptors.end()) {
      cached = descriptors
                   .emplace(destination.destinationPath,
                            Posix::openExistingRW(destination.destinationPath))
                   .first;
    }
    touched.insert(destination.destinationPath);
    const uint64_t inRange = destination.sourceOffset - range.sourceOffset;
    for (uint64_t done = 0; done < destination.size;) {
      cancel.check();
      const uint64_t tile = std::min<uint64_t>(buffer.size(), destination.size - done);
      Posix::preadAll(temporary.get(), temporaryPath, buffer.data(), static_cast<int64_t>(tile),
                      inRange + done);
      Posix::pwriteAll(cached->second.get(), destination.destinationPath, buffer.data(),
                       static_cast<int64_t>(tile), destination.destinationOffset + done);
      // Start write-back now so the fsync that ends the range finds most of
      // the bytes already on their way to the disk. Advisory: the fsync is
      // what makes the range durable, so a failure here changes nothing.
      (void)::sync_file_range(cached->second.get(),
                              static_cast<off64_t>(destination.destinationOffset + done),
                              static_cast<off64_t>(tile), SYNC_FILE_RANGE_WRITE);
      audit.sourceBytesRead += tile;
      audit.outputBytesWritten += tile;
      audit.intentionalCopyBytes += tile;
      audit.byteCopyTiles += 1;
      done += tile;
    }
  }
  return touched;
}

void HTTPRangeSourceByteProvider::copyRanges(
    const std::vector<CoalescedRangeCopy>& ranges, const std::set<std::string>& finishedIDs,
    const std::string& outputRoot, const std::string& temporaryRangePath, RepackAudit& audit,
    const std::function<void(uint64_t)>& progress,
    const std::function<void(const RemoteCompletedRange&)>& completion) {
  if (writeTileBytes_ <= 0) throwInvalid("writeTileBytes must be positive");
  const CancellationToken& cancel = remote_.session().cancellation();
  const std::function<void(uint64_t)> report = progress ? progress : [](uint64_t) {};
  std::vector<uint8_t> buffer(static_cast<size_t>(writeTileBytes_));
  audit.noteScratch(writeTileBytes_);
  DescriptorCache descriptors;
  uint64_t fetched = 0;

  for (const CoalescedRangeCopy& range : ranges) {
    if (finishedIDs.contains(range.id)) continue;
    cancel.check();
    const auto file = files_.find(range.shardID);
    if (file == files_.end()) throwInvalid("missing remote info for " + range.shardID);
    checkDestinations(range);
    {
      Posix::removeFile(temporaryRangePath);
      const TemporaryRangeGuard removeTemporary(temporaryRangePath);

      const uint64_t received =
          fetchRange(range, file->second, temporaryRangePath, audit, fetched, report);
      audit.remoteRangeRequests += 1;
      audit.remoteBytesDownloaded += received;
      audit.largestRemoteTransferBytes =
          std::max<int64_t>(audit.largestRemoteTransferBytes, static_cast<int64_t>(received));
      report(fetched + received);
      fetched += received;

      const std::set<std::string> touched =
          writeDestinations(range, temporaryRangePath, audit, buffer, descriptors);
      cancel.check();
      for (const std::string& path : touched) Posix::fsync(descriptors.at(path).get(), path);

      RemoteCompletedRange completed;
      completed.id = range.id;
      completed.destinationDigest =
          destinationDigest(range, outputRoot, buffer, [&] { cancel.check(); });
      completed.sourceBytes = range.size;
      for (const RangeCopy& destination : range.destinations) {
        completed.destinationBytes += destination.size;
      }
      completion(completed);
      report(fetched);
    }  // the guard removes the temporary file, ignoring errors
    cancel.check();
  }
}
