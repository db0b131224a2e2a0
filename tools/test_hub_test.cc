#include "tools/test_hub.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>

#include "engine/io/sha256_stream.h"
#include "tests/test_util.h"
#include "tools/checkpoint_files.h"

extern char** environ;

namespace {

constexpr char kRepo[] = "velquor-test/tiny-moe";
constexpr char kCommit[] = "0123456789abcdef0123456789abcdef01234567";
constexpr char kShard1[] = "model-00001-of-00002.safetensors";
constexpr char kShard2[] = "model-00002-of-00002.safetensors";

std::string pseudoRandomBytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string out(n, '\0');
  for (char& c : out) c = static_cast<char>(gen() & 0xff);
  return out;
}

std::string sha256Hex(const std::string& bytes) {
  Sha256Stream s;
  s.update(bytes.data(), bytes.size());
  return s.finalizeHex();
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// One HTTP exchange through libcurl: no redirects followed, the test hub's CA
// trusted, no proxy, body delivered exactly as received.
struct Reply {
  CURLcode code = CURLE_OK;
  long status = 0;
  std::vector<std::pair<std::string, std::string>> headers;  // names lower-cased
  std::string body;

  std::optional<std::string> header(const std::string& name) const {
    for (const auto& [k, v] : headers) {
      if (k == lower(name)) return v;
    }
    return std::nullopt;
  }
};

struct Request {
  Request() = default;
  Request(std::string m, std::string u, std::vector<std::string> h = {})
      : method(std::move(m)), url(std::move(u)), headers(std::move(h)) {}

  std::string method = "GET";
  std::string url;
  std::vector<std::string> headers;  // "Name: value"
  long timeoutMs = 20000;
  std::atomic<size_t>* received = nullptr;  // body bytes so far, for other threads
};

struct BodySink {
  Reply* reply;
  std::atomic<size_t>* received;
};

size_t onBody(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<BodySink*>(user);
  sink->reply->body.append(data, size * count);
  if (sink->received != nullptr) *sink->received = sink->reply->body.size();
  return size * count;
}

size_t onHeader(char* data, size_t size, size_t count, void* user) {
  auto* reply = static_cast<Reply*>(user);
  std::string line(data, size * count);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  if (line.starts_with("HTTP/")) {
    reply->headers.clear();
  } else if (const size_t colon = line.find(':'); colon != std::string::npos) {
    std::string value = line.substr(colon + 1);
    while (!value.empty() && value.front() == ' ') value.erase(0, 1);
    reply->headers.emplace_back(lower(line.substr(0, colon)), value);
  }
  return size * count;
}

Reply fetch(const std::string& caFile, const Request& request) {
  static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  EXPECT_TRUE(initialised);
  Reply reply;
  BodySink sink{&reply, request.received};
  CURL* curl = curl_easy_init();
  curl_slist* headers = nullptr;
  for (const std::string& h : request.headers) headers = curl_slist_append(headers, h.c_str());
  curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.c_str());
  curl_easy_setopt(curl, CURLOPT_PROXY, "");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, request.timeoutMs);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, onBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, onHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &reply);
  if (request.method == "HEAD") {
    curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  } else if (request.method != "GET") {
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  }
  reply.code = curl_easy_perform(curl);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  return reply;
}

// The query parameter of a URL, undecoded.
std::string queryParam(const std::string& url, const std::string& name) {
  const size_t q = url.find('?');
  if (q == std::string::npos) return "";
  std::string rest = url.substr(q + 1);
  while (!rest.empty()) {
    const size_t amp = rest.find('&');
    const std::string pair = rest.substr(0, amp);
    if (pair.starts_with(name + "=")) return pair.substr(name.size() + 1);
    if (amp == std::string::npos) break;
    rest = rest.substr(amp + 1);
  }
  return "";
}

std::string replaceParam(const std::string& url, const std::string& name,
                         const std::string& value) {
  const std::string old = name + "=" + queryParam(url, name);
  std::string out = url;
  out.replace(out.find(old), old.size(), name + "=" + value);
  return out;
}

class TestHubTest : public ::testing::Test {
 protected:
  void SetUp() override {
    config_ = R"({"model_type": "tiny_moe", "num_hidden_layers": 2})";
    shard1_ = pseudoRandomBytes(300 * 1024 + 17, 1);  // more than one 256 KiB chunk
    shard2_ = pseudoRandomBytes(1000, 2);
    notes_ = "nested\n";
    testutil::writeFile(dir_.file("config.json"), config_);
    testutil::writeFile(dir_.file(kShard1), shard1_);
    testutil::writeFile(dir_.file(kShard2), shard2_);
    std::filesystem::create_directories(dir_.file("sub/dir"));
    testutil::writeFile(dir_.file("sub/dir/notes.txt"), notes_);
    testutil::writeFile(dir_.file("weird name+x.json"), "{}");
  }

