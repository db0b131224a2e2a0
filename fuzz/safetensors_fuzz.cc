// Arbitrary bytes as a safetensors shard header, with a file size taken from
// the first input bytes so that range checks see both small and huge files.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <nlohmann/json.hpp>
#include <span>

#include "engine/common/repack_error.h"
#include "engine/source/safetensors.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint64_t fileSize = UINT64_MAX;
  if (size >= 1 && data[0] < 128) {
    fileSize = 8 + size + data[0];  // small data areas exercise range errors
  }
  try {
    Safetensors::parseHeader("shard", fileSize, std::span<const uint8_t>(data, size));
  } catch (const RepackError&) {
  } catch (const nlohmann::json::exception&) {
  }
  return 0;
}
