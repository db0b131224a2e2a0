#include "engine/source/safetensors.h"

#include <cmath>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>

#include "engine/common/repack_error.h"
#include "engine/io/posix.h"
#include "format/json_document.h"

size_t std::hash<SourceTensor>::operator()(const SourceTensor& t) const noexcept {
  size_t h = std::hash<std::string>()(t.name);
  auto mix = [&h](size_t v) { h ^= v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2); };
  mix(std::hash<std::string>()(t.shardPath));
  mix(static_cast<size_t>(t.dtype));
  for (uint64_t extent : t.shape) mix(std::hash<uint64_t>()(extent));
  mix(std::hash<uint64_t>()(t.absoluteOffset));
  mix(std::hash<uint64_t>()(t.sizeBytes));
  return h;
}

namespace Safetensors {
namespace {

using nlohmann::json;

[[noreturn]] void invalid(const std::string& path, std::string detail) {
  throw RepackError(RepackError::SafetensorsHeaderInvalid{path, std::move(detail)});
}

void checkSize(const std::string& path, uint64_t fileSize, uint64_t headerLength) {
  if (fileSize < 8 || headerLength > kMaxHeaderBytes || headerLength > fileSize - 8) {
    throw RepackError(RepackError::SafetensorsHeaderTooLarge{path, headerLength});
  }
}

// A non-negative integer, or an integral non-negative float below 2^64.
// Booleans, strings and everything else are not numbers here.
std::optional<uint64_t> unsignedNumber(const json& value) {
  if (value.is_number_unsigned()) return value.get<uint64_t>();
  if (value.is_number_integer()) {
    const int64_t v = value.get<int64_t>();
    if (v < 0) return std::nullopt;
    return static_cast<uint64_t>(v);
  }
  if (value.is_number_float()) {
    const double d = value.get<double>();
    if (!std::isfinite(d) || d < 0 || d != std::trunc(d) || d >= 18446744073709551616.0) {
      return std::nullopt;
    }
    return static_cast<uint64_t>(d);
  }
  return std::nullopt;
}

struct DtypeSpelling {
  const char* text;
  SourceTensor::Dtype dtype;
  uint64_t elementBytes;
};

constexpr DtypeSpelling kSpellings[] = {
    {"U32", SourceTensor::Dtype::u32, 4},   {"U8", SourceTensor::Dtype::u32, 1},
    {"BF16", SourceTensor::Dtype::bf16, 2}, {"F16", SourceTensor::Dtype::fp16, 2},
    {"F32", SourceTensor::Dtype::fp32, 4},
};

SourceTensor parseEntry(const std::string& path, uint64_t fileSize, uint64_t headerLength,
                        const std::string& name, const json& entry) {
  if (!entry.is_object()) invalid(path, "entry for " + name + " is not a dict");

  const auto dtypeIt = entry.find("dtype");
  if (dtypeIt == entry.end() || !dtypeIt->is_string()) {
    invalid(path, "entry for " + name + " has no dtype");
  }
  const std::string& dtypeText = dtypeIt->get_ref<const std::string&>();
  const DtypeSpelling* spelling = nullptr;
  for (const DtypeSpelling& s : kSpellings) {
    if (dtypeText == s.text) spelling = &s;
  }
  if (spelling == nullptr) {
    throw RepackError(RepackError::SafetensorsUnknownDtype{path, dtypeText});
  }

  const auto shapeIt = entry.find("shape");
  if (shapeIt == entry.end() || !shapeIt->is_array()) {
    invalid(path, "entry for " + name + " has no shape");
  }
  std::vector<uint64_t> shape;
  shape.reserve(shapeIt->size());
  for (const json& extent : *shapeIt) {
    const std::optional<uint64_t> value = unsignedNumber(extent);
    if (!value) invalid(path, "entry for " + name + " has invalid shape entry");
    shape.push_back(*value);
  }

  const auto offsetsIt = entry.find("data_offsets");
  std::optional<uint64_t> begin, end;
  if (offsetsIt != entry.end() && offsetsIt->is_array() && offsetsIt->size() == 2) {
    begin = unsignedNumber((*offsetsIt)[0]);
    end = unsignedNumber((*offsetsIt)[1]);
  }
  if (!begin || !end || *end < *begin) invalid(path, "entry for " + name + " has bad data_offsets");
  const uint64_t size = *end - *begin;

  // Offsets come from the file: an overflowing range end saturates so that it
  // is reported as out of range rather than wrapping into the file.
  uint64_t absoluteOffset = 0;
  uint64_t rangeEnd = 0;
  if (__builtin_add_overflow(8 + headerLength, *begin, &absoluteOffset) ||
      __builtin_add_overflow(absoluteOffset, size, &rangeEnd)) {
    rangeEnd = UINT64_MAX;
  }
  if (rangeEnd > fileSize) {
    throw RepackError(RepackError::SafetensorsTensorOutOfRange{path, name, rangeEnd, fileSize});
  }

  uint64_t product = 1;
  for (uint64_t extent : shape) {
    if (__builtin_mul_overflow(product, extent, &product)) {
      invalid(path, "shape product overflows UInt64 for " + name);
    }
  }
  uint64_t productBytes = 0;
  if (__builtin_mul_overflow(product, spelling->elementBytes, &productBytes) ||
      productBytes != size) {
    throw RepackError(RepackError::ShapeMismatch{
        name, "shape product " + std::to_string(product) + "*" +
                  std::to_string(spelling->elementBytes) + " != size " + std::to_string(size)});
  }

  if (spelling->elementBytes == 1) {
    // Packed 4-bit weights are stored as U8 rows; they describe the same
    // bytes as rows of 32-bit words.
    if (!name.ends_with(".weight") || shape.empty() || shape.back() % 4 != 0) {
      invalid(path, "U8 tensor " + name + " is not a packed weight row");
    }
    shape.back() /= 4;
  }

  return SourceTensor{name, path, spelling->dtype, std::move(shape), absoluteOffset, size};
}

}  // namespace

std::vector<SourceTensor> parseHeader(const std::string& path, uint64_t fileSize,
                                      std::span<const uint8_t> headerBytes) {
  const uint64_t headerLength = headerBytes.size();
  checkSize(path, fileSize, headerLength);

  // Malformed JSON, and a well-formed header beyond the decoder's limits,
  // are an invalid header of this shard.
  json header;
  try {
    header = korvex_json::parseBounded(headerBytes);
  } catch (const korvex_json::LimitExceeded& e) {
    invalid(path, e.what());
  } catch (const json::exception& e) {
    invalid(path, e.what());
  }
  if (!header.is_object()) invalid(path, "header is not a JSON object");

  std::vector<SourceTensor> tensors;
  tensors.reserve(header.size());
  for (const auto& [name, entry] : header.items()) {
    if (name == "__metadata__") continue;
    tensors.push_back(parseEntry(path, fileSize, headerLength, name, entry));
  }
  return tensors;
}

Header readHeader(const std::string& path) {
  UniqueFd fd = Posix::openRead(path);
  const uint64_t fileSize = Posix::fileSize(fd.get(), path);
  if (fileSize < 8) invalid(path, "file too short");

  uint8_t prefix[8];
  Posix::preadAll(fd.get(), path, prefix, sizeof prefix, 0);
  uint64_t headerLength = 0;
  for (int i = 7; i >= 0; --i) headerLength = (headerLength << 8) | prefix[i];
  checkSize(path, fileSize, headerLength);

  std::vector<uint8_t> headerBytes(headerLength);
  Posix::preadAll(fd.get(), path, headerBytes.data(), static_cast<int64_t>(headerLength), 8);
  fd.reset();
  return Header{parseHeader(path, fileSize, headerBytes)};
}

}  // namespace Safetensors
