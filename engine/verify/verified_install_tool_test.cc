#include "engine/verify/verified_install_tool.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <regex>

#include "engine/common/repack_error.h"
#include "tests/test_util.h"
#include "tools/package_fixture.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// Replaces layout.json with `layers` (the JSON text of the layers array) and
// updates the manifest's entry for it, so only the layout itself is wrong.
void writeRawLayout(PackageFixture& f, const std::string& layers) {
  testutil::writeFile(
      f.directory + "/packed_experts/layout.json",
      R"({"expertStride":16384,"numLayers":2,"expertsPerLayer":2,"layers":)" + layers + "}");
  f.refreshFile("packed_experts/layout.json");
  f.writeManifest();
}

const std::string kLayer1 =
    R"({"layer":1,"file":"layer_001.bin","experts":[{"offset":0,"size":16384},{"offset":16384,"size":16384}]})";

class VerifierTest : public ::testing::Test {
 protected:
  void SetUp() override { fixture_ = writePackageFixture(dir_.file("m.korvex")); }

  std::string failure() {
    try {
      VerifiedInstallTool::run({fixture_.directory});
      return "ok";
    } catch (const RepackError& e) {
      return e.description();
    }
  }
  std::string file(const std::string& relative) const {
    return fixture_.directory + "/" + relative;
  }

  testutil::TempDir dir_;
  PackageFixture fixture_;
};

