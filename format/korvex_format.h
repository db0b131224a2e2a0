// Shared core of the .korvex package format: version-1 constants, the element
// type codes, the format error, overflow-checked arithmetic and the rules for
// package-relative paths. Everything here is a pure function of its arguments
// and safe to call from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

namespace KorvexFormatV1 {

inline constexpr std::string_view magic = "KORVEX";
inline constexpr int64_t versionMajor = 1;
inline constexpr int64_t versionMinor = 0;
inline constexpr uint64_t alignmentBytes = 16384;
inline constexpr int64_t residentHeaderBytes = 24;
inline constexpr int64_t residentEntryBytes = 72;
inline constexpr uint64_t residentIndexMaxBytes = 16777216;

// The only keys allowed in a manifest's "flags" map.
inline constexpr std::array<std::string_view, 3> knownFlags = {"streamingPresent", "turboQuantKV",
                                                               "aneSharedExpert"};
bool isKnownFlag(std::string_view key);

// Element type of a resident tensor; the raw value is the dtype byte of a
// resident index entry.
enum class DType : uint8_t { u32 = 0, bf16 = 1, fp16 = 2, fp32 = 3 };

// Returns the dtype with this raw value, or nothing for 4..255.
std::optional<DType> dtypeFromRaw(uint8_t raw);

}  // namespace KorvexFormatV1

// The only error of the format library. `field` names the offending value
// with dotted segments and bracketed indices (resident.entries[3].name).
class KorvexFormatError : public std::exception {
 public:
  enum class Case { invalid, overflow, truncated };

  static KorvexFormatError invalid(std::string field, std::string reason);
  static KorvexFormatError overflow(std::string field);
  static KorvexFormatError truncated(std::string field);

  Case kind() const { return kind_; }
  const std::string& field() const { return field_; }
  // Empty unless kind() is invalid.
  const std::string& reason() const { return reason_; }

  std::string description() const { return text_; }
  const char* what() const noexcept override { return text_.c_str(); }

  bool operator==(const KorvexFormatError& other) const {
    return kind_ == other.kind_ && field_ == other.field_ && reason_ == other.reason_;
  }

 private:
  KorvexFormatError(Case kind, std::string field, std::string reason);

  Case kind_;
  std::string field_;
  std::string reason_;
  std::string text_;
};

// a + b, or overflow(field) when the sum does not fit in 64 bits.
uint64_t korvexCheckedAdd(uint64_t a, uint64_t b, const std::string& field);
// a * b, or overflow(field) when the 128-bit product has a non-zero upper half.
uint64_t korvexCheckedMultiply(uint64_t a, uint64_t b, const std::string& field);

namespace KorvexPathValidator {

// Accepts a canonical package-relative path: not empty, not absolute, no NUL,
// no empty, "." or ".." component. Compared byte for byte, no normalisation.
void validateRelativePath(std::string_view path, const std::string& field);

// validateRelativePath, and no "/" at all.
void validateBasename(std::string_view name, const std::string& field);

// Unicode canonical composition (NFC); ill-formed UTF-8 maps to U+FFFD first.
std::string canonicalComposition(std::string_view text);

// The key under which two names would collide on a case-insensitive,
// normalisation-insensitive file system: NFC, then full lower-casing without
// language tailoring. Never fails; ill-formed UTF-8 maps to U+FFFD first.
std::string appleFilesystemKey(std::string_view path);

}  // namespace KorvexPathValidator
