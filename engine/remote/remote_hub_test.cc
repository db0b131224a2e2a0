// The hub client against the loopback test hub: real TLS connections, the
// hub's redirects to signed storage URLs, and every fault the hub can inject.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "engine/common/repack_error.h"
#include "engine/remote/hub_fixture_test_util.h"
#include "tools/test_hub_tls.h"

namespace {

using testutil::errorOf;

constexpr char kShard[] = "model-00001-of-00002.safetensors";
constexpr uint64_t kShardBytes = 300 * 1024 + 17;

std::string pseudoRandom(size_t n, uint32_t seed) {
  std::mt19937 generator(seed);
  std::string out(n, '\0');
  for (char& c : out) c = static_cast<char>(generator() & 0xff);
  return out;
}

// A TCP front for the hub host on loopback. The first `resets` connections
// are reset (SO_LINGER 0) as soon as the client's first TLS bytes arrive,
// that is in the middle of the handshake; every later connection is relayed
// to the hub unchanged, so the hub's certificate and answers come through.
class HandshakeResettingFront {
 public:
  HandshakeResettingFront(uint16_t hubPort, int resets) : hubPort_(hubPort), resetsLeft_(resets) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("front: cannot listen");
    }
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
  }
  ~HandshakeResettingFront() {
    stop_ = true;
    acceptor_.join();
    for (std::thread& relay : relays_) relay.join();
    ::close(listener_);
  }
  HandshakeResettingFront(const HandshakeResettingFront&) = delete;
  HandshakeResettingFront& operator=(const HandshakeResettingFront&) = delete;

  uint16_t port() const { return port_; }
  int resets() const { return resets_; }

 private:
  static sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
  }

  void acceptLoop() {
    while (!stop_) {
      pollfd listening{listener_, POLLIN, 0};
      if (::poll(&listening, 1, 50) <= 0) continue;
      const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      if (resetsLeft_ > 0) {
        --resetsLeft_;
        pollfd hello{client, POLLIN, 0};
        char buffer[4096];
        if (::poll(&hello, 1, 5000) > 0) (void)::recv(client, buffer, sizeof buffer, 0);
        const linger abortive{1, 0};
        ::setsockopt(client, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        ::close(client);
        ++resets_;
        continue;
      }
      relays_.emplace_back([this, client] { relay(client); });
    }
  }

  void relay(int client) const {
    const int hub = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopback(hubPort_);
    if (hub >= 0 &&
        ::connect(hub, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
      pollfd ends[2] = {{client, POLLIN, 0}, {hub, POLLIN, 0}};
      std::vector<char> buffer(65536);
      bool open = true;
      while (open && !stop_) {
        if (::poll(ends, 2, 50) <= 0) continue;
        for (int i = 0; i < 2 && open; ++i) {
          if (ends[i].revents == 0) continue;
          const ssize_t n = ::recv(ends[i].fd, buffer.data(), buffer.size(), 0);
          open = n > 0 && sendAll(ends[1 - i].fd, buffer.data(), static_cast<size_t>(n));
        }
      }
    }
    if (hub >= 0) ::close(hub);
    ::close(client);
  }

  static bool sendAll(int fd, const char* bytes, size_t size) {
    while (size > 0) {
      const ssize_t n = ::send(fd, bytes, size, MSG_NOSIGNAL);
      if (n <= 0) return false;
      bytes += n;
      size -= static_cast<size_t>(n);
    }
    return true;
  }

  uint16_t hubPort_;
  int resetsLeft_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> resets_{0};
  std::thread acceptor_;
  std::vector<std::thread> relays_;
};

class RemoteHubTest : public HubFixture {
 protected:
  void SetUp() override {
    shard_ = pseudoRandom(kShardBytes, 7);
    serve({{"config.json", "{\"model_type\":\"tiny\"}"}, {kShard, shard_}},
          [](TestHubOptions& o) { o.token = kHubToken; });
  }

  RemoteFileInfo shardInfo() { return source_.resolveFileInfo(kShard, &audit_); }

  // Downloads [offset, offset + length) of the shard into a new temporary file
  // and returns its content, or throws.
  std::string download(uint64_t offset, uint64_t length) {
    const RemoteFileInfo info = shardInfo();
    const TemporaryRangeFile file = source_.downloadRangeToTempFile(
        kShard, info, offset, static_cast<int64_t>(length), std::nullopt, {}, &audit_);
    const std::string bytes = testutil::readFile(file.path);
    std::filesystem::remove(file.path);
    return bytes;
  }

  // The retry records of range downloads, as (attempt, detail).
  std::vector<std::pair<int64_t, std::string>> rangeRetries() const {
    std::vector<std::pair<int64_t, std::string>> out;
    for (const auto& r : audit_.remoteRetries) {
      EXPECT_EQ(r.label, std::string("downloadRangeToTempFile:") + kShard);
      out.emplace_back(r.attempt, r.detail);
    }
    return out;
  }

  // The storage URL of the shard as error messages show it (no query).
  std::string storageObjectURL() const {
    for (const HubRequest& r : hub_->requests()) {
      if (r.host == HubHost::storage) {
        return hub_->storageURL() + r.target.substr(0, r.target.find('?'));
      }
    }
    return "<none>";
  }

  std::string shard_;
};

TEST_F(RemoteHubTest, ShardMetadataComesFromTheHubsRedirect) {
  const RemoteFileInfo info = shardInfo();
  const HubFileFacts facts = hub_->facts(kShard);
  EXPECT_EQ(info, (RemoteFileInfo{kShard, kHubCommit, kShardBytes, "\"" + facts.sha256 + "\"",
                                  facts.xetHash, true}));
  // The HEAD stayed on the hub host and carried the token there.
  const std::vector<HubRequest> heads = requestsFor(kShard, "HEAD");
  ASSERT_EQ(heads.size(), 1u);
  EXPECT_EQ(heads[0].host, HubHost::hub);
  EXPECT_EQ(heads[0].header("Authorization"), std::string("Bearer ") + kHubToken);
  EXPECT_EQ(heads[0].header("Accept-Encoding"), "identity");
}

TEST_F(RemoteHubTest, RangesComeFromSignedStorageWithoutTheToken) {
  EXPECT_EQ(download(1000, 70000), shard_.substr(1000, 70000));
  EXPECT_EQ(download(kShardBytes - 1, 1), shard_.substr(kShardBytes - 1));
  // The second range goes straight to the storage URL the first was sent
  // to, still without the token.
  const std::vector<HubRequest> gets = requestsFor(kShard, "GET");
  ASSERT_EQ(gets.size(), 3u);  // hub, storage, storage
  EXPECT_EQ(gets[0].header("Authorization"), std::string("Bearer ") + kHubToken);
  EXPECT_EQ(gets[1].host, HubHost::storage);
  EXPECT_EQ(gets[1].header("Range"), "bytes=1000-70999");
  EXPECT_EQ(gets[2].host, HubHost::storage);
  EXPECT_EQ(gets[2].target, gets[1].target);
  EXPECT_EQ(gets[2].header("Authorization"), std::nullopt);
  EXPECT_EQ(gets[2].header("Range"),
            "bytes=" + std::to_string(kShardBytes - 1) + "-" + std::to_string(kShardBytes - 1));
  EXPECT_EQ(gets[0].target,
            "/velquor-test/tiny-moe/resolve/" + std::string(kHubCommit) + "/" + kShard);
  EXPECT_TRUE(audit_.remoteRetries.empty());
}

// Sequential requests travel on one kept-alive connection per host; the
// token still goes only where it is asked for, request by request.
TEST_F(RemoteHubTest, SequentialRequestsReuseOneConnectionPerHost) {
  const RemoteFileInfo info = shardInfo();
  for (uint64_t i = 0; i < 6; ++i) {
    EXPECT_EQ(download(i * 40000, 40000), shard_.substr(i * 40000, 40000)) << i;
  }
  EXPECT_EQ(requestsFor(kShard, "GET").size(), 1u + 6);  // one redirect, then storage only
  EXPECT_EQ(hub_->connectionsUsed(HubHost::hub), 1u);
  EXPECT_EQ(hub_->connectionsUsed(HubHost::storage), 1u);

  // A request without the token on the connection a request with it used.
  HuggingFaceRemoteSource anonymous = source_;
  anonymous.token.reset();
  hub_->clearRequests();
  EXPECT_THROW(anonymous.resolveFileInfo("config.json", &audit_), RepackError);  // 401
  source_.resolveFileInfo("config.json", &audit_);
  EXPECT_THROW(anonymous.resolveFileInfo("config.json", &audit_), RepackError);
  const std::vector<HubRequest> heads = hub_->requests();
  ASSERT_EQ(heads.size(), 3u);
  EXPECT_EQ(hub_->connectionsUsed(), 1u);
  EXPECT_EQ(heads[0].header("Authorization"), std::nullopt);
  EXPECT_EQ(heads[1].header("Authorization"), std::string("Bearer ") + kHubToken);
  EXPECT_EQ(heads[2].header("Authorization"), std::nullopt);
}

// An exchange that ended before its response did (the receiver stopped with
// body bytes still on the wire, or the transfer failed) closes its
// connection: the next request gets a fresh one and the right bytes, and the
// connection after that is kept again. A short error answer is read to its
// end and its connection kept.
TEST_F(RemoteHubTest, AnExchangeEndedEarlyLeavesNoConnectionBehind) {
  const RemoteFileInfo info = shardInfo();
  struct Case {
    HubFault fault;
    bool keepsConnection;
  };
  const std::vector<Case> cases = {
      {HubFault::ignoreRange().onHost(HubHost::storage), false},         // stopped at a 200
      {HubFault::overlongBody(100000).onHost(HubHost::storage), false},  // stopped in the body
      {HubFault::contentLength("99").onHost(HubHost::storage), false},   // framing not trusted
      {HubFault::cutBody(4096).onHost(HubHost::storage), false},         // cut, then retried
      {HubFault::stall(1000, std::chrono::seconds(3)).onHost(HubHost::storage),
       false},  // timed out
      {HubFault::status(404).onHost(HubHost::storage), true},
  };
  RemoteDownloadSessionPolicy policy;
  policy.requestTimeoutSeconds = 1;
  source_ = makeSource(policy);
  for (const Case& c : cases) {
    const std::string name = c.fault.describe();
    hub_->clearFaults();
    hub_->clearRequests();
    hub_->inject(c.fault);
    try {
      download(0, 100000);
    } catch (const RepackError&) {
    }
    ASSERT_EQ(hub_->pendingFaults(), 0u) << name;
    EXPECT_EQ(download(500, 70000), shard_.substr(500, 70000)) << name;
    EXPECT_EQ(download(1, 2), shard_.substr(1, 2)) << name;

    std::vector<HubRequest> storage;
    for (const HubRequest& r : hub_->requests()) {
      if (r.host == HubHost::storage) storage.push_back(r);
    }
    ASSERT_GE(storage.size(), 3u) << name;
    ASSERT_NE(storage[0].fault, "") << name;
    const HubRequest& next = storage[storage.size() - 2];
    EXPECT_EQ(next.remotePort == storage[0].remotePort, c.keepsConnection) << name;
    EXPECT_EQ(storage.back().remotePort, next.remotePort) << name;
  }
}

// A connection the server dropped without answering, found when the kept
// connection is next used, is taken as closed while idle: libcurl sends the
// request once more on a fresh connection, without a retry of ours.
TEST_F(RemoteHubTest, AKeptConnectionDroppedUnansweredIsReplacedAtOnce) {
  const RemoteFileInfo info = shardInfo();
  EXPECT_EQ(download(0, 10), shard_.substr(0, 10));  // keeps a storage connection
  hub_->clearRequests();
  hub_->inject(HubFault::dropConnection().onHost(HubHost::storage));
  EXPECT_EQ(download(5, 1000), shard_.substr(5, 1000));
  EXPECT_TRUE(audit_.remoteRetries.empty());
  const std::vector<HubRequest> gets = requestsFor(kShard, "GET");
  ASSERT_EQ(gets.size(), 2u);  // the dropped request, the one resent (the URL is kept)
  EXPECT_EQ(gets[0].fault, "drop connection");
  EXPECT_NE(gets[1].remotePort, gets[0].remotePort);
}

// Several threads at once on the one process-wide client: every answer is
// right, and no thread opens more than the storage connection it keeps.
TEST_F(RemoteHubTest, ConcurrentRequestsShareThePoolSafely) {
  const RemoteFileInfo info = shardInfo();
  constexpr int kThreads = 6;
  constexpr int kRangesEach = 5;
  std::vector<std::string> mismatches(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRangesEach; ++i) {
        const uint64_t offset = static_cast<uint64_t>(t * 37000 + i * 1111);
        const std::string target = dir_.file("t" + std::to_string(t) + "-" + std::to_string(i));
        try {
          source_.downloadRangeToTempFile(kShard, info, offset, 20000, target, {}, nullptr);
          if (testutil::readFile(target) != shard_.substr(offset, 20000)) {
            mismatches[t] += "wrong bytes at " + std::to_string(offset) + "; ";
          }
        } catch (const std::exception& error) {
          mismatches[t] += std::string(error.what()) + "; ";
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], "") << t;
  size_t resolves = 0, storage = 0;
  for (const HubRequest& r : requestsFor(kShard, "GET")) {
    (r.host == HubHost::hub ? resolves : storage) += 1;
  }
  EXPECT_EQ(storage, static_cast<size_t>(kThreads * kRangesEach));
  EXPECT_GE(resolves, 1u);
  EXPECT_LE(resolves, static_cast<size_t>(kThreads));
  EXPECT_LE(hub_->connectionsUsed(HubHost::storage), static_cast<size_t>(kThreads));
}

TEST_F(RemoteHubTest, RenamedRepositoryIsFollowedOnTheHubHost) {
  hub_.reset();
  serve({{"config.json", "{}"}}, [](TestHubOptions& o) {
    o.formerRepoIDs = {"velquor-test/old-name"};
    o.token = kHubToken;
  });
  source_.repoID = "velquor-test/old-name";
  const RemoteFileInfo info = source_.resolveFileInfo("config.json", nullptr);
  EXPECT_EQ(info.size, 2u);
  const std::vector<HubRequest> requests = hub_->requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].status, 307);
  for (const HubRequest& r : requests) {
    EXPECT_EQ(r.method, "HEAD");
    EXPECT_EQ(r.header("Authorization"), std::string("Bearer ") + kHubToken);
  }
}

