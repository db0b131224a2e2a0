// Hash throughput of the install's two file hashers against `openssl dgst
// -sha256` on the same file in the same run, and the process's peak resident
// memory after each size. Usage: hash_bench [directory] [size-MiB ...]
// (default: $TMPDIR or /tmp, 64 and 1024).
//
// Each measurement starts from a warm page cache, so the numbers compare
// hashing and reading code, not the disk.

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "engine/common/repack_audit.h"
#include "engine/io/sha256_stream.h"
#include "engine/install/writer_core.h"

namespace {

using Clock = std::chrono::steady_clock;

void writeFile(const std::string& path, uint64_t size) {
  std::vector<char> block(1 << 20);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 2654435761u >> 13);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  for (uint64_t done = 0; done < size; done += block.size()) {
    block[0] = static_cast<char>(done >> 20);
    out.write(block.data(),
              static_cast<std::streamsize>(std::min<uint64_t>(block.size(), size - done)));
  }
}

void warm(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  std::vector<char> buffer(1 << 20);
  while (::read(fd, buffer.data(), buffer.size()) > 0) {
  }
  ::close(fd);
}

uint64_t peakResidentBytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("VmHWM:")) return std::stoull(line.substr(6)) * 1024;
  }
  return 0;
}

template <typename F>
double secondsOf(const std::string& path, F&& run) {
  double best = 1e300;
  for (int i = 0; i < 3; ++i) {
    warm(path);
    const auto start = Clock::now();
    run();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const char* tmp = std::getenv("TMPDIR");
  const std::string dir = argc > 1 ? argv[1] : (tmp && *tmp ? tmp : "/tmp");
  std::vector<uint64_t> sizesMiB;
  for (int i = 2; i < argc; ++i) sizesMiB.push_back(std::stoull(argv[i]));
  if (sizesMiB.empty()) sizesMiB = {64, 1024};

  std::printf("%-10s %-26s %10s %10s %8s %14s\n", "size", "hasher", "seconds", "MiB/s", "vs dgst",
              "peak RSS MiB");
  bool ok = true;
  for (uint64_t mib : sizesMiB) {
    const std::string path = dir + "/velquor-hash-bench.bin";
    const uint64_t size = mib << 20;
    writeFile(path, size);
    const std::string dgst = "openssl dgst -sha256 " + path + " > /dev/null";
    const double reference = secondsOf(path, [&] {
      if (std::system(dgst.c_str()) != 0) std::abort();
    });
    RepackAudit audit;
    std::string a, b;
    const double entire =
        secondsOf(path, [&] { a = WriterCore::hashEntireFile(path, size, audit, {}); });
    const double stream =
        secondsOf(path, [&] { b = Sha256Stream::hashFile(path, 65536, false, false); });
    ::unlink(path.c_str());
    if (a != b) {
      std::fprintf(stderr, "digests differ: %s %s\n", a.c_str(), b.c_str());
      return 1;
    }
    const double rss = static_cast<double>(peakResidentBytes()) / (1 << 20);
    auto row = [&](const char* name, double seconds) {
      const double ratio = reference / seconds;
      std::printf("%-10s %-26s %10.3f %10.0f %7.0f%% %14.1f\n",
                  (std::to_string(mib) + " MiB").c_str(), name, seconds,
                  static_cast<double>(mib) / seconds, 100 * ratio, rss);
      return ratio;
    };
    row("openssl dgst -sha256", reference);
    ok &= row("WriterCore::hashEntireFile", entire) >= 0.9;
    ok &= row("Sha256Stream::hashFile", stream) >= 0.9;
  }
  std::printf("%s\n", ok ? "both hashers within 90% of openssl dgst" : "below 90% of openssl dgst");
  return 0;
}
