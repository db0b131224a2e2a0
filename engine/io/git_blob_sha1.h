// The name git gives a file's contents: the SHA-1 (OpenSSL EVP) of
// "blob " + decimal size + "\0" + contents, as 40 lower-case hex
// characters. The hub names a small (non-LFS) file by it, so it is the
// digest such a file on disk is checked against.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

struct evp_md_ctx_st;

// The name of contents of a size known up front, fed in pieces.
class GitBlobSha1 {
 public:
  explicit GitBlobSha1(uint64_t size);
  ~GitBlobSha1();
  GitBlobSha1(const GitBlobSha1&) = delete;
  GitBlobSha1& operator=(const GitBlobSha1&) = delete;

  void update(std::span<const uint8_t> bytes);
  // Finishes the name; the object may not be updated afterwards.
  std::string finalizeHex();

 private:
  struct Free {
    void operator()(evp_md_ctx_st* ctx) const;
  };
  std::unique_ptr<evp_md_ctx_st, Free> hasher_;
};

std::string gitBlobSha1Hex(std::span<const uint8_t> contents);
