#include "engine/remote/retry_policy.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <thread>
#include <variant>

#include "engine/common/repack_audit.h"
#include "engine/common/repack_error.h"
#include "engine/remote/http_client.h"
#include "tests/test_util.h"

namespace {

using E = RepackError;
using Clock = std::chrono::system_clock;
constexpr uint64_t kSecond = 1000000000;

std::exception_ptr httpFailure(int64_t status, std::optional<std::string> retryAfter = {}) {
  return std::make_exception_ptr(E(E::RemoteHTTPResponse{"https://hub/x", status, retryAfter}));
}

// A retry environment that never sleeps: pauses are recorded, the jitter is
// fixed and the clock stands still.
struct RecordingEnvironment {
  std::vector<uint64_t> pauses;
  uint64_t jitterNs = 7;
  int jitterDraws = 0;
  Clock::time_point now = Clock::time_point(std::chrono::seconds(784111777));

  RemoteRetryEnvironment environment() {
    RemoteRetryEnvironment e;
    e.now = [this] { return now; };
    e.jitter = [this] {
      ++jitterDraws;
      return jitterNs;
    };
    e.sleeper = [this](uint64_t ns) { pauses.push_back(ns); };
    return e;
  }
};

TEST(RemoteRetryPolicy, WhatIsRetryable) {
  using Code = RemoteTransportError::Code;
  const std::vector<std::pair<std::exception_ptr, bool>> cases = {
      {httpFailure(408), true},
      {httpFailure(429), true},
      {httpFailure(500), true},
      {httpFailure(502), true},
      {httpFailure(503), true},
      {httpFailure(504), true},
      {httpFailure(501), false},
      {httpFailure(404), false},
      {httpFailure(403), false},
      {std::make_exception_ptr(E(E::RemoteHTTPStatus{"u", 503})), true},
      {std::make_exception_ptr(E(E::RemoteHTTPStatus{"u", 400})), false},
      {std::make_exception_ptr(E(E::RemoteBodyTruncated{"f", 10, 5})), true},
      {std::make_exception_ptr(E(E::RemoteBodyExceeded{"f", 10, 11})), false},
      {std::make_exception_ptr(E(E::RemoteProtocolInvalid{"x"})), false},
      {std::make_exception_ptr(E(E::RemoteRedirectRejected{"u", "x"})), false},
      {std::make_exception_ptr(E(E::FileOpenFailed{"/p", 13})), false},
      {std::make_exception_ptr(RemoteTransportError(Code::timedOut, "t")), true},
      {std::make_exception_ptr(RemoteTransportError(Code::networkConnectionLost, "t")), true},
      {std::make_exception_ptr(RemoteTransportError(Code::cannotConnectToHost, "t")), true},
      {std::make_exception_ptr(RemoteTransportError(Code::dnsLookupFailed, "t")), true},
      {std::make_exception_ptr(RemoteTransportError(Code::other, "t")), false},
      {std::make_exception_ptr(CancellationError()), false},
      {std::make_exception_ptr(std::runtime_error("x")), false},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(RemoteRetryPolicy::isRetryable(cases[i].first), cases[i].second)
        << remoteErrorDescription(cases[i].first);
  }
}

TEST(RemoteRetryPolicy, BrokenConnectionsAreRetriedCertificateFailuresAreNot) {
  const std::vector<std::pair<CURLcode, bool>> cases = {
      {CURLE_SSL_CONNECT_ERROR, true},  // reset during the handshake
      {CURLE_HTTP2, true},              // framing error
      {CURLE_HTTP2_STREAM, true},
      {CURLE_RECV_ERROR, true},
      {CURLE_SEND_ERROR, true},
      {CURLE_GOT_NOTHING, true},
      {CURLE_PARTIAL_FILE, true},
      {CURLE_OPERATION_TIMEDOUT, true},
      {CURLE_COULDNT_CONNECT, true},
      {CURLE_COULDNT_RESOLVE_HOST, true},
      {CURLE_PEER_FAILED_VERIFICATION, false},
      {CURLE_SSL_CACERT_BADFILE, false},
      {CURLE_SSL_CERTPROBLEM, false},
      {CURLE_SSL_PINNEDPUBKEYNOTMATCH, false},
      {CURLE_SSL_ISSUER_ERROR, false},
      {CURLE_SSL_CRL_BADFILE, false},
      {CURLE_UNSUPPORTED_PROTOCOL, false},
      {CURLE_URL_MALFORMAT, false},
  };
  for (const auto& [code, retryable] : cases) {
    const auto error = std::make_exception_ptr(RemoteTransportError(classifyCurlCode(code), "t"));
    EXPECT_EQ(RemoteRetryPolicy::isRetryable(error), retryable) << curl_easy_strerror(code);
  }
}

TEST(RemoteRetryPolicy, PauseHonoursRetryAfterWithinTheCap) {
  const RemoteRetryPolicy policy;
  const Clock::time_point now = Clock::time_point(std::chrono::seconds(784111777));
  EXPECT_EQ(policy.retryDelayNs(httpFailure(503), 2 * kSecond, now), 2 * kSecond);
  EXPECT_EQ(policy.retryDelayNs(httpFailure(503, "120"), 2 * kSecond, now), 120 * kSecond);
  EXPECT_EQ(policy.retryDelayNs(httpFailure(503, "1"), 2 * kSecond, now), 2 * kSecond);
  EXPECT_EQ(policy.retryDelayNs(httpFailure(503, "3600"), 0, now), 3600 * kSecond);
  // A date in the past leaves the local back-off.
  EXPECT_EQ(
      policy.retryDelayNs(httpFailure(429, "Sun, 06 Nov 1994 08:00:00 GMT"), 3 * kSecond, now),
      3 * kSecond);
  // The local back-off itself is capped.
  EXPECT_EQ(policy.retryDelayNs(httpFailure(503), UINT64_MAX, now), policy.maxServerDelayNs);
  EXPECT_EQ(testutil::errorOf([&] { policy.retryDelayNs(httpFailure(503, "3601"), 0, now); }),
            "remote Retry-After 3601 exceeds 3600-second cap");
  EXPECT_EQ(testutil::errorOf([&] { policy.retryDelayNs(httpFailure(503, "soon "), 0, now); }),
            "remote protocol invalid: invalid Retry-After soon");
}

TEST(RemoteRetryLoop, BacksOffDoublingUpToTheCeilingAndRecordsEachRetry) {
  RemoteRetryPolicy policy;
  policy.attempts = 4;
  policy.baseDelayNs = 10 * kSecond;
  RecordingEnvironment env;
  RepackAudit audit;
  CancellationToken token;
  int calls = 0;
  const std::string error = testutil::errorOf([&] {
    withRemoteRetries(policy, "resolveFileInfo:config.json", &audit, env.environment(), token, [&] {
      ++calls;
      throw E(E::RemoteHTTPResponse{"https://hub/x", 503, std::nullopt});
    });
  });
  EXPECT_EQ(error, "remote HTTP 503: https://hub/x");
  EXPECT_EQ(calls, 4);
  EXPECT_EQ(env.pauses,
            (std::vector<uint64_t>{10 * kSecond + 7, 16 * kSecond + 7, 16 * kSecond + 7}));
  EXPECT_EQ(audit.remoteRangeRetries, 3u);
  ASSERT_EQ(audit.remoteRetries.size(), 3u);
  for (int64_t i = 0; i < 3; ++i) {
    EXPECT_EQ(audit.remoteRetries[i],
              (RepackAudit::RemoteRetryRecord{"resolveFileInfo:config.json", i + 1,
                                              "remote HTTP 503: https://hub/x"}));
  }
}

TEST(RemoteRetryLoop, DefaultScheduleAndSuccessAfterRetries) {
  RecordingEnvironment env;
  CancellationToken token;
  int calls = 0;
  const int result =
      withRemoteRetries(RemoteRetryPolicy{}, "l", nullptr, env.environment(), token, [&] {
        if (++calls < 4) throw E(E::RemoteBodyTruncated{"f", 2, 1});
        return 42;
      });
  EXPECT_EQ(result, 42);
  EXPECT_EQ(env.pauses, (std::vector<uint64_t>{1 * kSecond + 7, 2 * kSecond + 7, 4 * kSecond + 7}));
}

TEST(RemoteRetryLoop, FinalFailuresAndSingleAttemptsAreNotRetried) {
  RecordingEnvironment env;
  RepackAudit audit;
  CancellationToken token;
  for (const int64_t attempts : {0, 1, -3}) {
    RemoteRetryPolicy policy;
    policy.attempts = attempts;
    int calls = 0;
    EXPECT_EQ(testutil::errorOf([&] {
                withRemoteRetries(policy, "l", &audit, env.environment(), token, [&] {
                  ++calls;
                  throw E(E::RemoteHTTPResponse{"u", 429, std::nullopt});
                });
              }),
              "remote HTTP 429: u");
    EXPECT_EQ(calls, 1);
  }
  for (const int64_t status : {404, 501}) {
    int calls = 0;
    EXPECT_EQ(testutil::errorOf([&] {
                withRemoteRetries(RemoteRetryPolicy{}, "l", &audit, env.environment(), token, [&] {
                  ++calls;
                  throw E(E::RemoteHTTPStatus{"u", status});
                });
              }),
              "remote HTTP " + std::to_string(status) + ": u");
    EXPECT_EQ(calls, 1);
  }
  EXPECT_TRUE(env.pauses.empty());
  EXPECT_TRUE(audit.remoteRetries.empty());
}

TEST(RemoteRetryLoop, ZeroBaseDelayNeitherSleepsNorDrawsJitter) {
  RemoteRetryPolicy policy;
  policy.baseDelayNs = 0;
  RecordingEnvironment env;
  CancellationToken token;
  int calls = 0;
  withRemoteRetries(policy, "l", nullptr, env.environment(), token, [&] {
    if (++calls < 3) throw RemoteTransportError(RemoteTransportError::Code::timedOut, "t");
  });
  EXPECT_EQ(calls, 3);
  EXPECT_TRUE(env.pauses.empty());
  EXPECT_EQ(env.jitterDraws, 0);
}

TEST(RemoteRetryLoop, RetryAfterDecidesThePauseOrEndsTheLoop) {
  RecordingEnvironment env;
  RepackAudit audit;
  CancellationToken token;
  int calls = 0;
  withRemoteRetries(RemoteRetryPolicy{}, "l", &audit, env.environment(), token, [&] {
    if (++calls == 1) throw E(E::RemoteHTTPResponse{"u", 503, "120"});
  });
  EXPECT_EQ(env.pauses, (std::vector<uint64_t>{120 * kSecond}));

  // Too long or unreadable: the loop ends with that error and records no retry.
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"3601", "remote Retry-After 3601 exceeds 3600-second cap"},
      {"tomorrow", "remote protocol invalid: invalid Retry-After tomorrow"},
  };
  for (const auto& [value, expected] : cases) {
    calls = 0;
    EXPECT_EQ(testutil::errorOf([&] {
                withRemoteRetries(RemoteRetryPolicy{}, "l", &audit, env.environment(), token, [&] {
                  ++calls;
                  throw E(E::RemoteHTTPResponse{"u", 503, value});
                });
              }),
              expected);
    EXPECT_EQ(calls, 1);
  }
  EXPECT_EQ(audit.remoteRetries.size(), 1u);
}

