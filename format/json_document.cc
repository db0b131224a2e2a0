#include "format/json_document.h"

#include <array>
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

// Builds the tree exactly as json::parse does (same parser, same events, same
// errors) and charges each event what it adds to the heap. The charges follow
// nlohmann's tree: an array element is a 16-byte slot in a std::vector, counted
// once more for the flattening stack of the tree's teardown and once more for
// the buffers that doubling leaves behind (freed, but kept by the allocator);
// an object member is a std::map node of 96 bytes plus its teardown slot; a
// string or a container adds its own heap block; a string longer than the
// small-string buffer adds its characters.
class BoundedTreeBuilder : public nlohmann::detail::json_sax_dom_parser<json> {
  using Base = nlohmann::detail::json_sax_dom_parser<json>;

 public:
  BoundedTreeBuilder(json& result, uint64_t inputBytes, const SkipMember* skip = nullptr)
      : Base(result, true), budget_(budgetFor(inputBytes)), skip_(skip) {}

  bool null() {
    if (skippedScalar()) return true;
    charge(slot());
    return Base::null();
  }
  bool boolean(bool value) {
    if (skippedScalar()) return true;
    charge(slot());
    return Base::boolean(value);
  }
  bool number_integer(number_integer_t value) {
    if (skippedScalar()) return true;
    charge(slot());
    return Base::number_integer(value);
  }
  bool number_unsigned(number_unsigned_t value) {
    if (skippedScalar()) return true;
    charge(slot());
    return Base::number_unsigned(value);
  }
  bool number_float(number_float_t value, const string_t& text) {
    if (skippedScalar()) return true;
    charge(slot());
    return Base::number_float(value, text);
  }
  bool string(string_t& value) {
    if (skippedScalar()) return true;
    charge(slot() + kStringBytes + heapCharacters(value.size()));
    return Base::string(value);
  }
  bool start_object(std::size_t length) {
    if (skippedOpen()) return true;
    open(kObjectBytes, false);
    return Base::start_object(length);
  }
  bool key(string_t& name) {
    if (skipping_) return true;
    if (skip_ != nullptr && (*skip_)(depth_, name)) {
      skipping_ = true;
      return true;
    }
    charge(kMemberBytes + heapCharacters(name.size()));
    return Base::key(name);
  }
  bool end_object() {
    --depth_;
    if (skippedClose()) return true;
    return Base::end_object();
  }
  bool start_array(std::size_t length) {
    if (skippedOpen()) return true;
    open(kArrayBytes, true);
    return Base::start_array(length);
  }
  bool end_array() {
    --depth_;
    if (skippedClose()) return true;
    return Base::end_array();
  }

 private:
  static constexpr uint64_t kArraySlotBytes = 48;
  static constexpr uint64_t kMemberBytes = 96 + 16;
  static constexpr uint64_t kStringBytes = 48;
  static constexpr uint64_t kArrayBytes = 32;
  static constexpr uint64_t kObjectBytes = 64;

  static uint64_t budgetFor(uint64_t inputBytes) {
    uint64_t budget;
    if (__builtin_mul_overflow(inputBytes, kTreeBytesPerInputByte, &budget) ||
        __builtin_add_overflow(budget, kTreeBaseBytes, &budget)) {
      return UINT64_MAX;
    }
    return budget;
  }

  // Long strings live in a heap block of their length plus the terminator,
  // rounded up to the allocator's 16-byte chunks with its 8-byte header.
  static uint64_t heapCharacters(size_t length) {
    return length < 16 ? 0 : (static_cast<uint64_t>(length) + 1 + 8 + 15) / 16 * 16;
  }

  // A value's slot: in an array it is an element; in an object it lives in
  // the member node its key paid for; the root is the result itself.
  uint64_t slot() const { return depth_ > 0 && inArray_[depth_] ? kArraySlotBytes : 0; }

  void open(uint64_t containerBytes, bool array) {
    checkDepth();
    charge(slot() + containerBytes);
    inArray_[++depth_] = array;
  }

  void checkDepth() const {
    if (depth_ == kMaxDepth) {
      throw LimitExceeded("JSON nesting deeper than " + std::to_string(kMaxDepth) + " levels");
    }
  }

  // A skipped member's value: its events pass by the tree. skipNest_ counts
  // the containers open inside it.
  bool skippedScalar() {
    if (!skipping_) return false;
    if (skipNest_ == 0) skipping_ = false;
    return true;
  }
  bool skippedOpen() {
    if (!skipping_) return false;
    checkDepth();
    ++depth_;
    ++skipNest_;
    return true;
  }
  bool skippedClose() {
    if (!skipping_) return false;
    if (--skipNest_ == 0) skipping_ = false;
    return true;
  }

  void charge(uint64_t bytes) {
    spent_ += bytes;
    if (spent_ > budget_) {
      throw LimitExceeded("JSON document too complex: decoding it takes more than " +
                          std::to_string(budget_) + " bytes of memory");
    }
  }

  const uint64_t budget_;
  const SkipMember* skip_;
  bool skipping_ = false;
  size_t skipNest_ = 0;
  uint64_t spent_ = 0;
  size_t depth_ = 0;
  std::array<bool, kMaxDepth + 1> inArray_{};
};

}  // namespace

json parseBounded(std::span<const uint8_t> bytes) {
  json result;
  BoundedTreeBuilder builder(result, bytes.size());
  json::sax_parse(bytes.begin(), bytes.end(), &builder);
  return result;
}

json parseBounded(std::istream& input, uint64_t inputBytes, const SkipMember& skip) {
  json result;
  BoundedTreeBuilder builder(result, inputBytes, skip ? &skip : nullptr);
  json::sax_parse(input, &builder);
  return result;
}

json parse(std::span<const uint8_t> bytes) {
  try {
    return parseBounded(bytes);
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
