#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "engine/common/cancellation.h"
#include "engine/common/repack_error.h"
#include "engine/common/unique_fd.h"
#include "engine/install/writer_core.h"
#include "engine/io/posix.h"
#include "engine/io/sha256_stream.h"
#include "engine/vision/vision_companion_fixture.h"
#include "engine/vision/vision_lock_paths.h"
#include "engine/vision/vision_pack_verifier.h"
#include "engine/vision/vision_pack_writer.h"
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

std::set<std::string> entriesOf(const std::string& directory) {
  std::set<std::string> names;
  for (const fs::directory_entry& e : fs::directory_iterator(directory)) {
    names.insert(e.path().filename().string());
  }
  return names;
}

ino_t inodeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st.st_ino;
}

class VisionPackFinish : public ::testing::Test {
 protected:
  testutil::TempDir dir;
  PackageFixture text = writePackageFixture(dir.file("text.korvex"));
};

TEST_F(VisionPackFinish, WritesBindsAndPromotesTheCompanion) {
  const VisionCompanionFixture f =
      writeVisionCompanionFixture(dir.file("m.vision.korvex"), text.directory);
  EXPECT_EQ(f.directory, fs::canonical(dir.path()).string() + "/m.vision.korvex");
  EXPECT_FALSE(fs::exists(f.directory + ".partial"));
  EXPECT_EQ(entriesOf(f.directory),
            (std::set<std::string>{"manifest.json", "processor_config.json",
                                   "verified-install.json", "vision_weights.bin"}));
  EXPECT_EQ(testutil::readFile(f.directory + "/processor_config.json"), f.processorConfig);

  const std::string manifestBytes = testutil::readFile(f.directory + "/manifest.json");
  const KorvexVisionManifestV1 manifest = KorvexVisionManifestCodec::decode(bytesOf(manifestBytes));
  const std::string textManifest = testutil::readFile(text.directory + "/manifest.json");
  EXPECT_EQ(manifest.modelID, "mlx-community/gemma-4-26b-a4b-it-4bit");
  EXPECT_EQ(manifest.sourceRevision, f.sourceRevision);
  EXPECT_EQ(manifest.sourceIndexSha256, f.sourceIndexSha256);
  EXPECT_EQ(manifest.processorConfigSha256, sha256(f.processorConfig));
  EXPECT_EQ(manifest.compatibleTextSourceSnapshotHash, *text.manifest.sourceSnapshotHash);
  EXPECT_EQ(manifest.compatibleTextManifestSha256, sha256(textManifest));
  const std::string weights = testutil::readFile(f.directory + "/vision_weights.bin");
  EXPECT_EQ(manifest.files.at("vision_weights.bin"),
            (KorvexManifestFileV1{f.weightsFileSize, sha256(weights)}));
  EXPECT_EQ(manifest.files.at("processor_config.json"),
            (KorvexManifestFileV1{f.processorConfig.size(), sha256(f.processorConfig)}));
  ASSERT_EQ(manifest.tensors.size(), 3u);
  const KorvexVisionTensorRegionV1 packed{
      "vision_tower.patch_embedder.input_proj.weight",
      0,
      "vision_weights.bin",
      0,
      128,
      {8, 4},
      "U32",
      KorvexVisionQuantizationV1{4, "affine", "bf16", "bf16", 64}};
  EXPECT_EQ(manifest.tensors[0], packed);
  EXPECT_EQ(manifest.tensors[1], (KorvexVisionTensorRegionV1{"vision_tower.std_bias",
                                                             1,
                                                             "vision_weights.bin",
                                                             16384,
                                                             48,
                                                             {24},
                                                             "BF16",
                                                             std::nullopt}));

  const KorvexVisionReceiptV1 receipt = KorvexVisionReceiptCodec::decode(
      bytesOf(testutil::readFile(f.directory + "/verified-install.json")));
  EXPECT_EQ(receipt.manifestSha256, sha256(manifestBytes));
  EXPECT_EQ(receipt.companionDirectoryPath, f.directory);
  EXPECT_EQ(receipt.sourceRepoID, manifest.modelID);
  EXPECT_EQ(receipt.verificationTimestamp, "source-revision:" + f.sourceRevision);
  EXPECT_EQ(receipt.toolVersion, "VelquorRepack/vision-v1");
  EXPECT_EQ(receipt.files.at("manifest.json"),
            (KorvexManifestFileV1{manifestBytes.size(), sha256(manifestBytes)}));

  EXPECT_EQ(f.result.tensorCount, 3);
  EXPECT_EQ(f.result.weightsFileSize, 32896u);
  EXPECT_EQ(f.result.sourcePayloadBytes, 1140925536u);
  EXPECT_EQ(f.result.manifestSha256, sha256(manifestBytes));
  EXPECT_GE(f.result.largestScratchBytes, 524288);

  const VisionPackVerification v = VisionPackVerifier::verify(f.directory, text.directory, true);
  EXPECT_EQ(v.manifestSha256, sha256(manifestBytes));
  EXPECT_EQ(v.weightsBytes, 32896u);
}

