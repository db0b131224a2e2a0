#include "engine/remote/response_headers.h"

#include <gtest/gtest.h>
#include <locale.h>

#include "tests/test_util.h"

namespace {

using namespace RemoteHeaders;
using std::chrono::seconds;
using Clock = std::chrono::system_clock;

TEST(ResponseHeaders, UnsignedDecimalIsStrict) {
  const std::vector<std::pair<std::string, std::optional<uint64_t>>> cases = {
      {"0", 0},
      {"+42", 42},
      {"007", 7},
      {"18446744073709551615", UINT64_MAX},
      {"18446744073709551616", std::nullopt},  // overflow
      {"-0", 0},
      {"-000", 0},
      {"-1", std::nullopt},
      {"-", std::nullopt},
      {"+", std::nullopt},
      {"", std::nullopt},
      {" 1", std::nullopt},
      {"1 ", std::nullopt},
      {"1e3", std::nullopt},
      {"0x10", std::nullopt},
      {"++1", std::nullopt},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(parseUnsignedDecimal(text), expected) << "'" << text << "'";
  }
}

TEST(ResponseHeaders, ContentRangeNumbers) {
  using R = ContentRange;
  const std::vector<std::pair<std::string, std::optional<R>>> cases = {
      {"0-99/1000", R{0, 99, 1000}}, {"5-5/6", R{5, 5, 6}},
      {"+1-+2/+3", R{1, 2, 3}},      {"0-99/*", std::nullopt},  // unknown total is not accepted
      {"*/1000", std::nullopt},      {"0-99", std::nullopt},
      {"/1000", std::nullopt},       {"-99/1000", std::nullopt},
      {"0-/1000", std::nullopt},     {"//0-99/1000", R{0, 99, 1000}},  // empty pieces are dropped
      {"0-99//1000", std::nullopt},                                    // total "/1000"
      {"0-99/1000/5", std::nullopt}, {"0--99/1000", std::nullopt},
      {"0-99 /1000", std::nullopt},  {"", std::nullopt},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(parseContentRangeBytes(text), expected) << "'" << text << "'";
  }
  EXPECT_EQ(splitOnceDroppingEmpty("//b", '/'), (std::vector<std::string_view>{"b"}));
  EXPECT_EQ(splitOnceDroppingEmpty("a//b", '/'), (std::vector<std::string_view>{"a", "/b"}));
}

TEST(ResponseHeaders, StrongETagNormalisation) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {"\"ABCdef\"", "abcdef"},
      {"  \"abc\"\t", "abc"},
      {"abc", "abc"},
      {"\"", "\""},  // one character keeps its quote
      {"\"\"", ""},
      {"\"abc", "\"abc"},
      {"W/\"abc\"", std::nullopt},
      {"w/\"abc\"", std::nullopt},
      {"", std::nullopt},
      {"   ", std::nullopt},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(normalizedStrongETag(text), expected) << "'" << text << "'";
  }
}

TEST(ResponseHeaders, HTTPDatesInTheThreeForms) {
  constexpr int64_t kExpected = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
  const std::vector<std::pair<std::string, std::optional<int64_t>>> cases = {
      {"Sun, 06 Nov 1994 08:49:37 GMT", kExpected},
      {"Sunday, 06-Nov-94 08:49:37 GMT", kExpected},
      {"Sun Nov  6 08:49:37 1994", kExpected},
      {"Sun Nov 6 08:49:37 1994", kExpected},
      {"sun, 06 nov 1994 08:49:37 GMT", kExpected},  // names in any case
      {"Sun, 06 Nov 1994 08:49:37 PST", std::nullopt},
      {"Sun, 06 Nov 1994 08:49:37", std::nullopt},
      {"Sun, 06 Nov 1994 08:49:37 GMT trailing", std::nullopt},
      {"So, 06 Nov 1994 08:49:37 GMT", std::nullopt},  // not a C-locale name
      {"1994-11-06T08:49:37Z", std::nullopt},
      {"", std::nullopt},
      {std::string("Sun, 06 Nov 1994 08:49:37 GMT\0x", 31), std::nullopt},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(parseHTTPDate(text), expected) << "'" << text << "'";
  }
}

TEST(ResponseHeaders, HTTPDatesIgnoreTheProcessLocale) {
  const char* previous = ::setlocale(LC_TIME, nullptr);
  const std::string saved = previous ? previous : "C";
  bool switched = false;
  for (const char* name : {"de_DE.UTF-8", "fr_FR.UTF-8", "C.UTF-8"}) {
    if (::setlocale(LC_TIME, name) != nullptr) {
      switched = true;
      break;
    }
  }
  const auto parsed = parseHTTPDate("Sun, 06 Nov 1994 08:49:37 GMT");
  ::setlocale(LC_TIME, saved.c_str());
  EXPECT_EQ(parsed, 784111777) << (switched ? "under another locale" : "no other locale");
}

TEST(ResponseHeaders, RetryAfterIntegersAndDates) {
  const Clock::time_point now = Clock::time_point(seconds(784111777));
  const std::vector<std::pair<std::string, uint64_t>> cases = {
      {"120", 120000000000ull},
      {" +7 \r\n", 7000000000ull},
      {"0", 0},
      {"18446744073", 18446744073000000000ull},
      {"18446744074", UINT64_MAX},  // seconds beyond the nanosecond range saturate
      {"18446744073709551615", UINT64_MAX},
      {"Sun, 06 Nov 1994 08:50:37 GMT", 60000000000ull},
      {"Sunday, 06-Nov-94 08:49:38 GMT", 1000000000ull},
      {"Sun Nov  6 08:49:37 1994", 0},       // now
      {"Sun, 06 Nov 1994 07:49:37 GMT", 0},  // past
      {"Fri, 31 Dec 9999 23:59:59 GMT", UINT64_MAX},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(parseRetryAfterNs(text, now), expected) << "'" << text << "'";
  }
  // Sub-second clocks: the remainder of the second is what is left.
  EXPECT_EQ(
      parseRetryAfterNs("Sun, 06 Nov 1994 08:49:38 GMT", now + std::chrono::milliseconds(250)),
      750000000ull);
  for (const std::string bad :
       {"", "  ", "-1", "1.5", "soon", "18446744073709551616", "Sun, 06 Nov 1994 08:49:37 CET"}) {
    EXPECT_EQ(testutil::errorOf([&] { parseRetryAfterNs(bad, now); }),
              "remote protocol invalid: invalid Retry-After " + std::string(trimmed(bad)))
        << "'" << bad << "'";
  }
}

}  // namespace
