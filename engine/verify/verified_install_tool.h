// Re-checks an installed .korvex package on disk, trusting nothing but its
// manifest.json: the packed-expert layout against the manifest and the layer
// files, the size and SHA-256 of every listed file, and anything in the
// directory the manifest does not account for. Writes verified-install.json
// only after every check passed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct VerifyInstallOptions {
  std::string inputKorvex;  // the package directory
};

struct VerifyInstallResult {
  std::string receiptPath;
  int64_t fileCount = 0;       // manifest entries + manifest.json itself
  uint64_t bytesVerified = 0;  // manifest.json's length + every verified file's size
  std::vector<std::string> unexpectedEntries;  // sorted; reported, not errors
};

// One verified file of a receipt.
struct VerifiedFileRecord {
  std::string path;  // package-relative
  uint64_t size = 0;
  std::string sha256;
};

// verified-install.json, shared by the verifier and the install's finish:
// pretty-printed, keys sorted, slashes unescaped.
namespace VerifiedInstallReceipt {

inline constexpr const char* kVerifierToolVersion = "VelquorRepack verify-install";
inline constexpr const char* kInstallToolVersion = "VelquorRepack";

std::string encode(const std::string& packageDirectory, const std::string& manifestSha256,
                   uint64_t manifestBytes, const std::optional<std::string>& sourceRepoID,
                   const std::optional<std::string>& sourceRevision, const std::string& toolVersion,
                   const std::vector<VerifiedFileRecord>& files);

// The current time as 2026-01-31T09:15:02Z.
std::string timestampNow();

}  // namespace VerifiedInstallReceipt

namespace VerifiedInstallTool {

// Every verification failure is configurationInvalid with a fixed detail;
// I/O failures come from the anchored directory access unchanged.
VerifyInstallResult run(const VerifyInstallOptions& options);

}  // namespace VerifiedInstallTool
