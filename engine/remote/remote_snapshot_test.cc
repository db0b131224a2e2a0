#include "engine/remote/remote_snapshot.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "engine/common/repack_error.h"
#include "engine/io/sha256_stream.h"
#include "engine/plan/plan_fixtures.h"
#include "engine/remote/hub_fixture_test_util.h"
#include "format/little_endian.h"
#include "tools/hub_cache_fixture.h"

namespace {

using plan_fixtures::Checkpoint;
using testutil::errorOf;
using Dtype = SourceTensor::Dtype;

constexpr char kIndex[] = "model.safetensors.index.json";

// A two-layer gemma4 checkpoint with four experts per layer, over two shards.
Checkpoint gemmaCheckpoint(const std::string& shard1 = plan_fixtures::kShard1,
                           const std::string& shard2 = plan_fixtures::kShard2) {
  Checkpoint c;
  c.quantized("language_model.model.embed_tokens", {256, 64}, 4, shard1);
  for (int layer = 0; layer < 2; ++layer) {
    const std::string p = "language_model.model.layers." + std::to_string(layer);
    const std::string& shard = layer == 0 ? shard1 : shard2;
    c.quantized(p + ".self_attn.q_proj", {64, 64}, 4, shard)
        .tensor(p + ".input_layernorm.weight", Dtype::bf16, {64}, shard)
        .experts(p + ".experts.switch_glu.gate_proj", 4, 32, 64, 4, shard)
        .experts(p + ".experts.switch_glu.up_proj", 4, 32, 64, 4, shard)
        .experts(p + ".experts.switch_glu.down_proj", 4, 64, 32, 4, shard);
  }
  c.tensor("language_model.model.norm.weight", Dtype::bf16, {64}, shard1);
  return c;
}

// The checkpoint's files as the hub serves them, shards with random data.
std::map<std::string, std::string> filesOf(const Checkpoint& c, const std::string& directory) {
  std::filesystem::create_directories(directory);
  c.writeDirectory(directory, plan_fixtures::gemma4Config(2, 4));
  std::map<std::string, std::string> files = readCheckpointDirectory(directory);
  uint32_t seed = 1;
  for (auto& [name, bytes] : files) {
    if (name.ends_with(".safetensors")) randomizeDataArea(bytes, seed++);
  }
  return files;
}

std::string sha256(const std::string& bytes) {
  Sha256Stream s;
  s.update(bytes.data(), bytes.size());
  return s.finalizeHex();
}

std::string shardWithHeaderLength(uint64_t headerLength, size_t totalBytes) {
  std::string bytes(totalBytes, ' ');
  little_endian::store<uint64_t>(reinterpret_cast<uint8_t*>(bytes.data()), headerLength);
  return bytes;
}

class RemoteSnapshotTest : public HubFixture {
 protected:
  std::string metadataDirectory() const { return dir_.file("partial/.remote-metadata"); }

  RemoteSnapshot load(bool requireKnownSource = false, const KnownSourceTable* known = nullptr) {
    return known ? RemoteSnapshot::load(source_, metadataDirectory(), requireKnownSource, &audit_,
                                        *known)
                 : RemoteSnapshot::load(source_, metadataDirectory(), requireKnownSource, &audit_);
  }
  std::string loadError(bool requireKnownSource = false) {
    return errorOf([&] { load(requireKnownSource); });
  }

  // The tensors of a header, named by shard file name, sorted by name.
  static std::vector<SourceTensor> sorted(std::vector<SourceTensor> tensors) {
    std::sort(tensors.begin(), tensors.end(),
              [](const SourceTensor& a, const SourceTensor& b) { return a.name < b.name; });
    return tensors;
  }

