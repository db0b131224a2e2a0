#include "tools/checkpoint_generator.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "engine/io/posix.h"
#include "tools/checkpoint_generator_families.h"

namespace {

using nlohmann::json;

// MLX exports split shards at 5 GiB.
constexpr uint64_t kMlxShardLimitBytes = 5ull << 30;
constexpr uint64_t kGolden = 0x9E3779B97F4A7C15ull;

uint64_t mix(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

uint64_t fnv1a64(std::string_view text) {
  uint64_t h = 0xCBF29CE484222325ull;
  for (unsigned char c : text) h = (h ^ c) * 0x100000001B3ull;
  return h;
}

uint64_t elementBytes(const std::string& dtype) {
  if (dtype == "U32" || dtype == "F32") return 4;
  if (dtype == "BF16") return 2;
  throw std::logic_error("unexpected dtype " + dtype);
}

uint64_t checkedMultiply(uint64_t a, uint64_t b, const std::string& what) {
  uint64_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) throw std::invalid_argument(what + " is too large");
  return product;
}

uint64_t checkedAdd(uint64_t a, uint64_t b, const std::string& what) {
  uint64_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) throw std::invalid_argument(what + " is too large");
  return sum;
}

std::string shardFileName(size_t number, size_t count) {
  char name[64];
  std::snprintf(name, sizeof name, "model-%05zu-of-%05zu.safetensors", number, count);
  return name;
}

// Lays the tensors (in order) out after a header that names them all; the
// data area starts at a multiple of 8, as the header is padded with blanks.
GeneratedShard buildShard(std::string fileName, std::vector<GeneratedTensor> tensors) {
  json header = json::object();
  header["__metadata__"] = {{"format", "mlx"}};
  uint64_t dataEnd = 0;
  for (const GeneratedTensor& t : tensors) {
    header[t.name] = {
        {"dtype", t.dtype}, {"shape", t.shape}, {"data_offsets", {dataEnd, dataEnd + t.sizeBytes}}};
    dataEnd += t.sizeBytes;
  }
  std::string text = header.dump();
  text.append((8 - text.size() % 8) % 8, ' ');

  GeneratedShard shard;
  shard.fileName = std::move(fileName);
  uint64_t length = text.size();
  for (int i = 0; i < 8; ++i, length >>= 8)
    shard.header.push_back(static_cast<char>(length & 0xFF));
  shard.header += text;
  uint64_t offset = shard.header.size();
  for (GeneratedTensor& t : tensors) {
    t.fileOffset = offset;
    offset += t.sizeBytes;
  }
  shard.tensors = std::move(tensors);
  shard.fileSize = offset;
  return shard;
}

}  // namespace

std::string_view checkpointFamilyName(CheckpointFamily family) {
  switch (family) {
    case CheckpointFamily::gemma4:
      return "gemma4";
    case CheckpointFamily::qwen3_5_moe:
      return "qwen3_5_moe";
    case CheckpointFamily::lfm2moe:
      return "lfm2moe";
    case CheckpointFamily::brask:
      return "brask";
  }
  return "";
}

std::optional<CheckpointFamily> checkpointFamilyFromName(std::string_view name) {
  for (CheckpointFamily f : {CheckpointFamily::gemma4, CheckpointFamily::qwen3_5_moe,
                             CheckpointFamily::lfm2moe, CheckpointFamily::brask}) {
    if (checkpointFamilyName(f) == name) return f;
  }
  return std::nullopt;
}

