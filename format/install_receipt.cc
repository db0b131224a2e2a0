#include "format/install_receipt.h"

#include <ctime>

#include "format/json_document.h"

namespace VerifiedInstallReceipt {

using korvex_json::json;

std::string encode(const std::string& modelDirectoryPath, const std::string& manifestSha256,
                   uint64_t manifestBytes, const std::optional<std::string>& sourceRepoID,
                   const std::optional<std::string>& sourceRevision, const std::string& toolVersion,
                   const std::vector<VerifiedFileRecord>& files,
                   const std::string& verificationTimestamp) {
  json table = json::object();
  for (const VerifiedFileRecord& f : files)
    table[f.path] = {{"size", f.size}, {"sha256", f.sha256}};
  table["manifest.json"] = {{"size", manifestBytes}, {"sha256", manifestSha256}};
  json receipt = {{"schemaVersion", 1},
                  {"manifestSha256", manifestSha256},
                  {"modelDirectoryPath", modelDirectoryPath},
                  {"verificationTimestamp", verificationTimestamp},
                  {"toolVersion", toolVersion},
                  {"files", std::move(table)}};
  if (sourceRepoID) receipt["sourceRepoID"] = *sourceRepoID;
  if (sourceRevision) receipt["sourceRevision"] = *sourceRevision;
  return korvex_json::pretty(receipt);
}

std::string timestampNow() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  ::gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

}  // namespace VerifiedInstallReceipt