  size_t rangedGets(const std::string& file) const {
    size_t n = 0;
    for (const HubRequest& r : hub_->requests()) {
      if (r.file == file && r.method == "GET" && r.header("Range")) ++n;
    }
    return n;
  }
};

TEST_F(RemoteSnapshotTest, LoadsACheckpointWithAnIndex) {
  const std::map<std::string, std::string> files = filesOf(gemmaCheckpoint(), dir_.file("src"));
  serve(files);
  const RemoteSnapshot snapshot = load();

  IndexLoader::SourceMetadata expected = IndexLoader::load(dir_.file("src"));
  expected.indexPath = metadataDirectory() + "/" + kIndex;
  expected.configPath = metadataDirectory() + "/config.json";
  EXPECT_EQ(snapshot.metadata, expected);
  EXPECT_EQ(snapshot.arch, ArchInfo::load(dir_.file("src/config.json")));
  EXPECT_EQ(snapshot.resolvedCommit, kHubCommit);
  EXPECT_EQ(snapshot.metadataDirectory, metadataDirectory());
  EXPECT_EQ(testutil::readFile(expected.indexPath), files.at(kIndex));
  EXPECT_EQ(testutil::readFile(expected.configPath), files.at("config.json"));

  ASSERT_EQ(snapshot.shardHeaders.size(), expected.shardFilenames.size());
  for (size_t i = 0; i < expected.shardFilenames.size(); ++i) {
    const std::string& name = expected.shardFilenames[i];
    std::vector<SourceTensor> local = Safetensors::readHeader(dir_.file("src/" + name)).tensors;
    for (SourceTensor& t : local) t.shardPath = name;  // shards are named by file name
    EXPECT_EQ(sorted(snapshot.shardHeaders[i].tensors), sorted(local)) << name;
    EXPECT_EQ(rangedGets(name), 3u) << name;  // prefix (hub, storage), header (storage)
    const RemoteFileInfo& info = snapshot.remoteFiles.at(name);
    EXPECT_EQ(info.size, files.at(name).size());
    EXPECT_EQ(info.resolvedCommit, kHubCommit);
    EXPECT_EQ(info.xetHash, hub_->facts(name).xetHash);
  }
  EXPECT_EQ(snapshot.remoteFiles.size(), 2 + expected.shardFilenames.size());
  EXPECT_TRUE(snapshot.remoteFiles.contains(kIndex));
  // Every request after the index named the commit, not the branch.
  for (const HubRequest& r : hub_->requests()) {
    if (r.host == HubHost::hub && r.file != kIndex) {
      EXPECT_NE(r.target.find(kHubCommit), std::string::npos) << r.target;
    }
  }
}

TEST_F(RemoteSnapshotTest, LoadsACheckpointWithoutAnIndex) {
  std::map<std::string, std::string> files = filesOf(
      gemmaCheckpoint("model-00000.safetensors", "model-00001.safetensors"), dir_.file("src"));
  const IndexLoader::SourceMetadata original = IndexLoader::load(dir_.file("src"));
  files.erase(kIndex);
  serve(files);
  const RemoteSnapshot snapshot = load();

  EXPECT_EQ(snapshot.metadata.weightMap, original.weightMap);
  EXPECT_EQ(snapshot.metadata.shardFilenames, original.shardFilenames);
  EXPECT_EQ(snapshot.metadata.bitsOverrides, original.bitsOverrides);
  uint64_t total = 0;
  for (const Safetensors::Header& h : snapshot.shardHeaders) {
    for (const SourceTensor& t : h.tensors) total += t.sizeBytes;
  }
  const std::string index = IndexLoader::canonicalIndexData(original.weightMap, total);
  EXPECT_EQ(testutil::readFile(metadataDirectory() + "/" + kIndex), index);
  EXPECT_EQ(snapshot.metadata.indexSha256Hex, sha256(index));
  EXPECT_EQ(snapshot.resolvedCommit, kHubCommit);
  EXPECT_EQ(snapshot.remoteFiles.size(), 3u);  // config and the two shards
  ASSERT_EQ(snapshot.shardHeaders.size(), 2u);
  EXPECT_EQ(snapshot.shardHeaders[0].tensors.front().shardPath, original.shardFilenames[0]);
  // Probing stopped at the first missing number.
  EXPECT_EQ(requestsFor("model-00002.safetensors", "HEAD").size(), 1u);
  EXPECT_EQ(requestsFor("model-00003.safetensors", "HEAD").size(), 0u);
}

TEST_F(RemoteSnapshotTest, KnownSourceCheck) {
  const std::map<std::string, std::string> files = filesOf(gemmaCheckpoint(), dir_.file("src"));
  serve(files);
  const std::string digest = sha256(files.at(kIndex));
  EXPECT_EQ(loadError(true), "source fingerprint " + digest + " for " + metadataDirectory() + "/" +
                                 kIndex + " is not in known set");
  EXPECT_EQ(rangedGets(plan_fixtures::kShard1), 0u);  // refused before any shard is read
  const KnownSourceTable known = {{digest, "velquor-test"}};
  EXPECT_EQ(load(true, &known).metadata.indexSha256Hex, digest);
  EXPECT_EQ(loadError(false), "ok");
}

TEST_F(RemoteSnapshotTest, InconsistentCheckpointsAreRefused) {
  const std::map<std::string, std::string> files = filesOf(gemmaCheckpoint(), dir_.file("src"));
  const std::string shard = plan_fixtures::kShard1;
  const std::string other(40, 'f');
  serve(files);
  struct Case {
    HubFault fault;
    std::string error;
  };
  const std::vector<Case> cases = {
      {HubFault::header("X-Repo-Commit", other).on("config.json").onMethod("HEAD"),
       "remote protocol invalid: config commit differs from index commit"},
      {HubFault::header("X-Repo-Commit", other).on(shard).onMethod("HEAD"),
       "remote protocol invalid: shard " + shard + " commit differs from index commit"},
      {HubFault::removeHeader("Accept-Ranges").on(shard).onMethod("HEAD"),
       "remote protocol invalid: shard " + shard + " does not advertise byte ranges"},
      {HubFault::status(403).on(kIndex).onMethod("HEAD"),
       "remote HTTP 403: " + hub_->baseURL() + "/velquor-test/tiny-moe/resolve/main/" + kIndex},
  };
  for (const Case& c : cases) {
    hub_->clearFaults();
    hub_->clearRequests();
    hub_->inject(c.fault);
    EXPECT_EQ(loadError(), c.error) << c.fault.describe();
  }
  // The config commit is checked before anything is downloaded.
  hub_->clearRequests();
  hub_->inject(HubFault::header("X-Repo-Commit", other).on("config.json").onMethod("HEAD"));
  loadError();
  for (const HubRequest& r : hub_->requests()) EXPECT_EQ(r.method, "HEAD") << r.target;
}

TEST_F(RemoteSnapshotTest, HostileShardPrefixes) {
  std::map<std::string, std::string> files = filesOf(
      gemmaCheckpoint("model-00000.safetensors", "model-00001.safetensors"), dir_.file("src"));
  files.erase(kIndex);
  const std::string shard = "model-00001.safetensors";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {shardWithHeaderLength(16777217, 100),
       "safetensors header at " + shard + " size 16777217 exceeds bound"},
      {shardWithHeaderLength(93, 100), "safetensors header at " + shard + " size 93 exceeds bound"},
      {std::string(7, 'x'), "remote protocol invalid: range 0-7 exceeds " + shard},
      {shardWithHeaderLength(2, 10).replace(8, 2, "[]"),
       "safetensors header at " + shard + " invalid: header is not a JSON object"},
  };
  for (const auto& [bytes, error] : cases) {
    files[shard] = bytes;
    hub_.reset();
    serve(files);
    EXPECT_EQ(loadError(), error);
    if (bytes.size() == 100) {
      EXPECT_EQ(rangedGets(shard), 2u) << error;  // the prefix only
    }
  }
}