  TestHub& start(std::function<void(TestHubOptions&)> adjust = {}) {
    TestHubOptions options;
    options.repoID = kRepo;
    options.revision = kCommit;
    options.files = openCheckpointDirectory(dir_.path());
    if (adjust) adjust(options);
    hub_ = TestHub::start(std::move(options));
    return *hub_;
  }

  Reply get(const std::string& url, std::vector<std::string> headers = {}) {
    return fetch(hub_->caFile(), Request{"GET", url, std::move(headers)});
  }
  Reply head(const std::string& url, std::vector<std::string> headers = {}) {
    return fetch(hub_->caFile(), Request{"HEAD", url, std::move(headers)});
  }
  std::string url(const std::string& file, const std::string& revision = kCommit) {
    return hub_->fileURL(file, revision);
  }
  // The storage URL the hub redirects a large file to.
  std::string storageLocation(const std::string& file) {
    const Reply r = head(url(file));
    EXPECT_EQ(r.status, 302);
    return r.header("Location").value_or("");
  }

  testutil::TempDir dir_;
  std::string config_, shard1_, shard2_, notes_;
  std::unique_ptr<TestHub> hub_;
};

TEST(GitBlobSHA1, MatchesGit) {
  EXPECT_EQ(gitBlobSHA1(""), "e69de29bb2d1d6434b8b29ae775ad8c2e48c5391");
  EXPECT_EQ(gitBlobSHA1("hello\n"), "ce013625030ba8dba906f756967f9e9ca394464a");
}

