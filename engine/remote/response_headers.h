// Parsers of the hub's response header values. Every value comes from the
// network and is hostile until one of these functions has accepted it. All
// functions are pure (no I/O, no global state beyond a read-only C locale)
// and safe to call from any thread; they are the libFuzzer targets' entry
// points.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace RemoteHeaders {

// The strict unsigned decimal form of header numbers: ASCII digits with an
// optional leading "+", no blanks, no overflow. A "-" followed only by zeros
// also reads as 0 (the one negative spelling of an unsigned value).
std::optional<uint64_t> parseUnsignedDecimal(std::string_view text);

// `text` split at the first `separator` into at most two pieces, with empty
// pieces dropped and not counted: "a/b" -> [a, b], "/b" -> [b],
// "a//b" -> [a, /b], "//b" -> [b].
std::vector<std::string_view> splitOnceDroppingEmpty(std::string_view text, char separator);

// The three numbers of a "Content-Range: bytes a-b/total" value, read from
// what follows "bytes ". Nothing when the value has another shape (an
// unsatisfied "*" range or total included).
struct ContentRange {
  uint64_t start = 0;
  uint64_t end = 0;
  uint64_t total = 0;
  bool operator==(const ContentRange&) const = default;
};
std::optional<ContentRange> parseContentRangeBytes(std::string_view afterUnit);

// The strong validator an ETag names, lower-cased, without its quotes; nothing
// for an empty or weak ("W/", any case) value.
std::optional<std::string> normalizedStrongETag(std::string_view etag);

// Leading and trailing blanks, tabs and line breaks removed.
std::string_view trimmed(std::string_view text);

// Seconds since the epoch of an HTTP date in one of the three forms HTTP
// allows, tried in this order: IMF-fixdate ("Sun, 06 Nov 1994 08:49:37 GMT"),
// the obsolete RFC 850 form ("Sunday, 06-Nov-94 08:49:37 GMT") and the asctime
// form ("Sun Nov  6 08:49:37 1994"). Names are read in the C locale whatever
// the process locale is; the whole text must be consumed.
std::optional<int64_t> parseHTTPDate(std::string_view text);

// The pause a "Retry-After" value asks for, in nanoseconds, relative to `now`:
// a whole number of seconds (saturating at the largest 64-bit value) or the
// time until an HTTP date (0 for a date in the past). Throws
// remoteProtocolInvalid("invalid Retry-After " + trimmed value) when the
// value is neither.
uint64_t parseRetryAfterNs(std::string_view value, std::chrono::system_clock::time_point now);

// The seconds until a rate-limit window resets, from a RateLimit header in
// the IETF draft form (`"policy";r=0;t=42`: the largest `t` parameter of its
// items); nothing when the value has no readable `t`.
std::optional<uint64_t> parseRateLimitResetSeconds(std::string_view value);

// ASCII lower case; other bytes unchanged.
std::string lowercased(std::string_view text);
bool equalsIgnoringCase(std::string_view a, std::string_view b);

}  // namespace RemoteHeaders
