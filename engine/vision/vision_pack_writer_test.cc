// The local writer against a generated Gemma 4 checkpoint with the full
// vision tower (358 tensors, 1.14 GB). The checkpoint is written once per
// test binary and shared; each test writes its companions into its own
// directory.
#include "engine/vision/vision_pack_writer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "engine/common/repack_error.h"
#include "engine/install/install_state.h"
#include "engine/io/posix.h"
#include "engine/source/index_loader.h"
#include "engine/vision/vision_companion_fixture.h"
#include "engine/vision/vision_pack_verifier.h"
#include "format/vision.h"
#include "tests/test_util.h"
#include "tools/checkpoint_generator.h"
#include "tools/package_fixture.h"

namespace {

namespace fs = std::filesystem;
using testutil::errorOf;

constexpr uint64_t kSeed = 7;

struct SharedCheckpoint {
  testutil::TempDir dir;
  std::string directory;
  std::string indexSha256;
  std::string revision = std::string(40, 'e');
};

// Written on first use, removed when the test binary exits.
const SharedCheckpoint& gemmaCheckpoint() {
  static const std::unique_ptr<SharedCheckpoint> shared = [] {
    auto c = std::make_unique<SharedCheckpoint>();
    CheckpointOptions options = smallCheckpointOptions(CheckpointFamily::gemma4);
    options.vision = VisionTower::full;
    options.audioTower = true;
    options.seed = kSeed;
    c->directory = c->dir.file("gemma-4-checkpoint");
    writeCheckpointDirectory(GeneratedCheckpoint(options), c->directory, false);
    c->indexSha256 = IndexLoader::load(c->directory).indexSha256Hex;
    return c;
  }();
  return *shared;
}

std::string gemmaModelID() { return ModelCatalog::defaultSource().modelID; }

class VisionPackWriterTest : public ::testing::Test {
 protected:
  VisionPackWriteOptions options(const std::string& name, bool overwrite = false) const {
    return {gemmaCheckpoint().directory, text.directory, dir.file(name), gemmaCheckpoint().revision,
            overwrite};
  }
  VisionPackWriter::KnownSources known(const std::string& modelID) const {
    return {{gemmaCheckpoint().indexSha256, modelID}};
  }
  std::string physical(const std::string& name) const {
    return fs::canonical(dir.path()).string() + "/" + name;
  }

  testutil::TempDir dir;
  PackageFixture text = writePackageFixture(dir.file("text.korvex"));
};

TEST_F(VisionPackWriterTest, CopiesTheVisionTowerIntoAVerifiableCompanion) {
  RepackAudit audit;
  const VisionPackWriteResult result =
      VisionPackWriter::write(options("m.vision.korvex"), audit, known(gemmaModelID()));
  const std::string companion = physical("m.vision.korvex");
  EXPECT_EQ(result.tensorCount, 358);
  EXPECT_EQ(result.sourcePayloadBytes, 1140925536u);
  EXPECT_EQ(result.weightsFileSize, fs::file_size(companion + "/vision_weights.bin"));
  EXPECT_EQ(audit.sourceBytesRead, 1140925536u);
  EXPECT_EQ(audit.intentionalCopyBytes, 1140925536u);
  EXPECT_GE(result.largestScratchBytes, 524288);
  EXPECT_GT(result.peakRSSBytes, 0u);
  EXPECT_FALSE(audit.rssSamples.empty());
  EXPECT_FALSE(fs::exists(companion + ".partial"));

  const VisionPackVerification v = VisionPackVerifier::verify(companion, text.directory, true);
  EXPECT_EQ(v.manifestSha256, result.manifestSha256);
  EXPECT_EQ(v.sourceRevision, gemmaCheckpoint().revision);
  EXPECT_EQ(v.sourceIndexSha256, gemmaCheckpoint().indexSha256);

  // Every region holds its tensor's bytes (the generator's data is a function
  // of seed, name and offset), and no audio tensor was taken.
  const std::string manifestBytes = testutil::readFile(companion + "/manifest.json");
  const KorvexVisionManifestV1 manifest = KorvexVisionManifestCodec::decode(
      std::vector<uint8_t>(manifestBytes.begin(), manifestBytes.end()));
  EXPECT_EQ(manifest.modelID, gemmaModelID());
  const UniqueFd weights = Posix::openRead(companion + "/vision_weights.bin");
  std::vector<uint8_t> actual, expected;
  for (const KorvexVisionTensorRegionV1& region : manifest.tensors) {
    EXPECT_FALSE(region.name.starts_with("audio_tower.")) << region.name;
    const uint64_t probe = std::min<uint64_t>(region.size, 4096);
    for (const uint64_t at : {uint64_t{0}, region.size - probe}) {
      actual.resize(probe);
      expected.resize(probe);
      Posix::preadAll(weights.get(), "vision_weights.bin", actual.data(),
                      static_cast<int64_t>(probe), region.offset + at);
      fillTensorData(kSeed, region.name, at, expected);
      ASSERT_EQ(actual, expected) << region.name << " at " << at;
    }
  }
  EXPECT_EQ(testutil::readFile(companion + "/processor_config.json"),
            testutil::readFile(gemmaCheckpoint().directory + "/processor_config.json"));
}

TEST_F(VisionPackWriterTest, RefusesBeforeWritingAnything) {
  const std::string digest = gemmaCheckpoint().indexSha256;
  const std::string rejected = "source fingerprint " + digest +
                               " for model.safetensors.index.json is not in known set";
  struct Case {
    std::string what;
    VisionPackWriter::KnownSources known;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"unknown digest", SourceFingerprint::knownSources(), rejected},
      {"known, not Gemma 4", known("qwen3.6-35b-a3b-4bit"), rejected},
      {"known, Brask", known(ModelCatalog::lookup("brask")->modelID), rejected},
  };
  RepackAudit audit;
  for (const Case& c : cases) {
    EXPECT_EQ(errorOf([&] { VisionPackWriter::write(options("m.vision.korvex"), audit, c.known); }),
              c.error)
        << c.what;
  }