TEST_F(RemoteSnapshotTest, ShardProbingWithoutAnIndex) {
  std::map<std::string, std::string> files = filesOf(
      gemmaCheckpoint("model-00000.safetensors", "model-00001.safetensors"), dir_.file("src"));
  files.erase(kIndex);
  // The same tensor in two shards.
  std::map<std::string, std::string> duplicated = files;
  duplicated["model-00002.safetensors"] = files.at("model-00001.safetensors");
  serve(duplicated);
  EXPECT_EQ(loadError(),
            "configuration invalid: duplicate tensor language_model.model.layers.1."
            "experts.switch_glu.down_proj.biases");
  hub_.reset();

  std::map<std::string, std::string> none = {
      {"config.json", files.at("config.json")},
      {"model-00001.safetensors", files.at("model-00001.safetensors")}};
  serve(none);
  EXPECT_EQ(loadError(), "remote protocol invalid: checkpoint has no weight shards");
  hub_.reset();

  serve(files);
  hub_->inject(HubFault::header("X-Repo-Commit", std::string(40, 'e'))
                   .on("model-00001.safetensors")
                   .onMethod("HEAD"));
  EXPECT_EQ(loadError(),
            "remote protocol invalid: shard model-00001.safetensors commit differs from config "
            "commit");
}

