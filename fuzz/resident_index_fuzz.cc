// Feeds arbitrary bytes to the resident index decoder. Only KorvexFormatError
// may escape the decoder; anything else (or a sanitizer report) is a bug.
#include <cstddef>
#include <cstdint>
#include <span>

#include "format/korvex_format.h"
#include "format/resident_index.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  try {
    const KorvexResidentIndexHeaderV1 header = KorvexResidentIndexCodec::decodeHeader(bytes);
    KorvexResidentIndexCodec::decodeRegion(bytes, header);
  } catch (const KorvexFormatError&) {
  }
  return 0;
}
