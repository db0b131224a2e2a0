#include "cli/progress_line.h"

#include <gtest/gtest.h>

namespace {

using Clock = TerminalProgressLine::Clock;
using Copying = ModelInstallProgress::CopyingPayload;
constexpr uint64_t kMiB = 1048576;

// The copy line: the rate is that of the last few seconds (not of the whole
// copy), with the connections transferring and the time left at that rate.
TEST(TerminalProgressLine, CopyLineShowsTheRecentRateAndTheConnections) {
  TerminalProgressLine line(-1, false);
  const Clock::time_point start{};
  const auto at = [&](double seconds) {
    return start +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  };
  const auto bytes = TerminalProgressLine::bytes;
  struct Step {
    double seconds;
    Copying event;
    std::string expected;
  };
  const std::vector<Step> steps = {
      {0, {0, 0, 100 * kMiB, 0}, "Downloading " + bytes(0) + " / " + bytes(100 * kMiB)},
      // Under a second in: no rate yet.
      {0.5,
       {0, 10 * kMiB, 100 * kMiB, 4},
       "Downloading " + bytes(10 * kMiB) + " / " + bytes(100 * kMiB)},
      {2,
       {0, 40 * kMiB, 100 * kMiB, 8},
       "Downloading " + bytes(40 * kMiB) + " / " + bytes(100 * kMiB) + "  " + bytes(20 * kMiB) +
           "/s  8 connections  ETA 3s"},
      // The fast start has left the window: 50 MiB over the last 8 s.
      {10,
       {0, 90 * kMiB, 100 * kMiB, 1},
       "Downloading " + bytes(90 * kMiB) + " / " + bytes(100 * kMiB) + "  " + bytes(50 * kMiB / 8) +
           "/s  1 connection  ETA 1s"},
      // Bytes reused from a saved download count as done, not as rate.
      {11,
       {30 * kMiB, 96 * kMiB, 130 * kMiB, 2},
       "Downloading " + bytes(126 * kMiB) + " / " + bytes(130 * kMiB) + "  " +
           bytes(56 * kMiB / 9) + "/s  2 connections  ETA 0s"},
  };
  for (const Step& step : steps) {
    EXPECT_EQ(line.render(ModelInstallProgress{step.event}, at(step.seconds)), step.expected)
        << step.seconds;
  }
}

}  // namespace