// Checkpoints already on disk: the hub cache and named directories.
class RemoteSnapshotLocalTest : public RemoteSnapshotTest {
 protected:
  void SetUp() override {
    files_ = filesOf(gemmaCheckpoint(), dir_.file("src"));
    serve(files_);
  }
  std::string cacheRoot() const { return dir_.file("hub-cache"); }
  LocalCheckpoint cache(const std::function<void(HubCacheLayout&)>& adjust = {}) {
    HubCacheLayout layout;
    if (adjust) adjust(layout);
    writeHubCache(files_, cacheRoot(), kHubRepo, kHubCommit, layout);
    return LocalCheckpoint::inHubCache(cacheRoot(), kHubRepo, kHubCommit);
  }
  RemoteSnapshot loadFrom(const LocalCheckpoint& local, bool offline,
                          const KnownSourceTable& known = {}) {
    return RemoteSnapshot::load(source_, metadataDirectory(), !known.empty(), &audit_, known,
                                {&local, offline, {}});
  }
  // The hub's own snapshot of the checkpoint, loaded apart and then forgotten
  // by the request log.
  RemoteSnapshot fromHub() {
    RemoteSnapshot snapshot =
        RemoteSnapshot::load(source_, dir_.file("hub-metadata"), false, &audit_);
    hub_->clearRequests();
    return snapshot;
  }
  std::set<std::string> requestedFiles() const {
    std::set<std::string> out;
    for (const HubRequest& r : hub_->requests()) out.insert(r.file);
    return out;
  }

  std::map<std::string, std::string> files_;
};

TEST_F(RemoteSnapshotLocalTest, ACompleteLocalCopyNeedsNoRequestOffline) {
  const RemoteSnapshot hub = fromHub();
  const std::string shardDigest = sha256(files_.at(plan_fixtures::kShard1));
  const struct {
    const char* name;
    std::function<LocalCheckpoint()> make;
    std::optional<std::string> digest;  // of kShard1
  } cases[] = {
      {"linked cache", [&] { return cache(); }, shardDigest},
      {"plain cache", [&] { return cache([](HubCacheLayout& l) { l.symlinks = false; }); },
       std::nullopt},
      {"local dir",
       [&] {
         writeLocalDir(files_, dir_.file("local"), kHubCommit);
         return LocalCheckpoint::inDirectory(dir_.file("local"), kHubCommit);
       },
       shardDigest},
      {"plain copy",
       [&] {
         LocalDirLayout layout;
         layout.metadata = false;
         writeLocalDir(files_, dir_.file("copy"), kHubCommit, layout);
         return LocalCheckpoint::inDirectory(dir_.file("copy"), kHubCommit);
       },
       std::nullopt},
  };
  const KnownSourceTable known = {{sha256(files_.at(kIndex)), "velquor-test"}};
  for (const auto& c : cases) {
    std::filesystem::remove_all(cacheRoot());
    const LocalCheckpoint local = c.make();
    const RemoteSnapshot snapshot = loadFrom(local, true, known);
    EXPECT_TRUE(hub_->requests().empty()) << c.name << ": " << hub_->requests().front().target;
    EXPECT_EQ(snapshot.metadata.weightMap, hub.metadata.weightMap) << c.name;
    EXPECT_EQ(snapshot.metadata.indexSha256Hex, hub.metadata.indexSha256Hex) << c.name;
    EXPECT_EQ(snapshot.arch, hub.arch) << c.name;
    EXPECT_EQ(snapshot.shardHeaders.size(), hub.shardHeaders.size()) << c.name;
    for (size_t i = 0; i < hub.shardHeaders.size(); ++i) {
      EXPECT_EQ(sorted(snapshot.shardHeaders[i].tensors), sorted(hub.shardHeaders[i].tensors))
          << c.name;
    }
    EXPECT_EQ(snapshot.resolvedCommit, kHubCommit) << c.name;
    EXPECT_EQ(testutil::readFile(metadataDirectory() + "/config.json"), files_.at("config.json"));
    EXPECT_EQ(snapshot.localFiles.size(), 4u) << c.name;  // index, config, two shards
    const RemoteFileInfo& shard = snapshot.remoteFiles.at(plan_fixtures::kShard1);
    EXPECT_EQ(shard.size, files_.at(plan_fixtures::kShard1).size()) << c.name;
    EXPECT_EQ(shard.resolvedCommit, kHubCommit) << c.name;
    EXPECT_EQ(snapshot.localFiles.at(plan_fixtures::kShard1).sha256, c.digest) << c.name;
    // The recorded header bytes are the shard's own first bytes.
    const RemoteSnapshot::HeaderBytes& header = snapshot.localHeaders.at(plan_fixtures::kShard1);
    EXPECT_EQ(header.sha256, sha256(files_.at(plan_fixtures::kShard1).substr(0, header.length)))
        << c.name;
  }
}