TEST(HTTPDate, ThreeForms) {
  const auto t = std::chrono::system_clock::from_time_t(784111777);  // 1994-11-06 08:49:37 UTC
  EXPECT_EQ(formatHTTPDate(t), "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_EQ(formatHTTPDate(t, HTTPDateForm::rfc850), "Sunday, 06-Nov-94 08:49:37 GMT");
  EXPECT_EQ(formatHTTPDate(t, HTTPDateForm::asctime), "Sun Nov  6 08:49:37 1994");
}

TEST(CheckpointDirectory, ListsReadsAndRefuses) {
  testutil::TempDir dir;
  std::filesystem::create_directories(dir.file("b/c"));
  testutil::writeFile(dir.file("b/c/deep.bin"), "0123456789");
  testutil::writeFile(dir.file("a.json"), "{}");
  std::filesystem::create_symlink(dir.file("a.json"), dir.file("link.json"));
  const auto files = openCheckpointDirectory(dir.path());
  EXPECT_EQ(files->names(), (std::vector<std::string>{"a.json", "b/c/deep.bin"}));
  EXPECT_EQ(files->size("b/c/deep.bin"), 10u);
  EXPECT_EQ(files->size("link.json"), std::nullopt);
  std::vector<uint8_t> out(4);
  files->read("b/c/deep.bin", 6, out);
  EXPECT_EQ(std::string(out.begin(), out.end()), "6789");
  EXPECT_THROW(files->read("b/c/deep.bin", 7, out), std::runtime_error);
  EXPECT_THROW(files->read("missing", 0, out), std::runtime_error);
  EXPECT_THROW(openCheckpointDirectory(dir.file("absent")), std::runtime_error);
}

TEST_F(TestHubTest, SmallFileHeadAndGet) {
  start();
  const Reply h = head(url("config.json", "main"));
  ASSERT_EQ(h.code, CURLE_OK);
  EXPECT_EQ(h.status, 200);
  EXPECT_EQ(h.header("Content-Length"), std::to_string(config_.size()));
  EXPECT_EQ(h.header("ETag"), "\"" + gitBlobSHA1(config_) + "\"");
  EXPECT_EQ(h.header("X-Repo-Commit"), kCommit);
  EXPECT_EQ(h.header("Accept-Ranges"), "bytes");
  EXPECT_EQ(h.body, "");

  const Reply g = get(url("config.json"));
  EXPECT_EQ(g.status, 200);
  EXPECT_EQ(g.body, config_);

  const Reply ranged = get(url("config.json"), {"Range: bytes=2-11"});
  EXPECT_EQ(ranged.status, 206);
  EXPECT_EQ(ranged.header("Content-Range"), "bytes 2-11/" + std::to_string(config_.size()));
  EXPECT_EQ(ranged.header("Content-Length"), "10");
  EXPECT_EQ(ranged.body, config_.substr(2, 10));

  // Path segments are percent-decoded one by one.
  EXPECT_EQ(get(url("sub/dir/notes.txt")).body, notes_);
  EXPECT_EQ(get(hub_->baseURL() + "/" + kRepo + "/resolve/main/weird%20name%2Bx.json").body, "{}");
}

TEST_F(TestHubTest, LargeFileRedirectsToSignedStorageURL) {
  start();
  const Reply h = head(url(kShard1, "main"));
  ASSERT_EQ(h.code, CURLE_OK);
  EXPECT_EQ(h.status, 302);
  EXPECT_EQ(h.body, "");
  EXPECT_EQ(h.header("X-Repo-Commit"), kCommit);
  EXPECT_EQ(h.header("X-Linked-Size"), std::to_string(shard1_.size()));
  const std::string sha256 = sha256Hex(shard1_);
  EXPECT_EQ(h.header("X-Linked-ETag"), "\"" + sha256 + "\"");
  const std::string pointer = "version https://git-lfs.github.com/spec/v1\noid sha256:" + sha256 +
                              "\nsize " + std::to_string(shard1_.size()) + "\n";
  EXPECT_EQ(h.header("ETag"), "\"" + gitBlobSHA1(pointer) + "\"");
  EXPECT_EQ(h.header("Accept-Ranges"), "bytes");
  const std::string xet = h.header("X-Xet-Hash").value_or("");
  EXPECT_EQ(xet.size(), 64u);
  const std::string location = h.header("Location").value_or("");
  EXPECT_TRUE(location.starts_with(hub_->storageURL() + "/")) << location;
  EXPECT_TRUE(location.starts_with("https://127.0.0.1:")) << location;
  EXPECT_TRUE(hub_->baseURL().starts_with("https://localhost:"));
  EXPECT_FALSE(queryParam(location, "Expires").empty());
  EXPECT_FALSE(queryParam(location, "Signature").empty());

  const HubFileFacts facts = hub_->facts(kShard1);
  EXPECT_TRUE(facts.lfs);
  EXPECT_EQ(facts.sha256, sha256);
  EXPECT_EQ(facts.xetHash, xet);
  EXPECT_EQ(facts.lfsPointer, pointer);

  // The storage host serves exact ranges and the whole object.
  const Reply whole = get(location);
  EXPECT_EQ(whole.status, 200);
  EXPECT_EQ(whole.body, shard1_);
  EXPECT_EQ(whole.header("ETag"), "\"" + xet + "\"");
  EXPECT_EQ(whole.header("Cache-Control"), "public, max-age=604800, immutable");
  EXPECT_EQ(whole.header("Accept-Ranges"), "bytes");

  const uint64_t last = shard1_.size() - 2;
  const Reply part = get(location, {"Range: bytes=1000-" + std::to_string(last)});
  EXPECT_EQ(part.status, 206);
  EXPECT_EQ(part.header("Content-Range"),
            "bytes 1000-" + std::to_string(last) + "/" + std::to_string(shard1_.size()));
  EXPECT_EQ(part.header("Content-Length"), std::to_string(last - 1000 + 1));
  EXPECT_EQ(part.body, shard1_.substr(1000, last - 1000 + 1));

  const Reply tail = get(location, {"Range: bytes=-5"});
  EXPECT_EQ(tail.status, 206);
  EXPECT_EQ(tail.body, shard1_.substr(shard1_.size() - 5));

  const Reply beyond = get(location, {"Range: bytes=" + std::to_string(shard1_.size()) + "-"});
  EXPECT_EQ(beyond.status, 416);
  EXPECT_EQ(beyond.header("Content-Range"), "bytes */" + std::to_string(shard1_.size()));

  // A HEAD on storage announces the range without sending it.
  const Reply storageHead = head(location, {"Range: bytes=0-7"});
  EXPECT_EQ(storageHead.status, 206);
  EXPECT_EQ(storageHead.header("Content-Length"), "8");
  EXPECT_EQ(storageHead.body, "");
}

TEST_F(TestHubTest, WithoutXetTheStorageETagIsTheSHA256) {
  start([](TestHubOptions& o) { o.xet = false; });
  const Reply h = head(url(kShard2));
  EXPECT_EQ(h.header("X-Xet-Hash"), std::nullopt);
  const Reply g = get(h.header("Location").value_or(""));
  EXPECT_EQ(g.body, shard2_);
  EXPECT_EQ(g.header("ETag"), "\"" + sha256Hex(shard2_) + "\"");
}

TEST_F(TestHubTest, StandInSHA256IsUsedWithoutHashing) {
  const std::string standIn(64, 'a');
  start([&](TestHubOptions& o) { o.sha256StandIns[kShard1] = standIn; });
  const Reply h = head(url(kShard1));
  EXPECT_EQ(h.header("X-Linked-ETag"), "\"" + standIn + "\"");
  EXPECT_EQ(get(hub_->baseURL() + "/" + kRepo + "/raw/main/" + kShard1).body,
            "version https://git-lfs.github.com/spec/v1\noid sha256:" + standIn + "\nsize " +
                std::to_string(shard1_.size()) + "\n");
}

TEST_F(TestHubTest, StorageRefusesBadSignatures) {
  start();
  const std::string location = storageLocation(kShard1);
  const std::string signature = queryParam(location, "Signature");
  std::string tampered = signature;
  tampered[0] = tampered[0] == '0' ? '1' : '0';
  const std::string expires = queryParam(location, "Expires");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {replaceParam(location, "Signature", tampered), "Signature does not match"},
      {replaceParam(location, "Expires", std::to_string(std::stoll(expires) + 1)),
       "Signature does not match"},
      {location.substr(0, location.find('?')), "Missing Expires or Signature"},
  };
  for (const auto& [target, message] : cases) {
    const Reply r = get(target);
    EXPECT_EQ(r.status, 403) << target;
    EXPECT_NE(r.body.find("<Code>AccessDenied</Code>"), std::string::npos) << r.body;
    EXPECT_NE(r.body.find(message), std::string::npos) << r.body;
  }
}