TEST_F(RemoteHubTest, MetadataErrors) {
  EXPECT_EQ(
      errorOf([&] { source_.resolveFileInfo("missing.json", &audit_); }),
      "remote HTTP 404: " + hub_->baseURL() + "/velquor-test/tiny-moe/resolve/main/missing.json");
  HuggingFaceRemoteSource anonymous = source_;
  anonymous.token.reset();
  EXPECT_EQ(
      errorOf([&] { anonymous.resolveFileInfo("config.json", &audit_); }),
      "remote HTTP 401: " + hub_->baseURL() + "/velquor-test/tiny-moe/resolve/main/config.json");
  hub_->inject(
      HubFault::header("X-Repo-Commit", std::string(kHubCommit).substr(1)).on("config.json"));
  EXPECT_EQ(errorOf([&] { source_.resolveFileInfo("config.json", &audit_); }),
            "remote protocol invalid: missing full X-Repo-Commit for config.json");
  hub_->inject(HubFault::removeHeader("X-Linked-Size").on(kShard));
  EXPECT_EQ(errorOf([&] { shardInfo(); }),
            std::string("remote protocol invalid: missing remote size for ") + kShard);
  EXPECT_TRUE(audit_.remoteRetries.empty());
}

// Faults that a fresh attempt cures: each is retried once, recorded, and the
// second attempt delivers the right bytes.
TEST_F(RemoteHubTest, TransientFaultsAreRetriedAndRecorded) {
  const RemoteFileInfo info = shardInfo();
  struct Case {
    std::string name;
    HubFault fault;
    std::function<std::string()> detail;
  };
  const std::vector<Case> cases = {
      {"503 with Retry-After", HubFault::status(503).withRetryAfter("1").onHost(HubHost::storage),
       [&] { return "remote HTTP 503: " + storageObjectURL() + ", Retry-After 1"; }},
      {"429 on the hub", HubFault::status(429).onHost(HubHost::hub).onMethod("GET"),
       [&] { return "remote HTTP 429: " + hub_->fileURL(kShard); }},
      {"connection cut", HubFault::cutBody(4096).onHost(HubHost::storage),
       [] {
         return std::string("remote body for ") + kShard +
                " was truncated: expected 100000, received 4096";
       }},
      {"502 on storage", HubFault::status(502).onHost(HubHost::storage),
       [&] { return "remote HTTP 502: " + storageObjectURL(); }},
      // The first drop meets the connection the previous case kept, which
      // libcurl replaces at once; the second meets the fresh one.
      {"connection dropped unanswered",
       HubFault::dropConnection().onHost(HubHost::storage).times(2),
       [] {
         return std::string("network error (network connection lost): Empty reply from server");
       }},
  };
  for (const Case& c : cases) {
    audit_.remoteRetries.clear();
    pauses_.clear();
    hub_->clearRequests();
    source_.storageURLs = std::make_shared<StorageURLCache>();  // every case starts at the hub
    hub_->inject(c.fault);
    const TemporaryRangeFile file =
        source_.downloadRangeToTempFile(kShard, info, 5, 100000, std::nullopt, {}, &audit_);
    EXPECT_EQ(testutil::readFile(file.path), shard_.substr(5, 100000)) << c.name;
    std::filesystem::remove(file.path);
    EXPECT_EQ(rangeRetries(), (std::vector<std::pair<int64_t, std::string>>{{1, c.detail()}}))
        << c.name;
    ASSERT_EQ(pauses_.size(), 1u) << c.name;
    EXPECT_EQ(pauses_[0], 1000000000u) << c.name;  // Retry-After 1 equals the back-off
  }
}

