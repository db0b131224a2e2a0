#include "engine/io/write_behind_window.h"

#include <fcntl.h>

void WriteBehindWindow::written(int fd, uint64_t offset, uint64_t size) {
  if (size == 0) return;
  (void)::sync_file_range(fd, static_cast<off64_t>(offset), static_cast<off64_t>(size),
                          SYNC_FILE_RANGE_WRITE);
  if (!extents_.empty() && extents_.back().fd == fd &&
      extents_.back().offset + extents_.back().size == offset) {
    extents_.back().size += size;
  } else {
    extents_.push_back({fd, offset, size});
  }
  held_ += size;
  if (held_ <= 2 * window_) return;
  uint64_t released = 0;
  while (released < window_ && !extents_.empty()) {
    const Extent e = extents_.front();
    extents_.pop_front();
    // Pages still dirty or under write-back are not dropped, so wait for
    // them first; by now most were written while the newer windows filled.
    (void)::sync_file_range(
        e.fd, static_cast<off64_t>(e.offset), static_cast<off64_t>(e.size),
        SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
    (void)::posix_fadvise(e.fd, static_cast<off_t>(e.offset), static_cast<off_t>(e.size),
                          POSIX_FADV_DONTNEED);
    released += e.size;
    held_ -= e.size;
  }
}