TEST_F(TestHubTest, ExpiredStorageURLIsRefused) {
  start([](TestHubOptions& o) { o.signedURLLifetime = std::chrono::seconds(-10); });
  const Reply r = get(storageLocation(kShard2));
  EXPECT_EQ(r.status, 403);
  EXPECT_NE(r.body.find("Request has expired"), std::string::npos) << r.body;
}

TEST_F(TestHubTest, NotFoundVariants) {
  start();
  struct Case {
    std::string url;
    std::string code;
    std::string message;
    bool commit;
  };
  const std::string base = hub_->baseURL();
  const std::vector<Case> cases = {
      {base + "/velquor-test/other/resolve/main/config.json", "RepoNotFound",
       "Repository not found", false},
      {base + "/" + kRepo + "/resolve/v9/config.json", "RevisionNotFound", "Invalid rev id: v9",
       false},
      {url("missing.json"), "EntryNotFound", "Entry not found", true},
  };
  for (const Case& c : cases) {
    for (const std::string method : {"HEAD", "GET"}) {
      const Reply r = fetch(hub_->caFile(), Request{method, c.url});
      EXPECT_EQ(r.status, 404) << c.url;
      EXPECT_EQ(r.header("X-Error-Code"), c.code) << c.url;
      EXPECT_EQ(r.header("X-Error-Message"), c.message) << c.url;
      EXPECT_EQ(r.header("X-Repo-Commit").has_value(), c.commit) << c.url;
      if (method == "HEAD") {
        EXPECT_EQ(r.body, "");
      }
    }
  }
}

TEST_F(TestHubTest, RawServesSmallFilesAndLFSPointers) {
  start();
  const std::string raw = hub_->baseURL() + "/" + kRepo + "/raw/" + kCommit + "/";
  EXPECT_EQ(get(raw + "config.json").body, config_);
  const Reply pointer = get(raw + kShard2);
  EXPECT_EQ(pointer.status, 200);
  EXPECT_EQ(pointer.body, "version https://git-lfs.github.com/spec/v1\noid sha256:" +
                              sha256Hex(shard2_) + "\nsize 1000\n");
  EXPECT_EQ(pointer.header("ETag"), "\"" + gitBlobSHA1(pointer.body) + "\"");
}

TEST_F(TestHubTest, RenamedRepositoryRedirectsOnTheSameHost) {
  start([](TestHubOptions& o) { o.formerRepoIDs = {"old-owner/old-name"}; });
  const Reply r = head(hub_->baseURL() + "/old-owner/old-name/resolve/main/sub/dir/notes.txt");
  EXPECT_EQ(r.status, 307);
  EXPECT_EQ(r.header("Location"), std::string("/") + kRepo + "/resolve/main/sub/dir/notes.txt");
}

TEST_F(TestHubTest, ModelInfoListsFiles) {
  start();
  const Reply r = get(hub_->baseURL() + "/api/models/" + kRepo + "/revision/main");
  ASSERT_EQ(r.status, 200);
  const auto info = nlohmann::json::parse(r.body);
  EXPECT_EQ(info["sha"], kCommit);
  EXPECT_EQ(info["siblings"].size(), 5u);
  EXPECT_EQ(info["siblings"][0]["rfilename"], "config.json");
}

