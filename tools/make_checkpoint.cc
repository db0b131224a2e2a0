// velquor-make-checkpoint: writes a synthetic source checkpoint (MLX export
// layout) to a directory, for tests, benchmarks and test hubs.
// Exit status: 0 written, 1 the writing failed, 2 bad command line.

#include <algorithm>
#include <cstdio>
#include <exception>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/common/catalog.h"
#include "engine/io/sha256_stream.h"
#include "tools/checkpoint_generator.h"
#include "tools/hub_cache_fixture.h"

namespace {

constexpr const char* kUsage =
    R"(usage: velquor-make-checkpoint [options] <directory>
       velquor-make-checkpoint --stand-in <varnel15|brask> [--headers-only] <directory>
       velquor-make-checkpoint --stand-in <varnel15|brask> --hub-cache <cache-root>
       velquor-make-checkpoint --print-source <varnel15|brask>

Writes a synthetic checkpoint in the layout of MLX exports: safetensors shards,
model.safetensors.index.json, config.json with its quantization block, tokenizer
side files and, with a gemma4 vision tower, processor_config.json. Tensor bytes
are a function of the seed, the tensor name and the offset, so the same options
always give the same files. <directory> is created if missing and must be empty.

  --family F            gemma4 (default), qwen3_5_moe, lfm2moe or brask
  --geometry G          small (default; a few MiB) or full (the real model's
                        geometry, tens of GB: combine with --headers-only)
  --seed N              seed of the tensor data (default 1)
  --layers N            decoder layers
  --experts N           routed experts per layer (brask: always 256)
  --top-k N             experts per token
  --hidden N            hidden size
  --intermediate N      dense MLP width (gemma4, lfm2moe dense layers, brask)
  --moe-intermediate N  routed-expert width
  --shared-intermediate N  shared-expert width (qwen3_5_moe, brask)
  --heads N             attention heads
  --kv-heads N          key/value heads
  --head-dim N          head width (lfm2moe derives it from --hidden / --heads)
  --vocab N             vocabulary size
  --dense-layers N      leading dense layers (lfm2moe)
  --shards N            shard count; 0 = as many 5 GiB shards as needed
  --vision none|full    gemma4 only: full adds the real 358-tensor, 1.14 GB
                        vision tower and processor_config.json
  --audio               gemma4 only: adds two audio_tower tensors
  --embedding-bits N    mlx_export.embedding_bits (brask: always 8)
  --override MODULE=BITS  per-tensor bit width (MODULE is the weight name
                        without ".weight"); may be repeated
  --stand-in NAME       the checkpoint pinned by the catalogue row NAME
                        (varnel15: about 6 MB; brask: about 22.5 GB)
  --headers-only        shards get their real headers and a hole instead of
                        tensor data: for planning only, never serve such a
                        directory (its tensor bytes read as zeros)
  --print-source NAME   prints the hub repository and the pinned revision of the
                        catalogue row NAME ("<owner/name> <commit>"), so that a
                        test hub can serve the stand-in where the installer
                        looks for it
  --hub-cache           with --stand-in: <directory> is the root of a hub cache
                        (as HF_HUB_CACHE names it); the stand-in is written
                        there as the cached snapshot of its catalogue
                        repository at the pinned revision
  --help                this text

Widths that feed a quantized projection must be multiples of 64. brask's
config.json always states the pinned Brask architecture; the geometry flags
shape its tensors only.
)";

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