TEST_F(VisionPackFinish, SameInputsGiveTheSameBytes) {
  const VisionCompanionFixture first =
      writeVisionCompanionFixture(dir.file("a.vision.korvex"), text.directory);
  const std::string manifest = testutil::readFile(first.directory + "/manifest.json");
  const std::string receipt = testutil::readFile(first.directory + "/verified-install.json");
  writeVisionCompanionFixture(dir.file("a.vision.korvex"), text.directory);
  EXPECT_EQ(testutil::readFile(first.directory + "/manifest.json"), manifest);
  EXPECT_EQ(testutil::readFile(first.directory + "/verified-install.json"), receipt);
}

// The old companion is replaced as a whole directory: the path names a new
// directory, nothing of the old one (not even litter) survives in it, and the
// old directory is gone.
TEST_F(VisionPackFinish, ReplacesAnExistingCompanionByExchange) {
  const VisionCompanionFixture old =
      writeVisionCompanionFixture(dir.file("m.vision.korvex"), text.directory, 1);
  testutil::writeFile(old.directory + "/.DS_Store", "litter");
  const ino_t oldInode = inodeOf(old.directory);

  const VisionCompanionFixture fresh =
      writeVisionCompanionFixture(dir.file("m.vision.korvex"), text.directory, 2);
  EXPECT_NE(inodeOf(fresh.directory), oldInode);
  EXPECT_FALSE(fs::exists(fresh.directory + "/.DS_Store"));
  EXPECT_FALSE(fs::exists(fresh.directory + ".partial"));
  EXPECT_EQ(testutil::readFile(fresh.directory + "/processor_config.json"), fresh.processorConfig);
  EXPECT_NE(fresh.result.manifestSha256, old.result.manifestSha256);
  EXPECT_EQ(VisionPackVerifier::verify(fresh.directory, text.directory, true).manifestSha256,
            fresh.result.manifestSha256);
}

// A directory that stands at the output when the companion is promoted, and
// that the caller was not allowed to replace, is kept; so is the partial one.
TEST_F(VisionPackFinish, NeverReplacesADirectoryItWasNotGiven) {
  const VisionCompanionFixture f =
      writeVisionCompanionFixture(dir.file("ref.vision.korvex"), text.directory);
  const std::string final = fs::canonical(dir.path()).string() + "/m.vision.korvex";
  const std::string partial = final + ".partial";
  fs::create_directory(partial);
  fs::copy_file(f.directory + "/vision_weights.bin", partial + "/vision_weights.bin");
  fs::create_directory(final);
  testutil::writeFile(final + "/precious.txt", "x");
  RepackAudit audit;
  const VisionPackTextBinding binding = VisionPackTextBinding::read(text.directory);
  for (const bool sawAnother : {false, true}) {
    PackagePromotion promotion;
    if (sawAnother) promotion.replaces = Posix::FileIdentity{1, 1};
    EXPECT_EQ(errorOf([&] {
                VisionPackWriter::finish(
                    f.entries, f.weightsFileSize, 1, f.modelID, f.sourceRevision,
                    f.sourceIndexSha256, bytesOf(f.processorConfig),
                    partial + "/vision_weights.bin", partial, final, binding, audit, {}, promotion);
              }),
              "configuration invalid: output directory already exists: " + final);
    EXPECT_EQ(testutil::readFile(final + "/precious.txt"), "x");
    EXPECT_TRUE(fs::exists(partial + "/manifest.json"));
  }
}

