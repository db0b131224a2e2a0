#include "engine/common/catalog.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

TEST(ModelCatalog, LookupByExactNameAndAliases) {
  EXPECT_EQ(ModelCatalog::lookup("standard"), ModelCatalog::lookup("gemma4"));
  EXPECT_EQ(ModelCatalog::lookup("qat")->name, "gemma4-qat");
  EXPECT_EQ(ModelCatalog::lookup("lfm25")->displayName, "LFM2.5 24B-A2B 4-bit");
  for (const char* unknown : {"Gemma4", "gemma4 ", "", "QAT", "qwen"}) {
    EXPECT_FALSE(ModelCatalog::lookup(unknown)) << unknown;
  }
  EXPECT_EQ(ModelCatalog::defaultSource().name, "gemma4");
}

TEST(ModelCatalog, RowsArePinnedAndWellFormed) {
  const std::regex commit("[0-9a-f]{40}"), digest("[0-9a-f]{64}");
  std::vector<std::string> names;
  for (const SupportedModelSource& row : ModelCatalog::all()) {
    names.push_back(row.name);
    EXPECT_TRUE(std::regex_match(row.revision, commit)) << row.name;
    EXPECT_TRUE(std::regex_match(row.sourceIndexSHA256, digest)) << row.name;
    EXPECT_EQ(row.reserveBytes, 1073741824u);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"gemma4", "gemma4-qat", "qwen36", "varnel15", "lfm25",
                                             "brask"}));
  const SupportedModelSource qwen = *ModelCatalog::lookup("qwen36");
  EXPECT_EQ(qwen.modelID, "qwen3.6-35b-a3b-4bit");
  EXPECT_EQ(qwen.approximateDownloadBytes, 19529025048u);
}

TEST(ModelCatalog, VisionEligibilityComparesEveryField) {
  EXPECT_TRUE(ModelCatalog::isVisionEligible(*ModelCatalog::lookup("gemma4")));
  EXPECT_TRUE(ModelCatalog::isVisionEligible(*ModelCatalog::lookup("qat")));
  EXPECT_FALSE(ModelCatalog::isVisionEligible(*ModelCatalog::lookup("qwen36")));
  SupportedModelSource changed = ModelCatalog::defaultSource();
  changed.reserveBytes += 1;
  EXPECT_FALSE(ModelCatalog::isVisionEligible(changed));
  changed = ModelCatalog::defaultSource();
  changed.displayName = "Gemma";
  EXPECT_FALSE(ModelCatalog::isVisionEligible(changed));
}

TEST(SourceFingerprint, MapsEveryPinnedDigestToItsModel) {
  const auto& known = SourceFingerprint::knownSources();
  EXPECT_EQ(known.size(), 6u);
  for (const SupportedModelSource& row : ModelCatalog::all()) {
    ASSERT_TRUE(known.contains(row.sourceIndexSHA256));
    EXPECT_EQ(known.at(row.sourceIndexSHA256), row.modelID);
  }
  EXPECT_EQ(&known, &SourceFingerprint::knownSources());
}

}  // namespace
