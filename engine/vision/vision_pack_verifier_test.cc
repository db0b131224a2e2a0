#include "engine/vision/vision_pack_verifier.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "engine/common/repack_error.h"
#include "engine/io/sha256_stream.h"
#include "engine/vision/vision_companion_fixture.h"
#include "format/vision.h"
#include "tests/test_util.h"
#include "tools/package_fixture.h"

namespace {

namespace fs = std::filesystem;
using testutil::errorOf;

std::vector<uint8_t> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

std::string sha256(const std::string& text) {
  Sha256Stream s;
  s.update(text.data(), text.size());
  return s.finalizeHex();
}

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

class VisionPackVerifierTest : public ::testing::Test {
 protected:
  void SetUp() override {
    companion = writeVisionCompanionFixture(dir.file("m.vision.korvex"), text.directory);
  }

  std::string verifyError(bool hashWeights = true) {
    return errorOf(
        [&] { VisionPackVerifier::verify(companion.directory, text.directory, hashWeights); });
  }

  std::string file(const std::string& name) const { return companion.directory + "/" + name; }

  KorvexVisionManifestV1 manifest() const {
    return KorvexVisionManifestCodec::decode(bytesOf(testutil::readFile(file("manifest.json"))));
  }
  KorvexVisionReceiptV1 receipt() const {
    return KorvexVisionReceiptCodec::decode(
        bytesOf(testutil::readFile(file("verified-install.json"))));
  }
  void writeReceipt(const KorvexVisionReceiptV1& r) const {
    testutil::writeFile(file("verified-install.json"), KorvexVisionReceiptCodec::encode(r));
  }
  // Rewrites manifest.json and points the receipt at the new bytes, as a
  // consistent (re-)writer would.
  void writeManifest(const KorvexVisionManifestV1& m, bool upperCaseDigests = false) const {
    const std::string bytes = KorvexVisionManifestCodec::encode(m);
    testutil::writeFile(file("manifest.json"), bytes);
    KorvexVisionReceiptV1 r = receipt();
    r.manifestSha256 = sha256(bytes);
    r.files["manifest.json"] = {bytes.size(), sha256(bytes)};
    r.files["vision_weights.bin"] = m.files.at("vision_weights.bin");
    if (upperCaseDigests) {
      r.manifestSha256 = upper(r.manifestSha256);
      r.compatibleTextManifestSha256 = upper(r.compatibleTextManifestSha256);
      for (auto& [name, entry] : r.files) entry.sha256 = upper(entry.sha256);
    }
    writeReceipt(r);
  }

