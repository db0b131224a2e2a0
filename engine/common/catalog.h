// The compiled-in catalogue of supported checkpoints. Each row pins one hub
// repository at one commit together with the SHA-256 of that commit's shard
// index; the pinned digests form the known-source set. Immutable and safe to
// read from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>

struct SupportedModelSource {
  std::string name;               // the command-line name
  std::string displayName;        // printed after "Installed "
  std::string repoID;             // owner/name on the hub
  std::string revision;           // pinned commit, 40 lower-case hex digits
  std::string sourceIndexSHA256;  // digest of the commit's model.safetensors.index.json
  std::string modelID;            // identifier recorded for a recognised source
  uint64_t approximateDownloadBytes = 0;
  uint64_t installedBytes = 0;
  uint64_t reserveBytes = 0;  // free space to keep beyond the install's needs

  bool operator==(const SupportedModelSource&) const = default;
};

namespace ModelCatalog {

// The six rows, in command-line order.
std::span<const SupportedModelSource> all();

// The row a plain invocation installs ("gemma4").
const SupportedModelSource& defaultSource();

// Exact, case-sensitive lookup by command-line name. "standard" and "qat"
// name the two Gemma 4 rows.
std::optional<SupportedModelSource> lookup(std::string_view name);

// True exactly when the record equals the gemma4 or gemma4-qat row, field by field.
bool isVisionEligible(const SupportedModelSource& source);

}  // namespace ModelCatalog

// The known-source set: index digest to model identifier, built on first use.
namespace SourceFingerprint {
const std::map<std::string, std::string, std::less<>>& knownSources();
}
