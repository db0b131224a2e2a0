// velquor-test-hub: serves a checkpoint directory, or a generated stand-in
// checkpoint, as a model hub on loopback HTTPS until SIGTERM or SIGINT.
// Prints {"base_url": "...", "ca": "..."} once it accepts connections. Exit
// status: 0 after a signal, 1 when it cannot start, 2 for a command-line error.

#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/common/catalog.h"
#include "engine/io/sha256_stream.h"
#include "tools/checkpoint_files.h"
#include "tools/checkpoint_generator.h"
#include "tools/test_hub_standalone.h"

namespace {

constexpr const char* kStandInUsage =
    "  [--stand-in NAME]        instead of --dir: the generated checkpoint of the catalogue\n"
    "                           row NAME (varnel15 or brask), computed on demand, under that\n"
    "                           row's repository and revision unless --repo/--revision say\n"
    "                           otherwise; large shards get stand-in SHA-256 values\n"
    "  [--layers N]             with --stand-in: N decoder layers instead of the row's\n"
    "                           (a smaller checkpoint of the same per-layer geometry, which\n"
    "                           the catalogue does not know)\n";

// Shards of at least this size get a stand-in SHA-256 rather than being hashed.
constexpr uint64_t kHashedShardLimit = uint64_t{1} << 30;

struct StandInChoice {
  std::string name;
  std::optional<int64_t> layers;
};

std::string valueAfter(const std::vector<std::string>& args, size_t& i) {
  if (i + 1 >= args.size()) throw std::invalid_argument(args[i] + " needs a value");
  return args[++i];
}

// The stand-in options among the arguments the common parser left over.
std::optional<StandInChoice> parseStandIn(const std::vector<std::string>& rest) {
  std::optional<StandInChoice> choice;
  std::optional<int64_t> layers;
  for (size_t i = 0; i < rest.size(); ++i) {
    if (rest[i] == "--stand-in") {
      choice = StandInChoice{valueAfter(rest, i), std::nullopt};
    } else if (rest[i] == "--layers") {
      const std::string text = valueAfter(rest, i);
      if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != text.npos) {
        throw std::invalid_argument("--layers needs a whole number, got \"" + text + "\"");
      }
      layers = std::stoll(text);
    } else {
      throw std::invalid_argument("unknown argument " + rest[i]);
    }
  }
  if (layers && !choice) throw std::invalid_argument("--layers needs --stand-in");
  if (choice) choice->layers = layers;
  return choice;
}

// --repo and --revision default to the catalogue row of a --stand-in NAME.
std::vector<std::string> withStandInDefaults(std::vector<std::string> args) {
  std::optional<std::string> name;
  bool repo = false;
  bool revision = false;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--stand-in" && i + 1 < args.size()) name = args[i + 1];
    repo = repo || args[i] == "--repo";
    revision = revision || args[i] == "--revision";
  }
  if (!name) return args;
  const std::optional<SupportedModelSource> row = ModelCatalog::lookup(*name);
  if (!row) return args;  // reported as an unknown stand-in below
  if (!repo) args.insert(args.end(), {"--repo", row->repoID});
  if (!revision) args.insert(args.end(), {"--revision", row->revision});
  return args;
}

std::shared_ptr<GeneratedCheckpoint> generatedStandIn(const StandInChoice& choice) {
  std::optional<CheckpointOptions> options = StandIn::options(choice.name);
  if (!options) throw std::invalid_argument("unknown stand-in " + choice.name);
  if (choice.layers) options->numLayers = *choice.layers;
  return std::make_shared<GeneratedCheckpoint>(*options);
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  TestHubCommandLine cmd;
  std::optional<StandInChoice> standIn;
  try {
    cmd = parseTestHubCommandLine(withStandInDefaults(args));
    standIn = parseStandIn(cmd.rest);
    if (cmd.dir && standIn) throw std::invalid_argument("--dir and --stand-in exclude each other");
    if (!cmd.dir && !standIn) throw std::invalid_argument("--dir is required");
  } catch (const std::invalid_argument& e) {
    std::fprintf(stderr, "%s\n%s%s", e.what(), testHubUsage(argv[0]).c_str(), kStandInUsage);
    return 2;
  }
  const std::string source = standIn ? "stand-in " + standIn->name : *cmd.dir;
  try {
    if (standIn) {
      std::shared_ptr<GeneratedCheckpoint> checkpoint = generatedStandIn(*standIn);
      for (const GeneratedShard& shard : checkpoint->shards()) {
        if (shard.fileSize < kHashedShardLimit) continue;
        if (cmd.options.sha256StandIns.contains(shard.fileName)) continue;
        const std::string seed = "velquor-test-hub stand-in " + standIn->name + "/" +
                                 std::to_string(checkpoint->options().numLayers) + "/" +
                                 shard.fileName;
        Sha256Stream digest;
        digest.update(seed.data(), seed.size());
        cmd.options.sha256StandIns[shard.fileName] = digest.finalizeHex();
      }
      cmd.options.files = std::move(checkpoint);
    } else {
      cmd.options.files = openCheckpointDirectory(*cmd.dir);
    }
  } catch (const std::invalid_argument& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "cannot serve %s: %s\n", source.c_str(), e.what());
    return 1;
  }
  return serveUntilSignalled(std::move(cmd.options));
}
