// verified-install.json, the receipt of a .korvex package, written by the
// verifier and by the install's finish: pretty-printed, keys sorted, slashes
// unescaped. It records the manifest's digest and every verified file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One verified file of a receipt.
struct VerifiedFileRecord {
  std::string path;  // package-relative
  uint64_t size = 0;
  std::string sha256;
};

namespace VerifiedInstallReceipt {

inline constexpr const char* kVerifierToolVersion = "VelquorRepack verify-install";
inline constexpr const char* kInstallToolVersion = "VelquorRepack";

// `modelDirectoryPath` is recorded as given: callers pass the package
// directory as an absolute path with "." and ".." removed. "manifest.json"
// is added to the file table with the manifest's length and digest.
std::string encode(const std::string& modelDirectoryPath, const std::string& manifestSha256,
                   uint64_t manifestBytes, const std::optional<std::string>& sourceRepoID,
                   const std::optional<std::string>& sourceRevision, const std::string& toolVersion,
                   const std::vector<VerifiedFileRecord>& files,
                   const std::string& verificationTimestamp);

// The current time as 2026-01-31T09:15:02Z.
std::string timestampNow();

}  // namespace VerifiedInstallReceipt