TEST_F(RemoteHubTest, PersistentOverloadUsesEveryAttempt) {
  const RemoteFileInfo info = shardInfo();
  hub_->inject(HubFault::status(503).onHost(HubHost::storage).always());
  const std::string error = errorOf(
      [&] { source_.downloadRangeToTempFile(kShard, info, 0, 10, std::nullopt, {}, &audit_); });
  EXPECT_EQ(error, "remote HTTP 503: " + storageObjectURL());
  EXPECT_EQ(audit_.remoteRetries.size(), 3u);
  EXPECT_EQ(audit_.remoteRangeRetries, 3u);
  EXPECT_EQ(pauses_, (std::vector<uint64_t>{1000000000, 2000000000, 4000000000}));
}

TEST_F(RemoteHubTest, RetryAfterDatesInAllThreeForms) {
  const RemoteFileInfo info = shardInfo();
  for (const HTTPDateForm form :
       {HTTPDateForm::imfFixdate, HTTPDateForm::rfc850, HTTPDateForm::asctime}) {
    pauses_.clear();
    const std::string date =
        formatHTTPDate(std::chrono::system_clock::now() + std::chrono::seconds(30), form);
    hub_->inject(HubFault::status(503).withRetryAfter(date).onHost(HubHost::storage));
    std::filesystem::remove(
        source_.downloadRangeToTempFile(kShard, info, 0, 10, std::nullopt, {}, &audit_).path);
    ASSERT_EQ(pauses_.size(), 1u) << date;
    EXPECT_GT(pauses_[0], 25000000000u) << date;  // the server's date, not the 1 s back-off
    EXPECT_LE(pauses_[0], 30000000000u) << date;
  }
}

