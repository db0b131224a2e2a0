// install_bench: one install of the generated brask stand-in from a running
// velquor-test-hub (started with --stand-in brask, and the same --layers), run
// in this process so that each phase is timed from the engine's progress
// events. Prints the wall time and the phases, the install's peak resident
// memory (VmHWM, reset just before the run) and the most disk it used beyond
// the final package, sampled while it runs. bench/install_bench.sh runs it
// next to the curl + openssl baseline.
//
//   install_bench --describe [--layers N | --gib G]
//       the checkpoint the hub would serve: layers, repository, revision,
//       source bytes, shard names (shell-readable NAME=VALUE lines)
//   install_bench --hub URL --ca FILE --output DIR [--layers N | --gib G]
//                 [--connections N] [--source CHECKPOINT_DIR | --hub-cache CACHE]
//       the install (N ranges in flight, 8 by default; with --source or
//       --hub-cache read offline from that directory or hub cache instead);
//       DIR must not exist

#include <malloc.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "engine/common/catalog.h"
#include "engine/common/process_memory.h"
#include "engine/install/streaming_repacker.h"
#include "engine/io/sha256_stream.h"
#include "engine/plan/korvex_json.h"
#include "engine/remote/download_session.h"
#include "engine/remote/source_byte_provider.h"
#include "tools/checkpoint_generator.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr double kMiB = 1024.0 * 1024.0;

struct Arguments {
  bool describe = false;
  std::optional<int64_t> layers;
  std::optional<double> gib;
  std::string hub;
  std::string ca;
  std::string output;
  int64_t connections = kDefaultConnections;
  std::optional<std::string> source;    // a directory holding the checkpoint, read offline
  std::optional<std::string> hubCache;  // a hub cache holding it, read offline
};

Arguments parse(int argc, char** argv) {
  Arguments a;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    const auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::invalid_argument(flag + " needs a value");
      return argv[++i];
    };
    if (flag == "--describe") {
      a.describe = true;
    } else if (flag == "--layers") {
      a.layers = std::stoll(value());
    } else if (flag == "--gib") {
      a.gib = std::stod(value());
    } else if (flag == "--hub") {
      a.hub = value();
    } else if (flag == "--ca") {
      a.ca = value();
    } else if (flag == "--output") {
      a.output = value();
    } else if (flag == "--connections") {
      a.connections = std::stoll(value());
    } else if (flag == "--source") {
      a.source = value();
    } else if (flag == "--hub-cache") {
      a.hubCache = value();
    } else {
      throw std::invalid_argument("unknown argument " + flag);
    }
  }
  if (!a.describe && (a.hub.empty() || a.ca.empty() || a.output.empty())) {
    throw std::invalid_argument("--hub, --ca and --output are required");
  }
  return a;
}

uint64_t sourceBytes(const GeneratedCheckpoint& checkpoint) {
  uint64_t total = 0;
  for (const GeneratedShard& shard : checkpoint.shards()) total += shard.fileSize;
  return total;
}

// The brask stand-in, or the same geometry with fewer layers: --layers as
// given, --gib the layer count whose source size comes closest.
std::unique_ptr<GeneratedCheckpoint> standIn(const Arguments& a) {
  CheckpointOptions options = *StandIn::options("brask");
  if (a.layers) {
    options.numLayers = *a.layers;
  } else if (a.gib) {
    const double target = *a.gib * 1024 * kMiB;
    std::unique_ptr<GeneratedCheckpoint> best;
    double bestDistance = 0;
    for (int64_t layers = 3; layers <= options.numLayers; ++layers) {
      CheckpointOptions candidate = options;
      candidate.numLayers = layers;
      auto checkpoint = std::make_unique<GeneratedCheckpoint>(candidate);
      const double distance = std::abs(static_cast<double>(sourceBytes(*checkpoint)) - target);
      if (!best || distance < bestDistance) {
        best = std::move(checkpoint);
        bestDistance = distance;
      }
    }
    return best;
  }
  return std::make_unique<GeneratedCheckpoint>(options);
}

std::string sha256(const std::string& bytes) {
  Sha256Stream s;
  s.update(bytes.data(), bytes.size());
  return s.finalizeHex();
}

