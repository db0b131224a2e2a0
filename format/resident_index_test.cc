#include "format/resident_index.h"

#include <gtest/gtest.h>

#include <functional>

#include "format/korvex_format.h"
#include "format/little_endian.h"

namespace {

using namespace KorvexResidentIndexCodec;

// A region builder: entries are written with writeEntry, names appended to
// the string table; tests then poke bytes to break one rule at a time.
struct Region {
  KorvexResidentIndexHeaderV1 header;
  std::vector<uint8_t> bytes;

  static Region of(const std::vector<KorvexResidentIndexEntryV1>& entries, uint64_t residentSize) {
    std::string table;
    for (const auto& e : entries) table += e.name;
    Region r;
    r.header = {indexSizeFor(entries.size(), table.size()), residentSize, entries.size()};
    r.bytes.assign(r.header.indexSize, 0);
    writeHeader(r.bytes, r.header);
    uint64_t name = 24 + 72 * entries.size();
    for (size_t i = 0; i < entries.size(); ++i) {
      writeEntry(std::span<uint8_t>(r.bytes).subspan(24 + 72 * i, 72), entries[i],
                 static_cast<uint32_t>(name));
      std::copy(entries[i].name.begin(), entries[i].name.end(), r.bytes.begin() + name);
      name += entries[i].name.size();
    }
    return r;
  }
  uint8_t* entry(size_t i) { return bytes.data() + 24 + 72 * i; }
};

KorvexResidentIndexEntryV1 entry(std::string name, uint64_t offset, uint64_t size) {
  KorvexResidentIndexEntryV1 e;
  e.name = std::move(name);
  e.dtype = 1;
  e.fileOffset = offset;
  e.sizeBytes = size;
  e.shape = {static_cast<uint32_t>(size / 2), 0, 0, 0};
  return e;
}

std::string decodeError(Region& r) {
  try {
    decodeRegion(r.bytes, r.header);
    return "ok";
  } catch (const KorvexFormatError& e) {
    return e.description();
  }
}

TEST(ResidentIndexDecode, RoundTripsWhatTheWriterProduced) {
  auto weights = entry("w", 16384, 64);
  weights.dtype = 0;
  weights.shape = {4, 4, 0, 0};
  weights.scaleOffset = 16448;
  weights.scaleSize = 8;
  weights.biasOffset = 16456;
  weights.biasSize = 8;
  const Region r = Region::of({weights, entry("n\xc3\xa9", 16464, 16)}, 96);
  EXPECT_EQ(decodeHeader(r.bytes), r.header);
  const auto entries = decodeRegion(r.bytes, r.header);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0], weights);
  EXPECT_EQ(entries[1].name, "n\xc3\xa9");

  // An empty index is one page of zeros apart from the header.
  const Region empty = Region::of({}, 0);
  EXPECT_EQ(empty.header.indexSize, 16384u);
  EXPECT_TRUE(decodeRegion(empty.bytes, empty.header).empty());

  // Nothing assumes alignment: decode from an odd address.
  std::vector<uint8_t> shifted(r.bytes.size() + 1);
  std::copy(r.bytes.begin(), r.bytes.end(), shifted.begin() + 1);
  EXPECT_EQ(decodeRegion(std::span<const uint8_t>(shifted).subspan(1), r.header), entries);
}

TEST(ResidentIndexDecode, HeaderAndRegionBounds) {
  EXPECT_THROW(decodeHeader(std::vector<uint8_t>(23)), KorvexFormatError);
  Region r = Region::of({entry("a", 16384, 2)}, 2);
  struct Case {
    std::function<void(Region&)> mutate;
    std::string error;
  };
  const std::vector<Case> cases = {
      {[](Region& r) { r.header.indexSize = 16777216 + 16384; },
       "resident.indexSize: exceeds v1 metadata cap"},
      {[](Region& r) { r.header.indexSize = 20000; }, "resident.index: truncated"},
      {[](Region& r) { r.header.indexSize = 32768; }, "resident.index: truncated"},
      {[](Region& r) { r.bytes.clear(); }, "resident.index: truncated"},
      {[](Region& r) { r.header.entryCount = UINT64_MAX / 8; },
       "resident.entryTable: arithmetic overflow"},
      {[](Region& r) { r.header.entryCount = 300; }, "resident.entryTable: outside index"},
      {[](Region& r) { r.header.residentSize = UINT64_MAX; },
       "resident.payload: arithmetic overflow"},
  };
  for (const Case& c : cases) {
    Region copy = r;
    c.mutate(copy);
    EXPECT_EQ(decodeError(copy), c.error);
  }

  // A region at the reader's cap decodes; the writer would never build it.
  Region big = Region::of({}, 0);
  big.header.indexSize = 16777216;
  big.bytes.resize(16777216);
  EXPECT_EQ(decodeError(big), "ok");
}