int64_t number(const std::string& flag, const std::string& text) {
  size_t used = 0;
  int64_t value = 0;
  try {
    value = std::stoll(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size() || value < 0) {
    throw UsageError(flag + " needs a non-negative integer, got \"" + text + "\"");
  }
  return value;
}

struct Command {
  std::optional<std::string> standIn;
  CheckpointOptions options;
  bool headersOnly = false;
  bool hubCache = false;
  std::string directory;
};

Command parse(const std::vector<std::string>& args) {
  std::map<std::string, std::string> values;  // flag -> value, geometry flags applied last
  std::vector<std::pair<std::string, int64_t>> overrides;
  Command command;
  bool audio = false;
  std::optional<std::string> directory;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string flag = args[i];
    std::optional<std::string> inlineValue;
    if (const size_t eq = flag.find('='); flag.starts_with("--") && eq != std::string::npos) {
      inlineValue = flag.substr(eq + 1);
      flag.resize(eq);
    }
    if (flag == "--headers-only" || flag == "--audio" || flag == "--hub-cache") {
      if (inlineValue) throw UsageError(flag + " takes no value");
      (flag == "--audio"       ? audio
       : flag == "--hub-cache" ? command.hubCache
                               : command.headersOnly) = true;
      continue;
    }
    if (!flag.starts_with("--")) {
      if (directory) throw UsageError("more than one directory given");
      directory = flag;
      continue;
    }
    static const char* const kValued[] = {"--family",
                                          "--geometry",
                                          "--seed",
                                          "--layers",
                                          "--experts",
                                          "--top-k",
                                          "--hidden",
                                          "--intermediate",
                                          "--moe-intermediate",
                                          "--shared-intermediate",
                                          "--heads",
                                          "--kv-heads",
                                          "--head-dim",
                                          "--vocab",
                                          "--dense-layers",
                                          "--shards",
                                          "--vision",
                                          "--embedding-bits",
                                          "--override",
                                          "--stand-in"};
    if (std::find(std::begin(kValued), std::end(kValued), flag) == std::end(kValued)) {
      throw UsageError("unknown option " + flag);
    }
    std::string value;
    if (inlineValue) {
      value = *inlineValue;
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      throw UsageError(flag + " needs a value");
    }
    if (flag == "--override") {
      const size_t eq = value.rfind('=');
      if (eq == std::string::npos || eq == 0) throw UsageError("--override needs MODULE=BITS");
      overrides.emplace_back(value.substr(0, eq), number(flag, value.substr(eq + 1)));
    } else if (!values.emplace(flag, value).second) {
      throw UsageError(flag + " given twice");
    }
  }
  if (!directory) throw UsageError("no directory given");
  command.directory = *directory;
  if (command.hubCache && !values.contains("--stand-in")) {
    throw UsageError("--hub-cache needs --stand-in");
  }

  if (const auto standIn = values.find("--stand-in"); standIn != values.end()) {
    if (values.size() > 1 || !overrides.empty() || audio) {
      throw UsageError("--stand-in takes no other option than --headers-only or --hub-cache");
    }
    if (command.hubCache && command.headersOnly) {
      throw UsageError("--hub-cache and --headers-only exclude each other");
    }
    const std::optional<CheckpointOptions> options = StandIn::options(standIn->second);
    if (!options) throw UsageError("unknown stand-in \"" + standIn->second + "\"");
    command.standIn = standIn->second;
    command.options = *options;
    return command;
  }

  CheckpointFamily family = CheckpointFamily::gemma4;
  if (const auto f = values.find("--family"); f != values.end()) {
    const std::optional<CheckpointFamily> named = checkpointFamilyFromName(f->second);
    if (!named) throw UsageError("unknown family \"" + f->second + "\"");
    family = *named;
  }
  const std::string geometry = values.contains("--geometry") ? values["--geometry"] : "small";
  if (geometry != "small" && geometry != "full") {
    throw UsageError("--geometry must be small or full");
  }
  CheckpointOptions& o = command.options;
  o = geometry == "full" ? fullCheckpointOptions(family) : smallCheckpointOptions(family);
  const std::map<std::string, int64_t*> integers = {
      {"--layers", &o.numLayers},
      {"--experts", &o.numExperts},
      {"--top-k", &o.topKExperts},
      {"--hidden", &o.hiddenSize},
      {"--intermediate", &o.intermediateSize},
      {"--moe-intermediate", &o.moeIntermediateSize},
      {"--shared-intermediate", &o.sharedExpertIntermediateSize},
      {"--heads", &o.numHeads},
      {"--kv-heads", &o.numKVHeads},
      {"--head-dim", &o.headDim},
      {"--vocab", &o.vocabSize},
      {"--dense-layers", &o.numDenseLayers},
      {"--shards", &o.shardCount}};
  for (const auto& [flag, field] : integers) {
    if (const auto v = values.find(flag); v != values.end()) *field = number(flag, v->second);
  }
  if (const auto v = values.find("--seed"); v != values.end()) {
    o.seed = static_cast<uint64_t>(number("--seed", v->second));
  }
  if (const auto v = values.find("--embedding-bits"); v != values.end()) {
    o.embeddingBits = number("--embedding-bits", v->second);
  }
  if (const auto v = values.find("--vision"); v != values.end()) {
    if (v->second != "none" && v->second != "full")
      throw UsageError("--vision must be none or full");
    o.vision = v->second == "full" ? VisionTower::full : VisionTower::none;
  }
  o.audioTower = audio;
  for (const auto& [module, bits] : overrides) o.bitsOverrides[module] = bits;
  return command;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  for (const std::string& arg : args) {
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }

  if (args.size() == 2 && args[0] == "--print-source") {
    const std::optional<SupportedModelSource> row = ModelCatalog::lookup(args[1]);
    if (!row || !StandIn::options(args[1])) {
      std::fprintf(stderr, "velquor-make-checkpoint: unknown stand-in \"%s\"\n", args[1].c_str());
      return 2;
    }
    std::printf("%s %s\n", row->repoID.c_str(), row->revision.c_str());
    return 0;
  }

  Command command;
  std::optional<GeneratedCheckpoint> checkpoint;
  try {
    command = parse(args);
    checkpoint.emplace(command.options);
  } catch (const std::exception& e) {  // UsageError and options no checkpoint fits
    std::fprintf(stderr, "velquor-make-checkpoint: %s\n%s", e.what(),
                 "Try 'velquor-make-checkpoint --help'.\n");
    return 2;
  }

  try {
    if (command.hubCache) {
      const SupportedModelSource row = *ModelCatalog::lookup(*command.standIn);
      const std::string folder =
          writeHubCache(*checkpoint, command.directory, row.repoID, row.revision);
      std::printf("Wrote stand-in %s into the hub cache at %s\n", command.standIn->c_str(),
                  folder.c_str());
      return 0;
    }
    writeCheckpointDirectory(*checkpoint, command.directory, command.headersOnly);
    const std::string& index = checkpoint->sideFiles().at("model.safetensors.index.json");
    Sha256Stream hasher;
    hasher.update(index.data(), index.size());
    std::printf("Wrote %s checkpoint%s%s to %s: %zu shards, %llu tensor bytes%s\n",
                std::string(checkpointFamilyName(command.options.family)).c_str(),
                command.standIn ? " stand-in " : "",
                command.standIn ? command.standIn->c_str() : "", command.directory.c_str(),
                checkpoint->shards().size(),
                static_cast<unsigned long long>(checkpoint->totalTensorBytes()),
                command.headersOnly ? " (headers only: do not serve)" : "");
    std::printf("model.safetensors.index.json sha256 %s\n", hasher.finalizeHex().c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "velquor-make-checkpoint: %s\n", e.what());
    return 1;
  }
  return 0;
}
