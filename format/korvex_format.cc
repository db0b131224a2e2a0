#include "format/korvex_format.h"

#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

namespace KorvexFormatV1 {

bool isKnownFlag(std::string_view key) {
  for (std::string_view flag : knownFlags) {
    if (flag == key) return true;
  }
  return false;
}

std::optional<DType> dtypeFromRaw(uint8_t raw) {
  if (raw > static_cast<uint8_t>(DType::fp32)) return std::nullopt;
  return static_cast<DType>(raw);
}

}  // namespace KorvexFormatV1

KorvexFormatError::KorvexFormatError(Case kind, std::string field, std::string reason)
    : kind_(kind), field_(std::move(field)), reason_(std::move(reason)) {
  switch (kind_) {
    case Case::invalid:
      text_ = field_ + ": " + reason_;
      break;
    case Case::overflow:
      text_ = field_ + ": arithmetic overflow";
      break;
    case Case::truncated:
      text_ = field_ + ": truncated";
      break;
  }
}

KorvexFormatError KorvexFormatError::invalid(std::string field, std::string reason) {
  return KorvexFormatError(Case::invalid, std::move(field), std::move(reason));
}

KorvexFormatError KorvexFormatError::overflow(std::string field) {
  return KorvexFormatError(Case::overflow, std::move(field), "");
}

KorvexFormatError KorvexFormatError::truncated(std::string field) {
  return KorvexFormatError(Case::truncated, std::move(field), "");
}

uint64_t korvexCheckedAdd(uint64_t a, uint64_t b, const std::string& field) {
  uint64_t sum;
  if (__builtin_add_overflow(a, b, &sum)) throw KorvexFormatError::overflow(field);
  return sum;
}

uint64_t korvexCheckedMultiply(uint64_t a, uint64_t b, const std::string& field) {
  const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
  if ((product >> 64) != 0) throw KorvexFormatError::overflow(field);
  return static_cast<uint64_t>(product);
}

namespace KorvexPathValidator {

void validateRelativePath(std::string_view path, const std::string& field) {
  if (path.empty() || path.front() == '/' || path.find('\0') != std::string_view::npos) {
    throw KorvexFormatError::invalid(field, "unsafe relative path");
  }
  // Every piece between slashes must be a real name. Joining the checked
  // pieces with single slashes gives the input back, so there is no separate
  // normalisation step to fail.
  size_t start = 0;
  while (true) {
    const size_t slash = path.find('/', start);
    const std::string_view piece = path.substr(
        start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
    if (piece.empty() || piece == "." || piece == "..") {
      throw KorvexFormatError::invalid(field, "non-canonical path");
    }
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
}

void validateBasename(std::string_view name, const std::string& field) {
  validateRelativePath(name, field);
  if (name.find('/') != std::string_view::npos) {
    throw KorvexFormatError::invalid(field, "expected basename");
  }
}

namespace {

icu::UnicodeString composed(std::string_view text) {
  icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status)) return unicode;
  icu::UnicodeString result = nfc->normalize(unicode, status);
  return U_SUCCESS(status) ? result : unicode;
}

std::string utf8(const icu::UnicodeString& text) {
  std::string out;
  text.toUTF8String(out);
  return out;
}

}  // namespace

std::string canonicalComposition(std::string_view text) { return utf8(composed(text)); }

std::string appleFilesystemKey(std::string_view path) {
  icu::UnicodeString key = composed(path);
  key.toLower(icu::Locale::getRoot());
  return utf8(key);
}

}  // namespace KorvexPathValidator
