#include "engine/io/git_blob_sha1.h"

#include <openssl/evp.h>

#include <new>

#include "engine/io/sha256_stream.h"

void GitBlobSha1::Free::operator()(evp_md_ctx_st* ctx) const { EVP_MD_CTX_free(ctx); }

GitBlobSha1::GitBlobSha1(uint64_t size) : hasher_(EVP_MD_CTX_new()) {
  if (!hasher_ || EVP_DigestInit_ex(hasher_.get(), EVP_sha1(), nullptr) != 1) {
    throw std::bad_alloc();
  }
  const std::string header = "blob " + std::to_string(size);
  // The terminating NUL of the header is part of what is hashed.
  EVP_DigestUpdate(hasher_.get(), header.c_str(), header.size() + 1);
}

GitBlobSha1::~GitBlobSha1() = default;

void GitBlobSha1::update(std::span<const uint8_t> bytes) {
  if (!bytes.empty()) EVP_DigestUpdate(hasher_.get(), bytes.data(), bytes.size());
}

std::string GitBlobSha1::finalizeHex() {
  uint8_t digest[20];
  unsigned int length = 0;
  EVP_DigestFinal_ex(hasher_.get(), digest, &length);
  return lowerHex(digest);
}

std::string gitBlobSha1Hex(std::span<const uint8_t> contents) {
  GitBlobSha1 name(contents.size());
  name.update(contents);
  return name.finalizeHex();
}