TEST_F(VerifierTest, VerifiesAPackageAndWritesTheReceipt) {
  // The upper-case digest in the manifest matches the computed lower-case one.
  auto& weights = fixture_.manifest.files["model_weights.bin"];
  for (char& c : weights.sha256) c = static_cast<char>(std::toupper(c));
  fixture_.writeManifest();
  testutil::writeFile(file("notes.txt"), "x");
  testutil::writeFile(file(".DS_Store"), "x");
  testutil::writeFile(file("packed_experts/.DS_Store"), "x");
  testutil::writeFile(file("tokenizer/extra.json"), "{}");

  const VerifyInstallResult result = VerifiedInstallTool::run({fixture_.directory});
  const std::string manifest = testutil::readFile(file("manifest.json"));
  uint64_t expectedBytes = manifest.size();
  for (const auto& [path, entry] : fixture_.manifest.files) expectedBytes += entry.size;
  EXPECT_EQ(result.fileCount, static_cast<int64_t>(fixture_.manifest.files.size()) + 1);
  EXPECT_EQ(result.bytesVerified, expectedBytes);
  EXPECT_EQ(result.receiptPath, fs::path(fixture_.directory).string() + "/verified-install.json");
  EXPECT_EQ(result.unexpectedEntries,
            (std::vector<std::string>{"notes.txt", "packed_experts/.DS_Store"}));

  const std::string text = testutil::readFile(result.receiptPath);
  const json receipt = json::parse(text);
  EXPECT_EQ(receipt["schemaVersion"], 1);
  EXPECT_EQ(receipt["toolVersion"], "VelquorRepack verify-install");
  EXPECT_EQ(receipt["sourceRevision"], *fixture_.manifest.sourceSnapshotHash);
  EXPECT_FALSE(receipt.contains("sourceRepoID"));
  EXPECT_EQ(receipt["modelDirectoryPath"], fixture_.directory);
  EXPECT_TRUE(std::regex_match(receipt["verificationTimestamp"].get<std::string>(),
                               std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")));
  EXPECT_EQ(receipt["files"].size(), fixture_.manifest.files.size() + 1);
  EXPECT_EQ(receipt["files"]["manifest.json"]["size"], manifest.size());
  EXPECT_EQ(receipt["files"]["model_weights.bin"]["sha256"].get<std::string>(), [&] {
    std::string lower = weights.sha256;
    for (char& c : lower) c = static_cast<char>(std::tolower(c));
    return lower;
  }());
  EXPECT_LT(text.find("\"files\""), text.find("\"manifestSha256\""));
  EXPECT_NE(text.find("\"packed_experts/layout.json\""), std::string::npos);

  // A second run replaces the receipt and never lists it.
  fixture_.manifest.sourceSnapshotHash.reset();
  fixture_.writeManifest();
  VerifiedInstallTool::run({fixture_.directory});
  const json again = json::parse(testutil::readFile(result.receiptPath));
  EXPECT_FALSE(again.contains("sourceRevision"));
  EXPECT_FALSE(again["files"].contains("verified-install.json"));
}

TEST_F(VerifierTest, AcceptsPermutedSlots) {
  auto& experts = fixture_.layout.layers[0].experts;
  std::swap(experts[0].offset, experts[1].offset);
  experts[0].physicalRank = 1;
  experts[1].physicalRank = 0;
  fixture_.writeLayout();
  EXPECT_EQ(failure(), "ok");
}

TEST_F(VerifierTest, FailuresStopAtTheFirstProblemAndKeepTheOldReceipt) {
  testutil::writeFile(file("verified-install.json"), "old receipt");
  using Mutation = std::function<void(PackageFixture&)>;
  const std::string layer0 = "packed_experts/layer_000.bin";
  const std::vector<std::pair<Mutation, std::string>> cases = {
      {[](PackageFixture& f) {
         testutil::writeFile(f.directory + "/manifest.json", "{\"files\": 1}");
       },
       "configuration invalid: manifest.json invalid: type mismatch at files: expected an object"},
      {[](PackageFixture& f) {
         testutil::writeFile(f.directory + "/manifest.json",
                             std::string(1 << 20, '[') + std::string(1 << 20, ']'));
       },
       "configuration invalid: manifest.json invalid: JSON nesting deeper than 256 levels"},
      {[](PackageFixture& f) {
         f.manifest.files.erase("packed_experts/layout.json");
         f.writeManifest();
       },
       "configuration invalid: manifest missing packed_experts/layout.json"},
      {[](PackageFixture& f) {
         testutil::writeFile(f.directory + "/packed_experts/layout.json", "[]");
       },
       "configuration invalid: packed_experts/layout.json invalid: type mismatch at root: expected "
       "an "
       "object"},
      {[](PackageFixture& f) {
         f.manifest.expertStride = 32768;
         f.writeManifest();
       },
       "configuration invalid: packed expert layout dimensions mismatch manifest"},
      {[layer0](PackageFixture& f) {
         f.manifest.files[layer0].size += 1;
         f.writeManifest();
       },
       "configuration invalid: " + layer0 + " manifest size 32769 != 32768"},
      {[layer0](PackageFixture& f) { fs::resize_file(f.directory + "/" + layer0, 32769); },
       "configuration invalid: " + layer0 + " size 32769 != 32768"},
      {[](PackageFixture& f) {
         writeRawLayout(f, R"([{"layer":0,"file":"../escape.bin","experts":[]},)" + kLayer1 + "]");
       },
       "configuration invalid: unsafe packed expert layer filename ../escape.bin: "
       "packed_experts.file: non-canonical path"},
      {[](PackageFixture& f) { writeRawLayout(f, "[" + kLayer1 + "," + kLayer1 + "]"); },
       "configuration invalid: duplicate packed expert layer 1"},
      {[](PackageFixture& f) {
         writeRawLayout(
             f, R"([{"layer":0,"file":"layer_000.bin","experts":[{"offset":0,"size":16384}]},)" +
                    kLayer1 + "]");
       },
       "configuration invalid: packed_experts/layer_000.bin expert count mismatch"},
      {[](PackageFixture& f) {
         writeRawLayout(
             f, R"([{"layer":0,"file":"layer_000.bin","experts":[{"offset":0,"size":16384},)"
                R"({"offset":100,"size":16384}]},)" +
                    kLayer1 + "]");
       },
       "configuration invalid: packed_experts/layer_000.bin expert 1 offset is not page-aligned"},
      {[](PackageFixture& f) {
         writeRawLayout(
             f,
             R"([{"layer":0,"file":"layer_000.bin","experts":[{"expert":1,"offset":0,"size":16384},)"
             R"({"expert":1,"offset":16384,"size":16384}]},)" +
                 kLayer1 + "]");
       },
       "configuration invalid: packed_experts/layer_000.bin duplicate expert 1"},
      {[](PackageFixture& f) {
         writeRawLayout(
             f, R"([{"layer":0,"file":"layer_000.bin","experts":[{"offset":0,"size":16384},)"
                R"({"offset":32768,"size":16384}]},)" +
                    kLayer1 + "]");
       },
       "configuration invalid: packed_experts/layer_000.bin expert 1 range exceeds file size"},
      // Files are checked in ascending path order: model_weights.bin first.
      {[](PackageFixture& f) {
         f.manifest.files["tokenizer/config.json"].sha256 = std::string(64, '0');
         f.manifest.files["model_weights.bin"].sha256 = std::string(64, '0');
         f.writeManifest();
       },
       "configuration invalid: model_weights.bin SHA mismatch"},
      {[](PackageFixture& f) { testutil::writeFile(f.directory + "/tokenizer/config.json", "{}"); },
       "configuration invalid: tokenizer/config.json size 2 != manifest 23"},
  };
  for (const auto& [mutate, expected] : cases) {
    fs::remove_all(fixture_.directory);
    fixture_ = writePackageFixture(fixture_.directory);
    testutil::writeFile(file("verified-install.json"), "old receipt");
    mutate(fixture_);
    EXPECT_EQ(failure(), expected);
    EXPECT_EQ(testutil::readFile(file("verified-install.json")), "old receipt");
  }
}

TEST_F(VerifierTest, LinksAndMissingFilesFailInTheDirectoryLayer) {
  fs::remove(file("tokenizer/config.json"));
  EXPECT_EQ(failure(), "fstat(" + file("tokenizer/config.json") + ") failed: errno 2");
  fs::create_symlink(dir_.file("elsewhere"), file("tokenizer/config.json"));
  EXPECT_EQ(failure(),
            "open(" + file("tokenizer/config.json") + ") failed: errno " + std::to_string(ELOOP));
  EXPECT_THROW(VerifiedInstallTool::run({dir_.file("missing")}), RepackError);
}

}  // namespace
