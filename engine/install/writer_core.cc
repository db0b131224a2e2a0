#include "engine/install/writer_core.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "engine/common/repack_error.h"
#include "engine/io/posix.h"
#include "engine/io/sha256_stream.h"
#include "engine/plan/resident_index_encoder.h"
#include "format/korvex_format.h"
#include "format/resident_index.h"

namespace WriterCore {

std::string hexDigest(std::span<const uint8_t, 32> digest) { return sha256HexDigest(digest); }

std::string hashEntireFile(const std::string& path, uint64_t size, RepackAudit& audit,
                           const std::function<void()>& cancellationCheck) {
  UniqueFd fd = Posix::openRead(path);
  std::vector<uint8_t> buffer(tileBytes);
  audit.noteScratch(tileBytes);
  Sha256Stream stream;
  uint64_t offset = 0;
  uint64_t remaining = size;
  while (remaining > 0) {
    if (cancellationCheck) cancellationCheck();
    const size_t want = remaining < static_cast<uint64_t>(tileBytes) ? remaining : tileBytes;
    const ssize_t n = ::pread(fd.get(), buffer.data(), want, static_cast<off_t>(offset));
    if (n <= 0) {
      const int err = n < 0 ? errno : 0;
      throw RepackError(RepackError::PreadShort{path, static_cast<int64_t>(want), 0, err});
    }
    stream.update(buffer.data(), static_cast<size_t>(n));
    // Freshly written outputs are many gigabytes; keep them out of the cache.
    ::posix_fadvise(fd.get(), static_cast<off_t>(offset), n, POSIX_FADV_DONTNEED);
    audit.byteCopyTiles += 1;
    offset += static_cast<uint64_t>(n);
    remaining -= static_cast<uint64_t>(n);
  }
  return stream.finalizeHex();
}

void pwriteTensorRegion(const MmapHandle& srcShard, uint64_t srcAbsoluteOffset, uint64_t size,
                        int dstFd, const std::string& dstPath, uint64_t dstOffset,
                        RepackAudit& audit) {
  while (size > 0) {
    const uint64_t tile = size < static_cast<uint64_t>(tileBytes) ? size : tileBytes;
    const std::span<const uint8_t> source = srcShard.slice(srcAbsoluteOffset, tile);
    Posix::pwriteAll(dstFd, dstPath, source.data(), static_cast<int64_t>(tile), dstOffset);
    audit.sourceBytesRead += tile;
    audit.outputBytesWritten += tile;
    audit.intentionalCopyBytes += tile;
    audit.byteCopyTiles += 1;
    srcShard.adviseDontNeed(srcAbsoluteOffset, tile);
    srcAbsoluteOffset += tile;
    dstOffset += tile;
    size -= tile;
  }
}

}  // namespace WriterCore

UniqueFd createResidentFile(const ResidentFilePlan& plan, RepackAudit& audit) {
  Posix::mkdirP(std::filesystem::path(plan.path).parent_path().string());
  UniqueFd fd = Posix::openCreateRW(plan.path);
  Posix::ftruncate(fd.get(), plan.path,
                   korvexCheckedAdd(plan.indexSize, plan.residentSize, "resident.payload"));
  const std::vector<uint8_t> index = encodeResidentIndex(plan);
  Posix::pwriteAll(fd.get(), plan.path, index.data(), static_cast<int64_t>(index.size()), 0);
  audit.noteScratch(static_cast<int64_t>(index.size()));
  audit.outputBytesWritten += index.size();
  return fd;
}