TEST_F(RemoteSnapshotLocalTest, OnlyWhatIsNotLocalIsAskedOfTheHub) {
  // A cache without the second shard: only that shard reaches the hub.
  const RemoteSnapshot mixed =
      loadFrom(cache([](HubCacheLayout& l) { l.omit = {plan_fixtures::kShard2}; }), false);
  EXPECT_EQ(requestedFiles(), std::set<std::string>{plan_fixtures::kShard2});
  EXPECT_EQ(rangedGets(plan_fixtures::kShard2), 3u);
  EXPECT_FALSE(mixed.localFiles.contains(plan_fixtures::kShard2));
  EXPECT_TRUE(mixed.localFiles.contains(plan_fixtures::kShard1));
  for (const HubRequest& r : hub_->requests()) {
    if (r.host == HubHost::hub) {
      EXPECT_NE(r.target.find(kHubCommit), std::string::npos) << r.target;
    }
  }

  // A plain copy online: each shard's digest comes from a HEAD, no bytes do;
  // a copy of the wrong size is not used at all.
  hub_->clearRequests();
  std::map<std::string, std::string> copy = files_;
  copy[plan_fixtures::kShard2].pop_back();
  LocalDirLayout layout;
  layout.metadata = false;
  writeLocalDir(copy, dir_.file("copy"), kHubCommit, layout);
  const RemoteSnapshot plain =
      loadFrom(LocalCheckpoint::inDirectory(dir_.file("copy"), kHubCommit), false);
  EXPECT_EQ(requestsFor(plan_fixtures::kShard1, "HEAD").size(), 1u);
  EXPECT_EQ(rangedGets(plan_fixtures::kShard1), 0u);
  EXPECT_EQ(plain.localFiles.at(plan_fixtures::kShard1).sha256,
            hub_->facts(plan_fixtures::kShard1).sha256);
  EXPECT_FALSE(plain.localFiles.contains(plan_fixtures::kShard2));
  EXPECT_GT(rangedGets(plan_fixtures::kShard2), 0u);
  EXPECT_EQ(requestsFor(kIndex, "HEAD").size() + requestsFor("config.json", "HEAD").size(), 0u);
}

TEST_F(RemoteSnapshotLocalTest, OfflineAFileThatIsNotLocalIsAnError) {
  const std::string missing = std::string("file ") + plan_fixtures::kShard2 + " of " + kHubRepo +
                              " at " + kHubCommit + " is not available offline";
  const LocalCheckpoint partial =
      cache([](HubCacheLayout& l) { l.incomplete = {plan_fixtures::kShard2}; });
  EXPECT_EQ(errorOf([&] { loadFrom(partial, true); }), missing);
  const LocalCheckpoint nothing;
  EXPECT_EQ(
      errorOf([&] { loadFrom(nothing, true); }),
      std::string("file ") + kIndex + " of " + kHubRepo + " at main is not available offline");
  EXPECT_TRUE(hub_->requests().empty());
  // The local index passes the same known-source check as a fetched one.
  EXPECT_EQ(errorOf([&] {
              loadFrom(partial, true, {{"0", "other"}});
            }),
            "source fingerprint " + sha256(files_.at(kIndex)) + " for " + metadataDirectory() +
                "/" + kIndex + " is not in known set");
}

