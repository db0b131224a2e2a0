#include "engine/io/mmap_handle.h"

#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>

#include "engine/common/repack_error.h"
#include "engine/io/posix.h"

MmapHandle::MmapHandle(const std::string& path) : path_(path), fd_(Posix::openRead(path)) {
  struct stat st;
  if (::fstat(fd_.get(), &st) != 0) {
    const int err = errno;
    throw RepackError(RepackError::FileStatFailed{path, err});
  }
  void* base =
      ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd_.get(), 0);
  if (base == nullptr || base == MAP_FAILED) {
    const int err = errno;
    throw RepackError(RepackError::MmapFailed{path, err});
  }
  base_ = static_cast<const uint8_t*>(base);
  length_ = st.st_size;
  ::posix_madvise(base, static_cast<size_t>(length_), POSIX_MADV_SEQUENTIAL);
}

MmapHandle::~MmapHandle() { ::munmap(const_cast<uint8_t*>(base_), static_cast<size_t>(length_)); }

void MmapHandle::adviseDontNeed(uint64_t offset, uint64_t count) const {
  const uint64_t page = Posix::pageSize();
  const uint64_t start = offset / page * page;
  const uint64_t end = (offset + count + page - 1) / page * page;
  // glibc's posix_madvise ignores POSIX_MADV_DONTNEED, so the pages would
  // stay resident. madvise(MADV_DONTNEED) drops them; for this read-only
  // private mapping that is never written, nothing is lost: a later access
  // reads the file again.
  if (start < end) {
    ::madvise(const_cast<uint8_t*>(base_) + start, end - start, MADV_DONTNEED);
  }
}
