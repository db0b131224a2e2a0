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

constexpr const char* kPlanDomain = "Velquor.RemoteInstallPlan.v1";
constexpr const char* kVisionPlanDomain = "Velquor.VisionCompanionPlan.v1";

// Every copy and every chunk of one is a record in memory; a plan beyond this
// many (a hostile expert count, or a tiny chunk size over a large model) is
// refused instead of exhausting memory. The largest supported model needs
// about 110,000 copies; 64 MiB chunks add a few hundred pieces.
constexpr uint64_t kMaxCopyPieces = uint64_t{1} << 22;

uint64_t chunkBytes(int64_t rangeChunkBytes) {
  if (rangeChunkBytes < 1) throwConfigurationInvalid("rangeChunkBytes must be positive");
  return static_cast<uint64_t>(rangeChunkBytes);
}

void requireCopyCount(uint64_t count) {
  if (count > kMaxCopyPieces) {
    throwConfigurationInvalid("copy plan of " + std::to_string(count) +
                              " copies exceeds the limit of " + std::to_string(kMaxCopyPieces));
  }
}

// relativeDestination of every destination path, computed once per path.
// Copies come in runs with one destination, so the last answer is checked
// before the table.
class RelativePaths {
 public:
  explicit RelativePaths(std::string root) : root_(std::move(root)) {}

  const std::string& of(const std::string& destinationPath) {
    if (last_ != nullptr && last_->first == destinationPath) return last_->second;
    auto it = cache_.find(destinationPath);
    if (it == cache_.end()) {
      it = cache_.emplace(destinationPath, relativeDestination(destinationPath, root_)).first;
    }
    last_ = &*it;
    return it->second;
  }

 private:
  std::string root_;
  std::unordered_map<std::string, std::string> cache_;
  const std::pair<const std::string, std::string>* last_ = nullptr;
};

// One SharedPath per distinct text, so that every copy naming a file shares
// one copy of its path. Copies come in runs with one shard and destination,
// so the last answer is checked before the table.
class PathTable {
 public:
  const SharedPath& of(const std::string& text) {
    if (last_ != nullptr && last_->str() == text) return *last_;
    auto it = paths_.find(text);
    if (it == paths_.end()) it = paths_.emplace(text, SharedPath(text)).first;
    last_ = &it->second;
    return *last_;
  }

 private:
  std::unordered_map<std::string, SharedPath> paths_;
  const SharedPath* last_ = nullptr;
};

// For count strings at(0) ... at(count - 1): the rank of each among the
// distinct strings in plain byte order. Sorting by rank then orders by the
// string without comparing long, mostly equal paths again and again. The
// strings must outlive the call.
template <typename At>
std::vector<uint32_t> stringRanks(size_t count, At at) {
  std::unordered_map<std::string_view, uint32_t> ids;
  std::vector<std::string_view> distinct;
  std::vector<uint32_t> out(count);
  std::string_view last;
  uint32_t lastId = 0;
  for (size_t i = 0; i < count; ++i) {
    const std::string_view s = at(i);
    if (i == 0 || s != last) {
      const auto [it, inserted] = ids.try_emplace(s, static_cast<uint32_t>(distinct.size()));
      if (inserted) distinct.push_back(s);
      last = s;
      lastId = it->second;
    }
    out[i] = lastId;
  }
  std::vector<uint32_t> order(distinct.size());
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(),
            [&](uint32_t a, uint32_t b) { return distinct[a] < distinct[b]; });
  std::vector<uint32_t> rank(distinct.size());
  for (uint32_t r = 0; r < order.size(); ++r) rank[order[r]] = r;
  for (uint32_t& v : out) v = rank[v];
  return out;
}

