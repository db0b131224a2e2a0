#include "engine/install/resume_checkpoint.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "engine/common/repack_error.h"
#include "tests/test_util.h"

namespace {

namespace fs = std::filesystem;

RemoteInstallCheckpoint sample() {
  RemoteInstallCheckpoint c;
  c.repoID = "owner/model";
  c.requestedRevision = "main";
  c.resolvedCommit = std::string(40, 'a');
  c.sourceIndexSHA256 = std::string(64, 'b');
  c.planFingerprint = std::string(64, 'c');
  c.totalSourceBytes = 100;
  c.completedRanges = {{"r0", std::string(64, 'd'), 60, 70}, {"r1", std::string(64, 'e'), 40, 30}};
  return c;
}

using testutil::errorOf;

TEST(RemoteInstallCheckpoint, EncodesCompactSortedWithEscapedSlashes) {
  RemoteInstallCheckpoint c = sample();
  c.completedRanges.resize(1);
  EXPECT_EQ(c.encode(),
            R"({"completedRanges":[{"destinationBytes":70,"destinationDigest":")" +
                std::string(64, 'd') + R"(","id":"r0","sourceBytes":60}],"planFingerprint":")" +
                std::string(64, 'c') +
                R"(","repoID":"owner\/model","requestedRevision":"main","resolvedCommit":")" +
                std::string(40, 'a') + R"(","schema":1,"sourceIndexSHA256":")" +
                std::string(64, 'b') + R"(","totalSourceBytes":100})");
}

TEST(RemoteInstallCheckpoint, WritesAtomicallyAndLoadsBack) {
  testutil::TempDir dir;
  const std::string path = dir.file("m.korvex.resume.json");
  const RemoteInstallCheckpoint c = sample();
  c.write(path, dir.path());
  EXPECT_EQ(RemoteInstallCheckpoint::load(path), c);
  EXPECT_FALSE(fs::exists(path + ".tmp"));
  EXPECT_TRUE(c.matches("owner/model", "main", std::string(64, 'b'), std::string(64, 'c')));
  EXPECT_FALSE(c.matches("owner/model", "main", std::string(64, 'b'), std::string(64, 'f')));
  EXPECT_EQ(c.validatedDestinationBytes(100, path), 100u);
  EXPECT_EQ(errorOf([&] { c.validatedDestinationBytes(99, path); }),
            "install state at " + path +
                " is corrupt: completed destination bytes exceed the installed model");

  // Readers accept unescaped slashes and ignore unknown members.
  std::string text = c.encode();
  text.insert(1, R"("future":{"x":1},)");
  testutil::writeFile(path, text.replace(text.find("owner\\/model"), 12, "owner/model"));
  EXPECT_EQ(RemoteInstallCheckpoint::load(path), c);
}

TEST(RemoteInstallCheckpoint, ValidationNamesTheBrokenRule) {
  using Mutation = std::function<void(RemoteInstallCheckpoint&)>;
  const std::vector<std::pair<Mutation, std::string>> cases = {
      {[](auto& c) { c.schema = 2; }, "invalid checkpoint identity"},
      {[](auto& c) { c.repoID.clear(); }, "invalid checkpoint identity"},
      {[](auto& c) { c.requestedRevision.clear(); }, "invalid checkpoint identity"},
      {[](auto& c) { c.resolvedCommit.pop_back(); }, "invalid checkpoint identity"},
      {[](auto& c) { c.sourceIndexSHA256 += "0"; }, "invalid checkpoint identity"},
      {[](auto& c) { c.planFingerprint.clear(); }, "invalid checkpoint identity"},
      {[](auto& c) { c.totalSourceBytes = 0; }, "invalid checkpoint identity"},
      {[](auto& c) { c.completedRanges[1].id = "r0"; }, "invalid completed range"},
      {[](auto& c) { c.completedRanges[1].id = ""; }, "invalid completed range"},
      {[](auto& c) { c.completedRanges[0].destinationDigest = "ab"; }, "invalid completed range"},
      {[](auto& c) { c.completedRanges[0].sourceBytes = 0; }, "invalid completed range"},
      {[](auto& c) { c.completedRanges[1].destinationBytes = 0; }, "invalid completed range"},
      {[](auto& c) { c.completedRanges[1].sourceBytes = 41; },
       "completed range byte totals are invalid"},
      {[](auto& c) { c.completedRanges[1].destinationBytes = UINT64_MAX; },
       "completed range byte totals are invalid"},
      {[](auto& c) { c.completedRanges.clear(); }, "ok"},
      {[](auto& c) { c.completedRanges[1].sourceBytes = 40; }, "ok"},
  };
  testutil::TempDir dir;
  const std::string path = dir.file("cp.json");
  sample().write(path, dir.path());
  for (const auto& [mutate, detail] : cases) {
    RemoteInstallCheckpoint c = sample();
    mutate(c);
    const std::string expected =
        detail == "ok" ? "ok" : "install state at " + path + " is corrupt: " + detail;
    EXPECT_EQ(errorOf([&] { c.write(path, dir.path()); }), expected);
    if (detail != "ok") {
      // The refused write left the previous good checkpoint in place.
      EXPECT_EQ(RemoteInstallCheckpoint::load(path), sample());
      // The same content found on disk is refused on load too.
      testutil::writeFile(dir.file("bad.json"), c.encode());
      EXPECT_EQ(errorOf([&] { RemoteInstallCheckpoint::load(dir.file("bad.json")); }),
                "install state at " + dir.file("bad.json") + " is corrupt: " + detail);
    }
    sample().write(path, dir.path());
  }
}