// Allocated bytes of every regular file below `root` (nothing when absent).
uint64_t allocatedBytes(const std::string& root) {
  uint64_t total = 0;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(root, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    struct stat st {};
    if (::lstat(it->path().c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      total += static_cast<uint64_t>(st.st_blocks) * 512;
    }
  }
  return total;
}

uint64_t allocatedFile(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_blocks) * 512 : 0;
}

uint64_t fileSystemUsed(const std::string& path) {
  struct statvfs s {};
  if (::statvfs(path.c_str(), &s) != 0) return 0;
  return static_cast<uint64_t>(s.f_blocks - s.f_bfree) * s.f_frsize;
}

// A field of /proc/self/status in bytes ("VmHWM", "RssAnon", ...).
uint64_t statusBytes(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::stoull(line.substr(field.size() + 1)) * 1024;
  }
  return 0;
}

// Samples, while the install runs, what it holds on disk besides the package.
class DiskSampler {
 public:
  DiskSampler(std::string output, std::string parent)
      : output_(std::move(output)), parent_(std::move(parent)) {
    baselineUsed_ = fileSystemUsed(parent_);
    thread_ = std::thread([this] {
      while (!stop_.load()) {
        sample();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });
  }
  ~DiskSampler() { finish(); }

  void finish() {
    if (thread_.joinable()) {
      stop_.store(true);
      thread_.join();
    }
  }

  // Everything the install had written at once: the partial tree (outputs,
  // range file, metadata) and the checkpoint.
  uint64_t peakTree() const { return peakTree_; }
  // The two parts of the resident set at their highest samples.
  uint64_t peakAnonymous() const { return peakAnonymous_; }
  uint64_t peakFileBacked() const { return peakFileBacked_; }
  uint64_t peakRangeFile() const { return peakRange_; }
  // Growth of the file system's used space; other writers on it count too.
  uint64_t peakFileSystemGrowth() const {
    return peakUsed_ > baselineUsed_ ? peakUsed_ - baselineUsed_ : 0;
  }

 private:
  void sample() {
    const uint64_t tree =
        allocatedBytes(output_ + ".partial") + allocatedFile(output_ + ".resume.json");
    peakTree_ = std::max(peakTree_, tree);
    peakRange_ = std::max(peakRange_, allocatedFile(output_ + ".partial/.range.tmp"));
    peakUsed_ = std::max(peakUsed_, fileSystemUsed(parent_));
    peakAnonymous_ = std::max(peakAnonymous_, statusBytes("RssAnon"));
    peakFileBacked_ = std::max(peakFileBacked_, statusBytes("RssFile"));
  }

  std::string output_;
  std::string parent_;
  uint64_t baselineUsed_ = 0;
  uint64_t peakTree_ = 0;
  uint64_t peakRange_ = 0;
  uint64_t peakUsed_ = 0;
  uint64_t peakAnonymous_ = 0;
  uint64_t peakFileBacked_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// First arrival of each phase, from the progress events, and a split of the
// copy. The byte provider reports the bytes fetched so far after every body
// chunk, once more when a range's download has ended, again when the range
// is written, synced, digested and recorded, and at the start of the next
// range's request: so the same count arrives four times in a row at the end
// of each range. From the second to the third is the local work on the range;
// from the fourth to the next larger count, the next request's set-up
// (connection, redirect, first body bytes).
struct PhaseClock {
  Clock::time_point start = Clock::now();
  std::optional<Clock::time_point> planning, firstCopy, firstHash, firstSideFile, finalizing;
  Clock::duration localWork{};
  Clock::duration requestSetUp{};

  void observe(const ModelInstallProgress& p) {
    const Clock::time_point now = Clock::now();
    const auto first = [&](std::optional<Clock::time_point>& at) {
      if (!at) at = now;
    };
    if (std::holds_alternative<ModelInstallProgress::Planning>(p.event)) first(planning);
    if (const auto* c = std::get_if<ModelInstallProgress::CopyingPayload>(&p.event)) {
      first(firstCopy);
      if (c->downloadedThisRunBytes == fetched_ && seen_ > 0) {
        ++seen_;
        if (seen_ == 3) localWork += now - previous_;
      } else {
        if (seen_ >= 4) requestSetUp += now - previous_;
        fetched_ = c->downloadedThisRunBytes;
        seen_ = 1;
      }
      previous_ = now;
    }
    if (const auto* h = std::get_if<ModelInstallProgress::HashingOutput>(&p.event)) {
      first(firstHash);
      if (h->relativePath.rfind("tokenizer/", 0) == 0) first(firstSideFile);
    }
    if (std::holds_alternative<ModelInstallProgress::Finalizing>(p.event)) first(finalizing);
  }

 private:
  uint64_t fetched_ = 0;
  int seen_ = 0;  // consecutive copy events with the count fetched_
  Clock::time_point previous_{};
};

double seconds(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

int describe(const Arguments& a) {
  const std::unique_ptr<GeneratedCheckpoint> checkpoint = standIn(a);
  const SupportedModelSource row = *ModelCatalog::lookup("brask");
  std::printf("layers=%lld\nrepo=%s\nrevision=%s\nsource_bytes=%llu\nshards=\"",
              static_cast<long long>(checkpoint->options().numLayers), row.repoID.c_str(),
              row.revision.c_str(), static_cast<unsigned long long>(sourceBytes(*checkpoint)));
  for (size_t i = 0; i < checkpoint->shards().size(); ++i) {
    std::printf("%s%s", i ? " " : "", checkpoint->shards()[i].fileName.c_str());
  }
  std::printf("\"\n");
  return 0;
}

int install(const Arguments& a) {
  const std::unique_ptr<GeneratedCheckpoint> checkpoint = standIn(a);
  const SupportedModelSource row = *ModelCatalog::lookup("brask");
  const std::string indexDigest =
      sha256(checkpoint->sideFiles().at("model.safetensors.index.json"));

  // The command line's settings; the checkpoint is admitted by its own index
  // digest, which is the catalogue's for the full stand-in.
  RemoteDownloadSessionOptions sessionOptions;
  sessionOptions.caBundlePath = a.ca;
  RemoteStreamingRepackOptions o;
  o.repoID = row.repoID;
  o.revision = row.revision;
  o.outputDir = fs::absolute(a.output).lexically_normal().string();
  o.requireKnownSource = true;
  o.knownSources = KnownSourceTable{{indexDigest, row.modelID}};
  o.rangeChunkBytes = 67108864;
  o.writeTileBytes = 524288;
  o.minFreeReserveBytes = row.reserveBytes;
  o.downloadSession =
      std::make_shared<const RemoteDownloadSession>(RemoteDownloadSessionPolicy{}, sessionOptions);
  o.baseURL = a.hub;
  o.rangeRetryAttempts = 4;
  o.retryBaseDelayNs = 1000000000;
  o.connections = a.connections;
  if (a.source) {
    o.localDirectory = fs::absolute(*a.source).lexically_normal().string();
    o.offline = true;
  }
  if (a.hubCache) {
    o.hubCacheRoot = fs::absolute(*a.hubCache).lexically_normal().string();
    o.offline = true;
  }

  const std::string parent = fs::path(o.outputDir).parent_path().string();
  fs::create_directories(parent);
  // Peak resident memory from here on (Linux: "5" resets VmHWM).
  std::ofstream("/proc/self/clear_refs") << "5";
  const uint64_t residentBefore = statusBytes("VmRSS");

  RepackAudit audit;
  PhaseClock phases;
  DiskSampler disk(o.outputDir, parent);
  RemoteStreamingRepacker repacker(o, audit);
  const RemoteStreamingRepackResult result =
      repacker.run([&](ModelInstallProgress p) { phases.observe(p); });
  const Clock::time_point end = Clock::now();
  disk.finish();
  const uint64_t peakResident = statusBytes("VmHWM");
  const uint64_t package = allocatedBytes(o.outputDir);

  const double wall = seconds(phases.start, end);
  std::printf("install: brask stand-in, %lld layers, %llu bytes fetched in %lld ranges\n",
              static_cast<long long>(checkpoint->options().numLayers),
              static_cast<unsigned long long>(result.remoteBytesToDownload),
              static_cast<long long>(result.rangeRequestCount));
  std::printf("install wall time: %.2f s (%.1f MiB/s of fetched bytes)\n", wall,
              static_cast<double>(result.remoteBytesToDownload) / kMiB / wall);
  const auto phase = [&](const char* name, std::optional<Clock::time_point> from,
                         std::optional<Clock::time_point> to) {
    if (from && to) std::printf("  %-28s %8.2f s\n", name, seconds(*from, *to));
  };
  phase("metadata and planning", phases.start, phases.planning);
  phase("space check, reservation", phases.planning, phases.firstCopy);
  phase("copy (fetch, write, sync)", phases.firstCopy, phases.firstHash);
  std::printf("    %-26s %8.2f s\n", "request set-up",
              std::chrono::duration<double>(phases.requestSetUp).count());
  std::printf("    %-26s %8.2f s\n", "local work after download",
              std::chrono::duration<double>(phases.localWork).count());
  phase("hashing outputs", phases.firstHash, phases.firstSideFile);
  phase("side files", phases.firstSideFile, phases.finalizing);
  phase("manifest, receipt, promotion", phases.finalizing, end);
  std::printf(
      "peak resident memory: %.1f MiB (VmHWM; %.1f MiB before the run; sampled peaks: "
      "anonymous %.1f MiB, file-backed %.1f MiB)\n",
      static_cast<double>(peakResident) / kMiB, static_cast<double>(residentBefore) / kMiB,
      static_cast<double>(disk.peakAnonymous()) / kMiB,
      static_cast<double>(disk.peakFileBacked()) / kMiB);
  const uint64_t beyondTree = disk.peakTree() > package ? disk.peakTree() - package : 0;
  const uint64_t beyondFs =
      disk.peakFileSystemGrowth() > package ? disk.peakFileSystemGrowth() - package : 0;
  std::printf(
      "disk beyond the final package: %.1f MiB at most (partial tree + checkpoint); "
      "range file peak %.1f MiB; file-system growth beyond it %.1f MiB (other writers on "
      "the file system count there too)\n",
      static_cast<double>(beyondTree) / kMiB, static_cast<double>(disk.peakRangeFile()) / kMiB,
      static_cast<double>(beyondFs) / kMiB);

  // The layout document alone, as finalization builds, writes and reads it
  // back: the part of the install whose memory grows with the model.
  uint64_t stride = 0;
  for (const LayerFilePlan& layer : result.plan.layers) {
    if (layer.expertsPerLayer > 0) {
      stride = layer.expertStride;
      break;
    }
  }
  ::malloc_trim(0);  // return what the install freed, so that the peak is the layout's
  std::ofstream("/proc/self/clear_refs") << "5";
  const uint64_t residentBeforeLayout = statusBytes("VmRSS");
  const Clock::time_point layoutStart = Clock::now();
  size_t layoutBytes = 0;  // printed as finalization writes it, a layer at a time
  KorvexJSON::writeLayout(result.plan, stride,
                          [&](std::string_view piece) { layoutBytes += piece.size(); });
  const Clock::time_point layoutBuilt = Clock::now();
  KorvexJSON::checkLayoutReadBack(o.outputDir + "/packed_experts/layout.json", result.plan);
  const Clock::time_point layoutChecked = Clock::now();
  std::printf(
      "layout.json alone (%.1f MiB): built in %.2f s, read back in %.2f s, peak resident "
      "%.1f MiB above the %.1f MiB before it\n",
      static_cast<double>(layoutBytes) / kMiB, seconds(layoutStart, layoutBuilt),
      seconds(layoutBuilt, layoutChecked),
      static_cast<double>(statusBytes("VmHWM") - residentBeforeLayout) / kMiB,
      static_cast<double>(residentBeforeLayout) / kMiB);
  std::printf("install_wall_seconds=%.3f\n", wall);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  ProcessMemory::returnLargeBlocksToSystem();  // as the command-line tool does
  Arguments a;
  try {
    a = parse(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr,
                 "%s\nusage: install_bench --describe [--layers N | --gib G]\n"
                 "       install_bench --hub URL --ca FILE --output DIR [--layers N | --gib G]\n",
                 e.what());
    return 2;
  }
  try {
    return a.describe ? describe(a) : install(a);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "install_bench: %s\n", e.what());
    return 1;
  }
}
