// Download throughput of the range byte provider against the curl command-line
// tool, both fetching the same ranges of one large shard from the same
// loopback test hub in the same run, and the provider's peak resident memory
// at two range sizes (it must not grow with the range size).
//
// Usage: remote_bench [--throughput=MB/s] [--repetitions=N] [GiB] [range-MiB ...]
// (default: unlimited hub throughput, best of 3, 2 GiB, 64 and 16 MiB ranges).
// --throughput caps every response body of the hub, as a storage backend's
// per-connection rate does. Scratch files go to $TMPDIR or /tmp.
//
// The hub runs in a child process serving a generated shard (no disk), so the
// measured processes hold only their own memory: the provider runs in a child
// of its own per range size, and the peak resident size reported for it and
// for curl is the child's (wait4). The provider does what an install does for
// each range: transfer into the temporary range file, copy into the reserved
// output file, fsync it and compute the destination digest. curl follows the
// hub's redirect and appends every range to one file. The "transfers" row is
// the provider's transfer step alone, to show where the time goes.

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "engine/common/repack_audit.h"
#include "engine/io/posix.h"
#include "engine/io/sha256_stream.h"
#include "engine/remote/hugging_face_source.h"
#include "engine/remote/source_byte_provider.h"
#include "tools/checkpoint_files.h"
#include "tools/test_hub.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kRepo[] = "velquor-bench/large";
constexpr char kCommit[] = "0123456789abcdef0123456789abcdef01234567";
constexpr char kShard[] = "model-00001-of-00001.safetensors";
constexpr uint64_t kMiB = 1024 * 1024;

// One shard of `size` bytes whose content is a cheap function of the offset.
class PatternShard final : public CheckpointFiles {
 public:
  explicit PatternShard(uint64_t size) : size_(size) {}
  std::vector<std::string> names() const override { return {"config.json", kShard}; }
  std::optional<uint64_t> size(const std::string& name) const override {
    if (name == "config.json") return 2;
    if (name == kShard) return size_;
    return std::nullopt;
  }
  void read(const std::string& name, uint64_t offset, std::span<uint8_t> out) const override {
    if (name == "config.json") {
      std::memcpy(out.data(), std::string("{}").data() + offset, out.size());
      return;
    }
    for (size_t i = 0; i < out.size(); ++i) {
      const uint64_t at = offset + i;
      out[i] = static_cast<uint8_t>((at >> 3) * 0x9E3779B97F4A7C15ULL >> (8 * (at & 7)));
    }
  }

 private:
  uint64_t size_;
};

struct HubProcess {
  pid_t pid = -1;
  std::string baseURL;
  std::string caFile;
};

// Starts the hub in a child process; returns once it accepts connections.
HubProcess startHub(uint64_t shardBytes, uint64_t bytesPerSecond) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) std::abort();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pipeFds[0]);
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    TestHubOptions options;
    options.repoID = kRepo;
    options.revision = kCommit;
    options.files = std::make_shared<PatternShard>(shardBytes);
    options.sha256StandIns[kShard] = std::string(64, 'a');  // never hash 2 GiB
    options.throughputBytesPerSecond = bytesPerSecond;
    std::unique_ptr<TestHub> hub = TestHub::start(options);
    const std::string line = hub->baseURL() + "\n" + hub->caFile() + "\n";
    if (::write(pipeFds[1], line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
      std::_Exit(1);
    }
    ::close(pipeFds[1]);
    int received = 0;
    sigwait(&signals, &received);
    hub->stop();
    std::_Exit(0);
  }
  ::close(pipeFds[1]);
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  ::close(pipeFds[0]);
  const size_t newline = text.find('\n');
  if (newline == std::string::npos) {
    std::fprintf(stderr, "the test hub did not start\n");
    std::exit(1);
  }
  return HubProcess{pid, text.substr(0, newline),
                    text.substr(newline + 1, text.find('\n', newline + 1) - newline - 1)};
}

HuggingFaceRemoteSource sourceFor(const HubProcess& hub, const std::string& tempDirectory) {
  RemoteDownloadSessionOptions options;
  options.caBundlePath = hub.caFile;
  HuggingFaceRemoteSource source;
  source.repoID = kRepo;
  source.requestedRevision = kCommit;
  source.baseURL = hub.baseURL;
  source.tempDirectory = tempDirectory;
  source.downloadSession =
      std::make_shared<const RemoteDownloadSession>(RemoteDownloadSessionPolicy{}, options);
  return source;
}

struct Run {
  double seconds = 0;
  uint64_t peakResidentBytes = 0;
  bool ok = false;
};

