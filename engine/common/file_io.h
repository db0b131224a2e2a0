// Small RAII and read helpers shared by every engine layer that touches files.
// Every failure is a RepackError that names the path and carries the errno
// read right after the failing call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Owns one file descriptor; closes it exactly once.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release();
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

namespace FileIO {

// Opens an existing file for reading, close-on-exec and non-blocking (so a
// FIFO cannot stall the caller). Throws fileOpenFailed.
UniqueFd openForReading(const std::string& path);

// fstat's st_size. Throws fileStatFailed.
uint64_t fileSize(int fd, const std::string& path);

// Reads exactly `length` bytes at `offset`, looping over partial reads. A call
// that returns 0 or less first throws preadShort with the bytes read so far.
void preadFully(int fd, const std::string& path, void* buffer, size_t length, uint64_t offset);

// Reads a whole regular file at most `maxBytes` long. A larger file throws
// configurationInvalid naming the path and the limit.
std::vector<uint8_t> readWholeFile(const std::string& path, uint64_t maxBytes);

}  // namespace FileIO
