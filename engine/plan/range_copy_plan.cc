#include "engine/plan/range_copy_plan.h"

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <tuple>
#include <unordered_map>

#include "engine/common/repack_error.h"
#include "engine/plan/plan_support.h"
#include "engine/plan/resident_index_encoder.h"
#include "engine/plan/vision_pack_plan.h"
#include "format/korvex_format.h"
#include "format/little_endian.h"

void FingerprintWriter::integer(uint64_t value) {
  uint8_t bytes[8];
  little_endian::store<uint64_t>(bytes, value);
  stream_.update(bytes, sizeof bytes);
}

void FingerprintWriter::string(const std::string& text) {
  integer(text.size());
  stream_.update(text.data(), text.size());
}

namespace RangeCopyPlanner {
namespace {

using plan_support::add;
using plan_support::invalid;

constexpr const char* kPlanDomain = "Velquor.RemoteInstallPlan.v1";
constexpr const char* kVisionPlanDomain = "Velquor.VisionCompanionPlan.v1";

// Every copy and every chunk of one is a record in memory; a plan beyond this
// many (a hostile expert count, or a tiny chunk size over a large model) is
// refused instead of exhausting memory. The largest supported model needs
// about 110,000 copies; 64 MiB chunks add a few hundred pieces.
constexpr uint64_t kMaxCopyPieces = uint64_t{1} << 22;

uint64_t chunkBytes(int64_t rangeChunkBytes) {
  if (rangeChunkBytes < 1) invalid("rangeChunkBytes must be positive");
  return static_cast<uint64_t>(rangeChunkBytes);
}

// relativeDestination of every destination path, computed once per path.
class RelativePaths {
 public:
  explicit RelativePaths(std::string root) : root_(std::move(root)) {}

  const std::string& of(const std::string& destinationPath) {
    auto it = cache_.find(destinationPath);
    if (it == cache_.end()) {
      it = cache_.emplace(destinationPath, relativeDestination(destinationPath, root_)).first;
    }
    return it->second;
  }