// Runs `body` in a child process and returns its wall time and peak RSS.
template <typename F>
Run inChild(F&& body) {
  const auto start = Clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) std::_Exit(body() ? 0 : 1);
  int status = 0;
  struct rusage usage;
  ::wait4(pid, &status, 0, &usage);
  Run run;
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  run.peakResidentBytes = static_cast<uint64_t>(usage.ru_maxrss) * 1024;
  run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return run;
}

// The provider fetching the whole shard in ranges of `rangeBytes` into a
// reserved output file.
bool runProvider(const HubProcess& hub, const std::string& scratch, uint64_t total,
                 uint64_t rangeBytes) {
  try {
    const std::string root = scratch + "/provider.partial";
    const std::string output = root + "/model_weights.bin";
    Posix::mkdirP(root);
    {
      UniqueFd fd = Posix::openCreateRW(output);
      Posix::ftruncate(fd.get(), output, total);
    }
    HuggingFaceRemoteSource source = sourceFor(hub, root);
    RepackAudit audit;
    const RemoteFileInfo info = source.resolveFileInfo(kShard, &audit);
    std::vector<CoalescedRangeCopy> ranges;
    for (uint64_t offset = 0; offset < total; offset += rangeBytes) {
      char id[32];
      std::snprintf(id, sizeof id, "range-%08zu", ranges.size());
      const uint64_t size = std::min(rangeBytes, total - offset);
      ranges.push_back(CoalescedRangeCopy{
          id, kShard, offset, size, {RangeCopy{kShard, offset, size, output, offset}}});
    }
    HTTPRangeSourceByteProvider provider(source.pinned(info.resolvedCommit), {{kShard, info}});
    provider.copyRanges(ranges, {}, root, root + "/.range.tmp", audit, {},
                        [](const RemoteCompletedRange&) {});
    return audit.remoteBytesDownloaded == total;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "provider: %s\n", e.what());
    return false;
  }
}

// The provider's transfer step alone: each range into the temporary file,
// which is then dropped (no copy, fsync or digest).
bool runTransfers(const HubProcess& hub, const std::string& scratch, uint64_t total,
                  uint64_t rangeBytes) {
  try {
    const std::string root = scratch + "/transfers";
    HuggingFaceRemoteSource source = sourceFor(hub, root);
    const RemoteFileInfo info = source.resolveFileInfo(kShard, nullptr);
    for (uint64_t offset = 0; offset < total; offset += rangeBytes) {
      const uint64_t size = std::min(rangeBytes, total - offset);
      const TemporaryRangeFile file = source.downloadRangeToTempFile(
          kShard, info, offset, static_cast<int64_t>(size), root + "/.range.tmp", {}, nullptr);
      std::filesystem::remove(file.path);
    }
    return true;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "transfers: %s\n", e.what());
    return false;
  }
}

// curl fetching the same ranges in one process (connection reuse allowed),
// following the redirect, appending every range to one file.
bool runCurl(const HubProcess& hub, const std::string& scratch, uint64_t total,
             uint64_t rangeBytes) {
  const std::string config = scratch + "/curl.config";
  {
    std::ofstream out(config);
    const std::string url = hub.baseURL + "/" + kRepo + "/resolve/" + kCommit + "/" + kShard;
    bool first = true;
    for (uint64_t offset = 0; offset < total; offset += rangeBytes) {
      if (!first) out << "next\n";
      first = false;
      out << "url = \"" << url << "\"\n"
          << "range = \"" << offset << "-" << std::min(total, offset + rangeBytes) - 1 << "\"\n"
          << "cacert = \"" << hub.caFile << "\"\n"
          << "location\nsilent\nshow-error\nfail\nnoproxy = \"*\"\n"
          << "header = \"Accept-Encoding: identity\"\n";
    }
  }
  const std::string output = scratch + "/curl.out";
  const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fd, STDOUT_FILENO);
    ::execlp("curl", "curl", "--config", config.c_str(), static_cast<char*>(nullptr));
    std::_Exit(127);
  }
  ::close(fd);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
         std::filesystem::file_size(output) == total;
}

double mbPerSecond(uint64_t bytes, double seconds) { return bytes / 1e6 / seconds; }

}  // namespace

