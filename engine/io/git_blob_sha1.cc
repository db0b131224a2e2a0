#include "engine/io/git_blob_sha1.h"

#include <openssl/evp.h>

#include <memory>
#include <new>

namespace {

struct FreeContext {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

}  // namespace

std::string gitBlobSha1Hex(std::span<const uint8_t> contents) {
  const std::unique_ptr<EVP_MD_CTX, FreeContext> hasher(EVP_MD_CTX_new());
  if (!hasher || EVP_DigestInit_ex(hasher.get(), EVP_sha1(), nullptr) != 1) {
    throw std::bad_alloc();
  }
  const std::string header = "blob " + std::to_string(contents.size());
  // The terminating NUL of the header is part of what is hashed.
  EVP_DigestUpdate(hasher.get(), header.c_str(), header.size() + 1);
  if (!contents.empty()) EVP_DigestUpdate(hasher.get(), contents.data(), contents.size());
  uint8_t digest[20];
  unsigned int length = 0;
  EVP_DigestFinal_ex(hasher.get(), digest, &length);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(40, '0');
  for (size_t i = 0; i < 20; ++i) {
    out[2 * i] = kHex[digest[i] >> 4];
    out[2 * i + 1] = kHex[digest[i] & 0xf];
  }
  return out;
}
