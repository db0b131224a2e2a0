#include "engine/remote/retry_policy.h"

#include <algorithm>
#include <random>
#include <thread>

#include "engine/common/repack_audit.h"
#include "engine/common/repack_error.h"
#include "engine/remote/http_client.h"
#include "engine/remote/response_headers.h"

namespace {

bool isRetryableStatus(int64_t status) {
  return status == 408 || status == 429 || status == 500 || status == 502 || status == 503 ||
         status == 504;
}

uint64_t saturatingAdd(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

// The longest single nap of the system sleeper: the latency of a
// cancellation during a back-off pause.
constexpr auto kSleepSlice = std::chrono::milliseconds(20);

// Sleeps in short steps until the pause ends or a token is set.
void pause(uint64_t nanoseconds, const CancellationToken& cancel, const CancellationToken* stop) {
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::nanoseconds(std::min<uint64_t>(nanoseconds, INT64_MAX / 2));
  for (;;) {
    cancel.check();
    if (stop != nullptr) stop->check();
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return;
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(deadline - now, kSleepSlice));
  }
}

}  // namespace

bool RemoteRetryPolicy::isRetryable(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const RemoteTransportError& e) {
    return e.code() != RemoteTransportError::Code::other;
  } catch (const RepackError& e) {
    if (const auto* status = e.as<RepackError::RemoteHTTPStatus>()) {
      return isRetryableStatus(status->status);
    }
    if (const auto* response = e.as<RepackError::RemoteHTTPResponse>()) {
      return isRetryableStatus(response->status);
    }
    return e.kind() == RepackError::Case::remoteBodyTruncated;
  } catch (...) {
    return false;
  }
}

uint64_t RemoteRetryPolicy::retryDelayNs(const std::exception_ptr& error, uint64_t localNs,
                                         std::chrono::system_clock::time_point now) const {
  const uint64_t base = std::min(maxServerDelayNs, localNs);
  std::optional<std::string> retryAfter;
  std::optional<std::string> rateLimit;
  try {
    std::rethrow_exception(error);
  } catch (const RepackError& e) {
    if (const auto* response = e.as<RepackError::RemoteHTTPResponse>()) {
      retryAfter = response->retryAfter;
      rateLimit = response->rateLimit;
    }
  } catch (...) {
  }
  uint64_t delay = base;
  const auto honour = [&](uint64_t serverNs, const std::string& text) {
    if (serverNs > maxServerDelayNs) {
      throw RepackError(RepackError::RemoteRetryDelayExceeded{text, maxServerDelayNs / 1000000000});
    }
    delay = std::max(delay, serverNs);
  };
  if (retryAfter) honour(RemoteHeaders::parseRetryAfterNs(*retryAfter, now), *retryAfter);
  // The window's reset (plus a second, so that the next attempt lands in
  // the new window); an unreadable RateLimit is no instruction at all.
  if (const std::optional<uint64_t> reset =
          rateLimit ? RemoteHeaders::parseRateLimitResetSeconds(*rateLimit) : std::nullopt) {
    const uint64_t capSeconds = maxServerDelayNs / 1000000000;
    honour(*reset >= capSeconds ? maxServerDelayNs + 1 : (*reset + 1) * 1000000000, *rateLimit);
  }
  return delay;
}

uint64_t systemRetryJitterNs() {
  thread_local std::mt19937_64 generator{std::random_device{}()};
  std::uniform_int_distribution<uint64_t> distribution(0, kRetryJitterBoundNs - 1);
  return distribution(generator);
}

RemoteRetryEnvironment RemoteRetryEnvironment::system(const CancellationToken& cancel) {
  RemoteRetryEnvironment environment;
  environment.now = [] { return std::chrono::system_clock::now(); };
  environment.jitter = systemRetryJitterNs;
  environment.sleeper = [&cancel](uint64_t nanoseconds) { pause(nanoseconds, cancel, nullptr); };
  environment.stoppableSleeper = [&cancel](uint64_t nanoseconds, const CancellationToken& stop) {
    pause(nanoseconds, cancel, &stop);
  };
  return environment;
}

std::string remoteErrorDescription(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const RepackError& e) {
    return e.description();
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

void runWithRemoteRetries(const RemoteRetryPolicy& policy, const std::string& label,
                          RepackAudit* audit, const RemoteRetryEnvironment& environment,
                          const CancellationToken& cancel, const std::function<void()>& attempt) {
  const int64_t attempts = std::max<int64_t>(1, policy.attempts);
  uint64_t delay = policy.baseDelayNs;
  cancel.check();
  for (int64_t number = 1;; ++number) {
    try {
      attempt();
      return;
    } catch (...) {
      const std::exception_ptr error = std::current_exception();
      if (number >= attempts || !RemoteRetryPolicy::isRetryable(error)) throw;
      const uint64_t local = delay == 0 ? 0 : saturatingAdd(delay, environment.jitter());
      const uint64_t pause = policy.retryDelayNs(error, local, environment.now());
      if (audit != nullptr) audit->recordRetry(label, number, remoteErrorDescription(error));
      if (pause > 0) environment.sleeper(pause);
    }
    cancel.check();
    delay =
        delay > policy.maxDelayNs / 2 ? policy.maxDelayNs : std::min(2 * delay, policy.maxDelayNs);
  }
}
