#include "format/resident_index.h"

#include "format/korvex_format.h"
#include "format/little_endian.h"

namespace KorvexResidentIndexCodec {

using little_endian::store;

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

}  // namespace KorvexResidentIndexCodec
