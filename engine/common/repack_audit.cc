#include "engine/common/repack_audit.h"

#include <algorithm>

#include <fstream>
#include <sstream>

#include "format/json_document.h"

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

std::string RepackAudit::report(const std::string& outputDir) const {
  using korvex_json::json;
  json files = json::array();
  for (const OutputFile& f : outputFiles) {
    files.push_back({{"path", f.relativePath}, {"sha256", f.sha256}, {"size", f.size}});
  }
  json retries = json::array();
  for (const RemoteRetryRecord& r : remoteRetries) {
    retries.push_back({{"attempt", r.attempt}, {"detail", r.detail}, {"label", r.label}});
  }
  json document = {
      {"bit_width_overrides_honored", bitWidthOverridesHonored},
      {"byte_copy_tiles", byteCopyTiles},
      {"intentional_copy_bytes", intentionalCopyBytes},
      {"largest_remote_payload_heap_bytes", largestRemotePayloadHeapBytes},
      {"largest_remote_transfer_bytes", largestRemoteTransferBytes},
      {"largest_scratch_bytes", largestScratchBytes},
      {"malloc_count_observed", mallocCountObserved},
      {"output_bytes_written", outputBytesWritten},
      {"output_dir", outputDir},
      {"output_files", std::move(files)},
      {"packed_expert_layout_audit_logical_id_count", packedExpertLayoutAuditLogicalIDCount},
      {"packed_expert_layout_mode", packedExpertLayoutMode},
      {"packed_expert_layout_offset_validation_passed", packedExpertLayoutOffsetValidationPassed},
      {"packed_expert_reordered_layer_count", packedExpertReorderedLayerCount},
      {"peak_rss_bytes", peakRssBytes},
      {"platform_memmove_observed", platformMemmoveObserved},
      {"remote_bytes_downloaded", remoteBytesDownloaded},
      {"remote_gap_bytes_downloaded", remoteGapBytesDownloaded},
      {"remote_range_requests", remoteRangeRequests},
      {"remote_range_retries", remoteRangeRetries},
      {"remote_range_streaming_supported", remoteRangeStreamingSupported},
      {"remote_retries", std::move(retries)},
      {"rss_sample_count", rssSamples.size()},
      {"source_bytes_read", sourceBytesRead},
      {"source_snapshot_sha256", sourceSnapshotSha256},
      {"stale_partials_removed", stalePartialsRemoved},
      {"tensors_dropped_multimodal", tensorsDroppedMultimodal},
      {"wall_time_s", wallTimeSeconds},
      {"whole_file_heap_buffers", wholeFileHeapBuffers},
  };
  const std::pair<const char*, const std::optional<std::string>*> optional[] = {
      {"packed_expert_layout_order_path", &packedExpertLayoutOrderPath},
      {"packed_expert_layout_order_sha256", &packedExpertLayoutOrderSha256},
      {"packed_expert_layout_strategy", &packedExpertLayoutStrategy},
      {"remote_repo_id", &remoteRepoID},
      {"remote_requested_revision", &remoteRequestedRevision},
      {"remote_resolved_commit", &remoteResolvedCommit}};
  for (const auto& [key, value] : optional) {
    if (*value) document[key] = **value;
  }
  return korvex_json::pretty(document);
}

void RepackAudit::merge(const RepackAudit& part) {
  sourceBytesRead += part.sourceBytesRead;
  outputBytesWritten += part.outputBytesWritten;
  intentionalCopyBytes += part.intentionalCopyBytes;
  byteCopyTiles += part.byteCopyTiles;
  remoteBytesDownloaded += part.remoteBytesDownloaded;
  remoteRangeRequests += part.remoteRangeRequests;
  localBytesRead += part.localBytesRead;
  for (const RemoteRetryRecord& r : part.remoteRetries) recordRetry(r.label, r.attempt, r.detail);
  largestRemoteTransferBytes =
      std::max(largestRemoteTransferBytes, part.largestRemoteTransferBytes);
  noteScratch(part.largestScratchBytes);
}