// A 429 whose RateLimit header says when the window resets, and no
// Retry-After: the pause lasts until a second after the reset.
TEST_F(RemoteHubTest, RateLimitResetDecidesThePause) {
  const RemoteFileInfo info = shardInfo();
  hub_->inject(HubFault::status(429)
                   .withHeader("RateLimit", "\"resolvers\";r=0;t=7")
                   .onHost(HubHost::storage));
  std::filesystem::remove(
      source_.downloadRangeToTempFile(kShard, info, 0, 10, std::nullopt, {}, &audit_).path);
  EXPECT_EQ(pauses_, (std::vector<uint64_t>{8000000000}));
}

// Faults that no retry can cure end the download at once with their message.
TEST_F(RemoteHubTest, FinalFaultsEndTheDownloadAtOnce) {
  const RemoteFileInfo info = shardInfo();
  const std::string name = kShard;
  const std::string prefix = "remote protocol invalid: ";
  struct Case {
    HubFault fault;
    std::function<std::string()> error;
  };
  const std::vector<Case> cases = {
      {HubFault::status(404).onHost(HubHost::storage),
       [&] { return "remote HTTP 404: " + storageObjectURL(); }},
      {HubFault::status(501).onHost(HubHost::storage),
       [&] { return "remote HTTP 501: " + storageObjectURL(); }},
      {HubFault::status(503).withRetryAfter("3601").onHost(HubHost::storage),
       [] { return std::string("remote Retry-After 3601 exceeds 3600-second cap"); }},
      {HubFault::status(503).withRetryAfter("whenever").onHost(HubHost::storage),
       [&] { return prefix + "invalid Retry-After whenever"; }},
      {HubFault::ignoreRange().onHost(HubHost::storage),
       [&] { return "remote HTTP 200: " + storageObjectURL(); }},
      {HubFault::contentEncoding("gzip").onHost(HubHost::storage),
       [&] { return prefix + "compressed range response for " + name; }},
      {HubFault::contentLength("99").onHost(HubHost::storage),
       [&] { return prefix + "wrong Content-Length for " + name; }},
      {HubFault::contentRange("bytes 1-100/" + std::to_string(kShardBytes))
           .onHost(HubHost::storage),
       [&] { return prefix + "wrong Content-Range bytes 1-100/" + std::to_string(kShardBytes); }},
      {HubFault::contentRange("bytes 0-99/*").onHost(HubHost::storage),
       [&] { return prefix + "wrong Content-Range bytes 0-99/*"; }},
      {HubFault::removeHeader("Content-Range").onHost(HubHost::storage),
       [&] { return prefix + "missing Content-Range for " + name; }},
      {HubFault::weakETag().onHost(HubHost::storage),
       [&] { return prefix + "final ranged validator differs for " + name; }},
      {HubFault::etag("\"" + std::string(64, '0') + "\"").onHost(HubHost::storage),
       [&] { return prefix + "final ranged validator differs for " + name; }},
      {HubFault::redirect(HubRedirect::plainHTTP).onHost(HubHost::hub).onMethod("GET"),
       [&] {
         return "remote redirect rejected for http://localhost:" + std::to_string(hub_->port()) +
                "/velquor-test/tiny-moe/resolve/" + kHubCommit + "/" + name +
                ": only HTTPS redirects are allowed";
       }},
      {HubFault::redirect(HubRedirect::sameHost).onHost(HubHost::hub).onMethod("GET").times(6),
       [&] {
         return "remote redirect rejected for " + hub_->fileURL(name) + ": more than 5 redirects";
       }},
  };
  for (const Case& c : cases) {
    hub_->clearFaults();
    hub_->clearRequests();
    audit_.remoteRetries.clear();
    hub_->inject(c.fault);
    const std::string target = dir_.file("out.bin");
    const std::string error = errorOf(
        [&] { source_.downloadRangeToTempFile(kShard, info, 0, 100, target, {}, &audit_); });
    EXPECT_EQ(error, c.error()) << c.fault.describe();
    EXPECT_TRUE(audit_.remoteRetries.empty()) << c.fault.describe();
    EXPECT_FALSE(std::filesystem::exists(target)) << c.fault.describe();
  }
}

