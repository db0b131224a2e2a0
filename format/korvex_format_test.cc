#include "format/korvex_format.h"
#include "format/vision.h"

#include <gtest/gtest.h>

namespace {

using namespace std::string_literals;

std::string pathError(const std::string& path, bool basename) {
  try {
    if (basename) {
      KorvexPathValidator::validateBasename(path, "f");
    } else {
      KorvexPathValidator::validateRelativePath(path, "f");
    }
    return "";
  } catch (const KorvexFormatError& e) {
    EXPECT_EQ(e.kind(), KorvexFormatError::Case::invalid);
    EXPECT_EQ(e.field(), "f");
    return e.reason();
  }
}

TEST(KorvexPathValidator, RejectsUnsafeAndNonCanonicalPaths) {
  struct Case {
    std::string path;
    std::string relative;  // reason from validateRelativePath, "" when accepted
    std::string basename;  // reason from validateBasename
  };
  const std::vector<Case> cases = {
      {"model_weights.bin", "", ""},
      {"packed_experts/layer_000.bin", "", "expected basename"},
      {"a/b", "", "expected basename"},
      {"...", "", ""},
      {"", "unsafe relative path", "unsafe relative path"},
      {"/etc/x", "unsafe relative path", "unsafe relative path"},
      {"/", "unsafe relative path", "unsafe relative path"},
      {"a\0b"s, "unsafe relative path", "unsafe relative path"},
      {"a/\0"s, "unsafe relative path", "unsafe relative path"},
      {"a//b", "non-canonical path", "non-canonical path"},
      {"a/", "non-canonical path", "non-canonical path"},
      {"./a", "non-canonical path", "non-canonical path"},
      {"a/../b", "non-canonical path", "non-canonical path"},
      {"..", "non-canonical path", "non-canonical path"},
      {".", "non-canonical path", "non-canonical path"},
      {"a/.", "non-canonical path", "non-canonical path"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(pathError(c.path, false), c.relative) << c.path;
    EXPECT_EQ(pathError(c.path, true), c.basename) << c.path;
  }
}

TEST(KorvexPathValidator, FilesystemKeyFoldsCaseAndNormalisation) {
  using KorvexPathValidator::appleFilesystemKey;
  EXPECT_EQ(appleFilesystemKey("Tokenizer.JSON"), appleFilesystemKey("tokenizer.json"));
  EXPECT_EQ(appleFilesystemKey("caf\x65\xcc\x81"), appleFilesystemKey("caf\xc3\xa9"));
  EXPECT_EQ(appleFilesystemKey("CAF\x45\xcc\x81"), "caf\xc3\xa9");
  // Full case mapping, no Turkish tailoring: I lower-cases to i, and
  // U+0130 to i followed by a combining dot.
  EXPECT_EQ(appleFilesystemKey("I"), "i");
  EXPECT_EQ(appleFilesystemKey("\xc4\xb0"), "i\xcc\x87");
  EXPECT_NE(appleFilesystemKey("a"), appleFilesystemKey("b"));
  // Never fails, even on bytes that are not UTF-8.
  EXPECT_FALSE(appleFilesystemKey("\xff\xfe").empty());
}

TEST(KorvexVisionFormatV1, RecognisesSidecarNamesCaseSensitively) {
  for (const char* name : {".DS_Store", "._model_weights.bin", ".Spotlight-V100", ".fseventsd",
                           ".TemporaryItems", "model_weights.bin.icloud"}) {
    EXPECT_TRUE(KorvexVisionFormatV1::isSidecarEntry(name)) << name;
  }
  for (const char* name :
       {"DS_Store", ".ds_store", "model_weights.bin", "manifest.json", ".icloudx"}) {
    EXPECT_FALSE(KorvexVisionFormatV1::isSidecarEntry(name)) << name;
  }
}

TEST(KorvexCheckedArithmetic, ReportsOverflowWithTheField) {
  EXPECT_EQ(korvexCheckedAdd(UINT64_MAX - 1, 1, "x"), UINT64_MAX);
  try {
    korvexCheckedAdd(UINT64_MAX, 1, "x");
    FAIL();
  } catch (const KorvexFormatError& e) {
    EXPECT_EQ(e, KorvexFormatError::overflow("x"));
    EXPECT_STREQ(e.what(), "x: arithmetic overflow");
  }
  EXPECT_EQ(korvexCheckedMultiply(1ull << 32, 1ull << 31, "x"), 1ull << 63);
  EXPECT_EQ(korvexCheckedMultiply(0, UINT64_MAX, "x"), 0u);
  EXPECT_THROW(korvexCheckedMultiply(1ull << 32, 1ull << 32, "x"), KorvexFormatError);
  EXPECT_THROW(korvexCheckedMultiply(3, 6148914691236517206ull, "x"), KorvexFormatError);
}

TEST(KorvexFormatError, TextsAndEquality) {
  EXPECT_STREQ(
      KorvexFormatError::invalid("resident.entries[3].name", "invalid UTF-8 or duplicate").what(),
      "resident.entries[3].name: invalid UTF-8 or duplicate");
  EXPECT_EQ(KorvexFormatError::truncated("resident.header").description(),
            "resident.header: truncated");
  EXPECT_NE(KorvexFormatError::truncated("a"), KorvexFormatError::overflow("a"));
  EXPECT_NE(KorvexFormatError::invalid("a", "r"), KorvexFormatError::invalid("a", "s"));
}

TEST(KorvexFormatV1, DTypeFromRawValue) {
  EXPECT_EQ(KorvexFormatV1::dtypeFromRaw(1), KorvexFormatV1::DType::bf16);
  EXPECT_EQ(KorvexFormatV1::dtypeFromRaw(3), KorvexFormatV1::DType::fp32);
  EXPECT_FALSE(KorvexFormatV1::dtypeFromRaw(4));
  EXPECT_FALSE(KorvexFormatV1::dtypeFromRaw(255));
  EXPECT_TRUE(KorvexFormatV1::isKnownFlag("turboQuantKV"));
  EXPECT_FALSE(KorvexFormatV1::isKnownFlag("streamingpresent"));
}

}  // namespace
