#include "engine/remote/adaptive_concurrency.h"

#include <algorithm>

#include "engine/common/repack_error.h"
#include "engine/remote/http_client.h"

namespace {

// A rise smaller than this share is noise, not a rising rate.
constexpr double kRisingFactor = 1.05;

}  // namespace

AdaptiveConcurrency::AdaptiveConcurrency(int64_t maximum, Clock::time_point start)
    : maximum_(std::max<int64_t>(1, maximum)),
      limit_(std::min(kInitialLimit, maximum_)),
      windowStart_(start) {}

void AdaptiveConcurrency::observe(Clock::time_point now, uint64_t totalBytes) {
  const Clock::duration elapsed = now - windowStart_;
  if (elapsed < kWindow) return;
  const uint64_t bytes = totalBytes >= windowStartBytes_ ? totalBytes - windowStartBytes_ : 0;
  const double rate = static_cast<double>(bytes) / std::chrono::duration<double>(elapsed).count();
  windowStart_ = now;
  windowStartBytes_ = totalBytes;
  if (probing_) {
    if (rate > lastRate_ * kRisingFactor && limit_ < maximum_) {
      ++limit_;
    } else {
      probing_ = false;
      cleanWindows_ = 0;
    }
  } else if (++cleanWindows_ >= kCautiousWindows && limit_ < maximum_) {
    ++limit_;
    cleanWindows_ = 0;
  }
  lastRate_ = rate;
}

void AdaptiveConcurrency::overloaded(Clock::time_point now) {
  probing_ = false;
  cleanWindows_ = 0;
  if (decreased_ && now - lastDecrease_ < kWindow) return;
  limit_ = std::max<int64_t>(1, limit_ / 2);
  decreased_ = true;
  lastDecrease_ = now;
}

bool AdaptiveConcurrency::isOverload(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const RemoteTransportError& e) {
    return e.code() == RemoteTransportError::Code::timedOut;
  } catch (const RepackError& e) {
    int64_t status = 0;
    if (const auto* s = e.as<RepackError::RemoteHTTPStatus>()) status = s->status;
    if (const auto* r = e.as<RepackError::RemoteHTTPResponse>()) status = r->status;
    return status == 429 || status == 503;
  } catch (...) {
    return false;
  }
}
