// Arbitrary bytes through both vision companion codecs.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "format/korvex_format.h"
#include "format/vision.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    const KorvexVisionManifestV1 manifest = KorvexVisionManifestCodec::decode({data, size});
    const std::string text = KorvexVisionManifestCodec::encode(manifest);
    if (!(KorvexVisionManifestCodec::decode(
              {reinterpret_cast<const uint8_t*>(text.data()), text.size()}) == manifest)) {
      std::abort();
    }
  } catch (const KorvexFormatError&) {
  }
  try {
    const KorvexVisionReceiptV1 receipt = KorvexVisionReceiptCodec::decode({data, size});
    KorvexVisionReceiptCodec::encode(receipt);
  } catch (const KorvexFormatError&) {
  }
  return 0;
}
