// Arbitrary bytes through the packed-experts layout codec and the
// cross-check against a manifest geometry derived from the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <span>

#include "format/korvex_format.h"
#include "format/packed_layout.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    const KorvexPackedExpertsLayoutV1 layout = KorvexPackedExpertsLayoutCodec::decode({data, size});
    const std::string text = KorvexPackedExpertsLayoutCodec::encode(layout);
    if (!(KorvexPackedExpertsLayoutCodec::decode(
              {reinterpret_cast<const uint8_t*>(text.data()), text.size()}) == layout)) {
      std::abort();
    }
    std::map<std::string, uint64_t> sizes;
    for (const KorvexLayerV1& layer : layout.layers) {
      sizes["packed_experts/" + layer.file] = layout.expertStride * 2;
    }
    KorvexV1StructuralValidator::crossValidate(layout.numLayers, layout.expertsPerLayer,
                                               layout.expertStride, sizes, layout);
  } catch (const KorvexFormatError&) {
  }
  return 0;
}
