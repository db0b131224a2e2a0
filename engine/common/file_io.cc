#include "engine/common/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "engine/common/repack_error.h"

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

int UniqueFd::release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

namespace FileIO {

UniqueFd openForReading(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    const int err = errno;
    throw RepackError(RepackError::FileOpenFailed{path, err});
  }
  return UniqueFd(fd);
}

uint64_t fileSize(int fd, const std::string& path) {
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    throw RepackError(RepackError::FileStatFailed{path, err});
  }
  return st.st_size < 0 ? 0 : static_cast<uint64_t>(st.st_size);
}

void preadFully(int fd, const std::string& path, void* buffer, size_t length, uint64_t offset) {
  auto* out = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  while (done < length) {
    const ssize_t n = ::pread(fd, out + done, length - done, static_cast<off_t>(offset + done));
    if (n <= 0) {
      const int err = n < 0 ? errno : 0;
      if (n < 0 && err == EINTR) continue;
      throw RepackError(RepackError::PreadShort{path, static_cast<int64_t>(length),
                                                static_cast<int64_t>(done), err});
    }
    done += static_cast<size_t>(n);
  }
}

std::vector<uint8_t> readWholeFile(const std::string& path, uint64_t maxBytes) {
  UniqueFd fd = openForReading(path);
  const uint64_t size = fileSize(fd.get(), path);
  if (size > maxBytes) {
    throw RepackError(RepackError::ConfigurationInvalid{path + " is " + std::to_string(size) +
                                                        " bytes, above the limit of " +
                                                        std::to_string(maxBytes)});
  }
  std::vector<uint8_t> bytes(size);
  preadFully(fd.get(), path, bytes.data(), bytes.size(), 0);
  return bytes;
}

}  // namespace FileIO
