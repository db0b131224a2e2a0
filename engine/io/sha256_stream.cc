#include "engine/io/sha256_stream.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <vector>

#include "engine/common/repack_error.h"
#include "engine/io/posix.h"

void Sha256Stream::Free::operator()(evp_md_ctx_st* ctx) const { EVP_MD_CTX_free(ctx); }

Sha256Stream::Sha256Stream() : hasher_(EVP_MD_CTX_new()) {
  if (!hasher_ || EVP_DigestInit_ex(hasher_.get(), EVP_sha256(), nullptr) != 1) {
    throw std::bad_alloc();
  }
}

Sha256Stream::Sha256Stream(Sha256Stream&&) noexcept = default;
Sha256Stream& Sha256Stream::operator=(Sha256Stream&&) noexcept = default;
Sha256Stream::~Sha256Stream() = default;

void Sha256Stream::update(std::span<const uint8_t> bytes) {
  if (!bytes.empty()) EVP_DigestUpdate(hasher_.get(), bytes.data(), bytes.size());
}

std::string Sha256Stream::finalizeHex() {
  uint8_t digest[32];
  unsigned int length = 0;
  EVP_DigestFinal_ex(hasher_.get(), digest, &length);
  return sha256HexDigest(std::span<const uint8_t, 32>(digest, 32));
}

std::string lowerHex(std::span<const uint8_t> digest) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(2 * digest.size(), '0');
  for (size_t i = 0; i < digest.size(); ++i) {
    out[2 * i] = kHex[digest[i] >> 4];
    out[2 * i + 1] = kHex[digest[i] & 0xf];
  }
  return out;
}

std::string sha256HexDigest(std::span<const uint8_t, 32> digest) { return lowerHex(digest); }

std::string Sha256Stream::hashFile(const std::string& path, int64_t tileBytes, bool noCache,
                                   bool noFollow) {
  UniqueFd fd = noFollow ? Posix::openReadNoFollow(path) : Posix::openRead(path);
  if (tileBytes < 1) {
    throw RepackError(RepackError::ConfigurationInvalid{"SHA-256 tile size must be positive"});
  }
  std::vector<uint8_t> buffer(static_cast<size_t>(tileBytes));
  Sha256Stream stream;
  off_t offset = 0;
  while (true) {
    const ssize_t n = ::pread(fd.get(), buffer.data(), buffer.size(), offset);
    if (n == 0) break;
    if (n < 0) {
      const int err = errno;
      if (err == EINTR) continue;
      throw RepackError(RepackError::PreadShort{path, tileBytes, 0, err});
    }
    stream.update(buffer.data(), static_cast<size_t>(n));
    if (noCache) ::posix_fadvise(fd.get(), offset, n, POSIX_FADV_DONTNEED);
    offset += n;
  }
  return stream.finalizeHex();
}
