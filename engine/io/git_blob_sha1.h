// The name git gives a file's contents: the SHA-1 (OpenSSL EVP) of
// "blob " + decimal size + "\0" + contents, as 40 lower-case hex
// characters. The hub names a small (non-LFS) file by it, so it is the
// digest such a file on disk is checked against.
#pragma once

#include <cstdint>
#include <span>
#include <string>

std::string gitBlobSha1Hex(std::span<const uint8_t> contents);