// No copy may run past 2^64 or write bytes that another copy of the same
// file writes. Copies are walked by (relative path, offset); among copies at
// the same offset the smaller comes first, so an empty copy never counts as
// overlapping the tensor that starts where it stands.
void validateDestinations(const std::vector<RangeCopy>& copies, RelativePaths& paths) {
  const std::vector<uint32_t> pathRank = stringRanks(
      copies.size(),
      [&](size_t i) -> const std::string& { return paths.of(copies[i].destinationPath); });
  std::vector<uint32_t> order(copies.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
    return std::tie(pathRank[a], copies[a].destinationOffset, copies[a].size) <
           std::tie(pathRank[b], copies[b].destinationOffset, copies[b].size);
  });
  const uint32_t* previous = nullptr;
  uint64_t previousEnd = 0;
  for (const uint32_t& i : order) {
    const RangeCopy& copy = copies[i];
    uint64_t end;
    if (__builtin_add_overflow(copy.destinationOffset, copy.size, &end)) {
      throwConfigurationInvalid("destination range overflows " + paths.of(copy.destinationPath));
    }
    if (previous != nullptr && pathRank[*previous] == pathRank[i] &&
        copy.destinationOffset < previousEnd) {
      throwConfigurationInvalid("overlapping destination ranges in " +
                                paths.of(copy.destinationPath));
    }
    previous = &i;
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
  PathTable shards;
  const SharedPath residentPath(resident.path);
  for (const ResidentEntry& entry : resident.entries) {
    const SourceTensor& w = entry.sourceWeight;
    out.scalarCopies.push_back(
        {shards.of(w.shardPath), w.absoluteOffset, w.sizeBytes, residentPath, entry.fileOffset});
    if (entry.sourceScales) {
      const SourceTensor& s = *entry.sourceScales;
      out.scalarCopies.push_back(
          {shards.of(s.shardPath), s.absoluteOffset, s.sizeBytes, residentPath, entry.scaleOffset});
    }
    if (entry.sourceBiases) {
      const SourceTensor& b = *entry.sourceBiases;
      out.scalarCopies.push_back(
          {shards.of(b.shardPath), b.absoluteOffset, b.sizeBytes, residentPath, entry.biasOffset});
    }
  }
  for (const LayerFilePlan& layer : repackPlan.layers) {
    if (layer.expertsPerLayer <= 0) continue;
    const SharedPath layerPath(layer.path);
    for (uint64_t e = 0; e < static_cast<uint64_t>(layer.expertsPerLayer); ++e) {
      const uint64_t blob = plan_support::multiply(e, layer.expertStride, "expert blob offset");
      for (const PerExpertTensorSlice& slice : layer.subTensors) {
        const uint64_t source =
            add(slice.sourceTensor.absoluteOffset,
                plan_support::multiply(e, slice.sourceOffsetPerExpert, "expert source offset"),
                "expert source offset");
        out.scalarCopies.push_back({shards.of(slice.sourceTensor.shardPath), source,
                                    slice.sizeInExpertBlob, layerPath,
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
  PathTable shards;
  const SharedPath weightsPath(weightsFilePath);
  FingerprintWriter digest;
  digest.string(kVisionPlanDomain);
  digest.integer(visionPlan.entries.size());
  digest.integer(visionPlan.sourcePayloadBytes);
  digest.integer(visionPlan.weightsFileSize);
  for (const VisionPackPlan::Entry& entry : visionPlan.entries) {
    const SourceTensor& s = entry.source;
    out.scalarCopies.push_back(
        {shards.of(s.shardPath), s.absoluteOffset, s.sizeBytes, weightsPath, entry.fileOffset});
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
  requireCopyCount(copies.size());

  uint64_t pieceCount = 0;
  for (const RangeCopy& copy : copies) {
    if (copy.size == 0) continue;
    pieceCount = add(pieceCount, (copy.size - 1) / chunk + 1, "piece count");
    if (pieceCount > kMaxCopyPieces) {
      throwConfigurationInvalid("rangeChunkBytes " + std::to_string(chunk) +
                                " cuts the copies into more than " +
                                std::to_string(kMaxCopyPieces) + " pieces");
    }
  }

  // A piece is chunk `chunk` of copy `copy`: 8 bytes each, since a large
  // model has over a hundred thousand of them. Only the finished ranges hold
  // (shared) path handles.
  struct Piece {
    uint32_t copy;
    uint32_t chunk;  // below kMaxCopyPieces
  };
  const auto sourceOf = [&](const Piece& p) {
    return copies[p.copy].sourceOffset + uint64_t{p.chunk} * chunk;
  };
  const auto destinationOf = [&](const Piece& p) {
    return copies[p.copy].destinationOffset + uint64_t{p.chunk} * chunk;
  };
  const auto sizeOf = [&](const Piece& p) {
    return std::min(chunk, copies[p.copy].size - uint64_t{p.chunk} * chunk);
  };
  std::vector<Piece> pieces;
  pieces.reserve(pieceCount);
  for (uint32_t i = 0; i < copies.size(); ++i) {
    const RangeCopy& copy = copies[i];
    if (copy.size == 0) continue;
    uint64_t end;
    if (__builtin_add_overflow(copy.sourceOffset, copy.size, &end)) {
      throwConfigurationInvalid("source range overflows " + copy.shardID);
    }
    if (__builtin_add_overflow(copy.destinationOffset, copy.size, &end)) {
      throwConfigurationInvalid("destination range overflows " + copy.destinationPath);
    }
    const uint64_t chunks = (copy.size - 1) / chunk + 1;
    for (uint64_t k = 0; k < chunks; ++k) pieces.push_back({i, static_cast<uint32_t>(k)});
  }
  const std::vector<uint32_t> shardRank =
      stringRanks(copies.size(), [&](size_t i) -> const std::string& { return copies[i].shardID; });
  const std::vector<uint32_t> pathRank = stringRanks(
      copies.size(), [&](size_t i) -> const std::string& { return copies[i].destinationPath; });
  std::stable_sort(pieces.begin(), pieces.end(), [&](const Piece& a, const Piece& b) {
    return std::make_tuple(shardRank[a.copy], sourceOf(a)) <
           std::make_tuple(shardRank[b.copy], sourceOf(b));
  });

  std::vector<CoalescedRangeCopy> ranges;
  std::vector<Piece> members;
  uint64_t start = 0;
  uint64_t end = 0;
  const auto close = [&] {
    std::stable_sort(members.begin(), members.end(), [&](const Piece& a, const Piece& b) {
      return std::make_tuple(pathRank[a.copy], destinationOf(a), sourceOf(a)) <
             std::make_tuple(pathRank[b.copy], destinationOf(b), sourceOf(b));
    });
    char id[32];
    std::snprintf(id, sizeof id, "range-%08llu", static_cast<unsigned long long>(ranges.size()));
    CoalescedRangeCopy range;
    range.id = id;
    range.shardID = copies[members.front().copy].shardID.str();
    range.sourceOffset = start;
    range.size = end - start;
    range.destinations.reserve(members.size());
    for (const Piece& p : members) {
      const RangeCopy& copy = copies[p.copy];
      range.destinations.push_back(
          {copy.shardID, sourceOf(p), sizeOf(p), copy.destinationPath, destinationOf(p)});
    }
    ranges.push_back(std::move(range));
    members.clear();
  };
  for (const Piece& piece : pieces) {
    const uint64_t pieceStart = sourceOf(piece);
    const uint64_t pieceEnd = pieceStart + sizeOf(piece);
    if (!members.empty() && shardRank[piece.copy] == shardRank[members.front().copy] &&
        std::max(end, pieceEnd) - start <= chunk) {
      end = std::max(end, pieceEnd);
      members.push_back(piece);
      continue;
    }
    if (!members.empty()) close();
    start = pieceStart;
    end = pieceEnd;
    members.push_back(piece);
  }
  if (!members.empty()) close();
  return ranges;
}

std::string relativeDestination(const std::string& destinationPath, const std::string& outputRoot) {
  std::string root = outputRoot;
  if (!root.empty() && root.back() == '/') root.pop_back();
  if (root.empty() || root.back() != '/') root += '/';
  const std::string shown = root.substr(0, root.size() - 1);
  if (destinationPath.compare(0, root.size(), root) != 0) {
    throwConfigurationInvalid("destination " + destinationPath + " is outside partial output " +
                              shown);
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
  if (!valid) throwConfigurationInvalid("invalid relative destination path " + remainder);
  return remainder;
}

}  // namespace RangeCopyPlanner
