#include "format/json_document.h"

#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <optional>
#include <sstream>
#include <string>

namespace {

using korvex_json::json;

std::span<const uint8_t> bytes(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

std::string nested(size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

// `item` repeated inside one array until the text is about `size` bytes.
std::string repeated(const std::string& item, size_t size) {
  std::string text = "[" + item;
  text.reserve(size + item.size() + 2);
  while (text.size() + item.size() + 2 <= size) {
    text += ',';
    text += item;
  }
  return text + "]";
}

// "ok", or the text of the limit that refused the document.
std::string limitError(const std::string& text) {
  try {
    korvex_json::parseBounded(bytes(text));
    return "ok";
  } catch (const korvex_json::LimitExceeded& e) {
    return e.what();
  }
}

std::string budgetError(size_t inputBytes) {
  const uint64_t budget =
      inputBytes * korvex_json::kTreeBytesPerInputByte + korvex_json::kTreeBaseBytes;
  return "JSON document too complex: decoding it takes more than " + std::to_string(budget) +
         " bytes of memory";
}

TEST(BoundedJson, DecodesAndFailsExactlyLikeTheParser) {
  // Duplicate keys keep the last value, as json::parse does.
  const std::string text =
      R"({"b":[1,-2,3.5,18446744073709551615,true,null,"\u00e9"],"a":{"x":{}},"a":[]})";
  EXPECT_EQ(korvex_json::parseBounded(bytes(text)), json::parse(text));

  for (const std::string bad : {"{", "", "[1,]", "[1] x", "1e999", "\"\xff\""}) {
    std::string expected;
    try {
      [[maybe_unused]] const json parsed = json::parse(bad);
    } catch (const json::exception& e) {
      expected = e.what();
    }
    ASSERT_FALSE(expected.empty()) << bad;
    EXPECT_THROW(
        try { korvex_json::parseBounded(bytes(bad)); } catch (const json::exception& e) {
          EXPECT_EQ(e.what(), expected);
          throw;
        },
        json::exception);
    EXPECT_THROW(
        try { korvex_json::parse(bytes(bad)); } catch (const korvex_json::DecodeError& e) {
          EXPECT_EQ(e.what(), expected);
          throw;
        },
        korvex_json::DecodeError);
  }
}

TEST(BoundedJson, NestingStopsAt256Levels) {
  const std::string tooDeep = "JSON nesting deeper than 256 levels";
  EXPECT_EQ(limitError(nested(256)), "ok");
  EXPECT_EQ(limitError(nested(257)), tooDeep);
  std::string objects;
  for (int i = 0; i < 257; ++i) objects += "{\"a\":";
  EXPECT_EQ(limitError(objects + "0" + std::string(257, '}')), tooDeep);
  // Refused on reaching the level, before the rest of the text is read.
  EXPECT_EQ(limitError(std::string(1 << 20, '[')), tooDeep);
  // parse() reports the limit as a DecodeError like any other.
  EXPECT_THROW(korvex_json::parse(bytes(nested(300))), korvex_json::DecodeError);
}

TEST(BoundedJson, StreamedParseLeavesOutTheSkippedMembersAndStillChecksThem) {
  const auto parseSkipping = [](const std::string& text) {
    std::istringstream input(text);
    return korvex_json::parseBounded(input, text.size(), [](size_t depth, const std::string& key) {
      return depth == 2 && key == "t";
    });
  };
  // Only "t" members one object down are dropped, whatever their value.
  EXPECT_EQ(
      parseSkipping(R"({"t":1,"a":{"t":[{"t":2},[3]],"u":"v","w":{"t":null}},"b":[{"t":4}]})"),
      json::parse(R"({"t":1,"a":{"u":"v","w":{"t":null}},"b":[{"t":4}]})"));
  EXPECT_EQ(parseSkipping(R"({"a":{"t":{"x":[[]]},"t":"again"}})"), json::parse(R"({"a":{}})"));

  // A skipped value is still parsed: malformed text and the nesting limit
  // fail as they would anywhere else.
  EXPECT_THROW(parseSkipping(R"({"a":{"t":[1,}}})"), json::exception);
  const std::string deep = R"({"a":{"t":)" + nested(255) + "}}";
  EXPECT_THROW(parseSkipping(deep), korvex_json::LimitExceeded);
  EXPECT_NO_THROW(parseSkipping(R"({"a":{"t":)" + nested(254) + "}}"));
}

TEST(BoundedJson, TreeIsBoundedByTheInputSize) {
  // Empty arrays take about 21 bytes of memory per byte of text: 1 MiB of
  // them fits the base allowance, 4 MiB does not.
  EXPECT_EQ(limitError(repeated("[]", 1 << 20)), "ok");
  const std::string wide = repeated("[]", 4 << 20);
  EXPECT_EQ(limitError(wide), budgetError(wide.size()));
  // Real documents fit: 8 MiB of compact shard-header entries, as dense as a
  // real header and far larger than one.
  std::string header = "{";
  for (uint64_t i = 0; header.size() < (8 << 20); ++i) {
    header += "\"model.layers." + std::to_string(i) +
              R"(.mlp.switch_mlp.gate_proj.weight":{"dtype":"U32","shape":[256,512,256],)" +
              R"("data_offsets":[)" + std::to_string(i * 134217728) + "," +
              std::to_string((i + 1) * 134217728) + "]},";
  }
  header.back() = '}';
  EXPECT_EQ(limitError(header), "ok");
}

std::optional<uint64_t> peakResidentBytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("VmHWM:")) return std::stoull(line.substr(6)) * 1024;
  }
  return std::nullopt;
}