  testutil::TempDir dir;
  PackageFixture text = writePackageFixture(dir.file("text.korvex"));
  VisionCompanionFixture companion;
};

TEST_F(VisionPackVerifierTest, AcceptsTheCompanionAndReportsProgress) {
  std::vector<std::pair<uint64_t, uint64_t>> calls;
  const auto record = [&](uint64_t done, uint64_t total) { calls.emplace_back(done, total); };
  const uint64_t processor = companion.processorConfig.size();
  const uint64_t total = processor + companion.weightsFileSize;

  const VisionPackVerification v =
      VisionPackVerifier::verify(companion.directory, text.directory, true, record);
  EXPECT_EQ(v, (VisionPackVerification{
                   sha256(testutil::readFile(file("manifest.json"))), companion.weightsFileSize,
                   companion.sourceRevision, companion.sourceIndexSha256,
                   sha256(testutil::readFile(text.directory + "/manifest.json"))}));
  EXPECT_EQ(calls,
            (std::vector<std::pair<uint64_t, uint64_t>>{{processor, total}, {total, total}}));

  calls.clear();
  VisionPackVerifier::verify(companion.directory, text.directory, false, record);
  EXPECT_EQ(calls, (std::vector<std::pair<uint64_t, uint64_t>>{{processor, processor}}));
}

TEST_F(VisionPackVerifierTest, DirectoryMustHoldExactlyTheFourFiles) {
  const std::string prefix =
      "configuration invalid: vision companion directory does not match the v1 contract: ";
  testutil::writeFile(file(".DS_Store"), "litter");
  testutil::writeFile(file("._vision_weights.bin"), "litter");
  EXPECT_EQ(verifyError(), "ok");

  testutil::writeFile(file("notes.txt"), "hello");
  EXPECT_EQ(verifyError(), prefix + "unexpected [\"notes.txt\"]");
  fs::rename(file("processor_config.json"), file("processor.json"));
  EXPECT_EQ(verifyError(), prefix +
                               "missing [\"processor_config.json\"]; unexpected "
                               "[\"notes.txt\", \"processor.json\"]");
  fs::remove(file("notes.txt"));
  fs::remove(file("processor.json"));
  EXPECT_EQ(verifyError(), prefix + "missing [\"processor_config.json\"]");

  testutil::writeFile(file("processor_config.json"), companion.processorConfig);
  fs::create_directory(file("extra"));
  EXPECT_EQ(verifyError(), "configuration invalid: artifact directory nesting exceeds 0");
}

TEST_F(VisionPackVerifierTest, TextPackageMustBeTheBoundOne) {
  text.manifest.modelID = "fixture/rewritten";  // same sourceSnapshotHash, new bytes
  text.writeManifest();
  EXPECT_EQ(verifyError(false),
            "install state is incompatible: vision companion text manifest binding changed");

  text.manifest.sourceSnapshotHash = "sha256:" + std::string(64, 'b');
  text.writeManifest();
  EXPECT_EQ(verifyError(false),
            "install state is incompatible: vision companion belongs to a different text "
            "checkpoint");
  text.manifest.sourceSnapshotHash.reset();
  text.writeManifest();
  EXPECT_EQ(verifyError(false),
            "install state is incompatible: vision companion belongs to a different text "
            "checkpoint");
}

TEST_F(VisionPackVerifierTest, CopyElsewhereBreaksTheDirectoryBinding) {
  const std::string copy = dir.file("copy.vision.korvex");
  fs::copy(companion.directory, copy);
  EXPECT_EQ(errorOf([&] { VisionPackVerifier::verify(copy, text.directory, true); }),
            "configuration invalid: vision companion receipt directory binding mismatch");
  // A path that reaches the companion through a link is the same directory.
  fs::create_directory_symlink(companion.directory, dir.file("link.vision.korvex"));
  EXPECT_NO_THROW(VisionPackVerifier::verify(dir.file("link.vision.korvex"), text.directory, true));
}

TEST_F(VisionPackVerifierTest, WeightsAreHashedOnlyOnRequest) {
  const std::string original = testutil::readFile(file("vision_weights.bin"));
  std::string weights = original;
  weights[20000] ^= 1;
  testutil::writeFile(file("vision_weights.bin"), weights);
  EXPECT_EQ(verifyError(false), "ok");
  EXPECT_EQ(verifyError(true), "configuration invalid: vision_weights.bin hash mismatch");

  weights.pop_back();
  testutil::writeFile(file("vision_weights.bin"), weights);
  const std::string truncated = "configuration invalid: vision_weights.bin size 32895 != 32896";
  EXPECT_EQ(verifyError(false), truncated);
  EXPECT_EQ(verifyError(true), truncated);

  testutil::writeFile(file("vision_weights.bin"), original);
  std::string processor = companion.processorConfig;
  processor[0] = '[';
  testutil::writeFile(file("processor_config.json"), processor);
  EXPECT_EQ(verifyError(false), "configuration invalid: processor_config.json hash mismatch");
}

TEST_F(VisionPackVerifierTest, UpperCaseRecordedDigestsVerify) {
  KorvexVisionManifestV1 m = manifest();
  m.sourceIndexSha256 = upper(m.sourceIndexSha256);
  m.processorConfigSha256 = upper(m.processorConfigSha256);
  m.compatibleTextManifestSha256 = upper(m.compatibleTextManifestSha256);
  for (auto& [name, entry] : m.files) entry.sha256 = upper(entry.sha256);
  writeManifest(m, true);
  EXPECT_EQ(verifyError(true), "ok");
}

TEST_F(VisionPackVerifierTest, ReceiptMustMatchTheManifest) {
  struct Case {
    std::string what;
    std::function<void(KorvexVisionReceiptV1&)> change;
    std::string error;
  };
  const std::string other(64, 'c');
  const std::vector<Case> cases = {
      {"manifest digest", [&](auto& r) { r.manifestSha256 = other; },
       "configuration invalid: vision companion receipt manifest binding mismatch"},
      {"text binding", [&](auto& r) { r.compatibleTextManifestSha256 = other; },
       "install state is incompatible: vision companion text manifest binding changed"},
      {"repository", [](auto& r) { r.sourceRepoID = "mlx-community/other"; },
       "configuration invalid: vision companion receipt source binding mismatch"},
      {"revision", [](auto& r) { r.sourceRevision = "main"; },
       "configuration invalid: vision companion receipt source binding mismatch"},
      {"weights entry", [&](auto& r) { r.files["vision_weights.bin"].sha256 = other; },
       "configuration invalid: vision_weights.bin receipt mismatch"},
      {"manifest entry", [](auto& r) { r.files["manifest.json"].size += 1; },
       "configuration invalid: vision manifest receipt entry mismatch"},
      {"schema", [](auto& r) { r.files["processor_config.json"] = r.files["manifest.json"]; },
       "configuration invalid: vision.receipt.files: file set mismatch"},
  };
  const KorvexVisionReceiptV1 original = receipt();
  for (const Case& c : cases) {
    KorvexVisionReceiptV1 r = original;
    c.change(r);
    const std::string encoded = [&] {
      // The schema case cannot be encoded by the codec; write its JSON by hand.
      if (c.what != "schema") return KorvexVisionReceiptCodec::encode(r);
      std::string text = KorvexVisionReceiptCodec::encode(original);
      const std::string anchor = "\"files\": {";
      text.insert(text.find(anchor) + anchor.size(),
                  "\"processor_config.json\": {\"sha256\": \"" + other + "\", \"size\": 1},");
      return text;
    }();
    testutil::writeFile(file("verified-install.json"), encoded);
    EXPECT_EQ(verifyError(true), c.error) << c.what;
  }
  writeReceipt(original);
  EXPECT_EQ(verifyError(true), "ok");
}

TEST_F(VisionPackVerifierTest, ManifestSizesAreCheckedEvenWithoutHashing) {
  KorvexVisionManifestV1 m = manifest();
  m.files["processor_config.json"].size += 1;
  writeManifest(m);
  EXPECT_EQ(verifyError(false), "configuration invalid: processor_config.json size " +
                                    std::to_string(companion.processorConfig.size()) +
                                    " != " + std::to_string(companion.processorConfig.size() + 1));

  testutil::writeFile(file("manifest.json"), "{}");
  EXPECT_TRUE(verifyError(false).starts_with("configuration invalid: manifest.json: "))
      << verifyError(false);
}

}  // namespace