TEST_F(TestHubTest, TokenIsRequiredOnTheHubOnly) {
  start([](TestHubOptions& o) { o.token = "hf_secret"; });
  const Reply none = head(url("config.json"));
  EXPECT_EQ(none.status, 401);
  EXPECT_TRUE(none.header("X-Error-Message").has_value());
  EXPECT_EQ(head(url("config.json"), {"Authorization: Bearer wrong"}).status, 401);
  EXPECT_EQ(head(url("config.json"), {"Authorization: Bearer hf_secret"}).status, 200);

  const Reply redirect = head(url(kShard1), {"Authorization: Bearer hf_secret"});
  ASSERT_EQ(redirect.status, 302);
  EXPECT_EQ(get(redirect.header("Location").value_or("")).status, 200);

  // The recording shows which host saw the token.
  const std::vector<HubRequest> requests = hub_->requests();
  ASSERT_EQ(requests.size(), 5u);
  EXPECT_EQ(requests[3].host, HubHost::hub);
  EXPECT_EQ(requests[3].header("authorization"), "Bearer hf_secret");
  EXPECT_EQ(requests[4].host, HubHost::storage);
  EXPECT_EQ(requests[4].header("Authorization"), std::nullopt);
}

TEST_F(TestHubTest, RecordsEveryRequest) {
  start();
  head(url("config.json"), {"X-Probe: one"});
  get(storageLocation(kShard2), {"Range: bytes=0-7"});
  const std::vector<HubRequest> requests = hub_->requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].host, HubHost::hub);
  EXPECT_EQ(requests[0].method, "HEAD");
  EXPECT_EQ(requests[0].target, std::string("/") + kRepo + "/resolve/" + kCommit + "/config.json");
  EXPECT_EQ(requests[0].header("x-probe"), "one");
  EXPECT_TRUE(requests[0].header("Host").has_value());
  EXPECT_EQ(requests[0].header("REMOTE_ADDR"), std::nullopt);
  EXPECT_EQ(requests[0].file, "config.json");
  EXPECT_EQ(requests[0].status, 200);
  EXPECT_EQ(requests[2].host, HubHost::storage);
  EXPECT_EQ(requests[2].method, "GET");
  EXPECT_EQ(requests[2].file, kShard2);
  EXPECT_EQ(requests[2].status, 206);
  EXPECT_EQ(requests[2].header("Range"), "bytes=0-7");
  EXPECT_TRUE(requests[2].target.starts_with("/objects/"));
  hub_->clearRequests();
  EXPECT_TRUE(hub_->requests().empty());
}

// Which requests a fault takes: counting, repetition, host and method.
TEST_F(TestHubTest, FaultMatching) {
  start();
  hub_->inject(HubFault::status(500).on("config.json").onNth(2).times(2));
  std::vector<long> statuses;
  for (int i = 0; i < 4; ++i) statuses.push_back(head(url("config.json")).status);
  EXPECT_EQ(statuses, (std::vector<long>{200, 500, 500, 200}));
  EXPECT_EQ(hub_->pendingFaults(), 0u);

  hub_->inject(HubFault::status(503).onHost(HubHost::storage).on(kShard2));
  hub_->inject(HubFault::status(502).onMethod("GET").on("config.json"));
  EXPECT_EQ(head(url("config.json")).status, 200);
  const std::string location = storageLocation(kShard2);  // the hub is not the storage host
  EXPECT_EQ(get(location).status, 503);
  EXPECT_EQ(get(url("config.json")).status, 502);
  EXPECT_EQ(hub_->pendingFaults(), 0u);

  hub_->inject(HubFault::status(429).on("notes.txt").always());
  for (int i = 0; i < 3; ++i) EXPECT_EQ(head(url("sub/dir/notes.txt")).status, 429);
  EXPECT_EQ(hub_->pendingFaults(), 1u);
  hub_->clearFaults();
  EXPECT_EQ(head(url("sub/dir/notes.txt")).status, 200);

  const std::vector<HubRequest> requests = hub_->requests();
  EXPECT_EQ(requests[1].fault, "status 500");
  EXPECT_EQ(requests[0].fault, "");
}