CheckpointOptions smallCheckpointOptions(CheckpointFamily family) {
  CheckpointOptions o;
  o.family = family;
  o.shardCount = 3;
  switch (family) {
    case CheckpointFamily::gemma4:
      // Six layers: five sliding-window layers and one full-attention layer.
      o.numLayers = 6;
      o.numExperts = 8;
      o.topKExperts = 2;
      o.hiddenSize = 256;
      o.intermediateSize = 384;
      o.moeIntermediateSize = 128;
      o.numHeads = 4;
      o.numKVHeads = 2;
      o.headDim = 64;
      o.numFullKVHeads = 1;
      o.fullHeadDim = 128;
      o.vocabSize = 4096;
      o.slidingWindow = 512;
      break;
    case CheckpointFamily::qwen3_5_moe:
      // Three linear-attention layers and one full-attention layer.
      o.numLayers = 4;
      o.numExperts = 8;
      o.topKExperts = 2;
      o.hiddenSize = 256;
      o.moeIntermediateSize = 128;
      o.sharedExpertIntermediateSize = 128;
      o.numHeads = 4;
      o.numKVHeads = 2;
      o.headDim = 64;
      o.vocabSize = 4096;
      o.linearNumKeyHeads = 2;
      o.linearNumValueHeads = 4;
      o.linearKeyHeadDim = 64;
      o.linearValueHeadDim = 64;
      o.convKernelSize = 4;
      break;
    case CheckpointFamily::lfm2moe:
      // Two dense layers, then two MoE layers; attention at layer 2.
      o.numLayers = 4;
      o.numDenseLayers = 2;
      o.numExperts = 8;
      o.topKExperts = 2;
      o.hiddenSize = 256;
      o.intermediateSize = 512;
      o.moeIntermediateSize = 128;
      o.numHeads = 4;
      o.numKVHeads = 2;
      o.headDim = 64;
      o.vocabSize = 4096;
      o.convKernelSize = 3;
      break;
    case CheckpointFamily::brask:
      // The two dense layers and two MoE layers of the pinned 256 experts.
      o.numLayers = 4;
      o.numExperts = 256;
      o.topKExperts = 6;
      o.hiddenSize = 64;
      o.intermediateSize = 128;
      o.moeIntermediateSize = 64;
      o.sharedExpertIntermediateSize = 64;
      o.numHeads = 2;
      o.numKVHeads = 1;
      o.headDim = 32;
      o.vocabSize = 1024;
      break;
  }
  return o;
}

CheckpointOptions fullCheckpointOptions(CheckpointFamily family) {
  CheckpointOptions o;
  o.family = family;
  o.shardCount = 0;
  switch (family) {
    case CheckpointFamily::gemma4:  // Gemma 4 26B-A4B
      o.numLayers = 30;
      o.numExperts = 128;
      o.topKExperts = 8;
      o.hiddenSize = 2816;
      o.intermediateSize = 2112;
      o.moeIntermediateSize = 704;
      o.numHeads = 16;
      o.numKVHeads = 8;
      o.headDim = 256;
      o.numFullKVHeads = 2;
      o.fullHeadDim = 512;
      o.vocabSize = 262144;
      o.slidingWindow = 1024;
      break;
    case CheckpointFamily::qwen3_5_moe:  // Qwen3.6 35B-A3B
      o.numLayers = 40;
      o.numExperts = 256;
      o.topKExperts = 8;
      o.hiddenSize = 2048;
      o.moeIntermediateSize = 512;
      o.sharedExpertIntermediateSize = 512;
      o.numHeads = 16;
      o.numKVHeads = 2;
      o.headDim = 256;
      o.vocabSize = 248320;
      o.linearNumKeyHeads = 16;
      o.linearNumValueHeads = 32;
      o.linearKeyHeadDim = 128;
      o.linearValueHeadDim = 128;
      o.convKernelSize = 4;
      break;
    case CheckpointFamily::lfm2moe:  // LFM2.5 24B-A2B
      o.numLayers = 40;
      o.numDenseLayers = 2;
      o.numExperts = 64;
      o.topKExperts = 4;
      o.hiddenSize = 2048;
      o.intermediateSize = 11776;
      o.moeIntermediateSize = 1536;
      o.numHeads = 32;
      o.numKVHeads = 8;
      o.headDim = 64;
      o.vocabSize = 128000;
      o.convKernelSize = 3;
      break;
    case CheckpointFamily::brask:  // Brask 40B-A2.5B
      o.numLayers = 49;
      o.numExperts = 256;
      o.topKExperts = 6;
      o.hiddenSize = 2048;
      o.intermediateSize = 6144;
      o.moeIntermediateSize = 512;
      o.sharedExpertIntermediateSize = 1024;
      o.numHeads = 32;
      o.numKVHeads = 4;
      o.headDim = 128;
      o.vocabSize = 150144;
      o.embeddingBits = 8;
      break;
  }
  return o;
}

