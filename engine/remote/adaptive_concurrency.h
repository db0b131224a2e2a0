// How many ranges an install keeps in flight. The limit starts at
// min(4, maximum) and, while each measured window's total rate beats the one
// before it, rises by one per window toward the maximum. A sign that the
// server or the path is overloaded (a 429, a 503, a stalled transfer) halves
// it, not below 1; after that it rises by one only after several windows
// without such a sign. Several signs within one window of a decrease count
// as one, since the attempts that were in flight together fail together.
//
// Pure: time and bytes are given by the caller, so the policy is tested
// without timers. Not thread-safe; the caller serialises its calls.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>

class AdaptiveConcurrency {
 public:
  using Clock = std::chrono::steady_clock;

  static constexpr int64_t kInitialLimit = 4;
  static constexpr Clock::duration kWindow = std::chrono::seconds(1);
  // Clean windows before a rise once overload has been seen or the rate
  // stopped rising.
  static constexpr int kCautiousWindows = 5;

  AdaptiveConcurrency(int64_t maximum, Clock::time_point start);

  int64_t limit() const { return limit_; }

  // `totalBytes` received so far by the whole run. Closes the window when it
  // has lasted kWindow, and may raise the limit.
  void observe(Clock::time_point now, uint64_t totalBytes);
  // An attempt failed with a sign of overload.
  void overloaded(Clock::time_point now);

  // Whether a failed attempt's error is a sign of overload: HTTP 429 or 503,
  // or a transfer that timed out (no byte for too long).
  static bool isOverload(const std::exception_ptr& error);

 private:
  int64_t maximum_;
  int64_t limit_;
  bool probing_ = true;  // rising each window while the rate rises
  int cleanWindows_ = 0;
  Clock::time_point windowStart_;
  uint64_t windowStartBytes_ = 0;
  double lastRate_ = 0;  // bytes per second of the last closed window
  bool decreased_ = false;
  Clock::time_point lastDecrease_;
};
