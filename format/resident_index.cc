#include "format/resident_index.h"

#include <unicode/utf8.h>

#include <algorithm>
#include <set>
#include <tuple>

#include "format/korvex_format.h"
#include "format/little_endian.h"

namespace KorvexResidentIndexCodec {

using little_endian::load;
using little_endian::store;

namespace {

[[noreturn]] void invalid(std::string field, std::string reason) {
  throw KorvexFormatError::invalid(std::move(field), std::move(reason));
}

bool isValidUTF8(const uint8_t* text, int32_t length) {
  int32_t i = 0;
  while (i < length) {
    UChar32 c;
    U8_NEXT(text, i, length, c);
    if (c < 0) return false;
  }
  return true;
}

struct Range {
  uint64_t start;
  uint64_t end;
  std::string field;
};

}  // namespace

uint64_t indexSizeFor(uint64_t entryCount, uint64_t stringTableBytes) {
  const uint64_t page = KorvexFormatV1::alignmentBytes;
  uint64_t used =
      korvexCheckedMultiply(entryCount, KorvexFormatV1::residentEntryBytes, "resident.entryTable");
  used = korvexCheckedAdd(used, KorvexFormatV1::residentHeaderBytes, "resident.entryTable");
  used = korvexCheckedAdd(used, stringTableBytes, "resident.index");
  const uint64_t rounded = korvexCheckedAdd(used, page - 1, "resident.index") / page * page;
  return rounded;
}

void writeHeader(std::span<uint8_t> into, const KorvexResidentIndexHeaderV1& header) {
  store<uint64_t>(&into[0], header.indexSize);
  store<uint64_t>(&into[8], header.residentSize);
  store<uint64_t>(&into[16], header.entryCount);
}

void writeEntry(std::span<uint8_t> into, const KorvexResidentIndexEntryV1& entry,
                uint32_t nameOffset) {
  store<uint32_t>(&into[0], nameOffset);
  store<uint16_t>(&into[4], static_cast<uint16_t>(entry.name.size()));
  into[6] = entry.dtype;
  into[7] = 0;
  store<uint64_t>(&into[8], entry.fileOffset);
  store<uint64_t>(&into[16], entry.sizeBytes);
  for (size_t d = 0; d < 4; ++d) store<uint32_t>(&into[24 + 4 * d], entry.shape[d]);
  store<uint64_t>(&into[40], entry.scaleOffset);
  store<uint64_t>(&into[48], entry.scaleSize);
  store<uint64_t>(&into[56], entry.biasOffset);
  store<uint64_t>(&into[64], entry.biasSize);
}

KorvexResidentIndexHeaderV1 decodeHeader(std::span<const uint8_t> bytes) {
  if (bytes.size() < KorvexFormatV1::residentHeaderBytes) {
    throw KorvexFormatError::truncated("resident.header");
  }
  return {load<uint64_t>(&bytes[0]), load<uint64_t>(&bytes[8]), load<uint64_t>(&bytes[16])};
}

std::vector<KorvexResidentIndexEntryV1> decodeRegion(std::span<const uint8_t> bytes,
                                                     const KorvexResidentIndexHeaderV1& header) {
  const uint64_t indexSize = header.indexSize;
  if (indexSize > KorvexFormatV1::residentIndexMaxBytes) {
    invalid("resident.indexSize", "exceeds v1 metadata cap");
  }
  if (bytes.empty() || bytes.size() < indexSize ||
      indexSize < static_cast<uint64_t>(KorvexFormatV1::residentHeaderBytes) ||
      indexSize % KorvexFormatV1::alignmentBytes != 0) {
    throw KorvexFormatError::truncated("resident.index");
  }
  const uint64_t tableEnd =
      korvexCheckedAdd(korvexCheckedMultiply(header.entryCount, KorvexFormatV1::residentEntryBytes,
                                             "resident.entryTable"),
                       KorvexFormatV1::residentHeaderBytes, "resident.entryTable");
  if (indexSize < tableEnd) invalid("resident.entryTable", "outside index");
  const uint64_t payloadEnd = korvexCheckedAdd(indexSize, header.residentSize, "resident.payload");

  // The table fits in the capped region, so entryCount is below 233017 here.
  std::vector<KorvexResidentIndexEntryV1> entries;
  entries.reserve(header.entryCount);
  std::set<std::string> names;
  std::vector<Range> ranges;
  ranges.reserve(header.entryCount * 3);
  for (uint64_t i = 0; i < header.entryCount; ++i) {
    const uint8_t* e =
        bytes.data() + KorvexFormatV1::residentHeaderBytes + KorvexFormatV1::residentEntryBytes * i;
    const std::string prefix = "resident.entries[" + std::to_string(i);
    if (e[7] != 0) invalid(prefix + "].reserved", "must be zero");

    const uint64_t nameOffset = load<uint32_t>(e);
    const uint64_t nameLength = load<uint16_t>(e + 4);
    if (nameOffset < tableEnd || nameOffset + nameLength > indexSize) {
      invalid(prefix + "].name", "range outside string table");
    }
    const uint8_t* nameBytes = bytes.data() + nameOffset;
    if (nameLength == 0 || !isValidUTF8(nameBytes, static_cast<int32_t>(nameLength))) {
      invalid(prefix + "].name", "invalid UTF-8 or duplicate");
    }
    std::string name(reinterpret_cast<const char*>(nameBytes), nameLength);
    if (!names.insert(KorvexPathValidator::canonicalComposition(name)).second) {
      invalid(prefix + "].name", "invalid UTF-8 or duplicate");
    }

    KorvexResidentIndexEntryV1 entry;
    entry.name = std::move(name);
    entry.dtype = e[6];
    if (!KorvexFormatV1::dtypeFromRaw(entry.dtype)) invalid(prefix + "].dtype", "unknown dtype");
    for (size_t d = 0; d < 4; ++d) entry.shape[d] = load<uint32_t>(e + 24 + 4 * d);
    if (entry.shape[0] == 0) invalid(prefix + "].shape", "first dimension must be positive");
    for (size_t d = 1; d < 4; ++d) {
      if (entry.shape[d] != 0 && entry.shape[d - 1] == 0) {
        invalid(prefix + "].shape", "zero dimensions must be trailing");
      }
    }
    entry.fileOffset = load<uint64_t>(e + 8);
    entry.sizeBytes = load<uint64_t>(e + 16);
    entry.scaleOffset = load<uint64_t>(e + 40);
    entry.scaleSize = load<uint64_t>(e + 48);
    entry.biasOffset = load<uint64_t>(e + 56);
    entry.biasSize = load<uint64_t>(e + 64);

    const std::string weights = prefix + "].weights";
    if (entry.sizeBytes == 0) invalid(weights, "primary payload is empty");
    const uint64_t weightsEnd = korvexCheckedAdd(entry.fileOffset, entry.sizeBytes, weights);
    if (entry.fileOffset < indexSize || weightsEnd > payloadEnd) {
      invalid(weights, "range outside resident payload");
    }
    ranges.push_back({entry.fileOffset, weightsEnd, weights});

    const std::tuple<uint64_t, uint64_t, const char*> companions[] = {
        {entry.scaleOffset, entry.scaleSize, "].scales"},
        {entry.biasOffset, entry.biasSize, "].biases"}};
    for (const auto& [offset, size, suffix] : companions) {
      const std::string field = prefix + suffix;
      if (size == 0) {
        if (offset != 0) invalid(field, "absent payload offset must be zero");
        continue;
      }
      const uint64_t end = korvexCheckedAdd(offset, size, field);
      if (offset < indexSize || end > payloadEnd) invalid(field, "range outside resident payload");
      ranges.push_back({offset, end, field});
    }
    entries.push_back(std::move(entry));
  }

  std::stable_sort(ranges.begin(), ranges.end(), [](const Range& a, const Range& b) {
    return std::tie(a.start, a.end) < std::tie(b.start, b.end);
  });
  for (size_t i = 1; i < ranges.size(); ++i) {
    if (ranges[i].start < ranges[i - 1].end) {
      invalid(ranges[i].field, "overlaps " + ranges[i - 1].field);
    }
  }
  return entries;
}

}  // namespace KorvexResidentIndexCodec
