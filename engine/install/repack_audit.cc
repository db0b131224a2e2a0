#include "engine/install/repack_audit.h"

#include <fstream>
#include <sstream>

void RepackAudit::recordRetry(std::string label, int64_t attempt, std::string detail) {
  remoteRangeRetries += 1;
  remoteRetries.push_back({std::move(label), attempt, std::move(detail)});
}

void RepackAudit::sampleMemory() {
  const std::optional<uint64_t> sample = processResidentBytes();
  if (!sample) return;
  if (*sample > peakRssBytes) peakRssBytes = *sample;
  rssSamples.push_back(*sample);
}

std::optional<uint64_t> processResidentBytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (!line.starts_with("VmRSS:")) continue;
    std::istringstream fields(line.substr(6));
    uint64_t kib = 0;
    std::string unit;
    if (fields >> kib >> unit && unit == "kB") return kib * 1024;
    return std::nullopt;
  }
  return std::nullopt;
}
