// velquor-plan: prints the whole install plan of a local checkpoint directory
// as one JSON document, so that the planner can be compared with other
// implementations on any checkpoint without a hub or an install.
//
// Usage: velquor-plan [--chunk-bytes N] <checkpoint-dir>
// Exit status 0 with the document on standard output; 1 with the error's
// description on standard error; 2 for a usage error.
//
// The directory holds model.safetensors.index.json, config.json and the
// shards. Each shard is recorded under its file name exactly as the index
// names it, which is how a remote install identifies it, so the canonical
// fingerprint printed here is the one a remote install of the same
// checkpoint computes.

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <exception>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "engine/common/repack_error.h"
#include "engine/io/posix.h"
#include "engine/plan/range_copy_plan.h"
#include "engine/plan/repack_plan.h"
#include "engine/source/arch_info.h"
#include "engine/source/index_loader.h"
#include "engine/source/safetensors.h"
#include "format/little_endian.h"

namespace {

using nlohmann::json;

constexpr int64_t kDefaultChunkBytes = 67108864;
// Planning needs an output directory; only package-relative paths reach the
// printed plan and the fingerprint, so any fixed absolute path will do.
constexpr const char* kOutputDirectory = "/velquor-plan/package";
constexpr const char* kUsage = "usage: velquor-plan [--chunk-bytes N] <checkpoint-dir>\n";

void writeAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

struct Arguments {
  int64_t chunkBytes = kDefaultChunkBytes;
  std::string directory;
};

// Nothing when the command line is not understood.
std::optional<Arguments> parseArguments(const std::vector<std::string>& args, bool& help) {
  Arguments out;
  bool haveDirectory = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      help = true;
      return std::nullopt;
    }
    std::string value;
    if (a == "--chunk-bytes") {
      if (++i == args.size()) return std::nullopt;
      value = args[i];
    } else if (a.starts_with("--chunk-bytes=")) {
      value = a.substr(std::string_view("--chunk-bytes=").size());
    } else if (!a.empty() && a[0] == '-') {
      return std::nullopt;
    } else {
      if (haveDirectory) return std::nullopt;
      out.directory = a;
      haveDirectory = true;
      continue;
    }
    const auto [end, error] =
        std::from_chars(value.data(), value.data() + value.size(), out.chunkBytes);
    if (value.empty() || error != std::errc() || end != value.data() + value.size()) {
      return std::nullopt;
    }
  }
  if (!haveDirectory) return std::nullopt;
  return out;
}

// The shard's header, parsed under its file name `shard` rather than its
// local path.
Safetensors::Header readShardHeader(const std::string& directory, const std::string& shard) {
  const std::string path = directory + "/" + shard;
  UniqueFd fd = Posix::openRead(path);
  const uint64_t fileSize = Posix::fileSize(fd.get(), path);
  if (fileSize < 8) {
    throw RepackError(RepackError::SafetensorsHeaderInvalid{shard, "file too short"});
  }
  uint8_t prefix[8];
  Posix::preadAll(fd.get(), path, prefix, sizeof prefix, 0);
  const uint64_t headerLength = little_endian::load<uint64_t>(prefix);
  if (headerLength > Safetensors::kMaxHeaderBytes || headerLength > fileSize - 8) {
    throw RepackError(RepackError::SafetensorsHeaderTooLarge{shard, headerLength});
  }
  std::vector<uint8_t> header(headerLength);
  Posix::preadAll(fd.get(), path, header.data(), static_cast<int64_t>(headerLength), 8);
  return Safetensors::Header{Safetensors::parseHeader(shard, fileSize, header)};
}

json describe(const IndexLoader::SourceMetadata& metadata, const RepackPlan& plan,
              const RangeCopyPlan& copies, int64_t chunkBytes) {
  json entries = json::array();
  for (const ResidentEntry& e : plan.resident.entries) {
    entries.push_back({{"name", e.name},
                       {"dtype", e.dtype},
                       {"shape", e.logicalShape4},
                       {"fileOffset", e.fileOffset},
                       {"sizeBytes", e.sizeBytes},
                       {"scaleOffset", e.scaleOffset},
                       {"scaleSize", e.scaleSize},
                       {"biasOffset", e.biasOffset},
                       {"biasSize", e.biasSize}});
  }
  json layers = json::array();
  for (const LayerFilePlan& l : plan.layers) {
    const size_t slash = l.path.rfind('/');
    layers.push_back({{"layerIndex", l.layerIndex},
                      {"file", slash == std::string::npos ? l.path : l.path.substr(slash + 1)},
                      {"expertsPerLayer", l.expertsPerLayer},
                      {"expertStride", l.expertStride},
                      {"subTensorCount", l.subTensors.size()}});
  }
  json ranges = json::array();
  for (const CoalescedRangeCopy& r : copies.coalescedCopies) {
    ranges.push_back({{"id", r.id},
                      {"shardID", r.shardID},
                      {"sourceOffset", r.sourceOffset},
                      {"size", r.size},
                      {"destinationCount", r.destinations.size()}});
  }
  json outputs = json::array();
  for (const RemoteExpectedOutput& o : copies.expectedOutputs) {
    outputs.push_back({{"relativePath", o.relativePath}, {"size", o.size}});
  }
  return {
      {"residentIndexSha256", copies.residentIndexSha256},
      {"canonicalFingerprint", copies.canonicalFingerprint},
      {"rangeChunkBytes", chunkBytes},
      {"remoteBytesToDownload", copies.remoteBytesToDownload},
      {"remoteGapBytesDownloaded", copies.remoteGapBytesDownloaded},
      {"residentIndex",
       {{"indexSize", plan.resident.indexSize},
        {"residentSize", plan.resident.residentSize},
        {"entryCount", plan.resident.entries.size()}}},
      {"residentEntries", std::move(entries)},
      {"layers", std::move(layers)},
      {"ranges", std::move(ranges)},
      {"expectedOutputs", std::move(outputs)},
      {"scalarCopyCount", copies.scalarCopies.size()},
      {"family", std::string(rawValue(plan.arch.family))},
      {"sourceIndexSha256", metadata.indexSha256Hex},
      {"matchedModelID", plan.matchedModelID ? json(*plan.matchedModelID) : json(nullptr)},
      {"excludedMultimodalTensorNames", plan.excludedMultimodalTensorNames},
  };
}

int run(const std::vector<std::string>& args) {
  bool help = false;
  const std::optional<Arguments> arguments = parseArguments(args, help);
  if (help) {
    writeAll(STDOUT_FILENO, kUsage);
    return 0;
  }
  if (!arguments) {
    writeAll(STDERR_FILENO, kUsage);
    return 2;
  }
  try {
    const std::string& dir = arguments->directory;
    const IndexLoader::SourceMetadata metadata = IndexLoader::load(dir);
    const ArchInfo arch = ArchInfo::load(metadata.configPath);
    std::vector<Safetensors::Header> headers;
    for (const std::string& shard : metadata.shardFilenames) {
      headers.push_back(readShardHeader(dir, shard));
    }
    const RepackPlan plan = RepackPlan::build(metadata, arch, headers, kOutputDirectory);
    const RangeCopyPlan copies = RangeCopyPlanner::plan(plan, arguments->chunkBytes);
    writeAll(STDOUT_FILENO, describe(metadata, plan, copies, arguments->chunkBytes).dump(2) + "\n");
    return 0;
  } catch (const std::exception& error) {
    writeAll(STDERR_FILENO, std::string(error.what()) + "\n");
    return 1;
  }
}

}  // namespace

int main(int argc, char** argv) { return run(std::vector<std::string>(argv, argv + argc)); }
