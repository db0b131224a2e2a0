// Synthetic source checkpoints in the layout of MLX exports, for tests and
// benchmarks: safetensors shards with real headers, model.safetensors.index.json,
// config.json in the family's dialect with its quantization block, tokenizer
// side files and, for Gemma 4, a vision tower with processor_config.json.
//
// Tensor names, dtypes and shapes follow the real exports of each family at a
// chosen geometry. Quantized weights are MLX affine: a U32 weight of
// [rows, cols * bits / 32] with BF16 .scales and .biases of [rows, cols / 64];
// routed experts are stacked as [experts, rows, packed columns].
//
// Tensor bytes are a pure function of (seed, tensor name, offset in the
// tensor), see fillTensorData, so a checkpoint of any size can be served from
// its headers alone: GeneratedCheckpoint synthesises every file on demand and
// writeCheckpointDirectory writes exactly those bytes to disk. The seed
// changes tensor data only; headers, index and config depend on the geometry.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tools/checkpoint_files.h"

enum class CheckpointFamily { gemma4, qwen3_5_moe, lfm2moe, brask };

// "gemma4", "qwen3_5_moe", "lfm2moe" or "brask".
std::string_view checkpointFamilyName(CheckpointFamily family);
std::optional<CheckpointFamily> checkpointFamilyFromName(std::string_view name);

// Gemma 4 only. `full` is the complete tower of the real checkpoint: 358
// tensors ("vision_tower." and "embed_vision.") of 1,140,925,536 bytes.
enum class VisionTower { none, full };

// Every quantized weight uses group size 64 and mode "affine"; the base bit
// width is 4. Widths that are the input of a quantized projection (hidden
// size, intermediate sizes, heads * head dim, ...) must be multiples of 64.
struct CheckpointOptions {
  CheckpointFamily family = CheckpointFamily::gemma4;
  uint64_t seed = 1;

  int64_t numLayers = 0;
  int64_t numExperts = 0;
  int64_t topKExperts = 0;
  int64_t hiddenSize = 0;
  // Dense MLP width: gemma4 (every layer), lfm2moe (the leading dense
  // layers), brask (its mlp_only layers 0 and 1). Unused by qwen3_5_moe.
  int64_t intermediateSize = 0;
  int64_t moeIntermediateSize = 0;           // one routed expert
  int64_t sharedExpertIntermediateSize = 0;  // qwen3_5_moe, brask
  int64_t numHeads = 0;
  int64_t numKVHeads = 0;
  int64_t headDim = 0;         // lfm2moe derives it: hiddenSize / numHeads
  int64_t numFullKVHeads = 0;  // gemma4 full-attention layers
  int64_t fullHeadDim = 0;     // gemma4 full-attention layers
  int64_t vocabSize = 0;
  int64_t slidingWindow = 0;      // gemma4
  int64_t linearNumKeyHeads = 0;  // qwen3_5_moe linear attention
  int64_t linearNumValueHeads = 0;
  int64_t linearKeyHeadDim = 0;
  int64_t linearValueHeadDim = 0;
  int64_t convKernelSize = 0;  // qwen3_5_moe linear_conv_kernel_dim, lfm2moe conv_L_cache
  int64_t numDenseLayers = 0;  // lfm2moe leading dense layers

  VisionTower vision = VisionTower::none;  // gemma4 only
  bool audioTower = false;                 // gemma4 only: two small audio_tower tensors
  // mlx_export.embedding_bits: the embedding's bit width (brask: always 8).
  std::optional<int64_t> embeddingBits;
  // Per-module bit widths (module name = weight name without ".weight"),
  // written to the quantization block and honoured by the tensor shapes. They
  // come on top of the family's own overrides (8-bit routers).
  std::map<std::string, int64_t> bitsOverrides;
  // Number of shards; 0 picks as many as MLX's 5 GiB shard limit needs.
  int64_t shardCount = 3;
};

