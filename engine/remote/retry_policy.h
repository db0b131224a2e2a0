// The one retry loop of every remote operation: bounded attempts, doubling
// back-off with random jitter, and a server's "Retry-After" honoured up to a
// cap. Which failures are worth another attempt is decided here and nowhere
// else.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <type_traits>

#include "engine/common/cancellation.h"

class RepackAudit;

struct RemoteRetryPolicy {
  int64_t attempts = 4;                       // including the first; below 1 counts as 1
  uint64_t baseDelayNs = 1000000000;          // before the first retry
  uint64_t maxDelayNs = 16000000000;          // ceiling of the doubling delay
  uint64_t maxServerDelayNs = 3600000000000;  // ceiling of any pause and of Retry-After

  bool operator==(const RemoteRetryPolicy&) const = default;

  // Transport failures that a new connection may cure, the statuses 408, 429,
  // 500, 502, 503 and 504, and truncated bodies. Everything else is final.
  static bool isRetryable(const std::exception_ptr& error);

  // The pause before the next attempt: the local back-off `localNs` (capped
  // at maxServerDelayNs), or the server's Retry-After when that is longer,
  // or the reset of its RateLimit window plus one second when that is
  // longer still. Throws remoteProtocolInvalid for an unreadable
  // Retry-After and remoteRetryDelayExceeded (naming the header's text) for
  // either above maxServerDelayNs; an unreadable RateLimit is ignored.
  uint64_t retryDelayNs(const std::exception_ptr& error, uint64_t localNs,
                        std::chrono::system_clock::time_point now) const;
};

// The clock, randomness and sleep of the retry loop. The system environment
// reads the wall clock, draws jitter uniformly from [0, 250 ms) and sleeps
// in short steps so that a cancelled token ends the pause promptly; tests
// inject their own so that back-off never really sleeps.
struct RemoteRetryEnvironment {
  std::function<std::chrono::system_clock::time_point()> now;
  std::function<uint64_t()> jitter;                   // nanoseconds
  std::function<void(uint64_t nanoseconds)> sleeper;  // throws CancellationError
  // The same pause, which also ends (throwing CancellationError) as soon as
  // `stop` is set, and may run on several threads at once. The system
  // environment has one; an injected environment may leave it empty, and
  // its `sleeper` is then called by one thread at a time.
  std::function<void(uint64_t nanoseconds, const CancellationToken& stop)> stoppableSleeper;

  static RemoteRetryEnvironment system(const CancellationToken& cancel);
};

inline constexpr uint64_t kRetryJitterBoundNs = 250000000;

// Uniform in [0, kRetryJitterBoundNs), without modulo bias.
uint64_t systemRetryJitterNs();

// A failure rendered as text: a RepackError's description, another
// exception's what().
std::string remoteErrorDescription(const std::exception_ptr& error);

// Runs `attempt` until it succeeds, fails finally or the attempts are used
// up; rethrows the last failure unchanged (unless the pause computation
// itself fails, whose error is thrown instead). Each retry adds a record
// (label, failed attempt number, error text) to `audit` when given. The
// token is checked before the first attempt and after every pause.
void runWithRemoteRetries(const RemoteRetryPolicy& policy, const std::string& label,
                          RepackAudit* audit, const RemoteRetryEnvironment& environment,
                          const CancellationToken& cancel, const std::function<void()>& attempt);

template <typename Op>
auto withRemoteRetries(const RemoteRetryPolicy& policy, const std::string& label,
                       RepackAudit* audit, const RemoteRetryEnvironment& environment,
                       const CancellationToken& cancel, Op&& op) -> std::invoke_result_t<Op&> {
  using Result = std::invoke_result_t<Op&>;
  if constexpr (std::is_void_v<Result>) {
    runWithRemoteRetries(policy, label, audit, environment, cancel, [&] { op(); });
  } else {
    std::optional<Result> result;
    runWithRemoteRetries(policy, label, audit, environment, cancel, [&] { result.emplace(op()); });
    return std::move(*result);
  }
}
