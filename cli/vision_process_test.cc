// `VelquorRepack --write-vision` as a process against the loopback hub. The
// binary accepts only the catalogue's pinned checkpoints, whose real index a
// generated checkpoint cannot reproduce, so these runs end at the source
// check or earlier; what they pin is the wiring of the mode: HF_ENDPOINT,
// SSL_CERT_FILE and HF_TOKEN reach the hub, relative paths are taken against
// the working directory, and failures print with the mode's prefix and leave
// nothing behind. The full install, resume and kill -9 paths run against the
// installer itself in engine/vision.
#include <gtest/gtest.h>

#include <filesystem>

#include "engine/common/catalog.h"
#include "engine/io/sha256_stream.h"
#include "tests/test_util.h"
#include "tools/checkpoint_generator.h"
#include "tools/package_fixture.h"
#include "tools/test_hub.h"

namespace {

namespace fs = std::filesystem;

constexpr char kToken[] = "hf_cli_vision_secret";

std::string sha256(std::string_view bytes) {
  Sha256Stream s;
  s.update(bytes.data(), bytes.size());
  return s.finalizeHex();
}

class WriteVisionProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("no_proxy", "localhost,127.0.0.1", 1);
    ::setenv("NO_PROXY", "localhost,127.0.0.1", 1);
    CheckpointOptions c = smallCheckpointOptions(CheckpointFamily::gemma4);
    c.vision = VisionTower::full;
    checkpoint_ = std::make_shared<GeneratedCheckpoint>(c);
    const SupportedModelSource& gemma = ModelCatalog::defaultSource();
    TestHubOptions options;
    options.repoID = gemma.repoID;
    options.revision = gemma.revision;
    options.token = kToken;
    for (const GeneratedShard& shard : checkpoint_->shards()) {
      options.sha256StandIns[shard.fileName] = sha256(shard.fileName);
    }
    options.files = checkpoint_;
    hub_ = TestHub::start(std::move(options));
    text_ = writePackageFixture(dir_.file("text.korvex"));
  }

  // Runs the binary with the hub as HF_ENDPOINT and its CA as SSL_CERT_FILE,
  // naming the text package and the output relative to the working directory.
  testutil::ProcessResult writeVision(std::vector<std::string> extra = {}) {
    const fs::path here = fs::current_path();
    std::vector<std::string> args = {"--write-vision",
                                     "--model",
                                     "gemma4",
                                     "--text-model",
                                     fs::relative(text_.directory, here).string(),
                                     "--output",
                                     fs::relative(dir_.file("m.vision.korvex"), here).string()};
    args.insert(args.end(), extra.begin(), extra.end());
    return testutil::runProcess(VELQUOR_BINARY, args,
                                {{"HF_ENDPOINT", hub_->baseURL() + "/"},
                                 {"SSL_CERT_FILE", hub_->caFile()},
                                 {"HF_TOKEN", kToken}});
  }

  std::string physical(const std::string& name) const {
    return fs::canonical(dir_.path()).string() + "/" + name;
  }

  testutil::TempDir dir_;
  std::shared_ptr<GeneratedCheckpoint> checkpoint_;
  std::unique_ptr<TestHub> hub_;
  PackageFixture text_;
};

TEST_F(WriteVisionProcess, ReachesTheHubAndRefusesAnUnpinnedCheckpoint) {
  const testutil::ProcessResult r = writeVision();
  const std::string digest = sha256(checkpoint_->sideFiles().at("model.safetensors.index.json"));
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "vision-write failed: source fingerprint " + digest + " for " +
                       physical("m.vision.korvex.partial/.remote-metadata/"
                                "model.safetensors.index.json") +
                       " is not in known set\n");
  // Refused before any shard was touched; the hub host saw the token on
  // every request. Nothing is left behind.
  EXPECT_FALSE(hub_->requests().empty());
  for (const HubRequest& request : hub_->requests()) {
    EXPECT_EQ(request.host, HubHost::hub) << request.target;
    EXPECT_EQ(request.header("Authorization"), std::string("Bearer ") + kToken) << request.target;
  }
  EXPECT_FALSE(fs::exists(dir_.file("m.vision.korvex.partial")));
  EXPECT_FALSE(fs::exists(dir_.file("m.vision.korvex.resume.json")));
  EXPECT_FALSE(fs::exists(dir_.file("m.vision.korvex")));
}

TEST_F(WriteVisionProcess, RefusalsOfTheTextPackageAndTheOutputComeBeforeAnyRequest) {
  text_.manifest.sourceSnapshotHash.reset();
  text_.writeManifest();
  testutil::ProcessResult r = writeVision();
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(
      r.err,
      "vision-write failed: configuration invalid: text manifest has no sourceSnapshotHash\n");

  text_.manifest.sourceSnapshotHash = "sha256:" + std::string(64, 'b');
  text_.writeManifest();
  fs::create_directory(dir_.file("m.vision.korvex"));
  r = writeVision({"--resume"});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, "vision-write failed: configuration invalid: output directory already exists: " +
                       physical("m.vision.korvex") + "\n");

  r = writeVision({"--overwrite", "--resume"});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, "vision-write failed: no resumable install state exists for " +
                       physical("m.vision.korvex.resume.json") + "\n");
  EXPECT_TRUE(hub_->requests().empty());
  EXPECT_TRUE(fs::is_empty(dir_.file("m.vision.korvex")));
}

}  // namespace
