// Arbitrary bytes through the manifest codec; a decoded manifest must
// survive an encode/decode round trip unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "format/korvex_format.h"
#include "format/manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    const KorvexManifestV1 manifest = KorvexManifestCodec::decode({data, size});
    const std::string text = KorvexManifestCodec::encode(manifest);
    const auto again =
        KorvexManifestCodec::decode({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
    // NaN never decodes from JSON, so equality is exact.
    if (!(again == manifest)) std::abort();
  } catch (const KorvexFormatError&) {
  }
  return 0;
}
