// Bounds how much freshly written data a writer keeps in the page cache.
// An install writes many gigabytes and reads each byte back at most once,
// soon after writing it; left to the kernel, the cache fills with those pages
// and every new write lands in memory that has to be found (and, on virtual
// machines that hand free memory back to the host, faulted in again).
// Dropping each stretch shortly after it has reached the disk keeps the
// writer on a small set of recycled pages instead.
#pragma once

#include <cstdint>
#include <deque>

class WriteBehindWindow {
 public:
  // `windowBytes` > 0: up to twice this many written bytes stay cached.
  explicit WriteBehindWindow(uint64_t windowBytes) : window_(windowBytes) {}

  // Records `size` bytes just written at `offset` of `fd` and starts their
  // write-back. Once more than two windows are held, waits for the oldest
  // window to reach the disk and drops it from the cache. Every call is
  // advisory: durability still comes from the caller's fsync, which also
  // reports any write-back error. `fd` must stay open as long as this object.
  void written(int fd, uint64_t offset, uint64_t size);

 private:
  struct Extent {
    int fd;
    uint64_t offset;
    uint64_t size;
  };

  uint64_t window_;
  std::deque<Extent> extents_;  // oldest first; adjacent writes merged
  uint64_t held_ = 0;
};