int main(int argc, char** argv) {
  uint64_t throughputMBps = 0;
  int repetitions = 3;
  std::vector<uint64_t> numbers;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.starts_with("--throughput=")) {
      throughputMBps = std::strtoull(arg.c_str() + 13, nullptr, 10);
    } else if (arg.starts_with("--repetitions=")) {
      repetitions = std::max(1, std::atoi(arg.c_str() + 14));
    } else {
      numbers.push_back(std::strtoull(arg.c_str(), nullptr, 10));
    }
  }
  const uint64_t gib = numbers.empty() ? 2 : numbers[0];
  std::vector<uint64_t> rangeMiB(numbers.size() > 1 ? numbers.begin() + 1 : numbers.end(),
                                 numbers.end());
  if (rangeMiB.empty()) rangeMiB = {64, 16};
  const uint64_t total = gib * 1024 * kMiB;

  const char* tmp = std::getenv("TMPDIR");
  std::string scratch = std::string(tmp && *tmp ? tmp : "/tmp") + "/remote-bench-XXXXXX";
  if (::mkdtemp(scratch.data()) == nullptr) return 1;
  ::setenv("no_proxy", "*", 1);

  const HubProcess hub = startHub(total, throughputMBps * 1000000);
  std::printf("remote_bench: %llu GiB from the loopback test hub (TLS, hub redirect to storage)",
              static_cast<unsigned long long>(gib));
  if (throughputMBps != 0) {
    std::printf(", hub throughput capped at %llu MB/s",
                static_cast<unsigned long long>(throughputMBps));
  }
  std::printf("\nbest of %d runs; peak RSS is the largest of the runs\n", repetitions);
  std::printf("%-8s %-10s %10s %10s %14s\n", "range", "client", "seconds", "MB/s", "peak RSS MiB");
  int status = 0;
  for (const uint64_t mib : rangeMiB) {
    const uint64_t rangeBytes = mib * kMiB;
    const std::string label = std::to_string(mib) + "MiB";
    // Best of `repetitions`, the clients taking turns, so that load from
    // elsewhere on the machine hits all of them alike.
    Run provider, transfers, curl;
    provider.seconds = transfers.seconds = curl.seconds = 1e300;
    bool sameBytes = true;
    const auto keepBest = [](Run& best, const Run& run) {
      if (!run.ok) {
        best.ok = false;
        best.seconds = 0;
        return;
      }
      if (best.seconds != 0 && run.seconds < best.seconds) {
        best.seconds = run.seconds;
        best.ok = true;
      }
      best.peakResidentBytes = std::max(best.peakResidentBytes, run.peakResidentBytes);
    };
    for (int repetition = 0; repetition < repetitions; ++repetition) {
      const Run p = inChild([&] { return runProvider(hub, scratch, total, rangeBytes); });
      const std::string providerDigest =
          p.ok ? Sha256Stream::hashFile(scratch + "/provider.partial/model_weights.bin", 1 << 20,
                                        true, false)
               : "";
      std::filesystem::remove_all(scratch + "/provider.partial");
      keepBest(provider, p);
      keepBest(transfers, inChild([&] { return runTransfers(hub, scratch, total, rangeBytes); }));
      const Run c = inChild([&] { return runCurl(hub, scratch, total, rangeBytes); });
      const std::string curlDigest =
          c.ok ? Sha256Stream::hashFile(scratch + "/curl.out", 1 << 20, true, false) : "";
      std::filesystem::remove(scratch + "/curl.out");
      keepBest(curl, c);
      sameBytes = sameBytes && p.ok && c.ok && providerDigest == curlDigest;
    }
    if (!provider.ok || !transfers.ok || !curl.ok || !sameBytes) {
      std::printf("%-8s failed (provider %s, transfers %s, curl %s, same bytes %s)\n",
                  label.c_str(), provider.ok ? "ok" : "failed", transfers.ok ? "ok" : "failed",
                  curl.ok ? "ok" : "failed", sameBytes ? "yes" : "no");
      status = 1;
      continue;
    }
    const auto row = [&](const char* client, const Run& run) {
      std::printf("%-8s %-10s %10.2f %10.1f %14.1f\n", label.c_str(), client, run.seconds,
                  mbPerSecond(total, run.seconds), run.peakResidentBytes / double(kMiB));
    };
    row("provider", provider);
    row("transfers", transfers);
    row("curl", curl);
    std::printf(
        "%-8s throughput ratio provider/curl: %.2f (target >= 0.9), transfers/curl: %.2f; "
        "same bytes: yes\n",
        label.c_str(), curl.seconds / provider.seconds, curl.seconds / transfers.seconds);
  }
  ::kill(hub.pid, SIGTERM);
  ::waitpid(hub.pid, nullptr, 0);
  std::filesystem::remove_all(scratch);
  return status;
}
