// The local writer against a generated Gemma 4 checkpoint with the full
// vision tower (358 tensors, 1.14 GB). A test process writes the checkpoint
// at most once; tests that never copy a byte use a headers-only copy (its
// data area is a hole), which is cheap. Each test writes its companions into
// its own directory.
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

const std::string kRevision(40, 'e');

struct SharedCheckpoint {
  testutil::TempDir dir;
  std::string directory;
  std::string indexSha256;  // the same for both copies: the index has no data
};

std::unique_ptr<SharedCheckpoint> writeGemmaCheckpoint(bool headersOnly) {
  auto c = std::make_unique<SharedCheckpoint>();
  CheckpointOptions options = smallCheckpointOptions(CheckpointFamily::gemma4);
  options.vision = VisionTower::full;
  options.audioTower = true;
  options.seed = kSeed;
  c->directory = c->dir.file("gemma-4-checkpoint");
  writeCheckpointDirectory(GeneratedCheckpoint(options), c->directory, headersOnly);
  c->indexSha256 = IndexLoader::load(c->directory).indexSha256Hex;
  return c;
}

// Written on first use, removed when the process exits.
const SharedCheckpoint& gemmaCheckpoint() {
  static const std::unique_ptr<SharedCheckpoint> shared = writeGemmaCheckpoint(false);
  return *shared;
}
const SharedCheckpoint& gemmaHeaders() {
  static const std::unique_ptr<SharedCheckpoint> shared = writeGemmaCheckpoint(true);
  return *shared;
}

std::string gemmaModelID() { return ModelCatalog::defaultSource().modelID; }

class VisionPackWriterTest : public ::testing::Test {
 protected:
  VisionPackWriteOptions options(const SharedCheckpoint& source, const std::string& name,
                                 bool overwrite = false) const {
    return {source.directory, text.directory, dir.file(name), kRevision, overwrite};
  }
  static VisionPackWriter::KnownSources known(const SharedCheckpoint& source,
                                              const std::string& modelID) {
    return {{source.indexSha256, modelID}};
  }
  std::string physical(const std::string& name) const {
    return fs::canonical(dir.path()).string() + "/" + name;
  }

  testutil::TempDir dir;
  PackageFixture text = writePackageFixture(dir.file("text.korvex"));
};

// One test, so that a process writes the 1.14 GB checkpoint only once: a
// fresh write, then an overwrite that discards a stale partial directory
// (with the checkpoint of the saved download it belonged to) and exchanges
// the first companion for the second.
TEST_F(VisionPackWriterTest, WritesAndReplacesAVerifiableCompanion) {
  const SharedCheckpoint& source = gemmaCheckpoint();
  const std::string companion = physical("m.vision.korvex");
  RepackAudit audit;
  const VisionPackWriteResult result = VisionPackWriter::write(
      options(source, "m.vision.korvex"), audit, known(source, gemmaModelID()));
  EXPECT_EQ(result.tensorCount, 358);
  EXPECT_EQ(result.sourcePayloadBytes, 1140925536u);
  EXPECT_EQ(result.weightsFileSize, fs::file_size(companion + "/vision_weights.bin"));
  EXPECT_EQ(audit.sourceBytesRead, 1140925536u);
  EXPECT_EQ(audit.intentionalCopyBytes, 1140925536u);
  EXPECT_GE(result.largestScratchBytes, 524288);
  EXPECT_GT(result.peakRSSBytes, 0u);
  EXPECT_FALSE(fs::exists(companion + ".partial"));

  const VisionPackVerification v = VisionPackVerifier::verify(companion, text.directory, true);
  EXPECT_EQ(v.manifestSha256, result.manifestSha256);
  EXPECT_EQ(v.sourceRevision, kRevision);
  EXPECT_EQ(v.sourceIndexSha256, source.indexSha256);

  // Every region holds its tensor's bytes (the generator's data is a function
  // of seed, name and offset), and no audio tensor was taken.
  const std::string manifestBytes = testutil::readFile(companion + "/manifest.json");
  const KorvexVisionManifestV1 manifest = KorvexVisionManifestCodec::decode(
      std::vector<uint8_t>(manifestBytes.begin(), manifestBytes.end()));
  EXPECT_EQ(manifest.modelID, gemmaModelID());
  {
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
  }
  EXPECT_EQ(testutil::readFile(companion + "/processor_config.json"),
            testutil::readFile(source.directory + "/processor_config.json"));

  fs::create_directory(companion + ".partial");
  testutil::writeFile(companion + ".partial/vision_weights.bin", "stale");
  testutil::writeFile(companion + ".resume.json", "{}");
  // Bound to another text package, so the new companion differs from the old.
  const PackageFixture other = writePackageFixture(dir.file("other.korvex"), {.seed = 2});
  VisionPackWriteOptions replace = options(source, "m.vision.korvex", true);
  replace.textModelDirectory = other.directory;
  RepackAudit second;
  const VisionPackWriteResult replaced =
      VisionPackWriter::write(replace, second, known(source, gemmaModelID()));
  EXPECT_NE(replaced.manifestSha256, result.manifestSha256);
  EXPECT_FALSE(fs::exists(companion + ".partial"));
  EXPECT_FALSE(fs::exists(companion + ".resume.json"));
  EXPECT_EQ(VisionPackVerifier::verify(companion, other.directory, false).manifestSha256,
            replaced.manifestSha256);
}