 private:
  std::string root_;
  std::unordered_map<std::string, std::string> cache_;
};

// No copy may run past 2^64 or write bytes that another copy of the same
// file writes. Copies are walked by (relative path, offset); among copies at
// the same offset the smaller comes first, so an empty copy never counts as
// overlapping the tensor that starts where it stands.
void validateDestinations(const std::vector<RangeCopy>& copies, RelativePaths& paths) {
  struct Item {
    const std::string* path;
    uint64_t offset;
    uint64_t size;
  };
  std::vector<Item> items;
  items.reserve(copies.size());
  for (const RangeCopy& copy : copies) {
    items.push_back({&paths.of(copy.destinationPath), copy.destinationOffset, copy.size});
  }
  std::stable_sort(items.begin(), items.end(), [](const Item& a, const Item& b) {
    return std::tie(*a.path, a.offset, a.size) < std::tie(*b.path, b.offset, b.size);
  });
  const Item* previous = nullptr;
  uint64_t previousEnd = 0;
  for (const Item& item : items) {
    uint64_t end;
    if (__builtin_add_overflow(item.offset, item.size, &end)) {
      invalid("destination range overflows " + *item.path);
    }
    if (previous != nullptr && *previous->path == *item.path && item.offset < previousEnd) {
      invalid("overlapping destination ranges in " + *item.path);
    }
    previous = &item;
    previousEnd = end;
  }
}

std::string canonicalFingerprint(uint64_t rangeChunkBytes, const std::string& layoutMode,
                                 const std::optional<std::string>& layoutOrderDigest,
                                 const RangeCopyPlan& plan, RelativePaths& paths) {
  FingerprintWriter writer;
  writer.string(kPlanDomain);
  writer.integer(static_cast<uint64_t>(KorvexFormatV1::versionMajor));
  writer.integer(static_cast<uint64_t>(KorvexFormatV1::versionMinor));
  writer.integer(rangeChunkBytes);
  writer.string(layoutMode);
  writer.string(layoutOrderDigest.value_or(""));
  writer.string(plan.residentIndexSha256);
  writer.integer(plan.expectedOutputs.size());
  for (const RemoteExpectedOutput& output : plan.expectedOutputs) {
    writer.string(output.relativePath);
    writer.integer(output.size);
  }
  writer.integer(plan.coalescedCopies.size());
  for (const CoalescedRangeCopy& range : plan.coalescedCopies) {
    writer.string(range.id);
    writer.string(KorvexPathValidator::canonicalComposition(range.shardID));
    writer.integer(range.sourceOffset);
    writer.integer(range.size);
    writer.integer(range.destinations.size());
    for (const RangeCopy& destination : range.destinations) {
      writer.string(paths.of(destination.destinationPath));
      writer.integer(destination.destinationOffset);
      writer.integer(destination.sourceOffset - range.sourceOffset);
      writer.integer(destination.size);
    }
  }
  return writer.finalizeHex();
}

// Validation, coalescing, totals and fingerprint: the part both install
// kinds share. `plan` arrives with scalarCopies, residentIndexSha256 and
// expectedOutputs filled in.
RangeCopyPlan complete(RangeCopyPlan plan, int64_t rangeChunkBytes, const std::string& outputRoot,
                       const std::string& layoutMode,
                       const std::optional<std::string>& layoutOrderDigest) {
  const uint64_t chunk = chunkBytes(rangeChunkBytes);
  RelativePaths paths(outputRoot);
  validateDestinations(plan.scalarCopies, paths);
  plan.coalescedCopies = coalesce(plan.scalarCopies, rangeChunkBytes);

  uint64_t downloaded = 0;
  for (const CoalescedRangeCopy& range : plan.coalescedCopies) {
    downloaded = add(downloaded, range.size, "remoteBytesToDownload");
  }
  uint64_t copied = 0;
  for (const RangeCopy& copy : plan.scalarCopies) copied = add(copied, copy.size, "copy bytes");
  plan.remoteBytesToDownload = downloaded;
  plan.remoteGapBytesDownloaded = downloaded > copied ? downloaded - copied : 0;

  std::stable_sort(plan.expectedOutputs.begin(), plan.expectedOutputs.end(),
                   [](const RemoteExpectedOutput& a, const RemoteExpectedOutput& b) {
                     return a.relativePath < b.relativePath;
                   });
  plan.canonicalFingerprint =
      canonicalFingerprint(chunk, layoutMode, layoutOrderDigest, plan, paths);
  return plan;
}

void requireCopyCount(uint64_t count) {
  if (count > kMaxCopyPieces) {
    invalid("copy plan of " + std::to_string(count) + " copies exceeds the limit of " +
            std::to_string(kMaxCopyPieces));
  }
}

}  // namespace

RangeCopyPlan plan(const RepackPlan& repackPlan, int64_t rangeChunkBytes,
                   const std::string& layoutMode,
                   const std::optional<std::string>& layoutOrderDigest) {
  chunkBytes(rangeChunkBytes);
  const ResidentFilePlan& resident = repackPlan.resident;

  uint64_t count = 0;
  for (const ResidentEntry& entry : resident.entries) {
    count += 1 + (entry.sourceScales ? 1 : 0) + (entry.sourceBiases ? 1 : 0);
  }
  for (const LayerFilePlan& layer : repackPlan.layers) {
    if (layer.expertsPerLayer <= 0) continue;
    count = add(count,
                plan_support::multiply(static_cast<uint64_t>(layer.expertsPerLayer),
                                       layer.subTensors.size(), "copy count"),
                "copy count");
    requireCopyCount(count);
  }
  requireCopyCount(count);

  RangeCopyPlan out;
  out.scalarCopies.reserve(count);
  for (const ResidentEntry& entry : resident.entries) {
    const SourceTensor& w = entry.sourceWeight;
    out.scalarCopies.push_back(
        {w.shardPath, w.absoluteOffset, w.sizeBytes, resident.path, entry.fileOffset});
    if (entry.sourceScales) {
      const SourceTensor& s = *entry.sourceScales;
      out.scalarCopies.push_back(
          {s.shardPath, s.absoluteOffset, s.sizeBytes, resident.path, entry.scaleOffset});
    }
    if (entry.sourceBiases) {
      const SourceTensor& b = *entry.sourceBiases;
      out.scalarCopies.push_back(
          {b.shardPath, b.absoluteOffset, b.sizeBytes, resident.path, entry.biasOffset});
    }
  }
  for (const LayerFilePlan& layer : repackPlan.layers) {
    if (layer.expertsPerLayer <= 0) continue;
    for (uint64_t e = 0; e < static_cast<uint64_t>(layer.expertsPerLayer); ++e) {
      const uint64_t blob = plan_support::multiply(e, layer.expertStride, "expert blob offset");
      for (const PerExpertTensorSlice& slice : layer.subTensors) {
        const uint64_t source =
            add(slice.sourceTensor.absoluteOffset,
                plan_support::multiply(e, slice.sourceOffsetPerExpert, "expert source offset"),
                "expert source offset");
        out.scalarCopies.push_back({slice.sourceTensor.shardPath, source, slice.sizeInExpertBlob,
                                    layer.path,
                                    add(blob, slice.offsetInExpertBlob, "expert blob offset")});
      }
    }
  }

  out.expectedOutputs.push_back(
      {"model_weights.bin", add(resident.indexSize, resident.residentSize, "model_weights.bin")});
  for (const LayerFilePlan& layer : repackPlan.layers) {
    if (layer.expertsPerLayer <= 0) continue;
    const std::string relative = "packed_experts/" + plan_support::lastComponent(layer.path);
    out.expectedOutputs.push_back(
        {relative, plan_support::multiply(static_cast<uint64_t>(layer.expertsPerLayer),
                                          layer.expertStride, relative)});
  }

  const std::vector<uint8_t> index = encodeResidentIndex(resident);
  Sha256Stream digest;
  digest.update(index);
  out.residentIndexSha256 = digest.finalizeHex();

  return complete(std::move(out), rangeChunkBytes, plan_support::directoryOf(resident.path),
                  layoutMode, layoutOrderDigest);
}

RangeCopyPlan planVisionCompanion(const VisionPackPlan& visionPlan,
                                  const std::string& weightsFilePath, int64_t rangeChunkBytes) {
  chunkBytes(rangeChunkBytes);
  requireCopyCount(visionPlan.entries.size());
  RangeCopyPlan out;
  out.scalarCopies.reserve(visionPlan.entries.size());
  FingerprintWriter digest;
  digest.string(kVisionPlanDomain);
  digest.integer(visionPlan.entries.size());
  digest.integer(visionPlan.sourcePayloadBytes);
  digest.integer(visionPlan.weightsFileSize);
  for (const VisionPackPlan::Entry& entry : visionPlan.entries) {
    const SourceTensor& s = entry.source;
    out.scalarCopies.push_back(
        {s.shardPath, s.absoluteOffset, s.sizeBytes, weightsFilePath, entry.fileOffset});
    digest.string(s.name);
    digest.string(KorvexPathValidator::canonicalComposition(s.shardPath));
    digest.integer(s.absoluteOffset);
    digest.integer(s.sizeBytes);
    digest.integer(entry.fileOffset);
    digest.integer(static_cast<uint64_t>(entry.executionPosition));
  }
  out.residentIndexSha256 = digest.finalizeHex();
  out.expectedOutputs.push_back({"vision_weights.bin", visionPlan.weightsFileSize});
  return complete(std::move(out), rangeChunkBytes, plan_support::directoryOf(weightsFilePath),
                  kVisionLayoutMode, std::nullopt);
}

std::vector<CoalescedRangeCopy> coalesce(const std::vector<RangeCopy>& copies,
                                         int64_t rangeChunkBytes) {
  const uint64_t chunk = chunkBytes(rangeChunkBytes);

  uint64_t pieceCount = 0;
  for (const RangeCopy& copy : copies) {
    if (copy.size == 0) continue;
    pieceCount = add(pieceCount, (copy.size - 1) / chunk + 1, "piece count");
    if (pieceCount > kMaxCopyPieces) {
      invalid("rangeChunkBytes " + std::to_string(chunk) + " cuts the copies into more than " +
              std::to_string(kMaxCopyPieces) + " pieces");
    }
  }

  std::vector<RangeCopy> pieces;
  pieces.reserve(pieceCount);
  for (const RangeCopy& copy : copies) {
    if (copy.size == 0) continue;
    uint64_t end;
    if (__builtin_add_overflow(copy.sourceOffset, copy.size, &end)) {
      invalid("source range overflows " + copy.shardID);
    }
    if (__builtin_add_overflow(copy.destinationOffset, copy.size, &end)) {
      invalid("destination range overflows " + copy.destinationPath);
    }
    for (uint64_t done = 0; done < copy.size;) {
      const uint64_t size = std::min(chunk, copy.size - done);
      pieces.push_back({copy.shardID, copy.sourceOffset + done, size, copy.destinationPath,
                        copy.destinationOffset + done});
      done += size;
    }
  }
  std::stable_sort(pieces.begin(), pieces.end(), [](const RangeCopy& a, const RangeCopy& b) {
    return std::tie(a.shardID, a.sourceOffset) < std::tie(b.shardID, b.sourceOffset);
  });

  std::vector<CoalescedRangeCopy> ranges;
  CoalescedRangeCopy open;
  uint64_t openEnd = 0;
  bool isOpen = false;
  const auto close = [&] {
    char id[32];
    std::snprintf(id, sizeof id, "range-%08llu", static_cast<unsigned long long>(ranges.size()));
    open.id = id;
    open.size = openEnd - open.sourceOffset;
    std::stable_sort(open.destinations.begin(), open.destinations.end(),
                     [](const RangeCopy& a, const RangeCopy& b) {
                       return std::tie(a.destinationPath, a.destinationOffset, a.sourceOffset) <
                              std::tie(b.destinationPath, b.destinationOffset, b.sourceOffset);
                     });
    ranges.push_back(std::move(open));
    open = CoalescedRangeCopy();
  };
  for (RangeCopy& piece : pieces) {
    const uint64_t pieceEnd = piece.sourceOffset + piece.size;
    if (isOpen && piece.shardID == open.shardID &&
        std::max(openEnd, pieceEnd) - open.sourceOffset <= chunk) {
      openEnd = std::max(openEnd, pieceEnd);
      open.destinations.push_back(std::move(piece));
      continue;
    }
    if (isOpen) close();
    open.shardID = piece.shardID;
    open.sourceOffset = piece.sourceOffset;
    openEnd = pieceEnd;
    open.destinations.push_back(std::move(piece));
    isOpen = true;
  }
  if (isOpen) close();
  return ranges;
}

std::string relativeDestination(const std::string& destinationPath, const std::string& outputRoot) {
  std::string root = outputRoot;
  if (!root.empty() && root.back() == '/') root.pop_back();
  if (root.empty() || root.back() != '/') root += '/';
  const std::string shown = root.substr(0, root.size() - 1);
  if (destinationPath.compare(0, root.size(), root) != 0) {
    invalid("destination " + destinationPath + " is outside partial output " + shown);
  }
  const std::string remainder = KorvexPathValidator::canonicalComposition(
      std::string_view(destinationPath).substr(root.size()));
  bool valid = !remainder.empty() && remainder.front() != '/';
  for (size_t start = 0; valid;) {
    const size_t slash = remainder.find('/', start);
    const std::string_view piece = std::string_view(remainder).substr(
        start, slash == std::string::npos ? std::string::npos : slash - start);
    if (piece.empty() || piece == "." || piece == "..") valid = false;
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  if (!valid) invalid("invalid relative destination path " + remainder);
  return remainder;
}

}  // namespace RangeCopyPlanner