void fillTensorData(uint64_t seed, std::string_view tensorName, uint64_t offset,
                    std::span<uint8_t> out) {
  const uint64_t key = mix(seed ^ fnv1a64(tensorName));
  size_t done = 0;
  while (done < out.size()) {
    const uint64_t word = mix(key + (offset / 8 + 1) * kGolden);
    for (uint64_t b = offset % 8; b < 8 && done < out.size(); ++b, ++done, ++offset) {
      out[done] = static_cast<uint8_t>(word >> (8 * b));
    }
  }
}

GeneratedCheckpoint::GeneratedCheckpoint(const CheckpointOptions& options) : options_(options) {
  if (options.shardCount < 0) throw std::invalid_argument("the shard count must not be negative");
  checkpoint_gen::FamilyContent content = checkpoint_gen::describeFamily(options);
  std::sort(content.tensors.begin(), content.tensors.end(),
            [](const auto& a, const auto& b) { return a.name < b.name; });

  std::vector<GeneratedTensor> tensors;
  for (checkpoint_gen::TensorDecl& decl : content.tensors) {
    if (!tensors.empty() && tensors.back().name == decl.name) {
      throw std::logic_error("tensor " + decl.name + " generated twice");
    }
    uint64_t bytes = elementBytes(decl.dtype);
    for (uint64_t extent : decl.shape) bytes = checkedMultiply(bytes, extent, decl.name);
    totalTensorBytes_ = checkedAdd(totalTensorBytes_, bytes, "the checkpoint");
    tensors.push_back(
        {std::move(decl.name), std::move(decl.dtype), std::move(decl.shape), bytes, 0});
  }

  // Each tensor goes to the shard its starting byte falls into when the
  // total is cut into equal parts; a part that no tensor starts in is dropped.
  const uint64_t wanted =
      options.shardCount > 0 ? static_cast<uint64_t>(options.shardCount)
                             : std::max<uint64_t>(1, (totalTensorBytes_ + kMlxShardLimitBytes - 1) /
                                                         kMlxShardLimitBytes);
  const uint64_t part = std::max<uint64_t>(1, (totalTensorBytes_ + wanted - 1) / wanted);
  std::vector<std::vector<GeneratedTensor>> parts(wanted);
  uint64_t start = 0;
  for (GeneratedTensor& t : tensors) {
    const uint64_t size = t.sizeBytes;
    parts[std::min(wanted - 1, start / part)].push_back(std::move(t));
    start += size;
  }
  std::erase_if(parts, [](const auto& p) { return p.empty(); });

  json weightMap = json::object();
  for (size_t i = 0; i < parts.size(); ++i) {
    shards_.push_back(buildShard(shardFileName(i + 1, parts.size()), std::move(parts[i])));
    shardByName_[shards_.back().fileName] = i;
    for (const GeneratedTensor& t : shards_.back().tensors)
      weightMap[t.name] = shards_.back().fileName;
  }

  const json index = {{"metadata", {{"total_size", totalTensorBytes_}}}, {"weight_map", weightMap}};
  sideFiles_ = checkpoint_gen::tokenizerFiles(options.family);
  sideFiles_["config.json"] = content.config.dump(4);
  sideFiles_["model.safetensors.index.json"] = index.dump(4);
  if (options.vision == VisionTower::full) {
    sideFiles_["processor_config.json"] = checkpoint_gen::gemma4ProcessorConfig();
  }
}

std::vector<std::string> GeneratedCheckpoint::names() const {
  std::vector<std::string> all;
  for (const auto& [name, text] : sideFiles_) all.push_back(name);
  for (const GeneratedShard& shard : shards_) all.push_back(shard.fileName);
  std::sort(all.begin(), all.end());
  return all;
}

std::optional<uint64_t> GeneratedCheckpoint::size(const std::string& name) const {
  if (const auto side = sideFiles_.find(name); side != sideFiles_.end()) return side->second.size();
  if (const auto shard = shardByName_.find(name); shard != shardByName_.end()) {
    return shards_[shard->second].fileSize;
  }
  return std::nullopt;
}