// Every refusal comes before the first byte is copied, so a headers-only
// checkpoint serves.
TEST_F(VisionPackWriterTest, RefusesBeforeWritingAnything) {
  const SharedCheckpoint& source = gemmaHeaders();
  const std::string rejected = "source fingerprint " + source.indexSha256 +
                               " for model.safetensors.index.json is not in known set";
  struct Case {
    std::string what;
    VisionPackWriter::KnownSources known;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"unknown digest", SourceFingerprint::knownSources(), rejected},
      {"known, not Gemma 4", known(source, "qwen3.6-35b-a3b-4bit"), rejected},
      {"known, Brask", known(source, ModelCatalog::lookup("brask")->modelID), rejected},
  };
  RepackAudit audit;
  const auto write = [&](const VisionPackWriter::KnownSources& sources) {
    return errorOf(
        [&] { VisionPackWriter::write(options(source, "m.vision.korvex"), audit, sources); });
  };
  for (const Case& c : cases) EXPECT_EQ(write(c.known), c.error) << c.what;

  const VisionPackWriter::KnownSources gemma = known(source, gemmaModelID());
  for (const std::optional<std::string>& hash :
       {std::optional<std::string>(), std::optional<std::string>("")}) {
    text.manifest.sourceSnapshotHash = hash;
    text.writeManifest();
    EXPECT_EQ(write(gemma), "configuration invalid: text manifest has no sourceSnapshotHash");
  }
  text.manifest.sourceSnapshotHash = "sha256:" + std::string(64, 'a');
  text.writeManifest();

  {
    const InstallLock other = InstallLock::acquire(dir.file("m.vision.korvex"));
    EXPECT_EQ(write(gemma), "another installer holds " + physical("m.vision.korvex.install.lock"));
  }

  fs::create_directory(dir.file("m.vision.korvex.partial"));
  EXPECT_EQ(write(gemma), "configuration invalid: output exists: " +
                              physical("m.vision.korvex.partial") + "; pass --overwrite");
  fs::remove(dir.file("m.vision.korvex.partial"));

  writeVisionCompanionFixture(dir.file("m.vision.korvex"), text.directory);
  EXPECT_EQ(write(gemma), "configuration invalid: output exists: " + physical("m.vision.korvex") +
                              "; pass --overwrite");
  EXPECT_FALSE(fs::exists(dir.file("m.vision.korvex.partial")));
  EXPECT_EQ(audit.sourceBytesRead, 0u);
}

}  // namespace
