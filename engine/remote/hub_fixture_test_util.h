// The loopback test hub with a hub source wired to it, for the hub client's
// integration tests. The retry environment records pauses instead of
// sleeping; every test ends by checking that no token reached the storage
// host and that no temporary file was left behind.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/common/repack_audit.h"
#include "engine/io/sha256_stream.h"
#include "engine/plan/plan_fixtures.h"
#include "engine/plan/range_copy_plan.h"
#include "engine/remote/hugging_face_source.h"
#include "format/little_endian.h"
#include "tests/test_util.h"
#include "tools/checkpoint_files.h"
#include "tools/test_hub.h"

inline constexpr char kHubRepo[] = "velquor-test/tiny-moe";
inline constexpr char kHubCommit[] = "89abcdef0123456789abcdef0123456789abcdef";
inline constexpr char kHubToken[] = "hf_test_secret";

// The regular files of a directory, read into memory (small checkpoints only).
inline std::map<std::string, std::string> readCheckpointDirectory(const std::string& directory) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(directory)) {
    if (!entry.is_regular_file()) continue;
    files[std::filesystem::relative(entry.path(), directory).string()] =
        testutil::readFile(entry.path().string());
  }
  return files;
}

// Replaces the data area of a safetensors shard (everything after its
// header) with pseudo-random bytes, so that copies of the wrong bytes show.
inline void randomizeDataArea(std::string& shard, uint32_t seed) {
  uint64_t headerBytes = 0;
  for (int i = 7; i >= 0; --i) headerBytes = (headerBytes << 8) | static_cast<uint8_t>(shard[i]);
  std::mt19937 generator(seed);
  for (size_t i = 8 + headerBytes; i < shard.size(); ++i) {
    shard[i] = static_cast<char>(generator() & 0xff);
  }
}

// The destination digest recomputed from the source bytes: what the range's
// destinations must hold once it is copied.
inline std::string digestFromSource(const CoalescedRangeCopy& range, const std::string& root,
                                    const CheckpointFiles& files) {
  Sha256Stream s;
  const auto integer = [&s](uint64_t v) {
    uint8_t b[8];
    little_endian::store<uint64_t>(b, v);
    s.update(b, 8);
  };
  const auto text = [&](const std::string& t) {
    integer(t.size());
    s.update(t.data(), t.size());
  };
  text("Velquor.RemoteRangeDestination.v1");
  text(range.id);
  integer(range.destinations.size());
  for (const RangeCopy& d : range.destinations) {
    text(d.destinationPath.substr(root.size() + 1));
    integer(d.destinationOffset);
    integer(d.sourceOffset - range.sourceOffset);
    integer(d.size);
    std::vector<uint8_t> bytes(d.size);
    files.read(d.shardID, d.sourceOffset, bytes);
    s.update(bytes.data(), bytes.size());
  }
  return s.finalizeHex();
}

// A two-layer checkpoint with routed experts, one layer per shard, written
// under `directory` and read back with pseudo-random tensor data from `seed`:
// the small model the copy engines are tested on.
inline std::map<std::string, std::string> twoShardExpertCheckpoint(const std::string& directory,
                                                                   uint32_t seed) {
  using Dtype = SourceTensor::Dtype;
  plan_fixtures::Checkpoint c;
  c.quantized("language_model.model.embed_tokens", {256, 64});
  for (int layer = 0; layer < 2; ++layer) {
    const std::string p = "language_model.model.layers." + std::to_string(layer);
    const std::string shard = layer == 0 ? plan_fixtures::kShard1 : plan_fixtures::kShard2;
    c.quantized(p + ".self_attn.q_proj", {64, 64}, 4, shard)
        .tensor(p + ".input_layernorm.weight", Dtype::bf16, {64}, shard)
        .experts(p + ".experts.switch_glu.gate_proj", 4, 32, 64, 4, shard)
        .experts(p + ".experts.switch_glu.up_proj", 4, 32, 64, 4, shard)
        .experts(p + ".experts.switch_glu.down_proj", 4, 64, 32, 4, shard);
  }
  c.tensor("language_model.model.norm.weight", Dtype::bf16, {64});
  std::filesystem::create_directories(directory);
  c.writeDirectory(directory, plan_fixtures::gemma4Config(2, 4));
  std::map<std::string, std::string> files = readCheckpointDirectory(directory);
  for (auto& [name, bytes] : files) {
    if (name.ends_with(".safetensors")) randomizeDataArea(bytes, seed++);
  }
  return files;
}

class HubFixture : public ::testing::Test {
 protected:
  void TearDown() override {
    if (hub_) {
      for (const HubRequest& r : hub_->requests()) {
        if (r.host == HubHost::storage) {
          EXPECT_EQ(r.header("Authorization"), std::nullopt) << "token sent to " << r.target;
        }
      }
    }
    EXPECT_TRUE(temporaryFilesLeft().empty()) << temporaryFilesLeft().front();
  }

  // Serves `files` and points source_ at the hub. `adjust` may change the
  // hub's options before it starts.
  void serve(std::map<std::string, std::string> files,
             const std::function<void(TestHubOptions&)>& adjust = {}) {
    serve(std::make_shared<MemoryCheckpoint>(std::move(files)), adjust);
  }
  void serve(std::shared_ptr<const CheckpointFiles> files,
             const std::function<void(TestHubOptions&)>& adjust = {}) {
    ::setenv("no_proxy", "localhost,127.0.0.1", 1);  // loopback never goes through a proxy
    ::setenv("NO_PROXY", "localhost,127.0.0.1", 1);
    TestHubOptions options;
    options.repoID = kHubRepo;
    options.revision = kHubCommit;
    options.files = std::move(files);
    if (adjust) adjust(options);
    hub_ = TestHub::start(std::move(options));
    source_ = makeSource();
  }

  // `caBundlePath` replaces the hub's CA.
  HuggingFaceRemoteSource makeSource(RemoteDownloadSessionPolicy policy = {},
                                     std::optional<std::string> caBundlePath = {}) {
    RemoteDownloadSessionOptions options;
    options.caBundlePath = caBundlePath ? *caBundlePath : hub_->caFile();
    options.cancellation = &token_;
    RemoteRetryEnvironment environment;
    environment.now = [] { return std::chrono::system_clock::now(); };
    environment.jitter = [] { return uint64_t{0}; };
    environment.sleeper = [this](uint64_t ns) { pauses_.push_back(ns); };
    options.retryEnvironment = environment;
    HuggingFaceRemoteSource source;
    source.repoID = kHubRepo;
    source.requestedRevision = "main";
    source.token = kHubToken;
    source.baseURL = hub_->baseURL();
    source.tempDirectory = dir_.file("tmp");
    source.downloadSession = std::make_shared<const RemoteDownloadSession>(policy, options);
    return source;
  }

  // Files in the source's temporary directory.
  std::vector<std::string> temporaryFilesLeft() const {
    std::vector<std::string> out;
    if (!std::filesystem::exists(dir_.file("tmp"))) return out;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.file("tmp"))) {
      out.push_back(entry.path().string());
    }
    return out;
  }

  // The requests the hub received with the given method for a file.
  std::vector<HubRequest> requestsFor(const std::string& file, const std::string& method) const {
    std::vector<HubRequest> out;
    for (const HubRequest& r : hub_->requests()) {
      if (r.file == file && r.method == method) out.push_back(r);
    }
    return out;
  }

  testutil::TempDir dir_;
  CancellationToken token_;
  std::unique_ptr<TestHub> hub_;
  HuggingFaceRemoteSource source_;
  RepackAudit audit_;
  std::vector<uint64_t> pauses_;
};
