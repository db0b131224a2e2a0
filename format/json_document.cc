#include "format/json_document.h"

#include <cmath>

namespace korvex_json {
namespace {

[[noreturn]] void mismatch(const std::string& path, const char* expected) {
  throw DecodeError("type mismatch at " + path + ": expected " + expected);
}

// Integral numbers only; a float must have no fraction and fit the range.
std::optional<int64_t> integral(const json& v) {
  if (v.is_number_unsigned()) {
    const uint64_t u = v.get<uint64_t>();
    if (u > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
    return static_cast<int64_t>(u);
  }
  if (v.is_number_integer()) return v.get<int64_t>();
  if (v.is_number_float()) {
    const double d = v.get<double>();
    if (std::isfinite(d) && d == std::trunc(d) && d >= -9223372036854775808.0 &&
        d < 9223372036854775808.0) {
      return static_cast<int64_t>(d);
    }
  }
  return std::nullopt;
}

}  // namespace

json parse(std::span<const uint8_t> bytes) {
  try {
    return json::parse(bytes.begin(), bytes.end());
  } catch (const json::exception& e) {
    throw DecodeError(e.what());
  }
}

ObjectReader::ObjectReader(const json& value, std::string path)
    : value_(value), path_(std::move(path)) {
  if (!value_.is_object()) mismatch(path_.empty() ? "root" : path_, "an object");
}

std::string ObjectReader::childPath(std::string_view key) const {
  return path_.empty() ? std::string(key) : path_ + "." + std::string(key);
}

bool ObjectReader::has(std::string_view key) const {
  const auto it = value_.find(key);
  return it != value_.end() && !it->is_null();
}

const json& ObjectReader::member(std::string_view key) const {
  const auto it = value_.find(key);
  if (it == value_.end()) throw DecodeError("key not found: " + childPath(key));
  return *it;
}

int64_t ObjectReader::int64(std::string_view key) const {
  return asInt64(member(key), childPath(key));
}

uint64_t ObjectReader::uint64(std::string_view key) const {
  return asUInt64(member(key), childPath(key));
}

double ObjectReader::number(std::string_view key) const {
  const json& v = member(key);
  if (!v.is_number()) mismatch(childPath(key), "a number");
  return v.get<double>();
}

bool ObjectReader::boolean(std::string_view key) const {
  const json& v = member(key);
  if (!v.is_boolean()) mismatch(childPath(key), "a boolean");
  return v.get<bool>();
}

std::string ObjectReader::string(std::string_view key) const {
  const json& v = member(key);
  if (!v.is_string()) mismatch(childPath(key), "a string");
  return v.get<std::string>();
}

ObjectReader ObjectReader::object(std::string_view key) const {
  return ObjectReader(member(key), childPath(key));
}

const json& ObjectReader::array(std::string_view key) const {
  const json& v = member(key);
  if (!v.is_array()) mismatch(childPath(key), "an array");
  return v;
}

namespace {

template <typename T, typename Read>
std::vector<T> elements(const json& array, const std::string& path, Read read) {
  std::vector<T> out;
  out.reserve(array.size());
  for (size_t i = 0; i < array.size(); ++i) {
    out.push_back(read(array[i], path + "[" + std::to_string(i) + "]"));
  }
  return out;
}

}  // namespace

std::vector<int64_t> ObjectReader::int64Array(std::string_view key) const {
  return elements<int64_t>(array(key), childPath(key), asInt64);
}

std::vector<uint32_t> ObjectReader::uint32Array(std::string_view key) const {
  return elements<uint32_t>(array(key), childPath(key), asUInt32);
}

std::vector<uint64_t> ObjectReader::uint64Array(std::string_view key) const {
  return elements<uint64_t>(array(key), childPath(key), asUInt64);
}

std::optional<int64_t> ObjectReader::optionalInt64(std::string_view key) const {
  if (!has(key)) return std::nullopt;
  return int64(key);
}

std::optional<double> ObjectReader::optionalNumber(std::string_view key) const {
  if (!has(key)) return std::nullopt;
  return number(key);
}

std::optional<bool> ObjectReader::optionalBoolean(std::string_view key) const {
  if (!has(key)) return std::nullopt;
  return boolean(key);
}

std::optional<std::string> ObjectReader::optionalString(std::string_view key) const {
  if (!has(key)) return std::nullopt;
  return string(key);
}

int64_t asInt64(const json& value, const std::string& path) {
  const std::optional<int64_t> v = integral(value);
  if (!v) mismatch(path, "a 64-bit integer");
  return *v;
}

uint64_t asUInt64(const json& value, const std::string& path) {
  if (value.is_number_unsigned()) return value.get<uint64_t>();
  if (value.is_number_float()) {
    const double d = value.get<double>();
    if (std::isfinite(d) && d == std::trunc(d) && d >= 0 && d < 18446744073709551616.0) {
      return static_cast<uint64_t>(d);
    }
  } else if (value.is_number_integer() && value.get<int64_t>() >= 0) {
    return static_cast<uint64_t>(value.get<int64_t>());
  }
  mismatch(path, "an unsigned 64-bit integer");
}

uint32_t asUInt32(const json& value, const std::string& path) {
  const uint64_t v = asUInt64(value, path);
  if (v > UINT32_MAX) mismatch(path, "an unsigned 32-bit integer");
  return static_cast<uint32_t>(v);
}

ObjectReader asObject(const json& value, const std::string& path) {
  return ObjectReader(value, path);
}

std::string pretty(const json& document) {
  // nlohmann keeps object members in a std::map: byte order, which for UTF-8
  // is code point order. It never escapes "/".
  return document.dump(2, ' ', false, json::error_handler_t::strict);
}

}  // namespace korvex_json