// How far the peak resident size rises while `text` is decoded (or refused),
// measured in a forked child so that nothing else in this process counts.
// Nothing when the kernel cannot reset the peak.
std::optional<uint64_t> peakGrowthOfDecoding(const std::string& text) {
  int out[2];
  if (::pipe(out) != 0) return std::nullopt;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::malloc_trim(0);
    uint64_t growth = UINT64_MAX;
    std::ofstream("/proc/self/clear_refs") << "5";  // peak := current
    if (const std::optional<uint64_t> before = peakResidentBytes()) {
      try {
        korvex_json::parseBounded(bytes(text));
      } catch (const korvex_json::LimitExceeded&) {
      }
      growth = *peakResidentBytes() - *before;
    }
    ssize_t ignored = ::write(out[1], &growth, sizeof growth);
    static_cast<void>(ignored);
    ::_exit(0);
  }
  ::close(out[1]);
  uint64_t growth = UINT64_MAX;
  const bool read = ::read(out[0], &growth, sizeof growth) == sizeof growth;
  ::close(out[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!read || growth == UINT64_MAX) return std::nullopt;
  return growth;
}

TEST(BoundedJson, HostileDocumentsStayWithinAFewTimesTheirSize) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer's redzones and quarantine change the heap's size";
#endif
  const size_t size = 32 << 20;
  std::string members = "{";
  for (int i = 0; members.size() + 16 < size; ++i) {
    members += '"';
    members += std::to_string(i);
    members += "\":{},";
  }
  members += "\"\":0}";
  const std::pair<const char*, std::string> documents[] = {
      {"nested arrays", nested(size / 2)},
      {"empty arrays", repeated("[]", size)},
      {"zeros", repeated("0", size)},
      {"empty strings", repeated("\"\"", size)},
      {"members", members},
      {"one string", "[\"" + std::string(size, 'x') + "\"]"},
  };
  for (const auto& [name, text] : documents) {
    const std::optional<uint64_t> growth = peakGrowthOfDecoding(text);
    if (!growth) GTEST_SKIP() << "the peak resident size cannot be reset here";
    // The tree's limit is 4 bytes per byte plus 32 MiB, 5 times this input;
    // a single token may also be buffered whole while it is read.
    EXPECT_LE(*growth, 6 * text.size()) << name;
  }
}

}  // namespace
