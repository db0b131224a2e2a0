// Arbitrary text as a Retry-After value at an arbitrary moment: the integer
// and HTTP-date parsers, and the pause the retry policy derives from them.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>

#include "engine/common/repack_error.h"
#include "engine/remote/response_headers.h"
#include "engine/remote/retry_policy.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The first four bytes choose the clock (seconds since the epoch, up to
  // about 2106); the rest is the header value.
  uint32_t seconds = 0;
  if (size >= 4) {
    std::memcpy(&seconds, data, 4);
    data += 4;
    size -= 4;
  }
  const auto now = std::chrono::system_clock::time_point(std::chrono::seconds(seconds));
  const std::string value(reinterpret_cast<const char*>(data), size);

  RemoteHeaders::parseHTTPDate(value);
  try {
    RemoteHeaders::parseRetryAfterNs(value, now);
  } catch (const RepackError& e) {
    if (e.kind() != RepackError::Case::remoteProtocolInvalid) std::abort();
  }

  const RemoteRetryPolicy policy;
  const auto failure =
      std::make_exception_ptr(RepackError(RepackError::RemoteHTTPResponse{"u", 503, value}));
  try {
    const uint64_t pause = policy.retryDelayNs(failure, 1000000000, now);
    if (pause < 1000000000 || pause > policy.maxServerDelayNs) std::abort();
  } catch (const RepackError& e) {
    if (e.kind() != RepackError::Case::remoteProtocolInvalid &&
        e.kind() != RepackError::Case::remoteRetryDelayExceeded) {
      std::abort();
    }
  }
  return 0;
}
