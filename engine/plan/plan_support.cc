#include "engine/plan/plan_support.h"

#include <charconv>

#include "engine/common/repack_error.h"
#include "format/korvex_format.h"

namespace plan_support {

// The field text is built only when the format library is about to report
// an overflow: these run once per copy of a plan.
uint64_t add(uint64_t a, uint64_t b, std::string_view field) {
  uint64_t sum;
  if (!__builtin_add_overflow(a, b, &sum)) return sum;
  try {
    return korvexCheckedAdd(a, b, std::string(field));
  } catch (const KorvexFormatError& e) {
    throwConfigurationInvalid(e.description());
  }
}

uint64_t multiply(uint64_t a, uint64_t b, std::string_view field) {
  uint64_t product;
  if (!__builtin_mul_overflow(a, b, &product)) return product;
  try {
    return korvexCheckedMultiply(a, b, std::string(field));
  } catch (const KorvexFormatError& e) {
    throwConfigurationInvalid(e.description());
  }
}

uint64_t roundUpToPage(uint64_t value, std::string_view field) {
  const uint64_t page = KorvexFormatV1::alignmentBytes;
  return add(value, page - 1, field) / page * page;
}

std::optional<int64_t> layerIndex(std::string_view name) {
  static constexpr std::string_view kMarker = ".layers.";
  const size_t marker = name.find(kMarker);
  if (marker == std::string_view::npos) return std::nullopt;
  const size_t start = marker + kMarker.size();
  const size_t dot = name.find('.', start);
  if (dot == std::string_view::npos) return std::nullopt;
  std::string_view text = name.substr(start, dot - start);
  // from_chars takes a leading "-" but not "+".
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text.front() == '-') return std::nullopt;
  }
  if (text.empty()) return std::nullopt;
  int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::string_view dtypeCaseName(SourceTensor::Dtype dtype) {
  switch (dtype) {
    case SourceTensor::Dtype::u32:
      return "u32";
    case SourceTensor::Dtype::bf16:
      return "bf16";
    case SourceTensor::Dtype::fp16:
      return "fp16";
    case SourceTensor::Dtype::fp32:
      return "fp32";
  }
  return "unknown";
}

std::string joinPath(const std::string& directory, std::string_view name) {
  if (directory.empty()) return std::string(name);
  std::string out = directory;
  if (out.back() != '/') out += '/';
  out += name;
  return out;
}

std::string directoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string lastComponent(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace plan_support