TEST_F(RemoteHubTest, ExcessBodyBytesAreRefused) {
  const RemoteFileInfo info = shardInfo();
  hub_->inject(HubFault::overlongBody(10).onHost(HubHost::storage));
  const std::string error = errorOf(
      [&] { source_.downloadRangeToTempFile(kShard, info, 0, 100, std::nullopt, {}, &audit_); });
  const std::string expected = std::string("remote body for ") + kShard + " exceeded 100 bytes at ";
  ASSERT_TRUE(error.starts_with(expected)) << error;
  EXPECT_GT(std::stoull(error.substr(expected.size())), 100u);
  EXPECT_TRUE(audit_.remoteRetries.empty());
}

TEST_F(RemoteHubTest, ExpiredSignatureIsFinalAndNeverShowsTheQuery) {
  hub_.reset();
  serve({{kShard, shard_}},
        [](TestHubOptions& o) { o.signedURLLifetime = std::chrono::seconds(-60); });
  const RemoteFileInfo info = shardInfo();
  const std::string error = errorOf(
      [&] { source_.downloadRangeToTempFile(kShard, info, 0, 10, std::nullopt, {}, &audit_); });
  EXPECT_EQ(error, "remote HTTP 403: " + storageObjectURL());
  EXPECT_EQ(error.find("Signature"), std::string::npos);
}