// A few MiB per family, every tensor kind of the family present. Brask's
// config.json always states the pinned Brask architecture (its reader holds
// every brask config to it), so a small brask checkpoint has small tensors
// under the pinned config: a planning and transfer fixture, not a model.
CheckpointOptions smallCheckpointOptions(CheckpointFamily family);
// The geometry of the family's real checkpoint (tens of GB; serve it
// generated or write it with headersOnly).
CheckpointOptions fullCheckpointOptions(CheckpointFamily family);

// Fills `out` with bytes [offset, offset + out.size()) of the named tensor's
// data. Byte o of a tensor is byte (o % 8), little-endian, of word(o / 8),
// where word(i) is output i of splitmix64 seeded with
// key = mix(seed ^ fnv1a64(name)): word(i) = mix(key + (i + 1) * 0x9E3779B97F4A7C15)
// and mix is the splitmix64 finaliser. Offsets count from the tensor's first
// byte, so the data does not depend on where the tensor is stored.
void fillTensorData(uint64_t seed, std::string_view tensorName, uint64_t offset,
                    std::span<uint8_t> out);

// One entry of a shard header.
struct GeneratedTensor {
  std::string name;
  std::string dtype;  // as written in the header: "U32", "BF16" or "F32"
  std::vector<uint64_t> shape;
  uint64_t sizeBytes = 0;
  uint64_t fileOffset = 0;  // absolute offset in the shard file
};

struct GeneratedShard {
  std::string fileName;  // model-0000k-of-0000n.safetensors
  // The 8-byte little-endian length followed by the JSON header, padded
  // with blanks so that the data area starts at a multiple of 8.
  std::string header;
  std::vector<GeneratedTensor> tensors;  // in file order, back to back after the header
  uint64_t fileSize = 0;
};

// A checkpoint synthesised from its options. JSON side files are held in
// memory; shard headers are built at construction and tensor data is
// computed on each read. Immutable after construction, so reads from several
// threads are safe.
class GeneratedCheckpoint final : public CheckpointFiles {
 public:
  // Throws std::invalid_argument when the options describe no valid
  // checkpoint (a width that is not a multiple of 64, a vision tower outside
  // gemma4, ...).
  explicit GeneratedCheckpoint(const CheckpointOptions& options);

  std::vector<std::string> names() const override;
  std::optional<uint64_t> size(const std::string& name) const override;
  void read(const std::string& name, uint64_t offset, std::span<uint8_t> out) const override;

  const CheckpointOptions& options() const { return options_; }
  const std::vector<GeneratedShard>& shards() const { return shards_; }
  // config.json, model.safetensors.index.json, the tokenizer files and, for
  // a gemma4 vision tower, processor_config.json.
  const std::map<std::string, std::string>& sideFiles() const { return sideFiles_; }
  // The index's total_size: the sum of every tensor's byte size.
  uint64_t totalTensorBytes() const { return totalTensorBytes_; }

 private:
  CheckpointOptions options_;
  std::vector<GeneratedShard> shards_;
  std::map<std::string, size_t> shardByName_;
  std::map<std::string, std::string> sideFiles_;
  uint64_t totalTensorBytes_ = 0;
};

// Writes every file of `checkpoint` into `directory`, which is created with
// its parents when missing and must be empty otherwise; the files are
// byte-identical to what `checkpoint` serves. With headersOnly, each shard
// gets its real header and a hole of the data area's size instead of the
// data: such a directory is for planning only and must never be served,
// since its tensor bytes read as zeros. Throws RepackError for file-system
// failures and std::runtime_error for a non-empty directory.
void writeCheckpointDirectory(const GeneratedCheckpoint& checkpoint, const std::string& directory,
                              bool headersOnly);

// The generated checkpoints behind the catalogue rows whose pins belong to
// this project: "varnel15" (a small qwen3_5_moe checkpoint off the Qwen
// baseline) and "brask" (the full pinned Brask geometry, about 22.5 GB). The
// catalogue pins the SHA-256 of their model.safetensors.index.json.
namespace StandIn {
std::vector<std::string> names();
std::optional<CheckpointOptions> options(std::string_view name);
// Nothing for an unknown name.
std::unique_ptr<GeneratedCheckpoint> checkpoint(std::string_view name);
}  // namespace StandIn
