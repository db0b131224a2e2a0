#include "engine/source/safetensors.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "engine/common/repack_error.h"
#include "tests/test_util.h"

namespace {

using Dtype = SourceTensor::Dtype;

std::span<const uint8_t> bytes(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// Parses `header` as the header of a shard whose data area is `dataBytes` long.
std::vector<SourceTensor> parse(const std::string& header, uint64_t dataBytes = 1024) {
  return Safetensors::parseHeader("s.safetensors", 8 + header.size() + dataBytes, bytes(header));
}

std::string parseError(const std::string& header, uint64_t dataBytes = 1024) {
  try {
    parse(header, dataBytes);
    return "accepted";
  } catch (const RepackError& e) {
    return e.description();
  }
}

std::string shardFile(const std::string& header, size_t dataBytes) {
  std::string file(8, '\0');
  uint64_t n = header.size();
  for (int i = 0; i < 8; ++i) file[i] = static_cast<char>(n >> (8 * i));
  return file + header + std::string(dataBytes, '\0');
}

TEST(Safetensors, ParsesEntriesWithAbsoluteOffsets) {
  const std::string header = R"({"__metadata__":{"format":"mlx"},)"
                             R"("a.weight":{"dtype":"U8","shape":[8,16],"data_offsets":[0,128]},)"
                             R"("b":{"dtype":"BF16","shape":[2,3],"data_offsets":[128,140]},)"
                             R"("c":{"dtype":"F32","shape":[],"data_offsets":[140,144]},)"
                             R"("d":{"dtype":"F16","shape":[4.0,0],"data_offsets":[144,144]},)"
                             R"("e":{"dtype":"U32","shape":[1],"data_offsets":[144,148]}})";
  const std::vector<SourceTensor> tensors = parse(header, 148);
  ASSERT_EQ(tensors.size(), 5u);
  const uint64_t base = 8 + header.size();
  EXPECT_EQ(tensors[0], (SourceTensor{"a.weight", "s.safetensors", Dtype::u32, {8, 4}, base, 128}));
  EXPECT_EQ(tensors[1], (SourceTensor{"b", "s.safetensors", Dtype::bf16, {2, 3}, base + 128, 12}));
  EXPECT_EQ(tensors[2], (SourceTensor{"c", "s.safetensors", Dtype::fp32, {}, base + 140, 4}));
  // A zero-sized tensor may end exactly at the end of the file.
  EXPECT_EQ(tensors[3], (SourceTensor{"d", "s.safetensors", Dtype::fp16, {4, 0}, base + 144, 0}));
  EXPECT_EQ(tensors[4].absoluteOffset + tensors[4].sizeBytes, base + 148);
  EXPECT_TRUE(parse(R"({"__metadata__":7})").empty());
}

TEST(Safetensors, RejectsMalformedEntries) {
  auto entry = [](const std::string& name, const std::string& body) {
    return "{\"" + name + "\":" + body + "}";
  };
  const std::string p = "safetensors header at s.safetensors invalid: ";
  struct Case {
    std::string header;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"[1]", p + "header is not a JSON object"},
      {entry("t", "[]"), p + "entry for t is not a dict"},
      {entry("t", R"({"shape":[1],"data_offsets":[0,4]})"), p + "entry for t has no dtype"},
      {entry("t", R"({"dtype":5})"), p + "entry for t has no dtype"},
      {entry("t", R"({"dtype":"f32"})"), "safetensors at s.safetensors has unsupported dtype f32"},
      {entry("t", R"({"dtype":"F64","shape":[1],"data_offsets":[0,8]})"),
       "safetensors at s.safetensors has unsupported dtype F64"},
      {entry("t", R"({"dtype":"F32","shape":{}})"), p + "entry for t has no shape"},
      {entry("t", R"({"dtype":"F32","shape":[4.5],"data_offsets":[0,4]})"),
       p + "entry for t has invalid shape entry"},
      {entry("t", R"({"dtype":"F32","shape":[-1],"data_offsets":[0,4]})"),
       p + "entry for t has invalid shape entry"},
      {entry("t", R"({"dtype":"F32","shape":[true],"data_offsets":[0,4]})"),
       p + "entry for t has invalid shape entry"},
      {entry("t", R"({"dtype":"F32","shape":["1"],"data_offsets":[0,4]})"),
       p + "entry for t has invalid shape entry"},
      {entry("t", R"({"dtype":"F32","shape":[1e30],"data_offsets":[0,4]})"),
       p + "entry for t has invalid shape entry"},
      {entry("t", R"({"dtype":"F32","shape":[1],"data_offsets":[10,5]})"),
       p + "entry for t has bad data_offsets"},
      {entry("t", R"({"dtype":"F32","shape":[1],"data_offsets":[1]})"),
       p + "entry for t has bad data_offsets"},
      {entry("t", R"({"dtype":"F32","shape":[1],"data_offsets":[1,2,3]})"),
       p + "entry for t has bad data_offsets"},
      {entry("t", R"({"dtype":"F32","shape":[1],"data_offsets":["0","4"]})"),
       p + "entry for t has bad data_offsets"},
      {entry("t", R"({"dtype":"F32","shape":[1],"data_offsets":[0,4]})"), "accepted"},
      {entry("t", R"({"dtype":"F32","shape":[1],"data_offsets":[0,4.0]})"), "accepted"},
      {entry("t", R"({"dtype":"F32","shape":[],"data_offsets":[0,8]})"),
       "shape mismatch for t: shape product 1*4 != size 8"},
      {entry("t", R"({"dtype":"BF16","shape":[4294967296,4294967296],"data_offsets":[0,2]})"),
       p + "shape product overflows UInt64 for t"},
      // Product fits, product * element bytes does not: unequal, not an overflow error.
      {entry("t", R"({"dtype":"BF16","shape":[9223372036854775808],"data_offsets":[0,2]})"),
       "shape mismatch for t: shape product 9223372036854775808*2 != size 2"},
      {entry("a.weight", R"({"dtype":"U8","shape":[8,6],"data_offsets":[0,48]})"),
       p + "U8 tensor a.weight is not a packed weight row"},
      {entry("a.scales", R"({"dtype":"U8","shape":[8,16],"data_offsets":[0,128]})"),
       p + "U8 tensor a.scales is not a packed weight row"},
      {entry("a.weight", R"({"dtype":"U8","shape":[],"data_offsets":[0,1]})"),
       p + "U8 tensor a.weight is not a packed weight row"},
      // Well-formed JSON beyond the decoder's limits is an invalid header.
      {entry("t", std::string(300, '[') + std::string(300, ']')),
       p + "JSON nesting deeper than 256 levels"},
  };
  for (const Case& c : cases) EXPECT_EQ(parseError(c.header), c.error) << c.header;
}

TEST(Safetensors, RangeEndsAreCheckedWithoutWrapping) {
  const std::string atEnd = R"({"t":{"dtype":"U32","shape":[2],"data_offsets":[0,8]}})";
  EXPECT_EQ(parseError(atEnd, 8), "accepted");
  EXPECT_EQ(parseError(atEnd, 7), "safetensors s.safetensors: tensor t ends at " +
                                      std::to_string(8 + atEnd.size() + 8) + ", file size " +
                                      std::to_string(8 + atEnd.size() + 7));
  const std::string huge =
      R"({"t":{"dtype":"U32","shape":[1],"data_offsets":[18446744073709551610,18446744073709551614]}})";
  EXPECT_EQ(parseError(huge),
            "safetensors s.safetensors: tensor t ends at 18446744073709551615, "
            "file size " +
                std::to_string(8 + huge.size() + 1024));
  // Range errors come before shape errors.
  EXPECT_EQ(
      parseError(R"({"t":{"dtype":"U32","shape":[9],"data_offsets":[0,2000]}})").substr(0, 30),
      "safetensors s.safetensors: ten");
}

TEST(Safetensors, SizeRuleBoundsTheHeader) {
  const std::string header = "{}";
  EXPECT_NO_THROW(Safetensors::parseHeader("s", 10, bytes(header)));
  for (uint64_t fileSize : {9ull, 7ull, 0ull}) {
    try {
      Safetensors::parseHeader("s", fileSize, bytes(header));
      FAIL() << fileSize;
    } catch (const RepackError& e) {
      EXPECT_EQ(e, RepackError(RepackError::SafetensorsHeaderTooLarge{"s", 2}));
    }
  }
  // Malformed JSON names the shard; the decoder's words are the detail.
  for (const std::string header : {"{", "", "{\"w\": [1,]}"}) {
    const std::string error = testutil::errorOf(
        [&] { Safetensors::parseHeader("shard-00002.safetensors", 100, bytes(header)); });
    EXPECT_EQ(error.rfind("safetensors header at shard-00002.safetensors invalid: "
                          "[json.exception.parse_error.101] parse error at line 1",
                          0),
              0u)
        << error;
  }
}

TEST(Safetensors, ReadHeaderFromLocalFiles) {
  testutil::TempDir dir;
  const std::string header = R"({"w":{"dtype":"BF16","shape":[2],"data_offsets":[0,4]}})";
  testutil::writeFile(dir.file("ok"), shardFile(header, 4));
  const Safetensors::Header h = Safetensors::readHeader(dir.file("ok"));
  ASSERT_EQ(h.tensors.size(), 1u);
  EXPECT_EQ(h.tensors[0].shardPath, dir.file("ok"));
  EXPECT_EQ(h.tensors[0].absoluteOffset, 8 + header.size());

  auto error = [&](const std::string& name) -> std::string {
    try {
      Safetensors::readHeader(dir.file(name));
      return "accepted";
    } catch (const RepackError& e) {
      return e.description();
    } catch (const nlohmann::json::exception&) {
      return "json error";
    }
  };
  testutil::writeFile(dir.file("short"), "1234567");
  EXPECT_EQ(error("short"),
            "safetensors header at " + dir.file("short") + " invalid: file too short");
  testutil::writeFile(dir.file("zero"), std::string(8, '\0'));
  EXPECT_EQ(error("zero").rfind("safetensors header at " + dir.file("zero") +
                                    " invalid: [json.exception.parse_error.101] ",
                                0),
            0u);
  EXPECT_EQ(error("missing"), "open(" + dir.file("missing") + ") failed: errno 2");

  // A hostile prefix is rejected before anything is allocated for it.
  std::string hostile = shardFile("{}", 0);
  for (int i = 0; i < 8; ++i) hostile[i] = '\xff';
  testutil::writeFile(dir.file("hostile"), hostile);
  EXPECT_EQ(error("hostile"), "safetensors header at " + dir.file("hostile") +
                                  " size 18446744073709551615 exceeds bound");
  // The prefix may not claim more than the file holds.
  std::string overlong = shardFile("{}", 0);
  overlong[0] = 3;
  testutil::writeFile(dir.file("overlong"), overlong);
  EXPECT_EQ(error("overlong"),
            "safetensors header at " + dir.file("overlong") + " size 3 exceeds bound");

  // A FIFO neither blocks the open nor passes as a shard.
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  EXPECT_EQ(error("fifo"),
            "safetensors header at " + dir.file("fifo") + " invalid: file too short");
}

TEST(Safetensors, HeaderCapIsSixteenMebibytes) {
  testutil::TempDir dir;
  const uint64_t cap = Safetensors::kMaxHeaderBytes;
  std::string header = "{}" + std::string(cap - 2, ' ');
  testutil::writeFile(dir.file("at-cap"), shardFile(header, 0));
  EXPECT_TRUE(Safetensors::readHeader(dir.file("at-cap")).tensors.empty());
  header.push_back(' ');
  testutil::writeFile(dir.file("over-cap"), shardFile(header, 0));
  EXPECT_THROW(
      try { Safetensors::readHeader(dir.file("over-cap")); } catch (const RepackError& e) {
        EXPECT_EQ(e.kind(), RepackError::Case::safetensorsHeaderTooLarge);
        throw;
      },
      RepackError);
}

}  // namespace
