// A read-only mapping of a whole file, advised sequential. Consumed ranges
// can be released with adviseDontNeed so resident memory stays flat while a
// large file is copied. Owns its descriptor and mapping.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "engine/common/unique_fd.h"

class MmapHandle {
 public:
  // Maps the file; an empty file fails with mmapFailed (a zero-length
  // mapping is refused).
  explicit MmapHandle(const std::string& path);
  ~MmapHandle();
  MmapHandle(const MmapHandle&) = delete;
  MmapHandle& operator=(const MmapHandle&) = delete;

  const std::string& path() const { return path_; }
  int64_t length() const { return length_; }
  // REQUIRES: offset + count <= length().
  std::span<const uint8_t> slice(uint64_t offset, uint64_t count) const {
    return {base_ + offset, count};
  }
  // Advises that the pages covering [offset, offset + count) are not needed.
  void adviseDontNeed(uint64_t offset, uint64_t count) const;

 private:
  std::string path_;
  UniqueFd fd_;
  const uint8_t* base_ = nullptr;
  int64_t length_ = 0;
};
