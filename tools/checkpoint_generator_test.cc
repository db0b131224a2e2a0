#include "tools/checkpoint_generator.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "engine/common/catalog.h"
#include "engine/io/sha256_stream.h"
#include "engine/plan/repack_plan.h"
#include "engine/plan/vision_pack_plan.h"
#include "engine/source/arch_info.h"
#include "engine/source/index_loader.h"
#include "engine/source/safetensors.h"
#include "tests/test_util.h"

namespace {

using nlohmann::json;

constexpr const char* kIndex = "model.safetensors.index.json";
constexpr std::array kFamilies = {CheckpointFamily::gemma4, CheckpointFamily::qwen3_5_moe,
                                  CheckpointFamily::lfm2moe, CheckpointFamily::brask};

std::string readRange(const CheckpointFiles& files, const std::string& name, uint64_t offset,
                      uint64_t length) {
  std::string bytes(length, '\0');
  files.read(name, offset, {reinterpret_cast<uint8_t*>(bytes.data()), bytes.size()});
  return bytes;
}

std::string readAll(const CheckpointFiles& files, const std::string& name) {
  return readRange(files, name, 0, *files.size(name));
}

std::string sha256(const std::string& bytes) {
  Sha256Stream hasher;
  hasher.update(bytes.data(), bytes.size());
  return hasher.finalizeHex();
}

std::string tensorBytes(uint64_t seed, const std::string& name, uint64_t offset, uint64_t length) {
  std::string bytes(length, '\0');
  fillTensorData(seed, name, offset, {reinterpret_cast<uint8_t*>(bytes.data()), bytes.size()});
  return bytes;
}

std::vector<std::string> listDirectory(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(directory)) {
    names.push_back(std::filesystem::relative(entry.path(), directory).generic_string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The first bytes of a file, without reading the (possibly huge) rest.
std::string readFilePrefix(const std::string& path, uint64_t length) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes(length, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(length));
  bytes.resize(static_cast<size_t>(in.gcount()));
  return bytes;
}

std::map<std::string, SourceTensor> headersOf(const std::string& directory,
                                              const GeneratedCheckpoint& checkpoint) {
  std::map<std::string, SourceTensor> tensors;
  for (const GeneratedShard& shard : checkpoint.shards()) {
    for (SourceTensor& t : Safetensors::readHeader(directory + "/" + shard.fileName).tensors) {
      tensors.emplace(t.name, std::move(t));
    }
  }
  return tensors;
}

// The tensor kinds the planner orders or routes, per family: every one of
// them must occur in a generated checkpoint.
std::vector<std::string> tensorKinds(CheckpointFamily family) {
  const std::vector<std::string> attention = {
      ".self_attn.q_proj.weight", ".self_attn.k_proj.weight", ".self_attn.v_proj.weight",
      ".self_attn.o_proj.weight", ".self_attn.q_norm.weight", ".self_attn.k_norm.weight"};
  std::vector<std::string> kinds;
  switch (family) {
    case CheckpointFamily::gemma4:
      kinds = {".router.proj.weight",
               ".router.scale",
               ".router.per_expert_scale",
               ".mlp.gate_proj.weight",
               ".mlp.up_proj.weight",
               ".mlp.down_proj.weight",
               ".input_layernorm.weight",
               ".post_attention_layernorm.weight",
               ".pre_feedforward_layernorm.weight",
               ".pre_feedforward_layernorm_2.weight",
               ".post_feedforward_layernorm.weight",
               ".post_feedforward_layernorm_1.weight",
               ".post_feedforward_layernorm_2.weight",
               ".layer_scalar",
               ".experts.switch_glu.gate_proj.weight",
               ".experts.switch_glu.up_proj.weight",
               ".experts.switch_glu.down_proj.weight",
               "language_model.model.embed_tokens.weight",
               "language_model.model.norm.weight"};
      kinds.insert(kinds.end(), attention.begin(), attention.end());
      break;
    case CheckpointFamily::qwen3_5_moe:
      kinds = {".linear_attn.in_proj_qkv.weight",
               ".linear_attn.in_proj_z.weight",
               ".linear_attn.in_proj_a.weight",
               ".linear_attn.in_proj_b.weight",
               ".linear_attn.conv1d.weight",
               ".linear_attn.A_log",
               ".linear_attn.dt_bias",
               ".linear_attn.norm.weight",
               ".linear_attn.out_proj.weight",
               ".mlp.gate.weight",
               ".mlp.shared_expert_gate.weight",
               ".mlp.shared_expert.gate_proj.weight",
               ".mlp.shared_expert.up_proj.weight",
               ".mlp.shared_expert.down_proj.weight",
               ".input_layernorm.weight",
               ".post_attention_layernorm.weight",
               ".mlp.switch_mlp.gate_proj.weight",
               ".mlp.switch_mlp.up_proj.weight",
               ".mlp.switch_mlp.down_proj.weight",
               "language_model.model.embed_tokens.weight",
               "language_model.model.norm.weight",
               "language_model.lm_head.weight"};
      kinds.insert(kinds.end(), attention.begin(), attention.end());
      break;
    case CheckpointFamily::lfm2moe:
      kinds = {".conv.in_proj.weight",
               ".conv.conv.weight",
               ".conv.out_proj.weight",
               ".self_attn.q_proj.weight",
               ".self_attn.k_proj.weight",
               ".self_attn.v_proj.weight",
               ".self_attn.out_proj.weight",
               ".self_attn.q_layernorm.weight",
               ".self_attn.k_layernorm.weight",
               ".feed_forward.gate.weight",
               ".feed_forward.expert_bias",
               ".feed_forward.gate_proj.weight",
               ".feed_forward.up_proj.weight",
               ".feed_forward.down_proj.weight",
               ".operator_norm.weight",
               ".ffn_norm.weight",
               ".feed_forward.switch_mlp.gate_proj.weight",
               ".feed_forward.switch_mlp.up_proj.weight",
               ".feed_forward.switch_mlp.down_proj.weight",
               "model.embed_tokens.weight",
               "model.embedding_norm.weight"};
      break;
    case CheckpointFamily::brask:
      kinds = {".self_attn.softmax_offset",
               ".mlp.shared_expert.gate_proj.weight",
               ".mlp.shared_expert.up_proj.weight",
               ".mlp.shared_expert.down_proj.weight",
               ".mlp.gate.weight",
               ".mlp.gate.expert_bias",
               ".mlp.gate_proj.weight",
               ".mlp.up_proj.weight",
               ".mlp.down_proj.weight",
               ".input_layernorm.weight",
               ".post_attention_layernorm.weight",
               ".mlp.switch_mlp.gate_proj.weight",
               ".mlp.switch_mlp.up_proj.weight",
               ".mlp.switch_mlp.down_proj.weight",
               "model.embed_tokens.weight",
               "model.norm.weight",
               "lm_head.weight"};
      kinds.insert(kinds.end(), attention.begin(), attention.end());
      break;
  }
  return kinds;
}

RepackModelFamily archFamily(CheckpointFamily family) {
  switch (family) {
    case CheckpointFamily::gemma4:
      return RepackModelFamily::gemma4;
    case CheckpointFamily::qwen3_5_moe:
      return RepackModelFamily::qwen36;
    case CheckpointFamily::lfm2moe:
      return RepackModelFamily::lfm2moe;
    case CheckpointFamily::brask:
      return RepackModelFamily::brask;
  }
  return RepackModelFamily::gemma4;
}

TEST(CheckpointGenerator, EveryFamilyLoadsThroughTheSourceReaders) {
  for (CheckpointFamily family : kFamilies) {
    SCOPED_TRACE(std::string(checkpointFamilyName(family)));
    const GeneratedCheckpoint checkpoint(smallCheckpointOptions(family));
    testutil::TempDir dir;
    writeCheckpointDirectory(checkpoint, dir.path(), false);

    const IndexLoader::SourceMetadata metadata = IndexLoader::load(dir.path());
    EXPECT_EQ(metadata.indexSha256Hex, sha256(checkpoint.sideFiles().at(kIndex)));
    EXPECT_EQ(metadata.baseBits, 4);
    EXPECT_EQ(metadata.baseGroupSize, 64);
    EXPECT_EQ(metadata.baseMode, "affine");
    EXPECT_EQ(checkpoint.shards().size(), 3u);
    std::set<std::string> shardNames;
    for (const GeneratedShard& shard : checkpoint.shards()) shardNames.insert(shard.fileName);
    EXPECT_EQ(std::set<std::string>(metadata.shardFilenames.begin(), metadata.shardFilenames.end()),
              shardNames);
    EXPECT_TRUE(std::any_of(metadata.bitsOverrides.begin(), metadata.bitsOverrides.end(),
                            [](const auto& o) { return o.second.bits == 8; }))
        << "the routers are 8-bit";

    const ArchInfo arch = ArchInfo::load(dir.file("config.json"));
    EXPECT_EQ(arch.family, archFamily(family));
    if (family != CheckpointFamily::brask) {
      EXPECT_EQ(arch.numLayers, checkpoint.options().numLayers);
      EXPECT_EQ(arch.numExperts, checkpoint.options().numExperts);
      EXPECT_EQ(arch.hiddenSize, checkpoint.options().hiddenSize);
    }

    // Every header entry reads back as generated, and the index maps it to
    // the shard that holds it.
    const std::map<std::string, SourceTensor> tensors = headersOf(dir.path(), checkpoint);
    EXPECT_EQ(tensors.size(), metadata.weightMap.size());
    uint64_t total = 0;
    for (const GeneratedShard& shard : checkpoint.shards()) {
      for (const GeneratedTensor& g : shard.tensors) {
        const SourceTensor& t = tensors.at(g.name);
        EXPECT_EQ(t.shape, g.shape) << g.name;
        EXPECT_EQ(t.absoluteOffset, g.fileOffset) << g.name;
        EXPECT_EQ(t.sizeBytes, g.sizeBytes) << g.name;
        EXPECT_EQ(metadata.weightMap.at(g.name), shard.fileName);
        total += g.sizeBytes;
      }
    }
    EXPECT_EQ(json::parse(checkpoint.sideFiles().at(kIndex))["metadata"]["total_size"], total);

    // Quantized weights agree with their companions at the bit width the
    // config states: packed columns * 32 / bits = groups * 64.
    for (const auto& [name, t] : tensors) {
      if (t.dtype != SourceTensor::Dtype::u32) continue;
      ASSERT_TRUE(name.ends_with(".weight")) << name;
      const std::string base = name.substr(0, name.size() - 7);
      const auto override = metadata.bitsOverrides.find(base);
      const int64_t bits =
          override == metadata.bitsOverrides.end() ? metadata.baseBits : override->second.bits;
      for (const char* companion : {".scales", ".biases"}) {
        const SourceTensor& c = tensors.at(base + companion);
        EXPECT_EQ(c.dtype, SourceTensor::Dtype::bf16);
        ASSERT_EQ(c.shape.size(), t.shape.size());
        EXPECT_TRUE(std::equal(t.shape.begin(), t.shape.end() - 1, c.shape.begin())) << name;
        EXPECT_EQ(t.shape.back() * 32, c.shape.back() * 64 * static_cast<uint64_t>(bits)) << name;
      }
    }

    for (const std::string& kind : tensorKinds(family)) {
      EXPECT_TRUE(std::any_of(tensors.begin(), tensors.end(), [&](const auto& t) {
        return t.first.find(kind) != std::string::npos;
      })) << kind;
    }
    EXPECT_LT(checkpoint.totalTensorBytes(), 8u << 20) << "a small checkpoint stays a few MiB";
    for (const char* side :
         {"tokenizer.json", "tokenizer_config.json", "special_tokens_map.json"}) {
      EXPECT_TRUE(json::accept(checkpoint.sideFiles().at(side))) << side;
    }
    EXPECT_TRUE(checkpoint.sideFiles().contains("chat_template.jinja"));
  }
}

TEST(CheckpointGenerator, DirectoryHoldsExactlyTheGeneratedFiles) {
  std::vector<CheckpointOptions> cases;
  for (CheckpointFamily family : kFamilies) cases.push_back(smallCheckpointOptions(family));
  cases.back().seed = 77;
  cases.push_back(*StandIn::options("varnel15"));
  CheckpointOptions gemmaWithAudio = smallCheckpointOptions(CheckpointFamily::gemma4);
  gemmaWithAudio.audioTower = true;
  cases.push_back(gemmaWithAudio);

  for (const CheckpointOptions& options : cases) {
    SCOPED_TRACE(std::string(checkpointFamilyName(options.family)));
    const GeneratedCheckpoint checkpoint(options);
    testutil::TempDir dir;
    writeCheckpointDirectory(checkpoint, dir.path(), false);
    ASSERT_EQ(listDirectory(dir.path()), checkpoint.names());
    for (const std::string& name : checkpoint.names()) {
      const std::string onDisk = testutil::readFile(dir.file(name));
      ASSERT_EQ(onDisk, readAll(checkpoint, name)) << name;
    }
    // Reads at any offset agree with the file: across the header's end and
    // across tensor boundaries.
    for (const GeneratedShard& shard : checkpoint.shards()) {
      const std::string onDisk = testutil::readFile(dir.file(shard.fileName));
      std::vector<std::pair<uint64_t, uint64_t>> ranges = {{shard.header.size() - 3, 11},
                                                           {shard.fileSize - 9, 9}};
      for (size_t i = 1; i < shard.tensors.size(); i += 7) {
        ranges.emplace_back(shard.tensors[i].fileOffset - 5, 13);
      }
      for (const auto& [offset, length] : ranges) {
        EXPECT_EQ(readRange(checkpoint, shard.fileName, offset, length),
                  onDisk.substr(offset, length))
            << shard.fileName << " at " << offset;
      }
    }
  }
}

TEST(CheckpointGenerator, ReadsOutsideAFileAreRefused) {
  const GeneratedCheckpoint checkpoint(smallCheckpointOptions(CheckpointFamily::lfm2moe));
  const std::string shard = checkpoint.shards()[0].fileName;
  const uint64_t size = *checkpoint.size(shard);
  EXPECT_EQ(readRange(checkpoint, shard, size, 0), "");
  EXPECT_NE(testutil::errorOf([&] { readRange(checkpoint, shard, size - 1, 2); }), "ok");
  EXPECT_NE(testutil::errorOf([&] { readRange(checkpoint, shard, UINT64_MAX, 1); }), "ok");
  EXPECT_EQ(testutil::errorOf([&] { readRange(checkpoint, "missing.json", 0, 1); }),
            "no such file: missing.json");
  EXPECT_FALSE(checkpoint.size("missing.json"));
  EXPECT_EQ(testutil::errorOf(
                [&] { writeCheckpointDirectory(checkpoint, testutil::TempDir().path(), false); }),
            "ok");
  testutil::TempDir used;
  testutil::writeFile(used.file("stale.safetensors"), "x");
  EXPECT_EQ(testutil::errorOf([&] { writeCheckpointDirectory(checkpoint, used.path(), false); }),
            "checkpoint directory " + used.path() + " is not empty");
}

TEST(CheckpointGenerator, SeedChangesTensorDataOnly) {
  CheckpointOptions options = smallCheckpointOptions(CheckpointFamily::qwen3_5_moe);
  const GeneratedCheckpoint first(options), again(options);
  options.seed = 2;
  const GeneratedCheckpoint reseeded(options);
  ASSERT_EQ(first.names(), reseeded.names());
  EXPECT_EQ(first.sideFiles(), reseeded.sideFiles());
  for (const std::string& name : first.names()) {
    EXPECT_EQ(readAll(first, name), readAll(again, name)) << name;
  }
  for (size_t i = 0; i < first.shards().size(); ++i) {
    const GeneratedShard& shard = first.shards()[i];
    EXPECT_EQ(shard.header, reseeded.shards()[i].header);
    for (const GeneratedTensor& t : shard.tensors) {
      EXPECT_NE(
          readRange(first, shard.fileName, t.fileOffset, std::min<uint64_t>(t.sizeBytes, 16)),
          readRange(reseeded, shard.fileName, t.fileOffset, std::min<uint64_t>(t.sizeBytes, 16)))
          << t.name;
    }
  }
  // Tensor bytes depend on the tensor's name and on the offset within it, not
  // on where the tensor is stored.
  const GeneratedTensor& t = first.shards()[1].tensors[2];
  EXPECT_EQ(readRange(first, first.shards()[1].fileName, t.fileOffset + 3, 21),
            tensorBytes(1, t.name, 3, 21));
  EXPECT_NE(tensorBytes(1, "a.weight", 0, 16), tensorBytes(1, "b.weight", 0, 16));
}

TEST(CheckpointGenerator, GemmaVisionTowerHasThePinnedCountAndSize) {
  CheckpointOptions options = smallCheckpointOptions(CheckpointFamily::gemma4);
  options.vision = VisionTower::full;
  options.audioTower = true;
  const GeneratedCheckpoint checkpoint(options);
  testutil::TempDir dir;
  writeCheckpointDirectory(checkpoint, dir.path(), true);

  const std::map<std::string, SourceTensor> tensors = headersOf(dir.path(), checkpoint);
  uint64_t visionTensors = 0, visionBytes = 0, audioTensors = 0;
  std::set<SourceTensor::Dtype> visionDtypes;
  for (const auto& [name, t] : tensors) {
    if (name.starts_with("vision_tower.") || name.starts_with("embed_vision.")) {
      ++visionTensors;
      visionBytes += t.sizeBytes;
      visionDtypes.insert(t.dtype);
    }
    if (name.starts_with("audio_tower.")) ++audioTensors;
  }
  EXPECT_EQ(visionTensors, 358u);
  EXPECT_EQ(visionBytes, 1140925536u);
  EXPECT_EQ(audioTensors, 2u);
  EXPECT_EQ(visionDtypes, (std::set{SourceTensor::Dtype::u32, SourceTensor::Dtype::bf16}));
  for (const char* name :
       {"vision_tower.patch_embedder.input_proj.weight",
        "vision_tower.patch_embedder.position_embedding_table",
        "vision_tower.encoder.layers.2.self_attn.q_proj.weight",
        "vision_tower.encoder.layers.26.mlp.down_proj.weight", "vision_tower.std_bias",
        "vision_tower.std_scale", "embed_vision.embedding_projection.scales"}) {
    EXPECT_TRUE(tensors.contains(name)) << name;
  }
  EXPECT_EQ(tensors.at("embed_vision.embedding_projection.weight").dtype, SourceTensor::Dtype::u32);

  const json config = json::parse(checkpoint.sideFiles().at("config.json"));
  EXPECT_EQ(config["vision_config"]["num_hidden_layers"], 27);
  EXPECT_TRUE(checkpoint.sideFiles().contains("processor_config.json"));
  EXPECT_FALSE(GeneratedCheckpoint(smallCheckpointOptions(CheckpointFamily::gemma4))
                   .sideFiles()
                   .contains("processor_config.json"));

  // Headers only: the 1.1 GB of tensor data is a hole.
  uint64_t allocated = 0, apparent = 0;
  for (const GeneratedShard& shard : checkpoint.shards()) {
    struct stat st {};
    ASSERT_EQ(::stat(dir.file(shard.fileName).c_str(), &st), 0);
    allocated += static_cast<uint64_t>(st.st_blocks) * 512;
    apparent += static_cast<uint64_t>(st.st_size);
    EXPECT_EQ(static_cast<uint64_t>(st.st_size), shard.fileSize);
    EXPECT_EQ(readFilePrefix(dir.file(shard.fileName), shard.header.size()), shard.header);
  }
  EXPECT_GT(apparent, 1140925536u);
  EXPECT_LT(allocated, 16u << 20);
}

TEST(CheckpointGenerator, StandInsMatchTheirCataloguePins) {
  EXPECT_EQ(StandIn::names(), (std::vector<std::string>{"varnel15", "brask"}));
  EXPECT_EQ(StandIn::checkpoint("qwen36"), nullptr);
  for (const std::string& name : StandIn::names()) {
    SCOPED_TRACE(name);
    const std::unique_ptr<GeneratedCheckpoint> checkpoint = StandIn::checkpoint(name);
    ASSERT_NE(checkpoint, nullptr);
    const SupportedModelSource row = *ModelCatalog::lookup(name);
    EXPECT_EQ(sha256(readAll(*checkpoint, kIndex)), row.sourceIndexSHA256);

    testutil::TempDir dir;
    testutil::writeFile(dir.file("config.json"), checkpoint->sideFiles().at("config.json"));
    const ArchInfo arch = ArchInfo::load(dir.file("config.json"));
    if (name == "varnel15") {
      EXPECT_EQ(arch.family, RepackModelFamily::qwen36);
      EXPECT_FALSE(arch.hiddenSize == 2048 && arch.numLayers == 40) << "off the Qwen baseline";
      EXPECT_GE(checkpoint->shards().size(), 3u);
      EXPECT_LT(checkpoint->totalTensorBytes(), 16u << 20);
      const json quantization =
          json::parse(checkpoint->sideFiles().at("config.json"))["quantization"];
      EXPECT_EQ(quantization["language_model.lm_head"]["bits"], 6);
      EXPECT_EQ(quantization["language_model.model.layers.0.mlp.switch_mlp.down_proj"]["bits"], 8);
    } else {
      EXPECT_EQ(arch.family, RepackModelFamily::brask);
      // Near the catalogue's estimate of what an install fetches.
      const double ratio = static_cast<double>(checkpoint->totalTensorBytes()) /
                           static_cast<double>(row.approximateDownloadBytes);
      EXPECT_GT(ratio, 0.99);
      EXPECT_LT(ratio, 1.01);
      EXPECT_EQ(checkpoint->shards().size(), 5u);
    }
  }
}

TEST(CheckpointGenerator, FullGeometriesMatchTheRealCheckpoints) {
  // The real checkpoint's catalogue row, and whether the family's pinned
  // baseline applies to the geometry (Gemma 4 has none).
  const std::vector<std::pair<CheckpointFamily, std::string>> rows = {
      {CheckpointFamily::gemma4, "gemma4"},
      {CheckpointFamily::qwen3_5_moe, "qwen36"},
      {CheckpointFamily::lfm2moe, "lfm25"},
      {CheckpointFamily::brask, "brask"}};
  for (const auto& [family, row] : rows) {
    SCOPED_TRACE(row);
    const GeneratedCheckpoint checkpoint(fullCheckpointOptions(family));
    testutil::TempDir dir;
    testutil::writeFile(dir.file("config.json"), checkpoint.sideFiles().at("config.json"));
    const ArchInfo arch = ArchInfo::load(dir.file("config.json"));  // passes the baselines
    EXPECT_EQ(arch.numLayers, checkpoint.options().numLayers);
    const double ratio = static_cast<double>(checkpoint.totalTensorBytes()) /
                         static_cast<double>(ModelCatalog::lookup(row)->approximateDownloadBytes);
    EXPECT_GT(ratio, 0.95);
    EXPECT_LT(ratio, 1.05);
    for (const GeneratedShard& shard : checkpoint.shards()) {
      EXPECT_LE(shard.fileSize, 5ull << 30) << "MLX's shard limit";
    }
  }
}

TEST(CheckpointGenerator, BraskStandInServesFromItsHeaders) {
  const std::unique_ptr<GeneratedCheckpoint> brask = StandIn::checkpoint("brask");
  testutil::TempDir dir;
  writeCheckpointDirectory(*brask, dir.path(), true);
  ASSERT_EQ(listDirectory(dir.path()), brask->names());
  for (const auto& [name, text] : brask->sideFiles()) {
    EXPECT_EQ(testutil::readFile(dir.file(name)), readAll(*brask, name)) << name;
  }
  const IndexLoader::SourceMetadata metadata = IndexLoader::load(dir.path());
  EXPECT_EQ(metadata.bitsOverrides.at("model.embed_tokens").bits, 8);
  EXPECT_EQ(metadata.shardFilenames.size(), 5u);

  for (const GeneratedShard& shard : brask->shards()) {
    SCOPED_TRACE(shard.fileName);
    EXPECT_EQ(std::filesystem::file_size(dir.file(shard.fileName)), shard.fileSize);
    EXPECT_EQ(readFilePrefix(dir.file(shard.fileName), shard.header.size()),
              readRange(*brask, shard.fileName, 0, shard.header.size()));
    EXPECT_EQ(Safetensors::readHeader(dir.file(shard.fileName)).tensors.size(),
              shard.tensors.size());
    // Samples of the data area: inside the largest tensor, far into the
    // shard, and across the boundary of two tensors.
    const GeneratedTensor& largest =
        *std::max_element(shard.tensors.begin(), shard.tensors.end(),
                          [](const auto& a, const auto& b) { return a.sizeBytes < b.sizeBytes; });
    const uint64_t middle = largest.sizeBytes / 2 + 3;
    EXPECT_EQ(readRange(*brask, shard.fileName, largest.fileOffset + middle, 4099),
              tensorBytes(40, largest.name, middle, 4099));
    const GeneratedTensor& left = shard.tensors[shard.tensors.size() / 2];
    const GeneratedTensor& right = shard.tensors[shard.tensors.size() / 2 + 1];
    EXPECT_EQ(
        readRange(*brask, shard.fileName, right.fileOffset - 6, 14),
        tensorBytes(40, left.name, left.sizeBytes - 6, 6) + tensorBytes(40, right.name, 0, 8));
  }
}

// Every generated checkpoint is one the planner accepts: the text plan of
// each family and stand-in, and the vision plan of the full Gemma 4 tower.
TEST(CheckpointGenerator, EveryCheckpointPlans) {
  struct Case {
    std::string label;  // the stand-in's name for a stand-in
    CheckpointOptions options;
    size_t packedLayers;
    size_t excluded;
  };
  std::vector<Case> cases = {
      {"gemma4", smallCheckpointOptions(CheckpointFamily::gemma4), 6, 0},
      {"qwen3_5_moe", smallCheckpointOptions(CheckpointFamily::qwen3_5_moe), 4, 0},
      {"lfm2moe", smallCheckpointOptions(CheckpointFamily::lfm2moe), 2, 0},
      {"small brask", smallCheckpointOptions(CheckpointFamily::brask), 2, 0},
      {"varnel15", *StandIn::options("varnel15"), 8, 0},
      {"brask", *StandIn::options("brask"), 47, 0},
      {"gemma4 vision", smallCheckpointOptions(CheckpointFamily::gemma4), 6, 360}};
  cases.back().options.vision = VisionTower::full;
  cases.back().options.audioTower = true;

  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const GeneratedCheckpoint checkpoint(c.options);
    testutil::TempDir dir;
    writeCheckpointDirectory(checkpoint, dir.path(), true);
    const IndexLoader::SourceMetadata metadata = IndexLoader::load(dir.path());
    const ArchInfo arch = ArchInfo::load(metadata.configPath);
    std::vector<Safetensors::Header> headers;
    for (const std::string& shard : metadata.shardFilenames) {
      headers.push_back(Safetensors::readHeader(dir.file(shard)));
    }
    const RepackPlan plan = RepackPlan::build(metadata, arch, headers, dir.file("package"));
    EXPECT_EQ(plan.layers.size(), c.packedLayers);
    for (const LayerFilePlan& layer : plan.layers) {
      EXPECT_EQ(layer.expertsPerLayer, c.options.numExperts);
      EXPECT_EQ(layer.subTensors.size(), 9u);
    }
    EXPECT_EQ(plan.excludedMultimodalTensorNames.size(), c.excluded);
    if (StandIn::options(c.label)) {
      EXPECT_EQ(plan.matchedModelID, ModelCatalog::lookup(c.label)->modelID);
    } else {
      EXPECT_EQ(plan.matchedModelID, std::nullopt);
    }

    if (c.options.vision == VisionTower::full) {
      const VisionPackPlan vision = VisionPackPlan::build(metadata, headers);
      ASSERT_EQ(vision.entries.size(), 358u);
      EXPECT_EQ(vision.entries.front().source.name,
                "vision_tower.patch_embedder.input_proj.weight");
      EXPECT_EQ(vision.entries.back().source.name, "embed_vision.embedding_projection.weight");
    }
  }
}

TEST(CheckpointGenerator, OptionsThatDescribeNoCheckpointAreRejected) {
  struct Case {
    CheckpointFamily family;
    std::function<void(CheckpointOptions&)> change;
    std::string message;
  };
  const std::vector<Case> cases = {
      {CheckpointFamily::gemma4, [](auto& o) { o.hiddenSize = 200; },
       "language_model.model.embed_tokens: input width 200 is not a positive multiple of the "
       "group size 64"},
      {CheckpointFamily::qwen3_5_moe, [](auto& o) { o.vision = VisionTower::full; },
       "vision and audio towers exist only in gemma4 checkpoints"},
      {CheckpointFamily::brask, [](auto& o) { o.numExperts = 8; },
       "brask: the pinned configuration has 256 experts, so the tensors must have 256"},
      {CheckpointFamily::brask, [](auto& o) { o.numLayers = 50; },
       "brask: layers must be 3 to 49 (layers 0 and 1 are dense)"},
      {CheckpointFamily::lfm2moe, [](auto& o) { o.numHeads = 3; },
       "lfm2moe: hidden size 256 is not a multiple of the head count 3"},
      {CheckpointFamily::lfm2moe, [](auto& o) { o.topKExperts = 9; },
       "the expert count must be positive and at least top-k"},
      {CheckpointFamily::gemma4, [](auto& o) { o.bitsOverrides["x"] = 7; },
       "unsupported bit width 7 for x"},
      {CheckpointFamily::gemma4, [](auto& o) { o.numKVHeads = 0; },
       "language_model.model.layers.0.self_attn.k_proj.weight: extent 0 is not positive"},
      {CheckpointFamily::gemma4, [](auto& o) { o.shardCount = -1; },
       "the shard count must not be negative"},
  };
  for (const Case& c : cases) {
    CheckpointOptions options = smallCheckpointOptions(c.family);
    c.change(options);
    EXPECT_EQ(testutil::errorOf([&] { GeneratedCheckpoint checkpoint(options); }), c.message);
  }
}

TEST(MakeCheckpointTool, WritesCheckpointsAndRejectsBadCommandLines) {
  testutil::TempDir dir;
  const auto run = [](std::vector<std::string> args) {
    return testutil::runProcess(VELQUOR_MAKE_CHECKPOINT, args);
  };

  testutil::ProcessResult r = run({"--help"});
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_NE(r.out.find("--stand-in NAME"), std::string::npos);

  r = run({"--stand-in", "varnel15", dir.file("varnel")});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  const std::string pin = ModelCatalog::lookup("varnel15")->sourceIndexSHA256;
  EXPECT_EQ(sha256(testutil::readFile(dir.file("varnel/") + kIndex)), pin);
  EXPECT_NE(r.out.find(pin), std::string::npos);

  r = run({"--family", "lfm2moe", "--layers=5", "--seed", "9", "--override",
           "model.layers.4.feed_forward.switch_mlp.up_proj=8", dir.file("lfm")});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  CheckpointOptions expected = smallCheckpointOptions(CheckpointFamily::lfm2moe);
  expected.numLayers = 5;
  expected.seed = 9;
  expected.bitsOverrides["model.layers.4.feed_forward.switch_mlp.up_proj"] = 8;
  const GeneratedCheckpoint lfm(expected);
  ASSERT_EQ(listDirectory(dir.file("lfm")), lfm.names());
  for (const std::string& name : lfm.names()) {
    EXPECT_EQ(testutil::readFile(dir.file("lfm/" + name)), readAll(lfm, name)) << name;
  }

  const std::vector<std::pair<std::vector<std::string>, int>> failures = {
      {{}, 2},
      {{"--bogus", dir.file("a")}, 2},
      {{"--family", "qwen36", dir.file("a")}, 2},
      {{"--family", "qwen3_5_moe", "--vision", "full", dir.file("a")}, 2},
      {{"--layers", "-3", dir.file("a")}, 2},
      {{"--hidden", "100", dir.file("a")}, 2},
      {{"--stand-in", "brask", "--layers", "4", dir.file("a")}, 2},
      {{"--stand-in", "qwen36", dir.file("a")}, 2},
      {{dir.file("a"), dir.file("b")}, 2},
      {{"--stand-in", "varnel15", dir.file("varnel")}, 1},  // not empty any more
  };
  for (const auto& [args, status] : failures) {
    r = run(args);
    EXPECT_EQ(r.exitStatus, status) << testing::PrintToString(args) << r.err;
    EXPECT_FALSE(r.err.empty());
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file("a")));
}

}  // namespace