TEST(RemoteRetryLoop, CancellationStopsBeforeAnAttemptAndAfterAPause) {
  RecordingEnvironment env;
  CancellationToken token;
  token.cancel();
  int calls = 0;
  EXPECT_THROW(withRemoteRetries(RemoteRetryPolicy{}, "l", nullptr, env.environment(), token,
                                 [&] { ++calls; }),
               CancellationError);
  EXPECT_EQ(calls, 0);

  token.reset();
  RemoteRetryEnvironment cancelling = env.environment();
  cancelling.sleeper = [&](uint64_t) { token.cancel(); };
  EXPECT_THROW(withRemoteRetries(RemoteRetryPolicy{}, "l", nullptr, cancelling, token,
                                 [&] {
                                   ++calls;
                                   throw E(E::RemoteBodyTruncated{"f", 2, 1});
                                 }),
               CancellationError);
  EXPECT_EQ(calls, 1);
}

TEST(RemoteRetryLoop, SystemSleeperWakesOnCancellation) {
  CancellationToken token;
  RemoteRetryEnvironment system = RemoteRetryEnvironment::system(token);
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    token.cancel();
  });
  // An hour-long pause ends with the cancellation instead.
  EXPECT_THROW(system.sleeper(3600 * kSecond), CancellationError);
  canceller.join();
  token.reset();
  system.sleeper(1000);  // a short pause simply returns
}

