#include "engine/install/writer_core.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "engine/common/repack_error.h"
#include "engine/io/posix.h"
#include "engine/io/sha256_stream.h"
#include "format/resident_index.h"
#include "tests/test_util.h"

namespace {

const std::string kEmptyDigest = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const std::string kAbcDigest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

std::string digestOf(const std::string& text) {
  Sha256Stream s;
  s.update(text.data(), text.size());
  return s.finalizeHex();
}

TEST(Sha256Stream, StandardVectorsInLowerCaseHex) {
  EXPECT_EQ(digestOf(""), kEmptyDigest);
  EXPECT_EQ(digestOf("abc"), kAbcDigest);
  Sha256Stream pieces;
  pieces.update("a", 1);
  pieces.update("bc", 2);
  EXPECT_EQ(pieces.finalizeHex(), kAbcDigest);
  uint8_t raw[32];
  for (int i = 0; i < 32; ++i) raw[i] = static_cast<uint8_t>(i * 8);
  EXPECT_EQ(WriterCore::hexDigest(std::span<const uint8_t, 32>(raw, 32)),
            "00081018202830384048505860687078808890"
            "98a0a8b0b8c0c8d0d8e0e8f0f8");
}

TEST(Sha256Stream, HashFileInTiles) {
  testutil::TempDir dir;
  std::string content(200000, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 31);
  testutil::writeFile(dir.file("f"), content);
  for (int64_t tile : {1, 4096, 65536, 1 << 20}) {
    EXPECT_EQ(Sha256Stream::hashFile(dir.file("f"), tile, tile == 4096, false), digestOf(content));
  }
  try {
    Sha256Stream::hashFile(dir.file("f"), 0, false, false);
    FAIL();
  } catch (const RepackError& e) {
    EXPECT_EQ(e.description(), "configuration invalid: SHA-256 tile size must be positive");
  }
  std::filesystem::create_symlink(dir.file("f"), dir.file("l"));
  EXPECT_EQ(Sha256Stream::hashFile(dir.file("l"), 65536, false, false), digestOf(content));
  EXPECT_THROW(Sha256Stream::hashFile(dir.file("l"), 65536, false, true), RepackError);
}

TEST(WriterCore, HashEntireFileHashesExactlySizeBytesAndCanBeCancelled) {
  testutil::TempDir dir;
  const std::string content(WriterCore::tileBytes * 2 + 7, 'z');
  testutil::writeFile(dir.file("out"), content + "tail");
  RepackAudit audit;
  int checks = 0;
  EXPECT_EQ(WriterCore::hashEntireFile(dir.file("out"), content.size(), audit, [&] { ++checks; }),
            digestOf(content));
  EXPECT_EQ(checks, 3);
  EXPECT_EQ(audit.byteCopyTiles, 3u);
  EXPECT_EQ(audit.largestScratchBytes, WriterCore::tileBytes);
  EXPECT_EQ(WriterCore::hashEntireFile(dir.file("out"), 0, audit, {}), kEmptyDigest);

  struct Cancelled {};
  EXPECT_THROW(
      WriterCore::hashEntireFile(dir.file("out"), content.size(), audit, [] { throw Cancelled{}; }),
      Cancelled);

  // The file ends before `size`: the read that returns 0 is a short read.
  try {
    WriterCore::hashEntireFile(dir.file("out"), content.size() + 100, audit, {});
    FAIL();
  } catch (const RepackError& e) {
    EXPECT_EQ(e, RepackError(RepackError::PreadShort{dir.file("out"), 96, 0, 0}));
  }
}

TEST(WriterCore, TensorRegionIsCopiedInTiles) {
  testutil::TempDir dir;
  std::string source(1048577 + 10, '\0');
  for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<char>(i % 251);
  testutil::writeFile(dir.file("shard"), source);
  const MmapHandle shard(dir.file("shard"));
  UniqueFd out = Posix::openCreateRW(dir.file("dst"));
  RepackAudit audit;
  WriterCore::pwriteTensorRegion(shard, 10, 1048577, out.get(), dir.file("dst"), 3, audit);
  EXPECT_EQ(audit.byteCopyTiles, 3u);
  EXPECT_EQ(audit.sourceBytesRead, 1048577u);
  EXPECT_EQ(audit.outputBytesWritten, 1048577u);
  EXPECT_EQ(audit.intentionalCopyBytes, 1048577u);
  EXPECT_EQ(testutil::readFile(dir.file("dst")), std::string(3, '\0') + source.substr(10));
}

ResidentFilePlan planWith(std::vector<ResidentEntry> entries, uint64_t residentSize,
                          const std::string& path = "") {
  ResidentFilePlan plan;
  plan.path = path;
  for (const ResidentEntry& e : entries) {
    plan.stringTableOffsets.push_back(static_cast<uint32_t>(plan.stringTable.size()));
    plan.stringTable += e.name;
  }
  plan.entries = std::move(entries);
  plan.indexSize =
      KorvexResidentIndexCodec::indexSizeFor(plan.entries.size(), plan.stringTable.size());
  plan.residentSize = residentSize;
  return plan;
}

TEST(ResidentIndex, EncodesGoldenBytes) {
  ResidentEntry weight;
  weight.name = "w";
  weight.dtype = 0;
  weight.logicalShape4 = {2, 8, 0, 0};
  weight.fileOffset = 16384;
  weight.sizeBytes = 16;
  weight.scaleOffset = 16400;
  weight.scaleSize = 4;
  weight.biasOffset = 16404;
  weight.biasSize = 4;
  ResidentEntry norm;
  norm.name = "n\xc3\xa9";
  norm.dtype = 1;
  norm.logicalShape4 = {3, 0, 0, 0};
  norm.fileOffset = 16408;
  norm.sizeBytes = 6;
  const ResidentFilePlan plan = planWith({weight, norm}, 30);
  const std::vector<uint8_t> region = encodeResidentIndex(plan);
  ASSERT_EQ(region.size(), 16384u);

  auto hex = [&](size_t from, size_t count) {
    std::string out;
    char buf[3];
    for (size_t i = from; i < from + count; ++i) {
      std::snprintf(buf, sizeof buf, "%02x", region[i]);
      out += buf;
    }
    return out;
  };
  // Header: indexSize 16384, residentSize 30, entryCount 2.
  EXPECT_EQ(hex(0, 24),
            "0040000000000000"
            "1e00000000000000"
            "0200000000000000");
  // Entry 0: name at 24 + 144 = 168, length 1, dtype 0, reserved 0, then the ranges.
  EXPECT_EQ(hex(24, 72),
            "a8000000"
            "0100"
            "00"
            "00"
            "0040000000000000"
            "1000000000000000"
            "02000000"
            "08000000"
            "00000000"
            "00000000"
            "1040000000000000"
            "0400000000000000"
            "1440000000000000"
            "0400000000000000");
  // Entry 1: name at 169, three UTF-8 bytes, bf16.
  EXPECT_EQ(hex(96, 16),
            "a9000000"
            "0300"
            "01"
            "00"
            "1840000000000000");
  EXPECT_EQ(hex(168, 5),
            "776ec3a9"
            "00");
  for (size_t i = 173; i < region.size(); ++i) ASSERT_EQ(region[i], 0) << i;
}

TEST(ResidentIndex, SizeRoundsToPagesAndIsCappedBelowOneMebibyte) {
  EXPECT_EQ(KorvexResidentIndexCodec::indexSizeFor(0, 0), 16384u);
  // 24 + 72 * 10 + 32024 = 32768: exactly two pages, not three.
  EXPECT_EQ(KorvexResidentIndexCodec::indexSizeFor(10, 32024), 32768u);
  EXPECT_EQ(KorvexResidentIndexCodec::indexSizeFor(10, 32025), 49152u);

  const ResidentFilePlan empty = planWith({}, 0);
  const std::vector<uint8_t> region = encodeResidentIndex(empty);
  EXPECT_EQ(region.size(), 16384u);
  EXPECT_EQ(region[0], 0x00);
  EXPECT_EQ(region[1], 0x40);

  ResidentFilePlan big = planWith({}, 0);
  big.indexSize = 1048576;
  try {
    encodeResidentIndex(big);
    FAIL();
  } catch (const RepackError& e) {
    EXPECT_EQ(e.description(), "resident index size 1048576 exceeds limit 1048575");
  }
  big.indexSize = 1048576 - 16384;
  EXPECT_EQ(encodeResidentIndex(big).size(), 1048576u - 16384u);
}

TEST(ResidentIndex, CreateResidentFileSizesTheFileAndWritesTheIndex) {
  testutil::TempDir dir;
  ResidentEntry e;
  e.name = "t";
  e.logicalShape4 = {1, 0, 0, 0};
  e.fileOffset = 16384;
  e.sizeBytes = 4;
  const std::string path = dir.file("out.korvex.partial/model_weights.bin");
  const ResidentFilePlan plan = planWith({e}, 4, path);
  RepackAudit audit;
  UniqueFd fd = createResidentFile(plan, audit);
  EXPECT_TRUE(fd.valid());
  const std::string written = testutil::readFile(path);
  EXPECT_EQ(written.size(), 16388u);
  const std::vector<uint8_t> index = encodeResidentIndex(plan);
  EXPECT_EQ(written.substr(0, 16384), std::string(index.begin(), index.end()));
  EXPECT_EQ(audit.outputBytesWritten, 16384u);
  EXPECT_EQ(audit.largestScratchBytes, 16384);
}

}  // namespace
