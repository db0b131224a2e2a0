#include "engine/source/local_checkpoint.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>

#include "tests/test_util.h"
#include "tools/hub_cache_fixture.h"

namespace {

namespace fs = std::filesystem;
using testutil::errorOf;

constexpr char kRepo[] = "o/n";
constexpr char kCommit[] = "0123456789abcdef0123456789abcdef01234567";
constexpr char kOther[] = "fedcba9876543210fedcba9876543210fedcba98";
constexpr char kShard[] = "model-00001-of-00001.safetensors";
constexpr char kNested[] = "sub/dir/notes.txt";

const std::map<std::string, std::string> kFiles = {
    {"config.json", "{\"model_type\": \"x\"}"},
    {kShard, std::string(100, 's')},
    {kNested, "nested"},
};

EnvironmentLookup environment(std::map<std::string, std::string> values) {
  return [values = std::move(values)](const std::string& name) -> std::optional<std::string> {
    const auto it = values.find(name);
    if (it == values.end()) return std::nullopt;
    return it->second;
  };
}

TEST(LocalCheckpointEnvironment, CacheRootFollowsTheVariablesInOrder) {
  const struct {
    std::map<std::string, std::string> env;
    std::optional<std::string> root;
  } cases[] = {
      {{{"HF_HUB_CACHE", "/c"}, {"HF_HOME", "/h"}, {"XDG_CACHE_HOME", "/x"}, {"HOME", "/u"}}, "/c"},
      {{{"HF_HUB_CACHE", ""}, {"HF_HOME", "/h"}, {"XDG_CACHE_HOME", "/x"}, {"HOME", "/u"}},
       "/h/hub"},
      {{{"XDG_CACHE_HOME", "/x"}, {"HOME", "/u"}}, "/x/huggingface/hub"},
      {{{"HOME", "/u"}}, "/u/.cache/huggingface/hub"},
      {{}, std::nullopt},
      {{{"HF_HUB_CACHE", "~/c"}, {"HOME", "/u"}}, "/u/c"},
      {{{"HF_HOME", "$BASE/h"}, {"BASE", "/b"}}, "/b/h/hub"},
      {{{"HF_HOME", "${BASE}x/$UNSET/${"}, {"BASE", "/b"}}, "/bx/$UNSET/${/hub"},
      {{{"HF_HUB_CACHE", "/a~/$"}, {"HOME", "/u"}}, "/a~/$"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(hubCacheRoot(environment(c.env)), c.root)
        << (c.env.empty() ? "" : c.env.begin()->first + "=" + c.env.begin()->second);
  }
}

TEST(LocalCheckpointEnvironment, OfflineTakesTheTrueWordsInAnyCase) {
  for (const char* on : {"1", "ON", "yes", "True", "tRuE"}) {
    EXPECT_TRUE(offlineRequested(environment({{"HF_HUB_OFFLINE", on}}))) << on;
  }
  for (const char* off : {"0", "", "off", "no", "false", "2", " 1"}) {
    EXPECT_FALSE(offlineRequested(environment({{"HF_HUB_OFFLINE", off}}))) << off;
  }
  EXPECT_FALSE(offlineRequested(environment({})));
}

// The token comes from the first source that has one: HF_TOKEN,
// HUGGING_FACE_HUB_TOKEN, then the token file the variables point at.
TEST(LocalCheckpointEnvironment, TheTokenComesFromTheFirstSourceThatHasOne) {
  testutil::TempDir dir;
  testutil::writeFile(dir.file("given"), "  hf_given\n");
  std::filesystem::create_directories(dir.file("home/huggingface"));
  testutil::writeFile(dir.file("home/token"), "hf_home\n");
  testutil::writeFile(dir.file("home/huggingface/token"), "hf_xdg");
  std::filesystem::create_directories(dir.file("user/.cache/huggingface"));
  testutil::writeFile(dir.file("user/.cache/huggingface/token"), "\thf_user \r\n");
  testutil::writeFile(dir.file("blank"), " \n\t ");
  const std::string d = dir.path();
  const struct {
    std::map<std::string, std::string> env;
    std::optional<std::string> token;
  } cases[] = {
      {{{"HF_TOKEN", "hf_a"}, {"HUGGING_FACE_HUB_TOKEN", "hf_b"}, {"HF_TOKEN_PATH", d + "/given"}},
       "hf_a"},
      {{{"HF_TOKEN", ""}, {"HUGGING_FACE_HUB_TOKEN", "hf_b"}}, "hf_b"},
      {{{"HUGGING_FACE_HUB_TOKEN", ""}, {"HF_TOKEN_PATH", d + "/given"}, {"HF_HOME", d + "/home"}},
       "hf_given"},
      {{{"HF_HOME", d + "/home"}, {"XDG_CACHE_HOME", d + "/home"}}, "hf_home"},
      {{{"XDG_CACHE_HOME", d + "/home"}, {"HOME", d + "/user"}}, "hf_xdg"},
      {{{"HOME", d + "/user"}}, "hf_user"},
      {{{"HF_TOKEN_PATH", "$BASE/given"}, {"BASE", d}}, "hf_given"},
      {{{"HF_TOKEN_PATH", d + "/blank"}, {"HOME", d + "/user"}}, std::nullopt},
      {{{"HF_TOKEN_PATH", d + "/missing"}, {"HOME", d + "/user"}}, std::nullopt},
      {{{"HF_HOME", d + "/nowhere"}}, std::nullopt},
      {{}, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(hubToken(environment(c.env)), c.token)
        << (c.env.empty() ? "" : c.env.begin()->first + "=" + c.env.begin()->second);
  }
}

class LocalCheckpointTest : public ::testing::Test {
 protected:
  std::string root() const { return dir_.file("hub"); }
  std::string blob(const std::string& path) const {
    return repository_ + "/blobs/" + hubCacheEtag(path, kFiles.at(path));
  }
  LocalCheckpoint cache(const std::function<void(HubCacheLayout&)>& adjust = {}) {
    HubCacheLayout layout;
    if (adjust) adjust(layout);
    repository_ = writeHubCache(kFiles, root(), kRepo, kCommit, layout);
    return LocalCheckpoint::inHubCache(root(), kRepo, kCommit);
  }
  std::string snapshotEntry(const std::string& path) const {
    return repository_ + "/snapshots/" + kCommit + "/" + path;
  }

  testutil::TempDir dir_;
  std::string repository_;
};

TEST_F(LocalCheckpointTest, FindsLinkedBlobsWithTheirDigests) {
  const LocalCheckpoint checkpoint = cache();
  const std::string shardDigest = hubCacheEtag(kShard, kFiles.at(kShard));
  EXPECT_EQ(checkpoint.find(kShard),
            (LocalFile{blob(kShard), 100, shardDigest, std::nullopt, false}));
  // A small git file's blob name is its git blob SHA-1, no SHA-256.
  const std::string configName = hubCacheEtag("config.json", kFiles.at("config.json"));
  EXPECT_EQ(checkpoint.find("config.json"),
            (LocalFile{blob("config.json"), kFiles.at("config.json").size(), std::nullopt,
                       configName, false}));
  EXPECT_EQ(checkpoint.find(kNested)->gitSha1, hubCacheEtag(kNested, kFiles.at(kNested)));
  EXPECT_TRUE(fs::is_symlink(snapshotEntry(kNested)));
  EXPECT_TRUE(fs::read_symlink(snapshotEntry(kNested)).is_relative());

  for (const char* bad : {"", "/config.json", "./config.json", "sub/../config.json", "sub//dir",
                          "absent.json", "sub/dir"}) {
    EXPECT_EQ(checkpoint.find(bad), std::nullopt) << bad;
  }
}

TEST_F(LocalCheckpointTest, FindsPlainSnapshotFilesWithoutDigests) {
  const LocalCheckpoint checkpoint = cache([](HubCacheLayout& l) { l.symlinks = false; });
  EXPECT_EQ(checkpoint.find(kShard),
            (LocalFile{snapshotEntry(kShard), 100, std::nullopt, std::nullopt, false}));
  EXPECT_EQ(checkpoint.find(kNested),
            (LocalFile{snapshotEntry(kNested), 6, std::nullopt, std::nullopt, false}));
}

TEST_F(LocalCheckpointTest, IgnoresWhatIsNotAFinishedFileOfThePinnedCommit) {
  const LocalCheckpoint checkpoint = cache([](HubCacheLayout& l) {
    l.omit = {"config.json"};
    l.incomplete = {kShard};
    l.otherCommit = kOther;
  });
  EXPECT_EQ(checkpoint.find(kShard), std::nullopt);         // unfinished blob
  EXPECT_EQ(checkpoint.find("config.json"), std::nullopt);  // only in the other snapshot
  EXPECT_EQ(checkpoint.find(kNested)->path, blob(kNested));
  // The other snapshot is complete for its own commit.
  EXPECT_TRUE(LocalCheckpoint::inHubCache(root(), kRepo, kOther).find("config.json"));
  EXPECT_EQ(LocalCheckpoint::inHubCache(root(), kRepo, kOther).find(kShard), std::nullopt);

  // Links that escape the repository's blobs, dangle, or name a directory.
  testutil::writeFile(dir_.file("outside"), "outside");
  writeHubCache(kFiles, dir_.file("hub"), "o/other", kCommit);
  const std::map<std::string, std::string> links = {
      {"escape.json", dir_.file("outside")},
      {"neighbour.json",
       "../../../models--o--other/blobs/" + hubCacheEtag(kShard, kFiles.at(kShard))},
      {"other-snapshot.json", std::string("../") + kOther + "/config.json"},
      {"dangling.json", "../../blobs/0000"},
      {"directory.json", "../../blobs"},
  };
  for (const auto& [name, target] : links) {
    fs::create_symlink(target, snapshotEntry(name));
    EXPECT_EQ(checkpoint.find(name), std::nullopt) << name;
  }
  fs::create_directories(snapshotEntry("folder.json"));
  EXPECT_EQ(checkpoint.find("folder.json"), std::nullopt);
  // An absolute link into the repository's own blobs is as good as a relative one.
  fs::create_symlink(blob(kNested), snapshotEntry("absolute.txt"));
  EXPECT_EQ(checkpoint.find("absolute.txt")->path, blob(kNested));
}

TEST_F(LocalCheckpointTest, ReadsNoExistMarkersOfThePinnedCommitOnly) {
  const LocalCheckpoint checkpoint = cache([](HubCacheLayout& l) {
    l.noExist = {"tokenizer.model", "a/b.json"};
  });
  EXPECT_TRUE(checkpoint.knownMissing("tokenizer.model"));
  EXPECT_TRUE(checkpoint.knownMissing("a/b.json"));
  EXPECT_FALSE(checkpoint.knownMissing("config.json"));
  EXPECT_FALSE(checkpoint.knownMissing("a"));
  EXPECT_FALSE(LocalCheckpoint::inHubCache(root(), kRepo, kOther).knownMissing("tokenizer.model"));
}

TEST_F(LocalCheckpointTest, AnAbsentCacheIsEmptyAndBadIdentitiesAreRefused) {
  const LocalCheckpoint absent = LocalCheckpoint::inHubCache(dir_.file("none"), kRepo, kCommit);
  EXPECT_EQ(absent.find("config.json"), std::nullopt);
  EXPECT_FALSE(absent.knownMissing("config.json"));
  EXPECT_EQ(LocalCheckpoint().find("config.json"), std::nullopt);
  EXPECT_EQ(errorOf([&] { LocalCheckpoint::inHubCache(root(), kRepo, "main"); }),
            "configuration invalid: commit main is not 40 hex");
  for (const char* repo : {"o", "o/n/x", "/n", "o/", "../n"}) {
    EXPECT_EQ(errorOf([&] { LocalCheckpoint::inHubCache(root(), repo, kCommit); }),
              std::string("configuration invalid: repository id ") + repo + " is not owner/name");
  }
  EXPECT_EQ(errorOf([&] { LocalCheckpoint::inDirectory(dir_.file("none"), kCommit); }),
            "configuration invalid: source directory " + dir_.file("none") + " does not exist");
}

TEST_F(LocalCheckpointTest, NamedDirectoriesTakeDigestsOnlyFromTheirOwnCommit) {
  const std::string shardDigest = hubCacheEtag(kShard, kFiles.at(kShard));
  const struct {
    const char* name;
    std::function<void(LocalDirLayout&)> adjust;
    std::optional<std::string> digest;
  } cases[] = {
      {"with-metadata", [](LocalDirLayout&) {}, shardDigest},
      {"without-metadata", [](LocalDirLayout& l) { l.metadata = false; }, std::nullopt},
      {"other-commit", [](LocalDirLayout& l) { l.metadataCommit = kOther; }, std::nullopt},
  };
  for (const auto& c : cases) {
    const std::string directory = dir_.file(c.name);
    LocalDirLayout layout;
    c.adjust(layout);
    writeLocalDir(kFiles, directory, kCommit, layout);
    const LocalCheckpoint checkpoint = LocalCheckpoint::inDirectory(directory, kCommit);
    EXPECT_EQ(checkpoint.find(kShard),
              (LocalFile{directory + "/" + kShard, 100, c.digest, std::nullopt, true}))
        << c.name;
    EXPECT_EQ(checkpoint.find("config.json")->sha256, std::nullopt) << c.name;
    EXPECT_EQ(checkpoint.find("config.json")->gitSha1,
              c.digest ? std::optional(hubCacheEtag("config.json", kFiles.at("config.json")))
                       : std::nullopt)
        << c.name;
    EXPECT_EQ(checkpoint.find(kNested)->path, directory + "/" + kNested) << c.name;
    EXPECT_FALSE(checkpoint.knownMissing("tokenizer.model")) << c.name;
  }
}

TEST_F(LocalCheckpointTest, ANamedSnapshotFolderKeepsItsBlobDigestsAndMarkers) {
  cache([](HubCacheLayout& l) {
    l.incomplete = {kNested};
    l.noExist = {"tokenizer.model"};
    l.otherCommit = kOther;
  });
  const std::string shardDigest = hubCacheEtag(kShard, kFiles.at(kShard));
  const LocalCheckpoint snapshot =
      LocalCheckpoint::inDirectory(repository_ + "/snapshots/" + kCommit, kCommit);
  EXPECT_EQ(snapshot.find(kShard), (LocalFile{blob(kShard), 100, shardDigest, std::nullopt, true}));
  EXPECT_EQ(snapshot.find("config.json")->gitSha1,
            hubCacheEtag("config.json", kFiles.at("config.json")));
  EXPECT_EQ(snapshot.find(kNested), std::nullopt);
  EXPECT_TRUE(snapshot.knownMissing("tokenizer.model"));
  // A snapshot folder of another commit proves nothing about the pinned one.
  const LocalCheckpoint other =
      LocalCheckpoint::inDirectory(repository_ + "/snapshots/" + kOther, kCommit);
  EXPECT_EQ(other.find(kShard), (LocalFile{blob(kShard), 100, std::nullopt, std::nullopt, true}));
  EXPECT_EQ(other.find("config.json")->gitSha1, std::nullopt);
  EXPECT_FALSE(other.knownMissing("tokenizer.model"));
}

// The etag of a metadata file at the pinned commit states a SHA-256 (64 hex)
// or a git blob SHA-1 (40 hex), quoted, weak or in capitals alike; anything
// else states nothing.
TEST_F(LocalCheckpointTest, MetadataEtagsStateEitherDigest) {
  const std::string sha256(64, 'a');
  const std::string sha1(40, 'b');
  const struct {
    std::string etag;
    std::optional<std::string> sha256;
    std::optional<std::string> gitSha1;
  } cases[] = {
      {sha256, sha256, std::nullopt},
      {sha1, std::nullopt, sha1},
      {"\"" + sha1 + "\"", std::nullopt, sha1},
      {"W/\"" + std::string(40, 'B') + "\"", std::nullopt, sha1},
      {"W/\"" + std::string(64, 'A') + "\"", sha256, std::nullopt},
      {sha1.substr(1), std::nullopt, std::nullopt},
      {sha1 + "0", std::nullopt, std::nullopt},
      {std::string(40, 'g'), std::nullopt, std::nullopt},
      {"", std::nullopt, std::nullopt},
  };
  const std::string directory = dir_.file("etags");
  fs::create_directories(directory + "/.cache/huggingface/download");
  testutil::writeFile(directory + "/notes.txt", "notes");
  for (const auto& c : cases) {
    testutil::writeFile(directory + "/.cache/huggingface/download/notes.txt.metadata",
                        std::string(kCommit) + "\n" + c.etag + "\n1714000000.0\n");
    const std::optional<LocalFile> file =
        LocalCheckpoint::inDirectory(directory, kCommit).find("notes.txt");
    ASSERT_TRUE(file) << c.etag;
    EXPECT_EQ(file->sha256, c.sha256) << c.etag;
    EXPECT_EQ(file->gitSha1, c.gitSha1) << c.etag;
  }
}

}  // namespace
