// Test helper: an installed package as a comparable value.
#pragma once

#include <filesystem>
#include <map>
#include <string>

#include "engine/io/sha256_stream.h"
#include "tests/test_util.h"

namespace testutil {

inline std::string sha256Hex(const std::string& bytes) {
  Sha256Stream s;
  s.update(bytes.data(), bytes.size());
  return s.finalizeHex();
}

// Every file below `root` (none when it is not a directory) by relative path
// with the SHA-256 of its bytes; the receipt's timestamp and directory lines
// are left out, since they record when and where it was written.
inline std::map<std::string, std::string> packageContents(const std::string& root) {
  namespace fs = std::filesystem;
  std::map<std::string, std::string> out;
  if (!fs::is_directory(root)) return out;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    std::string bytes = readFile(entry.path().string());
    const std::string relative = fs::relative(entry.path(), root).string();
    if (relative == "verified-install.json") {
      for (const char* key : {"\"verificationTimestamp\"", "\"modelDirectoryPath\""}) {
        const size_t at = bytes.find(key);
        if (at != std::string::npos) bytes.erase(at, bytes.find('\n', at) - at);
      }
    }
    out[relative] = sha256Hex(bytes);
  }
  return out;
}

}  // namespace testutil
