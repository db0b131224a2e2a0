// Cooperative cancellation of an install. The process has one token, set by
// SIGINT/SIGTERM (the command line installs the handler); the engine checks
// it at fixed points and stops with CancellationError, after which the usual
// failure clean-up leaves a resumable saved download. Tests may pass their
// own token. cancel() is async-signal-safe; every member is thread-safe.
#pragma once

#include <atomic>
#include <exception>

// The error a cancelled operation ends with.
class CancellationError : public std::exception {
 public:
  const char* what() const noexcept override { return "the operation was cancelled"; }
};

class CancellationToken {
 public:
  void cancel() noexcept { cancelled_.store(true, std::memory_order_relaxed); }
  bool isCancelled() const noexcept { return cancelled_.load(std::memory_order_relaxed); }
  // Throws CancellationError when cancelled.
  void check() const {
    if (isCancelled()) throw CancellationError();
  }
  // For tests that reuse a token.
  void reset() noexcept { cancelled_.store(false, std::memory_order_relaxed); }

  // The process-wide token that the signal handlers set.
  static CancellationToken& process();

 private:
  std::atomic<bool> cancelled_{false};
};

// Makes SIGINT and SIGTERM cancel CancellationToken::process() instead of
// killing the process.
void installCancellationSignalHandlers();