TEST_F(VisionPackFinish, BusyUseLockLeavesThePartialDirectory) {
  const std::string lockPath = KorvexVisionLockPathsV1::useLockURL(dir.file("m.vision.korvex"));
  UniqueFd holder(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  ASSERT_TRUE(holder.valid());
  ASSERT_EQ(::flock(holder.get(), LOCK_SH | LOCK_NB), 0);

  EXPECT_EQ(
      errorOf([&] { writeVisionCompanionFixture(dir.file("m.vision.korvex"), text.directory); }),
      "another installer holds " + lockPath);
  const std::string final = fs::canonical(dir.path()).string() + "/m.vision.korvex";
  EXPECT_FALSE(fs::exists(final));
  EXPECT_EQ(entriesOf(final + ".partial"),
            (std::set<std::string>{"manifest.json", "processor_config.json",
                                   "verified-install.json", "vision_weights.bin"}));

  holder.reset();
  const VisionCompanionFixture f =
      writeVisionCompanionFixture(dir.file("m.vision.korvex"), text.directory);
  EXPECT_NO_THROW(VisionPackVerifier::verify(f.directory, text.directory, true));
}

TEST_F(VisionPackFinish, RefusesWeightsOfAnotherLength) {
  const std::string partial = dir.file("m.vision.korvex.partial");
  fs::create_directory(partial);
  testutil::writeFile(partial + "/vision_weights.bin", std::string(100, 'x'));
  RepackAudit audit;
  const VisionPackTextBinding binding = VisionPackTextBinding::read(text.directory);
  const std::vector<uint8_t> processor = bytesOf("{}");
  EXPECT_EQ(errorOf([&] {
              VisionPackWriter::finish({}, 128, 128, "m", "r", std::string(64, 'a'), processor,
                                       partial + "/vision_weights.bin", partial,
                                       dir.file("m.vision.korvex"), binding, audit, {});
            }),
            "configuration invalid: vision_weights.bin size 100 != 128");
  EXPECT_FALSE(fs::exists(dir.file("m.vision.korvex")));
}

// Hashing the weights checks for cancellation before every tile: a token set
// after the first tile of a several-tile file stops the hash there, and
// nothing is written or promoted.
TEST_F(VisionPackFinish, HashingTheWeightsStopsAtTheNextTileWhenCancelled) {
  const std::string partial = dir.file("m.vision.korvex.partial");
  fs::create_directory(partial);
  const uint64_t size = 3 * static_cast<uint64_t>(WriterCore::tileBytes) + 1;
  testutil::writeFile(partial + "/vision_weights.bin", std::string(size, 'w'));
  const VisionPackTextBinding binding = VisionPackTextBinding::read(text.directory);
  const std::vector<uint8_t> processor = bytesOf("{}");
  RepackAudit audit;
  CancellationToken token;
  int tiles = 0;
  EXPECT_THROW(VisionPackWriter::finish({}, size, size, "m", "r", std::string(64, 'a'), processor,
                                        partial + "/vision_weights.bin", partial,
                                        dir.file("m.vision.korvex"), binding, audit,
                                        [&] {
                                          if (++tiles > 1) token.cancel();
                                          token.check();
                                        }),
               CancellationError);
  EXPECT_EQ(tiles, 2);
  EXPECT_EQ(audit.byteCopyTiles, 1u);
  EXPECT_EQ(entriesOf(partial), std::set<std::string>{"vision_weights.bin"});
  EXPECT_FALSE(fs::exists(dir.file("m.vision.korvex")));
}

TEST_F(VisionPackFinish, TextBindingNeedsASourceSnapshotHash) {
  const VisionPackTextBinding binding = VisionPackTextBinding::read(text.directory);
  EXPECT_EQ(binding.sourceSnapshotHash, *text.manifest.sourceSnapshotHash);
  EXPECT_EQ(binding.textManifestSHA, sha256(testutil::readFile(text.directory + "/manifest.json")));

  for (const std::optional<std::string>& hash :
       {std::optional<std::string>(), std::optional<std::string>("")}) {
    text.manifest.sourceSnapshotHash = hash;
    text.writeManifest();
    EXPECT_EQ(errorOf([&] { VisionPackTextBinding::read(text.directory); }),
              "configuration invalid: text manifest has no sourceSnapshotHash");
  }
  EXPECT_EQ(errorOf([&] { VisionPackTextBinding::read(dir.file("missing")); }),
            "open(" + dir.file("missing/manifest.json") + ") failed: errno 2");
}

TEST(VisionPackMutationLock, IsExclusiveUntilReleased) {
  testutil::TempDir dir;
  const std::string companion = dir.file("g.vision.korvex");
  const std::string lockPath = KorvexVisionLockPathsV1::useLockURL(companion);
  {
    const VisionPackMutationLock held = VisionPackMutationLock::acquire(companion);
    EXPECT_EQ(held.path(), lockPath);
    try {
      VisionPackMutationLock::acquire(companion);
      FAIL();
    } catch (const RepackError& e) {
      EXPECT_EQ(e, RepackError(RepackError::InstallBusy{lockPath}));
    }
  }
  EXPECT_NO_THROW(VisionPackMutationLock::acquire(companion));
  EXPECT_TRUE(fs::is_regular_file(lockPath));  // the lock file stays
}

}  // namespace
