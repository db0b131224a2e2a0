// The one updating progress line that install and vision-write show on a
// terminal: phase, bytes done of total, the total rate of the last few
// seconds, the connections transferring and the time left, rewritten in
// place on standard error. Scripts (stderr not a terminal) see nothing.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "engine/common/progress.h"

class TerminalProgressLine {
 public:
  using Clock = std::chrono::steady_clock;

  // Writes to `fd` (standard error); `enabled` false makes every call a no-op.
  TerminalProgressLine(int fd, bool enabled);
  ~TerminalProgressLine();  // ends the line so later output starts clean

  // A handler for the engine; events arrive on the install's thread.
  ProgressHandler handler();

  // The text of the line for an event at `now` (exposed for tests).
  std::string render(const ModelInstallProgress& event, Clock::time_point now);

  // "0 B", "512 KiB", "1.5 GiB"; "3s", "4m12s", "1h05m".
  static std::string bytes(uint64_t n);
  static std::string duration(uint64_t seconds);

 private:
  void show(const ModelInstallProgress& event);

  int fd_;
  bool enabled_;
  bool drawn_ = false;
  Clock::time_point lastDraw_{};
  // The rate is measured over the copy events of the last kRateWindow.
  static constexpr std::chrono::seconds kRateWindow{5};
  std::optional<Clock::time_point> copyStart_;
  std::deque<std::pair<Clock::time_point, uint64_t>> samples_;  // (time, fetched)
  uint64_t total_ = 0;
};

// True when `fd` is a terminal.
bool isTerminal(int fd);