  text.manifest.sourceSnapshotHash.reset();
  text.writeManifest();
  EXPECT_EQ(errorOf([&] {
              VisionPackWriter::write(options("m.vision.korvex"), audit, known(gemmaModelID()));
            }),
            "configuration invalid: text manifest has no sourceSnapshotHash");
  text.manifest.sourceSnapshotHash = "";
  text.writeManifest();
  EXPECT_EQ(errorOf([&] {
              VisionPackWriter::write(options("m.vision.korvex"), audit, known(gemmaModelID()));
            }),
            "configuration invalid: text manifest has no sourceSnapshotHash");
  text.manifest.sourceSnapshotHash = "sha256:" + std::string(64, 'a');
  text.writeManifest();

  {
    const InstallLock other = InstallLock::acquire(dir.file("m.vision.korvex"));
    EXPECT_EQ(errorOf([&] {
                VisionPackWriter::write(options("m.vision.korvex"), audit, known(gemmaModelID()));
              }),
              "another installer holds " + physical("m.vision.korvex.install.lock"));
  }

  fs::create_directory(dir.file("m.vision.korvex.partial"));
  EXPECT_EQ(errorOf([&] {
              VisionPackWriter::write(options("m.vision.korvex"), audit, known(gemmaModelID()));
            }),
            "configuration invalid: output exists: " + physical("m.vision.korvex.partial") +
                "; pass --overwrite");
  fs::remove(dir.file("m.vision.korvex.partial"));

  writeVisionCompanionFixture(dir.file("m.vision.korvex"), text.directory);
  EXPECT_EQ(errorOf([&] {
              VisionPackWriter::write(options("m.vision.korvex"), audit, known(gemmaModelID()));
            }),
            "configuration invalid: output exists: " + physical("m.vision.korvex") +
                "; pass --overwrite");
  EXPECT_FALSE(fs::exists(dir.file("m.vision.korvex.partial")));
  EXPECT_EQ(audit.sourceBytesRead, 0u);
}

// With overwrite, a stale partial directory (and the checkpoint of the saved
// download it belonged to) is discarded and the old companion is exchanged
// for the new one.
TEST_F(VisionPackWriterTest, OverwriteReplacesPartialAndCompanion) {
  const VisionCompanionFixture old =
      writeVisionCompanionFixture(dir.file("m.vision.korvex"), text.directory);
  fs::create_directory(old.directory + ".partial");
  testutil::writeFile(old.directory + ".partial/vision_weights.bin", "stale");
  testutil::writeFile(old.directory + ".resume.json", "{}");

  RepackAudit audit;
  const VisionPackWriteResult result =
      VisionPackWriter::write(options("m.vision.korvex", true), audit, known(gemmaModelID()));
  EXPECT_FALSE(fs::exists(old.directory + ".partial"));
  EXPECT_FALSE(fs::exists(old.directory + ".resume.json"));
  const VisionPackVerification v = VisionPackVerifier::verify(old.directory, text.directory, false);
  EXPECT_EQ(v.manifestSha256, result.manifestSha256);
  EXPECT_EQ(v.weightsBytes, result.weightsFileSize);
}

}  // namespace
