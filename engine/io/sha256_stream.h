// Incremental SHA-256 (OpenSSL EVP), the digest behind every hash the system
// writes or compares. Digests are rendered as 64 lower-case hex characters.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

struct evp_md_ctx_st;

class Sha256Stream {
 public:
  Sha256Stream();
  Sha256Stream(Sha256Stream&&) noexcept;
  Sha256Stream& operator=(Sha256Stream&&) noexcept;
  ~Sha256Stream();

  void update(std::span<const uint8_t> bytes);
  void update(const void* data, size_t length) {
    update({static_cast<const uint8_t*>(data), length});
  }
  // Finishes the digest; the stream may not be updated afterwards.
  std::string finalizeHex();

  // SHA-256 of a whole file read in tiles of `tileBytes` through one buffer.
  // noCache drops the pages behind each read; noFollow refuses a symbolic link.
  static std::string hashFile(const std::string& path, int64_t tileBytes, bool noCache,
                              bool noFollow);

 private:
  struct Free {
    void operator()(evp_md_ctx_st* ctx) const;
  };
  std::unique_ptr<evp_md_ctx_st, Free> hasher_;
};

// Digest bytes as "%02x" each, concatenated.
std::string lowerHex(std::span<const uint8_t> digest);

// 32 digest bytes as "%02x" each, concatenated.
std::string sha256HexDigest(std::span<const uint8_t, 32> digest);
