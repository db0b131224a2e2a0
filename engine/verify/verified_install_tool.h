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

#include "format/install_receipt.h"

struct VerifyInstallOptions {
  std::string inputKorvex;  // the package directory
};

struct VerifyInstallResult {
  std::string receiptPath;
  int64_t fileCount = 0;       // manifest entries + manifest.json itself
  uint64_t bytesVerified = 0;  // manifest.json's length + every verified file's size
  std::vector<std::string> unexpectedEntries;  // sorted; reported, not errors
};


namespace VerifiedInstallTool {

// Every verification failure is configurationInvalid with a fixed detail;
// I/O failures come from the anchored directory access unchanged.
VerifyInstallResult run(const VerifyInstallOptions& options);

}  // namespace VerifiedInstallTool