TEST(RemoteRetryLoop, SystemJitterStaysBelowAQuarterSecond) {
  for (int i = 0; i < 1000; ++i) EXPECT_LT(systemRetryJitterNs(), kRetryJitterBoundNs);
}

}  // namespace

namespace {

// The reset of a RateLimit window decides the pause when Retry-After is
// absent or shorter; beyond the cap it ends the loop like an excessive
// Retry-After; an unreadable one is no instruction.
TEST(RemoteRetryPolicy, RateLimitResetPausesUntilTheNextWindow) {
  struct Case {
    std::optional<std::string> retryAfter;
    std::string rateLimit;
    uint64_t localNs;
    std::variant<uint64_t, std::string> expected;  // pause, or the error
  };
  const std::vector<Case> cases = {
      {std::nullopt, "\"resolvers\";r=0;t=42", kSecond, 43 * kSecond},
      {std::nullopt, "\"resolvers\";r=0;t=0", 2 * kSecond, 2 * kSecond},
      {std::nullopt, "\"a\";r=5;t=10, \"b;t=99\";r=0;t=30", kSecond, 31 * kSecond},
      {"120", "\"resolvers\";r=0;t=42", kSecond, 120 * kSecond},
      {"10", "\"resolvers\";r=0;t=42", kSecond, 43 * kSecond},
      {std::nullopt, "\"resolvers\";r=0;t=3599", kSecond, 3600 * kSecond},
      {std::nullopt, "\"resolvers\";r=0;t=3600", kSecond,
       std::string("remote Retry-After \"resolvers\";r=0;t=3600 exceeds 3600-second cap")},
      {std::nullopt, "\"resolvers\";r=0;t=soon", kSecond, kSecond},
      {std::nullopt, "garbage", 3 * kSecond, 3 * kSecond},
      {std::nullopt, "\"resolvers\";r=0;t=-4", kSecond, kSecond},
  };
  for (const Case& c : cases) {
    const std::exception_ptr error = std::make_exception_ptr(
        E(E::RemoteHTTPResponse{"https://hub/x", 429, c.retryAfter, c.rateLimit}));
    if (const auto* pause = std::get_if<uint64_t>(&c.expected)) {
      EXPECT_EQ(RemoteRetryPolicy{}.retryDelayNs(error, c.localNs, Clock::now()), *pause)
          << c.rateLimit;
    } else {
      EXPECT_EQ(testutil::errorOf(
                    [&] { RemoteRetryPolicy{}.retryDelayNs(error, c.localNs, Clock::now()); }),
                std::get<std::string>(c.expected));
    }
  }
}

}  // namespace