TEST_F(RemoteSnapshotLocalTest, SideFilesComeFromDiskOrTheHubAsAllowed) {
  std::map<std::string, std::string> hubFiles = files_;
  hubFiles["tokenizer.json"] = "{\"hub\": true}";
  hubFiles["chat_template.jinja"] = "hub template";
  hub_.reset();
  serve(hubFiles);
  std::map<std::string, std::string> cached = files_;
  cached["tokenizer_config.json"] = "{\"local\": true}";
  writeHubCache(cached, cacheRoot(), kHubRepo, kHubCommit, [] {
    HubCacheLayout l;
    l.noExist = {"chat_template.jinja"};
    return l;
  }());
  const LocalCheckpoint local = LocalCheckpoint::inHubCache(cacheRoot(), kHubRepo, kHubCommit);
  const HuggingFaceRemoteSource pinned = source_.pinned(kHubCommit);
  const std::string out = dir_.file("side");
  const auto fetch = [&](const std::string& name, bool required, bool offline) {
    return errorOf([&] {
      if (!RemoteSnapshot::fetchSideFile(pinned, {&local, offline, {}}, name, 1 << 20, required,
                                         out, &audit_)) {
        throw std::runtime_error("skipped");
      }
    });
  };
  const struct {
    const char* name;
    bool required;
    bool offline;
    std::string outcome;
    std::string content;  // of `out` afterwards
    size_t requests;
  } cases[] = {
      {"tokenizer_config.json", true, true, "ok", "{\"local\": true}", 0},
      {"chat_template.jinja", false, false, "skipped", "", 0},  // marked absent
      {"tokenizer.json", false, true, "skipped", "", 0},
      {"tokenizer.json", true, true,
       std::string("file tokenizer.json of ") + kHubRepo + " at " + kHubCommit +
           " is not available offline",
       "", 0},
      {"tokenizer.json", false, false, "ok", "{\"hub\": true}", 2},  // HEAD, GET
      {"special_tokens_map.json", false, false, "skipped", "", 1},   // 404
  };
  for (const auto& c : cases) {
    std::filesystem::remove(out);
    hub_->clearRequests();
    EXPECT_EQ(fetch(c.name, c.required, c.offline), c.outcome) << c.name;
    EXPECT_EQ(std::filesystem::exists(out) ? testutil::readFile(out) : "", c.content) << c.name;
    EXPECT_EQ(hub_->requests().size(), c.requests) << c.name;
  }
}

