// Whole-process benchmark of `VelquorRepack --verify-install` on synthetic
// packages against `openssl dgst -sha256` over the same files in the same
// run, with the verifier's peak resident memory.
// Usage: verify_bench [directory] [package-GiB ...] (default: $TMPDIR or /tmp, 1 and 3).
//
// Both commands start from a warm page cache, so the comparison is of the
// hashing and reading code, not of the disk.

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/package_fixture.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Run {
  double seconds = 0;
  uint64_t peakRssBytes = 0;
};

// Spawns the command with standard output discarded and waits for it.
// Returns the exit status and fills `usage` with the child's resources.
int spawnQuiet(std::vector<std::string> args, rusage& usage) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) std::abort();
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  ::wait4(pid, &status, 0, &usage);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

// A child's peak RSS includes the address space it was spawned from, so the
// command runs under a fresh, small copy of this program ("--measure"),
// which reports the command's own peak on standard error.
Run measure(const char* self, std::vector<std::string> command) {
  command.insert(command.begin(), {self, "--measure"});
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) std::abort();
  const auto start = Clock::now();
  rusage ignored{};
  std::vector<char*> argv;
  for (std::string& a : command) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  pid_t pid;
  if (posix_spawn(&pid, self, &actions, nullptr, argv.data(), environ) != 0) std::abort();
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  char text[64] = {};
  const ssize_t n = ::read(pipeFds[0], text, sizeof text - 1);
  ::close(pipeFds[0]);
  int status = 0;
  ::wait4(pid, &status, 0, &ignored);
  if (n <= 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "%s failed\n", command[2].c_str());
    std::exit(1);
  }
  return {std::chrono::duration<double>(Clock::now() - start).count(), std::stoull(text)};
}

void warm(const std::vector<std::string>& files) {
  std::vector<char> buffer(1 << 20);
  for (const std::string& f : files) {
    const int fd = ::open(f.c_str(), O_RDONLY | O_CLOEXEC);
    while (::read(fd, buffer.data(), buffer.size()) > 0) {
    }
    ::close(fd);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2 && std::string(argv[1]) == "--measure") {
    rusage usage{};
    const int status = spawnQuiet(std::vector<std::string>(argv + 2, argv + argc), usage);
    std::fprintf(stderr, "%llu\n", static_cast<unsigned long long>(usage.ru_maxrss) * 1024);
    return status;
  }
  const char* tmp = std::getenv("TMPDIR");
  const std::string base = argc > 1 ? argv[1] : (tmp && *tmp ? tmp : "/tmp");
  std::vector<uint64_t> sizesGiB;
  for (int i = 2; i < argc; ++i) sizesGiB.push_back(std::stoull(argv[i]));
  if (sizesGiB.empty()) sizesGiB = {1, 3};

  std::printf("%-8s %-22s %9s %9s %8s %14s\n", "package", "command", "seconds", "MiB/s", "vs dgst",
              "peak RSS MiB");
  bool ok = true;
  for (uint64_t gib : sizesGiB) {
    const std::string dir = base + "/velquor-verify-bench.korvex";
    fs::remove_all(dir);
    // Layers of 32 experts x 16 MiB (512 MiB each), plus 64 MiB resident.
    PackageFixtureOptions options;
    options.expertsPerLayer = 32;
    options.expertStride = 16 << 20;
    options.numLayers = static_cast<int64_t>(gib * 2);
    options.residentPayloadBytes = 64 << 20;
    const PackageFixture fixture = writePackageFixture(dir, options);
    std::vector<std::string> files;
    uint64_t total = fs::file_size(dir + "/manifest.json");
    for (const auto& [path, entry] : fixture.manifest.files) {
      files.push_back(dir + "/" + path);
      total += entry.size;
    }
    const double mib = static_cast<double>(total) / (1 << 20);

    std::vector<std::string> dgst = {"openssl", "dgst", "-sha256"};
    dgst.insert(dgst.end(), files.begin(), files.end());
    Run reference{1e300, 0}, verify{1e300, 0};
    for (int i = 0; i < 3; ++i) {
      warm(files);
      const Run r = measure(argv[0], dgst);
      if (r.seconds < reference.seconds) reference = r;
      warm(files);
      const Run v = measure(argv[0], {VELQUOR_BINARY, "--verify-install", "--input-korvex", dir});
      if (v.seconds < verify.seconds) verify = v;
    }
    fs::remove_all(dir);

    const std::string label = std::to_string(gib) + " GiB";
    std::printf("%-8s %-22s %9.3f %9.0f %7.0f%% %14.1f\n", label.c_str(), "openssl dgst -sha256",
                reference.seconds, mib / reference.seconds, 100.0,
                static_cast<double>(reference.peakRssBytes) / (1 << 20));
    const double ratio = reference.seconds / verify.seconds;
    std::printf("%-8s %-22s %9.3f %9.0f %7.0f%% %14.1f\n", label.c_str(), "--verify-install",
                verify.seconds, mib / verify.seconds, 100 * ratio,
                static_cast<double>(verify.peakRssBytes) / (1 << 20));
    ok &= ratio >= 0.9;
  }
  std::printf("%s\n", ok ? "verification within 90% of openssl dgst" : "below 90% of openssl dgst");
  return 0;
}