void GeneratedCheckpoint::read(const std::string& name, uint64_t offset,
                               std::span<uint8_t> out) const {
  const std::optional<uint64_t> fileSize = size(name);
  if (!fileSize) throw std::runtime_error("no such file: " + name);
  if (offset > *fileSize || out.size() > *fileSize - offset) {
    throw std::runtime_error("read of " + std::to_string(out.size()) + " bytes at " +
                             std::to_string(offset) + " lies beyond the end of " + name + " (" +
                             std::to_string(*fileSize) + " bytes)");
  }
  if (out.empty()) return;
  if (const auto side = sideFiles_.find(name); side != sideFiles_.end()) {
    std::memcpy(out.data(), side->second.data() + offset, out.size());
    return;
  }

  const GeneratedShard& shard = shards_[shardByName_.at(name)];
  size_t done = 0;
  if (offset < shard.header.size()) {
    done = static_cast<size_t>(std::min<uint64_t>(out.size(), shard.header.size() - offset));
    std::memcpy(out.data(), shard.header.data() + offset, done);
  }
  uint64_t position = offset + done;
  // The tensors cover the data area back to back, so the first one that
  // ends after `position` holds it.
  auto tensor = std::upper_bound(
      shard.tensors.begin(), shard.tensors.end(), position,
      [](uint64_t p, const GeneratedTensor& t) { return p < t.fileOffset + t.sizeBytes; });
  while (done < out.size()) {
    const uint64_t within = position - tensor->fileOffset;
    const size_t n =
        static_cast<size_t>(std::min<uint64_t>(out.size() - done, tensor->sizeBytes - within));
    fillTensorData(options_.seed, tensor->name, within, out.subspan(done, n));
    done += n;
    position += n;
    ++tensor;
  }
}

void writeCheckpointDirectory(const GeneratedCheckpoint& checkpoint, const std::string& directory,
                              bool headersOnly) {
  Posix::mkdirP(directory);
  if (!std::filesystem::is_empty(directory)) {
    throw std::runtime_error("checkpoint directory " + directory + " is not empty");
  }
  std::map<std::string, uint64_t> headerBytes;
  for (const GeneratedShard& shard : checkpoint.shards()) {
    headerBytes[shard.fileName] = shard.header.size();
  }
  std::vector<uint8_t> buffer(8 << 20);
  for (const std::string& name : checkpoint.names()) {
    const std::string path = directory + "/" + name;
    const uint64_t size = *checkpoint.size(name);
    const auto header = headerBytes.find(name);
    const uint64_t written = headersOnly && header != headerBytes.end() ? header->second : size;
    const UniqueFd fd = Posix::openCreateRW(path);
    for (uint64_t offset = 0; offset < written;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(buffer.size(), written - offset));
      checkpoint.read(name, offset, {buffer.data(), n});
      Posix::pwriteAll(fd.get(), path, buffer.data(), static_cast<int64_t>(n), offset);
      offset += n;
    }
    // The data area of a headers-only shard stays a hole.
    if (written < size) Posix::ftruncate(fd.get(), path, size);
  }
}

namespace StandIn {

std::vector<std::string> names() { return {"varnel15", "brask"}; }

std::optional<CheckpointOptions> options(std::string_view name) {
  if (name == "varnel15") {
    // A qwen3_5_moe checkpoint narrower and shallower than the Qwen baseline
    // (which is therefore not applied), with the family's 8-bit routers and
    // shared-expert gates, one 8-bit routed-expert projection and a 6-bit
    // output head.
    CheckpointOptions o = smallCheckpointOptions(CheckpointFamily::qwen3_5_moe);
    o.seed = 15;
    o.numLayers = 8;
    o.bitsOverrides = {{"language_model.model.layers.0.mlp.switch_mlp.down_proj", 8},
                       {"language_model.lm_head", 6}};
    return o;
  }
  if (name == "brask") {
    CheckpointOptions o = fullCheckpointOptions(CheckpointFamily::brask);
    o.seed = 40;
    return o;
  }
  return std::nullopt;
}

std::unique_ptr<GeneratedCheckpoint> checkpoint(std::string_view name) {
  const std::optional<CheckpointOptions> o = options(name);
  if (!o) return nullptr;
  return std::make_unique<GeneratedCheckpoint>(*o);
}

}  // namespace StandIn
