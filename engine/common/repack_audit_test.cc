#include "engine/common/repack_audit.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace {

using nlohmann::json;

TEST(RepackAudit, ReportHasEveryMemberAndOmitsAbsentOptionals) {
  RepackAudit audit;
  audit.byteCopyTiles = 7;
  audit.outputFiles.push_back({"packed_experts/layer_000.bin", 32768, std::string(64, 'a')});
  audit.remoteRepoID = "owner/model";
  const std::string text = audit.report("/models/m.korvex");
  const json report = json::parse(text);
  EXPECT_EQ(report.size(), 29u + 1u);
  EXPECT_EQ(report["byte_copy_tiles"], 7);
  EXPECT_EQ(report["output_dir"], "/models/m.korvex");
  EXPECT_EQ(report["output_files"][0], (json{{"path", "packed_experts/layer_000.bin"},
                                             {"sha256", std::string(64, 'a')},
                                             {"size", 32768}}));
  EXPECT_EQ(report["remote_retries"], json::array());
  EXPECT_EQ(report["rss_sample_count"], 0);
  EXPECT_EQ(report["packed_expert_layout_mode"], "identity");
  EXPECT_EQ(report["remote_repo_id"], "owner/model");
  for (const char* absent : {"remote_resolved_commit", "packed_expert_layout_strategy",
                             "packed_expert_layout_order_path"}) {
    EXPECT_FALSE(report.contains(absent)) << absent;
  }
  EXPECT_NE(text.find("\"packed_experts/layer_000.bin\""), std::string::npos);
  EXPECT_LT(text.find("\"bit_width_overrides_honored\""), text.find("\"byte_copy_tiles\""));
}

TEST(RepackAudit, RetriesAndMemorySamples) {
  RepackAudit audit;
  audit.recordRetry("downloadRangeToTempFile:model-00001.safetensors", 1, "remote HTTP 503: u");
  EXPECT_EQ(audit.remoteRangeRetries, 1u);
  ASSERT_EQ(audit.remoteRetries.size(), 1u);
  EXPECT_EQ(audit.remoteRetries[0].attempt, 1);
  audit.sampleMemory();
  audit.sampleMemory();
  EXPECT_EQ(audit.rssSamples.size(), 2u);
  EXPECT_GT(audit.peakRssBytes, 0u);
  const json report = json::parse(audit.report("/o"));
  EXPECT_EQ(report["rss_sample_count"], 2);
  EXPECT_EQ(report["remote_retries"][0]["label"],
            "downloadRangeToTempFile:model-00001.safetensors");
  audit.noteScratch(10);
  audit.noteScratch(5);
  EXPECT_EQ(audit.largestScratchBytes, 10);
}

}  // namespace