// Each kind of fault once, on the request it is made for.
TEST_F(TestHubTest, FaultKinds) {
  start();
  const std::string date = formatHTTPDate(std::chrono::system_clock::now(), HTTPDateForm::rfc850);
  struct Case {
    std::string name;
    HubFault fault;
    std::string file;  // large files are fetched from storage with `range`
    std::string range;
    std::function<void(const Reply&)> check;
  };
  const std::vector<Case> cases = {
      {"status with Retry-After seconds", HubFault::status(503).withRetryAfter("7"), "config.json",
       "",
       [](const Reply& r) {
         EXPECT_EQ(r.status, 503);
         EXPECT_EQ(r.header("Retry-After"), "7");
         EXPECT_EQ(r.header("X-Error-Message"), "injected fault");
       }},
      {"status with Retry-After date", HubFault::status(429).withRetryAfter(date), "config.json",
       "", [&](const Reply& r) { EXPECT_EQ(r.header("Retry-After"), date); }},
      {"cut body", HubFault::cutBody(70000).onHost(HubHost::storage), kShard1, "",
       [&](const Reply& r) {
         EXPECT_EQ(r.status, 200);
         EXPECT_NE(r.code, CURLE_OK);
         EXPECT_EQ(r.body, shard1_.substr(0, 70000));
       }},
      {"over-long body", HubFault::overlongBody(3).onHost(HubHost::storage), kShard1, "bytes=0-99",
       [&](const Reply& r) {
         EXPECT_EQ(r.header("Content-Length"), "100");
         EXPECT_EQ(r.header("Transfer-Encoding"), "chunked");
         EXPECT_EQ(r.body.size(), 103u);
         EXPECT_EQ(r.body.substr(0, 100), shard1_.substr(0, 100));
       }},
      {"short Content-Length", HubFault::contentLength("10"), "config.json", "",
       [&](const Reply& r) {
         EXPECT_EQ(r.header("Content-Length"), "10");
         EXPECT_EQ(r.body, config_.substr(0, 10));
       }},
      {"long Content-Length", HubFault::contentLength("999"), "config.json", "",
       [&](const Reply& r) {
         EXPECT_NE(r.code, CURLE_OK);
         EXPECT_EQ(r.body, config_);
       }},
      {"wrong Content-Range", HubFault::contentRange("bytes 0-99/*").onHost(HubHost::storage),
       kShard1, "bytes=0-99",
       [&](const Reply& r) {
         EXPECT_EQ(r.status, 206);
         EXPECT_EQ(r.header("Content-Range"), "bytes 0-99/*");
       }},
      {"gzip", HubFault::contentEncoding().onHost(HubHost::storage), kShard1, "bytes=0-99",
       [&](const Reply& r) {
         EXPECT_EQ(r.header("Content-Encoding"), "gzip");
         EXPECT_EQ(r.body, shard1_.substr(0, 100));
       }},
      {"ignored Range", HubFault::ignoreRange().onHost(HubHost::storage), kShard1, "bytes=0-99",
       [&](const Reply& r) {
         EXPECT_EQ(r.status, 200);
         EXPECT_EQ(r.header("Content-Range"), std::nullopt);
         EXPECT_EQ(r.body, shard1_);
       }},
      {"weak ETag", HubFault::weakETag().onHost(HubHost::storage), kShard1, "bytes=0-99",
       [&](const Reply& r) {
         EXPECT_EQ(r.header("ETag"), "W/\"" + hub_->facts(kShard1).xetHash + "\"");
       }},
      {"different ETag", HubFault::etag("\"other\"").onHost(HubHost::storage), kShard1,
       "bytes=0-99", [&](const Reply& r) { EXPECT_EQ(r.header("ETag"), "\"other\""); }},
      {"removed header", HubFault::removeHeader("X-Repo-Commit"), "config.json", "",
       [&](const Reply& r) {
         EXPECT_EQ(r.status, 200);
         EXPECT_EQ(r.header("X-Repo-Commit"), std::nullopt);
       }},
      {"redirect to http", HubFault::redirect(HubRedirect::plainHTTP), "config.json", "",
       [&](const Reply& r) {
         EXPECT_EQ(r.status, 302);
         EXPECT_EQ(r.header("Location"), "http://localhost:" + std::to_string(hub_->port()) + "/" +
                                             kRepo + "/resolve/" + kCommit + "/config.json");
       }},
      {"stall", HubFault::stall(1000, std::chrono::minutes(1)).onHost(HubHost::storage), kShard1,
       "",
       [&](const Reply& r) {
         EXPECT_EQ(r.code, CURLE_OPERATION_TIMEDOUT);
         EXPECT_EQ(r.body, shard1_.substr(0, 1000));
       }},
      {"dropped connection", HubFault::dropConnection(), "config.json", "",
       [&](const Reply& r) {
         EXPECT_EQ(r.status, 0);
         EXPECT_NE(r.code, CURLE_OK);
       }},
      {"throttle", HubFault::throttle(4 * 1024 * 1024).onHost(HubHost::storage), kShard1, "",
       [&](const Reply& r) { EXPECT_EQ(r.body, shard1_); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    hub_->inject(c.fault);
    Request request;
    if (c.file == kShard1) {
      request.url = storageLocation(kShard1);
    } else {
      request.url = url(c.file);
    }
    if (!c.range.empty()) request.headers.push_back("Range: " + c.range);
    if (c.name == "stall") request.timeoutMs = 2000;
    c.check(fetch(hub_->caFile(), request));
    EXPECT_EQ(hub_->pendingFaults(), 0u);
  }
}

TEST_F(TestHubTest, DelayedHeadersTimeOut) {
  start();
  hub_->inject(HubFault::delay(std::chrono::seconds(5)));
  Request request{"HEAD", url("config.json")};
  request.timeoutMs = 300;
  EXPECT_EQ(fetch(hub_->caFile(), request).code, CURLE_OPERATION_TIMEDOUT);
}

TEST_F(TestHubTest, RedirectChains) {
  start();
  // Same-host hops: each hop is another matching request.
  hub_->inject(HubFault::redirect(HubRedirect::sameHost).on("config.json").times(2));
  std::string target = url("config.json");
  std::vector<std::string> locations;
  Reply r = get(target);
  while (r.status == 302 && locations.size() < 10) {
    locations.push_back(r.header("Location").value_or(""));
    target =
        locations.back().starts_with("/") ? hub_->baseURL() + locations.back() : locations.back();
    r = get(target);
  }
  EXPECT_EQ(r.body, config_);
  EXPECT_EQ(locations, (std::vector<std::string>{
                           std::string("/") + kRepo + "/resolve/" + kCommit + "/config.json",
                           std::string("/") + kRepo + "/resolve/" + kCommit + "/config.json"}));

  // To the storage host and back to the same hub URL.
  hub_->inject(HubFault::redirect(HubRedirect::crossHostAndBack).on("config.json"));
  const Reply away = get(url("config.json"));
  ASSERT_EQ(away.status, 302);
  const std::string bounce = away.header("Location").value_or("");
  EXPECT_TRUE(bounce.starts_with(hub_->storageURL() + "/_bounce?to=")) << bounce;
  const Reply back = get(bounce);
  ASSERT_EQ(back.status, 302);
  EXPECT_EQ(back.header("Location"), url("config.json"));
  EXPECT_EQ(get(url("config.json")).body, config_);

  hub_->inject(HubFault::redirect(HubRedirect::sameHostAbsolute));
  EXPECT_EQ(get(url("config.json")).header("Location"), url("config.json"));
  hub_->inject(HubFault::redirectTo("https://elsewhere.invalid/x"));
  EXPECT_EQ(get(url("config.json")).header("Location"), "https://elsewhere.invalid/x");
}

TEST_F(TestHubTest, StopEndsStalledBodies) {
  start();
  hub_->inject(HubFault::stall(10, std::chrono::hours(1)).onHost(HubHost::storage));
  const std::string location = storageLocation(kShard1);
  std::atomic<size_t> received = 0;
  std::thread client([&] {
    Request request{"GET", location};
    request.timeoutMs = 60000;
    request.received = &received;
    const Reply r = fetch(hub_->caFile(), request);
    EXPECT_NE(r.code, CURLE_OK);
    EXPECT_EQ(r.body.size(), 10u);
  });
  while (received < 10) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const std::string ca = hub_->caFile();
  hub_->stop();
  client.join();
  EXPECT_FALSE(std::filesystem::exists(ca));
}

// One client connection, kept open between its requests until destroyed.
class KeptConnection {
 public:
  explicit KeptConnection(const std::string& caFile) : curl_(curl_easy_init()) {
    curl_easy_setopt(curl_, CURLOPT_CAINFO, caFile.c_str());
    curl_easy_setopt(curl_, CURLOPT_PROXY, "");
    curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl_, CURLOPT_TIMEOUT_MS, 20000L);
    curl_easy_setopt(
        curl_, CURLOPT_WRITEFUNCTION,
        +[](char*, size_t size, size_t count, void*) { return size * count; });
  }
  ~KeptConnection() { curl_easy_cleanup(curl_); }
  KeptConnection(const KeptConnection&) = delete;
  KeptConnection& operator=(const KeptConnection&) = delete;

  long get(const std::string& url) {
    curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
    long status = 0;
    if (curl_easy_perform(curl_) == CURLE_OK) {
      curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &status);
    }
    return status;
  }

 private:
  CURL* curl_;
};

