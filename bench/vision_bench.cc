// Whole-process benchmark of a vision companion install: the 358 vision
// tensors (1.14 GB) of a generated Gemma 4 checkpoint streamed from the
// loopback test hub into a companion, against `curl` fetching the same byte
// ranges from the same storage host plus `openssl dgst -sha256` over what it
// fetched, in the same run, with the peak resident memory of each.
// Usage: vision_bench [directory] [rounds] (default: $TMPDIR or /tmp, 2).
//
// The hub runs in this process and synthesises the checkpoint on each read,
// so both sides pay the same server cost; each command runs in a process of
// its own (started through a small copy of this program, "--measure", so that
// its peak RSS is its own). The companion installer runs through "--install",
// which accepts the generated checkpoint; the real binary would refuse it
// because its index is not the catalogue's pinned one. Dirty pages are
// flushed before each command, so neither inherits the other's write-back.

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/common/catalog.h"
#include "engine/io/sha256_stream.h"
#include "engine/plan/range_copy_plan.h"
#include "engine/plan/vision_pack_plan.h"
#include "engine/remote/remote_snapshot.h"
#include "engine/vision/remote_vision_companion_installer.h"
#include "tools/checkpoint_generator.h"
#include "tools/package_fixture.h"
#include "tools/test_hub.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr char kToken[] = "hf_bench_secret";

struct Run {
  double seconds = 0;
  uint64_t peakRssBytes = 0;
  std::string report;  // what the command wrote to standard error
};

std::string sha256(std::string_view bytes) {
  Sha256Stream s;
  s.update(bytes.data(), bytes.size());
  return s.finalizeHex();
}

pid_t spawn(std::vector<std::string> args, const posix_spawn_file_actions_t* actions) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawnp(&pid, argv[0], actions, nullptr, argv.data(), environ) != 0) {
    std::fprintf(stderr, "cannot start %s\n", args[0].c_str());
    std::exit(1);
  }
  return pid;
}

// Runs the command with standard output discarded; its peak RSS (bytes) is
// written to standard error for the parent.
int measureChild(std::vector<std::string> command) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  const pid_t pid = spawn(std::move(command), &actions);
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  std::fprintf(stderr, "%llu\n", static_cast<unsigned long long>(usage.ru_maxrss) * 1024);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

Run measure(const std::string& self, std::vector<std::string> command) {
  const std::string name = command.front();
  command.insert(command.begin(), {self, "--measure"});
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) std::abort();
  ::sync();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  const auto start = Clock::now();
  const pid_t pid = spawn(std::move(command), &actions);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0) text.append(buffer, n);
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "%s failed:\n%s\n", name.c_str(), text.c_str());
    std::exit(1);
  }
  // The peak is the last line; anything before it is the command's own.
  const size_t last = text.find_last_of('\n', text.size() - 2);
  if (last == std::string::npos) return {seconds, std::stoull(text), {}};
  return {seconds, std::stoull(text.substr(last + 1)), text.substr(0, last + 1)};
}

// Mode "--install BASE CA REPO REVISION TEXT OUTPUT DIGEST": one fresh
// companion install with the command line's transfer settings.
int install(char** argv) {
  RemoteDownloadSessionOptions sessionOptions;
  sessionOptions.caBundlePath = argv[1];
  RemoteVisionCompanionOptions o;
  o.baseURL = argv[0];
  o.repoID = argv[2];
  o.revision = argv[3];
  o.textModelDirectory = argv[4];
  o.outputDirectory = argv[5];
  o.knownSources = KnownSourceTable{{argv[6], argv[2]}};
  o.token = kToken;
  o.downloadSession =
      std::make_shared<const RemoteDownloadSession>(RemoteDownloadSessionPolicy{}, sessionOptions);
  // Seconds from the start to the first copy event, to the end of the copy
  // (the hashing event) and to the end, reported on standard error.
  const auto start = Clock::now();
  double copyStart = 0, copyEnd = 0;
  const auto since = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
  RepackAudit audit;
  RemoteVisionCompanionInstaller(o, audit).run([&](ModelInstallProgress p) {
    if (std::holds_alternative<ModelInstallProgress::CopyingPayload>(p.event) && copyStart == 0) {
      copyStart = since();
    }
    if (std::holds_alternative<ModelInstallProgress::HashingOutput>(p.event)) copyEnd = since();
  });
  std::fprintf(stderr, "phases %.3f %.3f %.3f\n", copyStart, copyEnd, since());
  return 0;
}

// The storage host's signed URL of a file: the Location of the hub's 302.
std::string storageURL(const TestHub& hub, const std::string& file) {
  const std::string command = "curl -s -o /dev/null -w '%{redirect_url}' --cacert '" +
                              hub.caFile() + "' -H 'Authorization: Bearer " + kToken + "' '" +
                              hub.fileURL(file) + "'";
  FILE* pipe = ::popen(command.c_str(), "r");
  std::string url;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) url.append(buffer, n);
  if (::pclose(pipe) != 0 || url.empty()) {
    std::fprintf(stderr, "no storage URL for %s\n", file.c_str());
    std::exit(1);
  }
  return url;
}