// A local side file whose layout states its git blob SHA-1 is used only when
// its bytes match it: online the hub's copy replaces it, offline it is
// refused. A file with no stated digest is used as it is.
TEST_F(RemoteSnapshotLocalTest, LocalSideFilesMustMatchTheirGitBlobName) {
  const std::string hubBytes = "{\"hub\": true}";
  std::string flippedBytes = hubBytes;
  flippedBytes.back() ^= 0x01;
  std::map<std::string, std::string> hubFiles = files_;
  hubFiles["tokenizer.json"] = hubBytes;
  hub_.reset();
  serve(hubFiles);
  const HuggingFaceRemoteSource pinned = source_.pinned(kHubCommit);
  const auto cacheWith = [&](const std::string& root, std::set<std::string> flipped) {
    HubCacheLayout layout;
    layout.flipped = std::move(flipped);
    writeHubCache(hubFiles, dir_.file(root), kHubRepo, kHubCommit, layout);
    return LocalCheckpoint::inHubCache(dir_.file(root), kHubRepo, kHubCommit);
  };
  const auto copyWith = [&](const std::string& directory, bool metadata, const std::string& bytes) {
    LocalDirLayout layout;
    layout.metadata = metadata;
    writeLocalDir(hubFiles, dir_.file(directory), kHubCommit, layout);
    testutil::writeFile(dir_.file(directory + "/tokenizer.json"), bytes);
    return LocalCheckpoint::inDirectory(dir_.file(directory), kHubCommit);
  };
  const LocalCheckpoint matching = cacheWith("matching", {});
  const LocalCheckpoint flipped = cacheWith("flipped", {"tokenizer.json"});
  const LocalCheckpoint flippedCopy = copyWith("flipped-copy", true, flippedBytes);
  const LocalCheckpoint plainCopy = copyWith("plain-copy", false, "{\"mine\": 1}");
  const auto mismatchOf = [&](const LocalCheckpoint& local) {
    return "local file " + local.find("tokenizer.json")->path +
           " for tokenizer.json does not match its git blob SHA-1 (expected " +
           hubCacheEtag("tokenizer.json", hubBytes) + ", found " +
           hubCacheEtag("tokenizer.json", flippedBytes) + ")";
  };
  const std::string mismatch = mismatchOf(flipped);
  const auto warningOf = [&](const LocalCheckpoint& local) {
    return "warning: " + mismatchOf(local) + "; tokenizer.json is fetched from the hub instead";
  };
  const struct {
    const char* name;
    const LocalCheckpoint* local;
    bool offline;
    std::string outcome;
    std::string content;  // of `out` afterwards
    size_t requests;
    std::vector<std::string> warnings;
  } cases[] = {
      {"matching blob", &matching, false, "ok", hubBytes, 0, {}},
      {"flipped blob online", &flipped, false, "ok", hubBytes, 2, {warningOf(flipped)}},  // HEAD,
                                                                                          // GET
      {"flipped blob offline", &flipped, true, mismatch, "", 0, {}},
      {"flipped --local-dir file online",
       &flippedCopy,
       false,
       "ok",
       hubBytes,
       2,
       {warningOf(flippedCopy)}},
      {"plain copy", &plainCopy, true, "ok", "{\"mine\": 1}", 0, {}},
  };
  const std::string out = dir_.file("side");
  for (const auto& c : cases) {
    std::filesystem::remove(out);
    hub_->clearRequests();
    std::vector<std::string> warnings;
    const SnapshotSources sources{c.local, c.offline,
                                  [&](const std::string& line) { warnings.push_back(line); }};
    EXPECT_EQ(errorOf([&] {
                RemoteSnapshot::fetchSideFile(pinned, sources, "tokenizer.json", 1 << 20, true, out,
                                              &audit_);
              }),
              c.outcome)
        << c.name;
    EXPECT_EQ(warnings, c.warnings) << c.name;
    EXPECT_EQ(std::filesystem::exists(out) ? testutil::readFile(out) : "", c.content) << c.name;
    EXPECT_EQ(hub_->requests().size(), c.requests) << c.name;
  }
}

// config.json read from disk during a load is held to its git blob name too.
TEST_F(RemoteSnapshotLocalTest, ALocalConfigThatFailsItsGitBlobNameIsNotUsed) {
  const LocalCheckpoint local = cache([](HubCacheLayout& l) { l.flipped = {"config.json"}; });
  const RemoteSnapshot online = loadFrom(local, false);
  EXPECT_EQ(testutil::readFile(metadataDirectory() + "/config.json"), files_.at("config.json"));
  EXPECT_EQ(requestedFiles(), std::set<std::string>{"config.json"});
  EXPECT_FALSE(online.localFiles.contains("config.json"));
  EXPECT_EQ(online.remoteFiles.at("config.json").size, files_.at("config.json").size());

  hub_->clearRequests();
  std::string flipped = files_.at("config.json");
  flipped.back() ^= 0x01;
  EXPECT_EQ(errorOf([&] { loadFrom(local, true); }),
            "local file " + local.find("config.json")->path +
                " for config.json does not match its git blob SHA-1 (expected " +
                hubCacheEtag("config.json", files_.at("config.json")) + ", found " +
                hubCacheEtag("config.json", flipped) + ")");
  EXPECT_TRUE(hub_->requests().empty());
}

}  // namespace
