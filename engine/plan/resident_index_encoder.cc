#include "engine/plan/resident_index_encoder.h"

#include <algorithm>

#include "engine/common/repack_error.h"
#include "format/korvex_format.h"
#include "format/resident_index.h"

std::vector<uint8_t> encodeResidentIndex(const ResidentFilePlan& plan) {
  if (plan.indexSize > static_cast<uint64_t>(kResidentIndexScratchLimit)) {
    throw RepackError(RepackError::ScratchExceeded{static_cast<int64_t>(plan.indexSize),
                                                   kResidentIndexScratchLimit});
  }
  const uint64_t count = plan.entries.size();
  const uint64_t tableEnd =
      KorvexFormatV1::residentHeaderBytes + KorvexFormatV1::residentEntryBytes * count;
  if (tableEnd + plan.stringTable.size() > plan.indexSize ||
      plan.stringTableOffsets.size() != count) {
    throw RepackError(RepackError::ConfigurationInvalid{
        "resident plan does not fit its index size " + std::to_string(plan.indexSize)});
  }

  std::vector<uint8_t> region(plan.indexSize, 0);
  KorvexResidentIndexCodec::writeHeader(region, {plan.indexSize, plan.residentSize, count});
  for (size_t i = 0; i < count; ++i) {
    const ResidentEntry& e = plan.entries[i];
    const KorvexResidentIndexEntryV1 record{e.name,      e.dtype,         e.fileOffset,
                                            e.sizeBytes, e.logicalShape4, e.scaleOffset,
                                            e.scaleSize, e.biasOffset,    e.biasSize};
    const std::span<uint8_t> slot(region.data() + KorvexFormatV1::residentHeaderBytes +
                                      KorvexFormatV1::residentEntryBytes * i,
                                  KorvexFormatV1::residentEntryBytes);
    KorvexResidentIndexCodec::writeEntry(
        slot, record, static_cast<uint32_t>(tableEnd + plan.stringTableOffsets[i]));
  }
  std::copy(plan.stringTable.begin(), plan.stringTable.end(), region.begin() + tableEnd);
  return region;
}

