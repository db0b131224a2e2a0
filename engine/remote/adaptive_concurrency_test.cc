#include "engine/remote/adaptive_concurrency.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/common/repack_error.h"
#include "engine/remote/http_client.h"

namespace {

using Clock = AdaptiveConcurrency::Clock;

// One input of the controller and the limit expected after it: a closed
// one-second window that received `bytes`, or an overload signal at the
// current time (`bytes` unused).
struct Step {
  enum Kind { window, overload } kind;
  uint64_t bytes;
  int64_t limit;
};

Step window(uint64_t bytes, int64_t limit) { return {Step::window, bytes, limit}; }
Step overload(int64_t limit) { return {Step::overload, 0, limit}; }

TEST(AdaptiveConcurrency, FollowsTheRateAndBacksOffOnOverload) {
  struct Case {
    std::string name;
    int64_t maximum;
    int64_t initial;
    std::vector<Step> steps;
  };
  const std::vector<Case> cases = {
      {"rises one per window while the rate rises, up to the maximum",
       8,
       4,
       {window(10, 5), window(20, 6), window(30, 7), window(40, 8), window(50, 8)}},
      {"one connection stays one", 1, 1, {window(10, 1), window(20, 1), overload(1)}},
      {"starts at the maximum below four", 2, 2, {window(10, 2), overload(1)}},
      {"a flat rate ends probing; then one more every five clean windows",
       8,
       4,
       {window(10, 5), window(10, 5), window(90, 5), window(90, 5), window(90, 5), window(90, 5),
        window(90, 6), window(90, 6)}},
      {"halves on overload, once per window, never below one",
       16,
       4,
       {window(10, 5), window(20, 6), overload(3), overload(3), window(30, 3), overload(1),
        window(30, 1), overload(1)}},
      {"rises slowly after a decrease even while the rate rises",
       8,
       4,
       {overload(2), window(10, 2), window(20, 2), window(30, 2), window(40, 2), window(50, 3),
        window(60, 3)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Clock::time_point now{};
    AdaptiveConcurrency controller(c.maximum, now);
    EXPECT_EQ(controller.limit(), c.initial);
    uint64_t total = 0;
    for (size_t i = 0; i < c.steps.size(); ++i) {
      const Step& step = c.steps[i];
      if (step.kind == Step::window) {
        controller.observe(now + std::chrono::milliseconds(500), total + step.bytes / 2);
        now += AdaptiveConcurrency::kWindow;
        total += step.bytes;
        controller.observe(now, total);
      } else {
        controller.overloaded(now);
      }
      EXPECT_EQ(controller.limit(), step.limit) << "step " << i;
    }
  }
}

TEST(AdaptiveConcurrency, OverloadSigns) {
  using E = RepackError;
  const auto response = [](int64_t status) {
    return std::make_exception_ptr(E(E::RemoteHTTPResponse{"https://h/x", status, std::nullopt}));
  };
  EXPECT_TRUE(AdaptiveConcurrency::isOverload(response(429)));
  EXPECT_TRUE(AdaptiveConcurrency::isOverload(response(503)));
  EXPECT_TRUE(AdaptiveConcurrency::isOverload(
      std::make_exception_ptr(E(E::RemoteHTTPStatus{"https://h/x", 503}))));
  EXPECT_TRUE(AdaptiveConcurrency::isOverload(std::make_exception_ptr(
      RemoteTransportError(RemoteTransportError::Code::timedOut, "no byte"))));
  EXPECT_FALSE(AdaptiveConcurrency::isOverload(response(500)));
  EXPECT_FALSE(AdaptiveConcurrency::isOverload(std::make_exception_ptr(
      RemoteTransportError(RemoteTransportError::Code::networkConnectionLost, "reset"))));
  EXPECT_FALSE(AdaptiveConcurrency::isOverload(std::make_exception_ptr(CancellationError())));
}

}  // namespace