// A kept storage URL that the storage host refuses is resolved again within
// the attempt (no retry); refused again, the refusal is final as ever.
TEST_F(RemoteHubTest, ARefusedStorageURLIsResolvedAgainOnce) {
  EXPECT_EQ(download(0, 10), shard_.substr(0, 10));  // keeps the storage URL
  hub_->clearRequests();
  hub_->inject(HubFault::status(403).onHost(HubHost::storage));
  EXPECT_EQ(download(100, 1000), shard_.substr(100, 1000));
  std::vector<HubRequest> gets = requestsFor(kShard, "GET");
  ASSERT_EQ(gets.size(), 3u);
  EXPECT_EQ(gets[0].status, 403);
  EXPECT_EQ(gets[1].host, HubHost::hub);
  EXPECT_EQ(gets[2].status, 206);

  hub_->clearRequests();
  hub_->inject(HubFault::status(403).onHost(HubHost::storage).times(2));
  const std::string error = errorOf([&] { download(0, 10); });
  EXPECT_EQ(error, "remote HTTP 403: " + storageObjectURL());
  gets = requestsFor(kShard, "GET");
  ASSERT_EQ(gets.size(), 3u);  // kept URL refused, the hub's redirect, fresh URL refused
  EXPECT_EQ(gets[1].host, HubHost::hub);
  EXPECT_TRUE(audit_.remoteRetries.empty());
}

