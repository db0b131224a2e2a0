// JSON helpers shared by every package document: the bounded decoder of
// untrusted bytes, strict typed reads of members (missing members and wrong
// types are errors, unknown members are ignored) and the one serialisation all
// documents use: pretty-printed, keys sorted by code point, forward slashes not
// escaped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <istream>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace korvex_json {

using nlohmann::json;

// A document that does not have the expected shape. what() names the member
// by its dotted path.
class DecodeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Limits of the decoder of untrusted bytes. A tree of JSON values takes far
// more memory than its text (tens of bytes for each "[]" or "0,"), so the
// decoder charges every value an estimate of the heap it takes, allocator
// overhead and the transient copies of growth and teardown included, and
// stops once the charge exceeds kTreeBytesPerInputByte per input byte plus
// kTreeBaseBytes. Real documents fit: pretty-printed package documents and
// shard indexes charge 3 to 4 bytes per byte, the compact resume checkpoint
// about 5 and a compact safetensors header about 7, which the base allowance
// absorbs up to a header of about 11 MiB. Besides the tree the parser holds
// one token at a time, at most a few times the longest string. Nesting is
// limited as well: an array or object below kMaxDepth levels is refused.
inline constexpr size_t kMaxDepth = 256;
inline constexpr uint64_t kTreeBytesPerInputByte = 4;
inline constexpr uint64_t kTreeBaseBytes = 32 << 20;

// Well-formed JSON that exceeds a limit of the decoder; what() says which.
class LimitExceeded : public DecodeError {
 public:
  using DecodeError::DecodeError;
};

// Parses untrusted bytes within the limits above. Malformed JSON throws the
// parser's own exception (nlohmann::json::exception) unchanged; a document
// beyond a limit throws LimitExceeded. Everything else is json::parse.
json parseBounded(std::span<const uint8_t> bytes);

// Object members a reader has no use for: called with the member's depth (1
// for the root object's members) and key; true leaves the member and its whole
// value out of the tree, so it costs no memory, while the text is still parsed
// and checked in full, nesting limit included.
using SkipMember = std::function<bool(size_t depth, const std::string& key)>;

// parseBounded of `inputBytes` bytes read from a stream, without the members
// `skip` selects. A large document is never held in memory as text.
json parseBounded(std::istream& input, uint64_t inputBytes, const SkipMember& skip);

// parseBounded, with malformed JSON as a DecodeError with the parser's text.
json parse(std::span<const uint8_t> bytes);

// A JSON object being read; `path` names it in error messages.
class ObjectReader {
 public:
  ObjectReader(const json& value, std::string path);

  bool has(std::string_view key) const;  // present and not null
  const json& member(std::string_view key) const;

  int64_t int64(std::string_view key) const;
  uint64_t uint64(std::string_view key) const;
  double number(std::string_view key) const;
  bool boolean(std::string_view key) const;
  std::string string(std::string_view key) const;
  ObjectReader object(std::string_view key) const;
  const json& array(std::string_view key) const;

  // Arrays of integers; each element by the same rules as the scalars.
  std::vector<int64_t> int64Array(std::string_view key) const;
  std::vector<uint32_t> uint32Array(std::string_view key) const;
  std::vector<uint64_t> uint64Array(std::string_view key) const;

  std::optional<int64_t> optionalInt64(std::string_view key) const;
  std::optional<double> optionalNumber(std::string_view key) const;
  std::optional<bool> optionalBoolean(std::string_view key) const;
  std::optional<std::string> optionalString(std::string_view key) const;

  const json& value() const { return value_; }
  std::string childPath(std::string_view key) const;

 private:
  const json& value_;
  std::string path_;
};

// Typed reads of a bare value (array elements); `path` is for messages.
int64_t asInt64(const json& value, const std::string& path);
uint64_t asUInt64(const json& value, const std::string& path);
uint32_t asUInt32(const json& value, const std::string& path);
ObjectReader asObject(const json& value, const std::string& path);

// Pretty-printed with two-space indentation, sorted keys, "/" unescaped.
std::string pretty(const json& document);

}  // namespace korvex_json
