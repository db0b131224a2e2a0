// Little-endian stores and loads, byte by byte: no alignment is assumed and
// the host's byte order does not matter.
#pragma once

#include <cstddef>
#include <cstdint>

namespace little_endian {

template <typename T>
inline void store(uint8_t* out, T value) {
  for (size_t i = 0; i < sizeof(T); ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

template <typename T>
inline T load(const uint8_t* in) {
  T value = 0;
  for (size_t i = sizeof(T); i-- > 0;) value = static_cast<T>((value << 8) | in[i]);
  return value;
}

}  // namespace little_endian
