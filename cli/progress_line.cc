#include "cli/progress_line.h"

#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <variant>

namespace {

void writeAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

}  // namespace

bool isTerminal(int fd) { return ::isatty(fd) == 1; }

TerminalProgressLine::TerminalProgressLine(int fd, bool enabled) : fd_(fd), enabled_(enabled) {}

TerminalProgressLine::~TerminalProgressLine() {
  if (enabled_ && drawn_) writeAll(fd_, "\r\033[K");
}

ProgressHandler TerminalProgressLine::handler() {
  return [this](ModelInstallProgress event) { show(event); };
}

std::string TerminalProgressLine::bytes(uint64_t n) {
  static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(n);
  int unit = 0;
  while (value >= 1024 && unit < 4) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  if (unit == 0) {
    std::snprintf(text, sizeof text, "%" PRIu64 " B", n);
  } else {
    std::snprintf(text, sizeof text, value < 10 ? "%.1f %s" : "%.0f %s", value, units[unit]);
  }
  return text;
}

std::string TerminalProgressLine::duration(uint64_t seconds) {
  char text[32];
  if (seconds < 60) {
    std::snprintf(text, sizeof text, "%" PRIu64 "s", seconds);
  } else if (seconds < 3600) {
    std::snprintf(text, sizeof text, "%" PRIu64 "m%02" PRIu64 "s", seconds / 60, seconds % 60);
  } else {
    std::snprintf(text, sizeof text, "%" PRIu64 "h%02" PRIu64 "m", seconds / 3600,
                  (seconds % 3600) / 60);
  }
  return text;
}

std::string TerminalProgressLine::render(const ModelInstallProgress& event, Clock::time_point now) {
  return std::visit(
      Overloaded{
          [](const ModelInstallProgress::DownloadingMetadata&) -> std::string {
            return "Fetching checkpoint metadata";
          },
          [this](const ModelInstallProgress::Planning& p) -> std::string {
            total_ = p.downloadBytes;
            return "Planned: " + bytes(p.downloadBytes) + " to download, " + bytes(p.outputBytes) +
                   " package";
          },
          [](const ModelInstallProgress::CheckingDisk& d) -> std::string {
            return "Disk space: " + bytes(d.requirement.availableBytes) + " free, " +
                   bytes(d.requirement.requiredBytes) + " needed";
          },
          [](const ModelInstallProgress::ReservingOutput& r) -> std::string {
            return "Reserving " + bytes(r.bytes);
          },
          [this, now](const ModelInstallProgress::CopyingPayload& c) -> std::string {
            if (!copyStart_) copyStart_ = now;
            samples_.emplace_back(now, c.downloadedThisRunBytes);
            while (samples_.size() > 2 && now - samples_[1].first >= kRateWindow) {
              samples_.pop_front();
            }
            const uint64_t done = c.reusedBytes + c.downloadedThisRunBytes;
            std::string line = "Downloading " + bytes(done) + " / " + bytes(c.totalBytes);
            const auto& [since, before] = samples_.front();
            const double elapsed = std::chrono::duration<double>(now - since).count();
            if (std::chrono::duration<double>(now - *copyStart_).count() >= 1 &&
                c.downloadedThisRunBytes > 0 && elapsed > 0) {
              const double rate = static_cast<double>(c.downloadedThisRunBytes -
                                                      std::min(before, c.downloadedThisRunBytes)) /
                                  elapsed;
              line += "  " + bytes(static_cast<uint64_t>(rate)) + "/s";
              line += "  " + std::to_string(c.activeConnections) +
                      (c.activeConnections == 1 ? " connection" : " connections");
              if (c.totalBytes > done && rate > 0) {
                line += "  ETA " + duration(static_cast<uint64_t>(
                                       static_cast<double>(c.totalBytes - done) / rate));
              }
            }
            return line;
          },
          [](const ModelInstallProgress::HashingOutput& h) -> std::string {
            return "Hashing " + h.relativePath;
          },
          [](const ModelInstallProgress::Finalizing&) -> std::string {
            return "Writing manifest and receipt";
          },
      },
      event.event);
}

void TerminalProgressLine::show(const ModelInstallProgress& event) {
  if (!enabled_) return;
  const Clock::time_point now = Clock::now();
  const bool copying = std::holds_alternative<ModelInstallProgress::CopyingPayload>(event.event);
  std::string line = render(event, now);
  // Copy progress arrives many times a second; redraw at most four times.
  if (copying && drawn_ && now - lastDraw_ < std::chrono::milliseconds(250)) return;
  lastDraw_ = now;
  drawn_ = true;
  writeAll(fd_, "\r\033[K" + line);
}