TEST(RemoteInstallCheckpoint, LoadRefusesUnreadableFiles) {
  testutil::TempDir dir;
  const std::string path = dir.file("cp.json");
  EXPECT_EQ(errorOf([&] { RemoteInstallCheckpoint::load(path); }),
            "open(" + path + ") failed: errno 2");

  std::string text = sample().encode();
  testutil::writeFile(path, text.substr(0, text.size() / 2));
  EXPECT_TRUE(errorOf([&] {
                RemoteInstallCheckpoint::load(path);
              }).starts_with("install state at " + path + " is corrupt: "));

  const size_t key = text.find("\"repoID\"");
  testutil::writeFile(path, text.substr(0, key) + "\"repoid\"" + text.substr(key + 8));
  const std::string missing = errorOf([&] { RemoteInstallCheckpoint::load(path); });
  EXPECT_TRUE(missing.starts_with("install state at " + path + " is corrupt: ")) << missing;
  EXPECT_NE(missing.find("repoID"), std::string::npos) << missing;

  testutil::writeFile(path, R"({"schema":"1"})");
  EXPECT_TRUE(errorOf([&] { RemoteInstallCheckpoint::load(path); }).starts_with("install state"));
  text = sample().encode();
  const size_t total = text.find("\"totalSourceBytes\":100");
  testutil::writeFile(path, text.substr(0, total) + "\"totalSourceBytes\":-100}");
  EXPECT_TRUE(errorOf([&] { RemoteInstallCheckpoint::load(path); }).starts_with("install state"));

  testutil::writeFile(
      path, R"({"completedRanges":)" + std::string(300, '[') + std::string(300, ']') + "}");
  EXPECT_EQ(errorOf([&] { RemoteInstallCheckpoint::load(path); }),
            "install state at " + path + " is corrupt: JSON nesting deeper than 256 levels");

  testutil::writeFile(path, std::string(RemoteInstallCheckpoint::maximumBytes + 1, ' '));
  EXPECT_EQ(errorOf([&] { RemoteInstallCheckpoint::load(path); }),
            "install state at " + path + " is corrupt: size 8388609 exceeds 8388608-byte cap");

  fs::remove(path);
  sample().write(dir.file("real.json"), dir.path());
  fs::create_symlink(dir.file("real.json"), path);
  EXPECT_EQ(errorOf([&] { RemoteInstallCheckpoint::load(path); }),
            "open(" + path + ") failed: errno " + std::to_string(ELOOP));
}

TEST(RemoteInstallCheckpoint, EncodingCapIsEightMebibytes) {
  testutil::TempDir dir;
  const std::string path = dir.file("cp.json");
  RemoteInstallCheckpoint c = sample();
  c.completedRanges.resize(1);
  const size_t base = c.encode().size() - c.completedRanges[0].id.size();
  c.completedRanges[0].id = std::string(RemoteInstallCheckpoint::maximumBytes - base, 'x');
  ASSERT_EQ(c.encode().size(), RemoteInstallCheckpoint::maximumBytes);
  c.write(path, dir.path());
  EXPECT_EQ(RemoteInstallCheckpoint::load(path), c);
  c.completedRanges[0].id += "x";
  EXPECT_EQ(errorOf([&] { c.write(path, dir.path()); }),
            "install state at " + path + " is corrupt: checkpoint exceeds 8388608-byte cap");
}

}  // namespace