TEST_F(RemoteHubTest, ATokenThatLeftTheHubNeverComesBack) {
  hub_.reset();
  serve({{kShard, shard_}});  // the hub does not insist on the token
  const RemoteFileInfo info = shardInfo();
  hub_->clearRequests();
  hub_->inject(
      HubFault::redirect(HubRedirect::crossHostAndBack).onHost(HubHost::hub).onMethod("GET"));
  EXPECT_EQ(download(0, 1000), shard_.substr(0, 1000));
  std::vector<HubRequest> gets;
  for (const HubRequest& r : hub_->requests()) {
    if (r.method == "GET") gets.push_back(r);
  }
  ASSERT_GE(gets.size(), 4u);
  EXPECT_EQ(gets[0].header("Authorization"), std::string("Bearer ") + kHubToken);
  for (size_t i = 1; i < gets.size(); ++i) {
    EXPECT_EQ(gets[i].header("Authorization"), std::nullopt) << i << " " << gets[i].target;
    EXPECT_EQ(gets[i].header("Range"), "bytes=0-999") << i;
  }
}

TEST_F(RemoteHubTest, AnotherPortOfTheHubsHostNeverGetsTheToken) {
  // The storage listener under the hub's host name is the same host on
  // another port: another origin.
  EXPECT_EQ(download(0, 1000), shard_.substr(0, 1000));
  std::string signedTarget;
  for (const HubRequest& r : hub_->requests()) {
    if (r.host == HubHost::storage) signedTarget = r.target;
  }
  ASSERT_FALSE(signedTarget.empty());
  const std::string otherPort =
      "https://localhost:" + std::to_string(hub_->storagePort()) + signedTarget;
  ASSERT_EQ(hub_->baseURL(), "https://localhost:" + std::to_string(hub_->port()));
  hub_->clearRequests();
  hub_->inject(HubFault::header("Location", otherPort).onHost(HubHost::hub).onMethod("HEAD"));
  hub_->inject(HubFault::redirectTo(otherPort).onHost(HubHost::hub).onMethod("GET"));

  EXPECT_EQ(download(1000, 2000), shard_.substr(1000, 2000));
  std::vector<HubRequest> storage;
  for (const HubRequest& r : hub_->requests()) {
    if (r.host == HubHost::hub) {
      EXPECT_EQ(r.header("Authorization"), std::string("Bearer ") + kHubToken) << r.target;
      EXPECT_FALSE(r.fault.empty()) << r.method;
    } else {
      storage.push_back(r);
    }
  }
  // The metadata request took the hub's redirect as its answer; only the
  // ranged GET went to the other port, without the token.
  ASSERT_EQ(storage.size(), 1u);
  EXPECT_EQ(storage[0].method, "GET");
  EXPECT_EQ(storage[0].header("Range"), "bytes=1000-2999");
  EXPECT_EQ(storage[0].header("Authorization"), std::nullopt);
}

TEST_F(RemoteHubTest, StalledAndSlowAnswersTimeOutAndAreRetried) {
  RemoteDownloadSessionPolicy policy;
  policy.requestTimeoutSeconds = 1;
  source_ = makeSource(policy);
  const RemoteFileInfo info = shardInfo();
  hub_->inject(HubFault::stall(1000, std::chrono::seconds(4)).onHost(HubHost::storage));
  hub_->inject(HubFault::delay(std::chrono::seconds(4)).onHost(HubHost::storage));
  EXPECT_EQ(download(0, 5000), shard_.substr(0, 5000));
  const auto retries = rangeRetries();
  ASSERT_EQ(retries.size(), 2u);
  for (const auto& [attempt, detail] : retries) {
    EXPECT_TRUE(detail.starts_with("network error (timed out): ")) << detail;
  }
}