TEST(ResidentIndexDecode, EntryRulesInOrder) {
  using little_endian::store;
  const Region base = Region::of({entry("a", 16384, 4), entry("b", 16388, 4)}, 8);
  struct Case {
    std::function<void(Region&)> mutate;
    std::string error;
  };
  const std::vector<Case> cases = {
      {[](Region& r) { r.entry(0)[7] = 1; }, "resident.entries[0].reserved: must be zero"},
      {[](Region& r) { store<uint32_t>(r.entry(1), 100); },
       "resident.entries[1].name: range outside string table"},
      {[](Region& r) { store<uint32_t>(r.entry(1), 16384); },
       "resident.entries[1].name: range outside string table"},
      {[](Region& r) { r.bytes[24 + 144 + 1] = 'a'; },
       "resident.entries[1].name: invalid UTF-8 or duplicate"},
      {[](Region& r) { r.bytes[24 + 144] = 0xff; },
       "resident.entries[0].name: invalid UTF-8 or duplicate"},
      {[](Region& r) { store<uint16_t>(r.entry(0) + 4, 0); },
       "resident.entries[0].name: invalid UTF-8 or duplicate"},
      {[](Region& r) { r.entry(1)[6] = 4; }, "resident.entries[1].dtype: unknown dtype"},
      {[](Region& r) { store<uint32_t>(r.entry(0) + 24, 0); },
       "resident.entries[0].shape: first dimension must be positive"},
      {[](Region& r) {
         store<uint32_t>(r.entry(0) + 24, 5);
         store<uint32_t>(r.entry(0) + 32, 3);
       },
       "resident.entries[0].shape: zero dimensions must be trailing"},
      {[](Region& r) { store<uint64_t>(r.entry(0) + 16, 0); },
       "resident.entries[0].weights: primary payload is empty"},
      {[](Region& r) { store<uint64_t>(r.entry(0) + 8, UINT64_MAX); },
       "resident.entries[0].weights: arithmetic overflow"},
      {[](Region& r) { store<uint64_t>(r.entry(0) + 8, 16383); },
       "resident.entries[0].weights: range outside resident payload"},
      {[](Region& r) { store<uint64_t>(r.entry(1) + 8, 16389); },
       "resident.entries[1].weights: range outside resident payload"},
      {[](Region& r) { store<uint64_t>(r.entry(0) + 40, 16384); },
       "resident.entries[0].scales: absent payload offset must be zero"},
      {[](Region& r) {
         store<uint64_t>(r.entry(1) + 56, 16391);
         store<uint64_t>(r.entry(1) + 64, 2);
       },
       "resident.entries[1].biases: range outside resident payload"},
      // Entry 0's biases share a byte with entry 1's weights: the later start
      // is reported, naming the range with the smaller start.
      {[](Region& r) {
         store<uint64_t>(r.entry(0) + 56, 16387);
         store<uint64_t>(r.entry(0) + 64, 2);
         store<uint64_t>(r.entry(0) + 16, 3);
       },
       "resident.entries[1].weights: overlaps resident.entries[0].biases"},
      {[](Region& r) {
         store<uint64_t>(r.entry(0) + 40, 16385);
         store<uint64_t>(r.entry(0) + 48, 1);
       },
       "resident.entries[0].scales: overlaps resident.entries[0].weights"},
  };
  for (const Case& c : cases) {
    Region r = base;
    c.mutate(r);
    EXPECT_EQ(decodeError(r), c.error);
  }

  // Canonically equivalent names are duplicates.
  Region composed = Region::of({entry("e\xcc\x81", 16384, 4), entry("\xc3\xa9", 16388, 4)}, 8);
  EXPECT_EQ(decodeError(composed), "resident.entries[1].name: invalid UTF-8 or duplicate");
  // Ranges that only touch are fine.
  Region touching = base;
  EXPECT_EQ(decodeError(touching), "ok");
}

}  // namespace