void print(const char* what, const Run& r, double mib, double reference) {
  std::printf("%-28s %9.3f %9.0f %8.2fx %14.1f\n", what, r.seconds, mib / r.seconds,
              r.seconds / reference, static_cast<double>(r.peakRssBytes) / (1 << 20));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2 && std::string(argv[1]) == "--measure") {
    return measureChild(std::vector<std::string>(argv + 2, argv + argc));
  }
  if (argc == 9 && std::string(argv[1]) == "--install") return install(argv + 2);

  const char* tmp = std::getenv("TMPDIR");
  const std::string base = argc > 1 ? argv[1] : (tmp && *tmp ? tmp : "/tmp");
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 2;
  const std::string work = base + "/velquor-vision-bench";
  fs::remove_all(work);
  fs::create_directories(work);
  const std::string self = fs::canonical("/proc/self/exe").string();
  ::setenv("no_proxy", "localhost,127.0.0.1", 1);
  ::setenv("NO_PROXY", "localhost,127.0.0.1", 1);

  CheckpointOptions options = smallCheckpointOptions(CheckpointFamily::gemma4);
  options.vision = VisionTower::full;
  const auto checkpoint = std::make_shared<GeneratedCheckpoint>(options);
  const SupportedModelSource& gemma = ModelCatalog::defaultSource();
  TestHubOptions hubOptions;
  hubOptions.repoID = gemma.repoID;
  hubOptions.revision = gemma.revision;
  hubOptions.token = kToken;
  for (const GeneratedShard& shard : checkpoint->shards()) {
    hubOptions.sha256StandIns[shard.fileName] = sha256(shard.fileName);
  }
  hubOptions.files = checkpoint;
  const std::unique_ptr<TestHub> hub = TestHub::start(hubOptions);
  const std::string digest = sha256(checkpoint->sideFiles().at("model.safetensors.index.json"));
  const std::string text = writePackageFixture(work + "/text.korvex").directory;

  // The installer's ranges, as its copy plan makes them.
  RemoteDownloadSessionOptions sessionOptions;
  sessionOptions.caBundlePath = hub->caFile();
  HuggingFaceRemoteSource source;
  source.repoID = gemma.repoID;
  source.requestedRevision = gemma.revision;
  source.token = kToken;
  source.baseURL = hub->baseURL();
  source.downloadSession =
      std::make_shared<const RemoteDownloadSession>(RemoteDownloadSessionPolicy{}, sessionOptions);
  source.tempDirectory = work + "/metadata";
  const RemoteSnapshot snapshot = RemoteSnapshot::load(source, work + "/metadata", false, nullptr);
  const VisionPackPlan plan = VisionPackPlan::build(snapshot.metadata, snapshot.shardHeaders);
  const RangeCopyPlan copyPlan =
      RangeCopyPlanner::planVisionCompanion(plan, work + "/any/vision_weights.bin", 67108864);
  std::map<std::string, std::string> urls;
  std::vector<std::string> curl = {"curl", "-s", "-f"};
  std::vector<std::string> dgst = {"openssl", "dgst", "-sha256"};
  for (const CoalescedRangeCopy& range : copyPlan.coalescedCopies) {
    if (!urls.contains(range.shardID)) urls[range.shardID] = storageURL(*hub, range.shardID);
    const std::string file = work + "/curl/" + range.id;
    if (curl.size() > 3) curl.push_back("--next");
    curl.insert(curl.end(), {"--cacert", hub->caFile(), "-r",
                             std::to_string(range.sourceOffset) + "-" +
                                 std::to_string(range.sourceOffset + range.size - 1),
                             "-o", file, urls[range.shardID]});
    dgst.push_back(file);
  }
  const double mib = static_cast<double>(copyPlan.remoteBytesToDownload) / (1 << 20);

  const std::string output = work + "/m.vision.korvex";
  const std::vector<std::string> installCommand = {self,          "--install",  hub->baseURL(),
                                                   hub->caFile(), gemma.repoID, gemma.revision,
                                                   text,          output,       digest};
  Run fetch{1e300, 0, {}}, hash{1e300, 0, {}}, companion{1e300, 0, {}};
  double bestReference = 1e300;
  for (int i = 0; i < rounds; ++i) {
    fs::remove_all(work + "/curl");
    fs::create_directories(work + "/curl");
    const Run f = measure(self, curl);
    const Run h = measure(self, dgst);
    if (f.seconds + h.seconds < bestReference) {
      bestReference = f.seconds + h.seconds;
      fetch = f;
      hash = h;
    }
    fs::remove_all(work + "/curl");
    fs::remove_all(output);
    const Run c = measure(self, installCommand);
    if (c.seconds < companion.seconds) companion = c;
  }
  fs::remove_all(work);

  std::printf("%zu ranges, %.0f MiB from the storage host, best of %d rounds\n",
              copyPlan.coalescedCopies.size(), mib, rounds);
  std::printf("%-28s %9s %9s %9s %14s\n", "command", "seconds", "MiB/s", "vs ref", "peak RSS MiB");
  print("curl (same ranges)", fetch, mib, bestReference);
  print("openssl dgst -sha256", hash, mib, bestReference);
  print("curl + openssl dgst", {bestReference, std::max(fetch.peakRssBytes, hash.peakRssBytes), {}},
        mib, bestReference);
  print("companion install", companion, mib, bestReference);
  double copyStart = 0, copyEnd = 0, end = 0;
  if (std::sscanf(companion.report.c_str(), "phases %lf %lf %lf", &copyStart, &copyEnd, &end) ==
      3) {
    std::printf(
        "  of which: metadata and plan %.3f s, copy %.3f s, processor, hash and promote "
        "%.3f s\n",
        copyStart, copyEnd - copyStart, end - copyEnd);
  }
  const double ratio = companion.seconds / bestReference;
  const double peakMiB = static_cast<double>(companion.peakRssBytes) / (1 << 20);
  std::printf(
      "companion install: %.2fx curl + openssl dgst (aim <= 1.15), peak RSS %.1f MiB (aim "
      "<= 32)\n",
      ratio, peakMiB);
  return 0;
}