TEST_F(RemoteHubTest, UnreachableHubIsRetriedThenReported) {
  const std::string base = hub_->baseURL();
  hub_->stop();
  source_.baseURL = base;
  const std::string error = errorOf([&] { source_.resolveFileInfo("config.json", &audit_); });
  EXPECT_TRUE(error.starts_with("network error (cannot connect to host): ")) << error;
  EXPECT_EQ(audit_.remoteRetries.size(), 3u);
  EXPECT_EQ(audit_.remoteRetries[0].label, "resolveFileInfo:config.json");
}

TEST_F(RemoteHubTest, ATokenCannotSmuggleHeaderLines) {
  source_.token = std::string(kHubToken) + "\r\nX-Injected: 1";
  EXPECT_EQ(errorOf([&] { source_.resolveFileInfo("config.json", &audit_); }),
            "configuration invalid: invalid HTTP header Authorization");
  EXPECT_TRUE(hub_->requests().empty());
  EXPECT_TRUE(audit_.remoteRetries.empty());
}

TEST_F(RemoteHubTest, UntrustedCertificateIsFinal) {
  shardInfo();  // leaves a connection verified with the right authority in the pool
  hub_->clearRequests();
  // An unusable CA file, and a valid CA that did not sign the hub's certificate.
  const std::vector<std::pair<std::string, std::string>> bundles = {
      {"empty-ca.pem", ""},
      {"foreign-ca.pem", makeHubCertificates({"localhost"}, {"127.0.0.1"}).caPEM},
  };
  for (const auto& [name, pem] : bundles) {
    testutil::writeFile(dir_.file(name), pem);
    source_ = makeSource({}, dir_.file(name));
    const std::string error = errorOf([&] { source_.resolveFileInfo("config.json", &audit_); });
    EXPECT_TRUE(error.starts_with("network error (transfer failed): ")) << name << ": " << error;
    EXPECT_TRUE(audit_.remoteRetries.empty()) << name;
  }
  EXPECT_TRUE(hub_->requests().empty());
}

TEST_F(RemoteHubTest, AResetDuringTheTLSHandshakeIsRetried) {
  HandshakeResettingFront front(hub_->port(), 1);
  source_.baseURL = "https://localhost:" + std::to_string(front.port());
  const RemoteFileInfo info = source_.resolveFileInfo("config.json", &audit_);
  EXPECT_EQ(info.size, 21u);
  EXPECT_EQ(front.resets(), 1);
  ASSERT_EQ(audit_.remoteRetries.size(), 1u);
  EXPECT_EQ(audit_.remoteRetries[0].label, "resolveFileInfo:config.json");
  EXPECT_TRUE(
      audit_.remoteRetries[0].detail.starts_with("network error (network connection lost): "))
      << audit_.remoteRetries[0].detail;
  EXPECT_EQ(pauses_.size(), 1u);
  EXPECT_EQ(hub_->requests().size(), 1u);  // the reset connection never reached the hub
}

TEST_F(RemoteHubTest, CancellationDuringATransferStopsIt) {
  const RemoteFileInfo info = shardInfo();
  hub_->inject(HubFault::throttle(20000).onHost(HubHost::storage));
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    token_.cancel();
  });
  EXPECT_THROW(
      source_.downloadRangeToTempFile(kShard, info, 0, kShardBytes, std::nullopt, {}, &audit_),
      CancellationError);
  canceller.join();
  EXPECT_TRUE(audit_.remoteRetries.empty());
}

TEST_F(RemoteHubTest, CancellationDuringABackOffPauseStopsIt) {
  RemoteDownloadSessionOptions options;
  options.caBundlePath = hub_->caFile();
  options.cancellation = &token_;  // the real, cancellable sleeper
  source_.downloadSession =
      std::make_shared<const RemoteDownloadSession>(RemoteDownloadSessionPolicy{}, options);
  const RemoteFileInfo info = shardInfo();
  hub_->inject(HubFault::status(503).withRetryAfter("3000").onHost(HubHost::storage));
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    token_.cancel();
  });
  EXPECT_THROW(source_.downloadRangeToTempFile(kShard, info, 0, 10, std::nullopt, {}, &audit_),
               CancellationError);
  canceller.join();
  ASSERT_EQ(audit_.remoteRetries.size(), 1u);  // the retry was recorded before the pause
}

}  // namespace
