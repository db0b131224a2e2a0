// Runs the real executable and pins what it prints and how it exits.
#include <gtest/gtest.h>

#include <filesystem>

#include "cli/command_line.h"
#include "engine/vision/vision_companion_fixture.h"
#include "tests/test_util.h"
#include "tools/package_fixture.h"

namespace {

testutil::ProcessResult run(const std::vector<std::string>& args) {
  return testutil::runProcess(VELQUOR_BINARY, args);
}

TEST(MainProcess, HelpPrintsUsageToStandardOutput) {
  const testutil::ProcessResult r = run({"--help", "--bogus"});
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.out, std::string(repackUsageText()) + "\n");
  EXPECT_EQ(r.err, "");
}

TEST(MainProcess, VersionPrintsOneLineToStandardOutput) {
  const testutil::ProcessResult r = run({"--version", "--bogus"});
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.out, std::string(repackVersionLine()) + "\n");
  EXPECT_EQ(r.err, "");
}

TEST(MainProcess, ArgumentErrorsPrintErrorBlankLineAndUsage) {
  const std::string usage(repackUsageText());
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  for (const Case& c : std::vector<Case>{
           {{}, "missing required argument: --output"},
           {{"--bogus", "--help"}, "unknown argument: --bogus"},
           {{"--model"}, "missing value for --model"},
           {{"--write-vision", "--model", "qwen36"},
            "vision-write accepts only --model gemma4 or gemma4-qat"},
           {{"--verify-vision", "--input-korvex", "c"}, "missing required argument: --text-model"},
       }) {
    const testutil::ProcessResult r = run(c.args);
    EXPECT_EQ(r.exitStatus, 2) << c.message;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "error: " + c.message + "\n\n" + usage + "\n");
  }
}

TEST(MainProcess, FailedActionPrintsModePrefixAndExitsOne) {
  testutil::TempDir dir;
  const testutil::ProcessResult r =
      run({"--verify-install", "--input-korvex", dir.file("missing.korvex")});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(r.err.starts_with("verification failed: ")) << r.err;
  EXPECT_TRUE(r.err.ends_with("\n"));
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
}

TEST(MainProcess, VerifyInstallPrintsTheReport) {
  testutil::TempDir dir;
  const PackageFixture fixture = writePackageFixture(dir.file("m.korvex"));
  uint64_t bytes = std::filesystem::file_size(dir.file("m.korvex/manifest.json"));
  for (const auto& [path, entry] : fixture.manifest.files) bytes += entry.size;

  const testutil::ProcessResult r =
      run({"--verify-install", "--input-korvex", dir.file("m.korvex")});
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "Verified " + std::to_string(fixture.manifest.files.size() + 1) + " files (" +
                       std::to_string(bytes) + " bytes)\nReceipt: " + dir.file("m.korvex") +
                       "/verified-install.json\n");
}

TEST(MainProcess, VerifyVisionHashesTheCompanionAgainstItsTextPackage) {
  testutil::TempDir dir;
  const PackageFixture text = writePackageFixture(dir.file("text.korvex"));
  const VisionCompanionFixture companion =
      writeVisionCompanionFixture(dir.file("m.vision.korvex"), text.directory);
  const std::vector<std::string> args = {"--verify-vision", "--input-korvex",
                                         dir.file("m.vision.korvex"), "--text-model",
                                         text.directory};

  testutil::ProcessResult r = run(args);
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "Verified vision companion (" + std::to_string(companion.weightsFileSize) +
                       " weight bytes)\nText binding: " +
                       VisionPackTextBinding::read(text.directory).textManifestSHA + "\n");

  // The weights are hashed: one flipped byte fails the run.
  std::string weights = testutil::readFile(companion.directory + "/vision_weights.bin");
  weights[100] ^= 1;
  testutil::writeFile(companion.directory + "/vision_weights.bin", weights);
  r = run(args);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "verification failed: configuration invalid: vision_weights.bin hash mismatch\n");
}

}  // namespace