// Above K open connections every request of the client is refused, on the
// new connection and on the old ones alike, until one closes. The option
// and the fault rule behave alike; the rule only where it matches.
TEST_F(TestHubTest, ConnectionLimit) {
  for (const bool asOption : {true, false}) {
    SCOPED_TRACE(asOption ? "option" : "fault rule");
    start([&](TestHubOptions& o) { o.maxConnections = asOption ? 2 : 0; });
    if (!asOption) hub_->inject(HubFault::connectionLimit(2).onHost(HubHost::hub));
    const std::string target = url("config.json");
    const std::string storageTarget = storageLocation(kShard2);
    const auto waitUntilClosed = [&](size_t open) {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (hub_->openConnections(HubHost::hub) > open &&
             std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      return hub_->openConnections(HubHost::hub);
    };
    ASSERT_EQ(waitUntilClosed(0), 0u);
    hub_->clearRequests();
    std::vector<std::unique_ptr<KeptConnection>> clients;
    for (int i = 0; i < 3; ++i) clients.push_back(std::make_unique<KeptConnection>(hub_->caFile()));
    EXPECT_EQ(clients[0]->get(target), 200);
    EXPECT_EQ(clients[1]->get(target), 200);
    EXPECT_EQ(clients[0]->get(target), 200);  // a connection is counted once
    EXPECT_EQ(clients[2]->get(target), 429);
    EXPECT_EQ(clients[0]->get(target), 429);
    const std::vector<HubRequest> seen = hub_->requests();
    ASSERT_EQ(seen.size(), 5u);
    const std::vector<int> open = {1, 2, 2, 3, 3};
    for (size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i].openConnections, open[i]) << i;
    EXPECT_EQ(seen[3].fault, "status 429, over 2 connections");

    // The storage host counts its own connections.
    EXPECT_EQ(KeptConnection(hub_->caFile()).get(storageTarget), 200);

    clients.pop_back();  // closes its connection
    long status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((status = clients[0]->get(target)) == 429 &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(status, 200);
    clients.clear();
    hub_.reset();
  }
}

TEST_F(TestHubTest, RefusesBadOptions) {
  const auto startWith = [&](std::function<void(TestHubOptions&)> adjust) {
    return testutil::errorOf([&] { start(adjust); });
  };
  EXPECT_EQ(startWith([](TestHubOptions& o) { o.repoID = "a/b/c"; }),
            "test hub: invalid repo id a/b/c");
  EXPECT_EQ(startWith([](TestHubOptions& o) { o.revision = "main"; }),
            "test hub: revision must be 40 lower-case hex characters: main");
  EXPECT_EQ(startWith([](TestHubOptions& o) { o.sha256StandIns["nope"] = std::string(64, 'a'); }),
            "test hub: SHA-256 stand-in for unknown file nope");
}

// The standalone executable: one JSON line, serving, a clean exit on SIGTERM.
TEST_F(TestHubTest, StandaloneBinary) {
  int out[2];
  ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  std::vector<std::string> args = {VELQUOR_TEST_HUB_BINARY,
                                   "--dir",
                                   dir_.path(),
                                   "--repo",
                                   kRepo,
                                   "--revision",
                                   kCommit,
                                   "--no-xet"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, VELQUOR_TEST_HUB_BINARY, &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);

  std::string line;
  pollfd p{out[0], POLLIN, 0};
  while (line.find('\n') == std::string::npos && ::poll(&p, 1, 20000) > 0) {
    char buf[512];
    const ssize_t n = ::read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    line.append(buf, static_cast<size_t>(n));
  }
  ::close(out[0]);
  ASSERT_FALSE(line.empty());
  const auto json = nlohmann::json::parse(line);
  const std::string base = json["base_url"];
  const std::string ca = json["ca"];
  EXPECT_EQ(line, "{\"base_url\": \"" + base + "\", \"ca\": \"" + ca + "\"}\n");
  EXPECT_TRUE(base.starts_with("https://localhost:"));

  const Reply r = fetch(ca, Request{"HEAD", base + "/" + kRepo + "/resolve/main/" + kShard2});
  EXPECT_EQ(r.status, 302);
  EXPECT_EQ(r.header("X-Linked-ETag"), "\"" + sha256Hex(shard2_) + "\"");

  ASSERT_EQ(::kill(pid, SIGTERM), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_FALSE(std::filesystem::exists(ca));
}

TEST(TestHubCommandLine, BadArgumentsExitWithTwo) {
  const std::vector<std::string> identity = {"--repo", "a/b", "--revision", kCommit};
  const auto with = [&](std::vector<std::string> more) {
    std::vector<std::string> args = identity;
    args.insert(args.end(), more.begin(), more.end());
    return args;
  };
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--repo", "a/b"}, "--revision is required"},
      {with({}), "--dir is required"},
      {with({"--dir", "/x", "--bogus"}), "unknown argument --bogus"},
      {with({"--dir", "/x", "--port", "70000"}),
       "--port needs a whole number up to 65535, got \"70000\""},
      {with({"--dir", "/x", "--token"}), "--token needs a value"},
      {with({"--dir", "/x", "--max-connections", "two"}),
       "--max-connections needs a whole number up to 1000000, got \"two\""},
  };
  for (const auto& [args, message] : cases) {
    const auto result = testutil::runProcess(VELQUOR_TEST_HUB_BINARY, args);
    EXPECT_EQ(result.exitStatus, 2) << message;
    EXPECT_TRUE(result.err.starts_with(message + "\nusage: ")) << result.err;
  }
}

}  // namespace
