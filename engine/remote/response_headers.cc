#include "engine/remote/response_headers.h"

#include <locale.h>
#include <time.h>

#include <array>
#include <cstring>

#include "engine/common/repack_error.h"

namespace RemoteHeaders {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

char lowerASCII(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// The C locale, created once: strptime's day and month names must not follow
// the process locale.
locale_t cLocale() {
  static const locale_t kLocale = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return kLocale;
}

constexpr uint64_t kNanosecondsPerSecond = 1000000000;

}  // namespace

std::optional<uint64_t> parseUnsignedDecimal(std::string_view text) {
  if (!text.empty() && text.front() == '-') {
    if (text.size() == 1) return std::nullopt;
    for (char c : text.substr(1)) {
      if (c != '0') return std::nullopt;
    }
    return 0;
  }
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (!isDigit(c)) return std::nullopt;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::vector<std::string_view> splitOnceDroppingEmpty(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != separator) continue;
    const bool appended = i > start;
    if (appended) pieces.push_back(text.substr(start, i - start));
    start = i + 1;
    if (appended) break;  // one split made; the rest is the second piece
  }
  if (start < text.size()) pieces.push_back(text.substr(start));
  return pieces;
}

std::optional<ContentRange> parseContentRangeBytes(std::string_view afterUnit) {
  const std::vector<std::string_view> rangeAndTotal = splitOnceDroppingEmpty(afterUnit, '/');
  if (rangeAndTotal.size() != 2) return std::nullopt;
  const std::vector<std::string_view> bounds = splitOnceDroppingEmpty(rangeAndTotal[0], '-');
  if (bounds.size() != 2) return std::nullopt;
  const std::optional<uint64_t> start = parseUnsignedDecimal(bounds[0]);
  const std::optional<uint64_t> end = parseUnsignedDecimal(bounds[1]);
  const std::optional<uint64_t> total = parseUnsignedDecimal(rangeAndTotal[1]);
  if (!start || !end || !total) return std::nullopt;
  return ContentRange{*start, *end, *total};
}

std::string_view trimmed(std::string_view text) {
  constexpr std::string_view kBlank = " \t\r\n\v\f";
  const size_t first = text.find_first_not_of(kBlank);
  if (first == std::string_view::npos) return {};
  const size_t last = text.find_last_not_of(kBlank);
  return text.substr(first, last - first + 1);
}

std::optional<std::string> normalizedStrongETag(std::string_view etag) {
  std::string_view value = trimmed(etag);
  if (value.empty()) return std::nullopt;
  if (value.size() >= 2 && lowerASCII(value[0]) == 'w' && value[1] == '/') return std::nullopt;
  if (value.size() > 1 && value.front() == '"' && value.back() == '"') {
    value = value.substr(1, value.size() - 2);
  }
  return lowercased(value);
}

std::optional<int64_t> parseHTTPDate(std::string_view text) {
  static constexpr std::array<const char*, 3> kForms = {
      "%a, %d %b %Y %H:%M:%S GMT",  // IMF-fixdate
      "%A, %d-%b-%y %H:%M:%S GMT",  // obsolete RFC 850 form
      "%a %b %d %H:%M:%S %Y",       // asctime form
  };
  const locale_t locale = cLocale();
  if (locale == static_cast<locale_t>(nullptr)) return std::nullopt;
  const std::string input(text);  // strptime wants a terminated string
  if (input.size() != std::strlen(input.c_str())) return std::nullopt;  // embedded NUL
  for (const char* form : kForms) {
    struct tm fields;
    std::memset(&fields, 0, sizeof fields);
    const char* end = ::strptime_l(input.c_str(), form, &fields, locale);
    if (end == nullptr || *end != '\0') continue;
    fields.tm_isdst = 0;
    const time_t seconds = ::timegm(&fields);
    if (seconds == static_cast<time_t>(-1) && fields.tm_year != 69) continue;
    return static_cast<int64_t>(seconds);
  }
  return std::nullopt;
}

uint64_t parseRetryAfterNs(std::string_view value, std::chrono::system_clock::time_point now) {
  const std::string_view text = trimmed(value);
  if (const std::optional<uint64_t> seconds = parseUnsignedDecimal(text)) {
    if (*seconds > UINT64_MAX / kNanosecondsPerSecond) return UINT64_MAX;
    return *seconds * kNanosecondsPerSecond;
  }
  if (const std::optional<int64_t> date = parseHTTPDate(text)) {
    const __int128 nowNs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count();
    const __int128 differenceNs = static_cast<__int128>(*date) * kNanosecondsPerSecond - nowNs;
    if (differenceNs <= 0) return 0;
    // 18446744073 whole seconds and more no longer fit as nanoseconds.
    if (differenceNs >= static_cast<__int128>(18446744073) * kNanosecondsPerSecond) {
      return UINT64_MAX;
    }
    return static_cast<uint64_t>(differenceNs);
  }
  throw RepackError(RepackError::RemoteProtocolInvalid{"invalid Retry-After " + std::string(text)});
}

std::string lowercased(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = lowerASCII(c);
  return out;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (lowerASCII(a[i]) != lowerASCII(b[i])) return false;
  }
  return true;
}

}  // namespace RemoteHeaders

namespace RemoteHeaders {

std::optional<uint64_t> parseRateLimitResetSeconds(std::string_view value) {
  // Items are separated by commas and parameters by semicolons, outside
  // quoted strings; only the parameters named t matter.
  std::optional<uint64_t> largest;
  bool quoted = false;
  size_t start = 0;
  const auto parameter = [&](std::string_view piece) {
    piece = trimmed(piece);
    if (!piece.starts_with("t=")) return;
    const std::string_view number = piece.substr(2);
    if (number.empty() || number.size() > 10 ||
        number.find_first_not_of("0123456789") != std::string_view::npos) {
      return;
    }
    const uint64_t seconds = std::stoull(std::string(number));
    if (!largest || seconds > *largest) largest = seconds;
  };
  for (size_t i = 0; i <= value.size(); ++i) {
    const char c = i < value.size() ? value[i] : ',';
    if (c == '"' && (i == 0 || value[i - 1] != '\\')) quoted = !quoted;
    if (quoted || (c != ';' && c != ',')) continue;
    parameter(value.substr(start, i - start));
    start = i + 1;
  }
  return largest;
}

}  // namespace RemoteHeaders
