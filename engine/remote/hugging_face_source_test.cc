#include "engine/remote/hugging_face_source.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "engine/common/repack_audit.h"
#include "engine/common/repack_error.h"
#include "engine/remote/fake_transport_test_util.h"
#include "tests/test_util.h"

namespace {

using testutil::errorOf;

const std::string kCommit = "0123456789abcdef0123456789abcdef01234567";

RemoteRetryEnvironment noSleep() {
  RemoteRetryEnvironment e;
  e.now = [] { return std::chrono::system_clock::time_point{}; };
  e.jitter = [] { return uint64_t{0}; };
  e.sleeper = [](uint64_t) {};
  return e;
}

// A repository of small files answered by a scripted client: HEAD gives the
// hub's metadata headers, GET with a Range gives the slice. `override`
// answers first when it returns something.
struct ScriptedHub {
  std::map<std::string, std::string> files;
  std::function<std::optional<FakeAnswer>(const HttpRequest&)> override;

  FakeAnswer answer(const HttpRequest& request) {
    if (override) {
      if (std::optional<FakeAnswer> a = override(request)) return *a;
    }
    const std::string name = request.url.substr(request.url.rfind('/') + 1);
    auto it = files.find(name);
    if (it == files.end())
      return FakeAnswer{fakeResponse(404, {{"X-Error-Code", "EntryNotFound"}})};
    const std::string& content = it->second;
    if (request.method == "HEAD") {
      return FakeAnswer{fakeResponse(200, {{"Content-Length", std::to_string(content.size())},
                                           {"X-Repo-Commit", kCommit},
                                           {"ETag", "\"blob\""},
                                           {"Accept-Ranges", "bytes"}})};
    }
    const std::string range = *request.headers.get("Range");  // bytes=a-b
    const uint64_t first = std::stoull(range.substr(6));
    const uint64_t last = std::stoull(range.substr(range.find('-') + 1));
    return FakeAnswer{fakeResponse(206, {{"Content-Length", std::to_string(last - first + 1)},
                                         {"Content-Range", "bytes " + std::to_string(first) + "-" +
                                                               std::to_string(last) + "/" +
                                                               std::to_string(content.size())}}),
                      content.substr(first, last - first + 1)};
  }
};

class HuggingFaceSourceTest : public ::testing::Test {
 protected:
  HuggingFaceSourceTest() {
    transport_ =
        std::make_shared<FakeTransport>([this](const HttpRequest& r) { return hub_.answer(r); });
    RemoteDownloadSessionOptions options;
    options.transport = transport_;
    options.cancellation = &token_;
    options.retryEnvironment = noSleep();
    source_.repoID = "owner/model";
    source_.requestedRevision = "main";
    source_.token = "hf_secret";
    source_.baseURL = "https://hub.example";
    source_.tempDirectory = dir_.file("tmp");
    source_.downloadSession = std::make_shared<const RemoteDownloadSession>(
        RemoteDownloadSessionPolicy{}, std::move(options));
  }

  RemoteFileInfo infoOf(const std::string& name) {
    return RemoteFileInfo{name,         kCommit,      hub_.files.at(name).size(),
                          std::nullopt, std::nullopt, true};
  }
  bool tempDirectoryEmpty() const {
    return !std::filesystem::exists(source_.tempDirectory) ||
           std::filesystem::is_empty(source_.tempDirectory);
  }

  testutil::TempDir dir_;
  CancellationToken token_;
  ScriptedHub hub_;
  std::shared_ptr<FakeTransport> transport_;
  HuggingFaceRemoteSource source_;
  RepackAudit audit_;
};

TEST_F(HuggingFaceSourceTest, FileURLsAndTheirRefusals) {
  const std::string base = "https://hub.example/owner/model/resolve/main/";
  const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
      {"owner/model", "config.json", base + "config.json"},
      {"owner//model", "config.json", "https://hub.example/owner/model/resolve/main/config.json"},
      {"owner/model", "dir//a b+c%.json", base + "dir/a%20b%2Bc%25.json"},
      {"owner/model", "ünï.json", base + "%C3%BCn%C3%AF.json"},
      {"a/b/c", "config.json", "configuration invalid: invalid repo id a/b/c"},
      {"owner", "config.json", "configuration invalid: invalid repo id owner"},
      {"ow..ner/model", "config.json", "configuration invalid: invalid repo id ow..ner/model"},
      {"owner/model", "", "configuration invalid: invalid remote filename "},
      {"owner/model", "/etc/passwd", "configuration invalid: invalid remote filename /etc/passwd"},
      {"owner/model", "a/../b", "configuration invalid: invalid remote filename a/../b"},
      {"owner/model", "a?b", "configuration invalid: invalid remote filename a?b"},
      {"owner/model", "a#b", "configuration invalid: invalid remote filename a#b"},
  };
  for (const auto& [repo, file, expected] : cases) {
    HuggingFaceRemoteSource s = source_;
    s.repoID = repo;
    std::string got;
    try {
      got = s.fileURL(file);
    } catch (const std::exception& e) {
      got = e.what();
    }
    EXPECT_EQ(got, expected) << repo << " " << file;
  }
  HuggingFaceRemoteSource mirror = source_.pinned(kCommit);
  mirror.baseURL = "https://mirror.example/hf/";
  EXPECT_EQ(mirror.fileURL("x.json"),
            "https://mirror.example/hf/owner/model/resolve/" + kCommit + "/x.json");
  for (const std::string bad : {"http://hub.example", "https://hub.example/?a=1", "hub.example"}) {
    mirror.baseURL = bad;
    EXPECT_EQ(errorOf([&] { mirror.fileURL("x.json"); }),
              "configuration invalid: invalid hub base URL " + bad);
  }
}

TEST_F(HuggingFaceSourceTest, TokenGoesOnlyToTheBaseURLsOrigin) {
  for (const std::string url :
       {"https://hub.example/x", "https://HUB.example/x", "https://hub.example:443/x"}) {
    EXPECT_EQ(source_.request("GET", url).headers.get("Authorization"), "Bearer hf_secret") << url;
  }
  for (const std::string url : {"https://cdn.example/x", "https://hub.example.evil/x",
                                "https://hub.example:8443/x", "http://hub.example/x"}) {
    EXPECT_EQ(source_.request("GET", url).headers.get("Authorization"), std::nullopt) << url;
  }
  EXPECT_EQ(source_.request("GET", "https://cdn.example/x").headers.get("Accept-Encoding"),
            "identity");
  HuggingFaceRemoteSource anonymous = source_;
  anonymous.token.reset();
  EXPECT_EQ(anonymous.request("GET", "https://hub.example/x").headers.get("Authorization"),
            std::nullopt);
}

TEST_F(HuggingFaceSourceTest, MetadataOfAFileStoredElsewhereComesFromTheRedirect) {
  const std::string sha = std::string(64, 'a');
  hub_.override = [&](const HttpRequest& r) -> std::optional<FakeAnswer> {
    if (r.url.find("cdn.example") != std::string::npos) ADD_FAILURE() << "followed to the CDN";
    return FakeAnswer{fakeResponse(302, {{"Location", "https://cdn.example/blob?Signature=s"},
                                         {"X-Repo-Commit", kCommit},
                                         {"X-Linked-Size", "123456"},
                                         {"X-Linked-ETag", "\"" + sha + "\""},
                                         {"ETag", "\"pointer\""},
                                         {"X-Xet-Hash", std::string(64, 'b')},
                                         {"Accept-Ranges", "BYTES"}})};
  };
  const RemoteFileInfo info = source_.resolveFileInfo("model-00001.safetensors", &audit_);
  EXPECT_EQ(info, (RemoteFileInfo{"model-00001.safetensors", kCommit, 123456, "\"" + sha + "\"",
                                  std::string(64, 'b'), true}));
  ASSERT_EQ(transport_->requests.size(), 1u);
  EXPECT_EQ(transport_->requests[0].method, "HEAD");
  EXPECT_EQ(transport_->requests[0].headers.get("Authorization"), "Bearer hf_secret");
}

TEST_F(HuggingFaceSourceTest, MetadataFailures) {
  struct Case {
    HttpResponse response;
    std::string error;
  };
  const std::string prefix = "remote protocol invalid: ";
  const std::vector<Case> cases = {
      // Content-Length counts only for a 2xx answer.
      {fakeResponse(302, {{"Location", "https://cdn.example/b"},
                          {"X-Repo-Commit", kCommit},
                          {"Content-Length", "10"}}),
       prefix + "missing remote size for f.bin"},
      {fakeResponse(200, {{"X-Repo-Commit", kCommit}, {"X-Linked-Size", "x"}}),
       prefix + "missing remote size for f.bin"},
      {fakeResponse(200, {{"X-Repo-Commit", kCommit.substr(1)}, {"Content-Length", "1"}}),
       prefix + "missing full X-Repo-Commit for f.bin"},
      {fakeResponse(200, {{"Content-Length", "1"}}),
       prefix + "missing full X-Repo-Commit for f.bin"},
      {fakeResponse(404, {{"X-Error-Code", "EntryNotFound"}}),
       "remote HTTP 404: https://hub.example/owner/model/resolve/main/f.bin"},
      {fakeResponse(401, {}),
       "remote HTTP 401: https://hub.example/owner/model/resolve/main/f.bin"},
  };
  for (const Case& c : cases) {
    hub_.override = [&](const HttpRequest&) { return FakeAnswer{c.response}; };
    transport_->requests.clear();
    EXPECT_EQ(errorOf([&] { source_.resolveFileInfo("f.bin", &audit_); }), c.error);
    EXPECT_EQ(transport_->requests.size(), 1u) << c.error;  // none of these is retried
  }
  EXPECT_TRUE(audit_.remoteRetries.empty());

  // A pinned source supplies the commit the answer leaves out; a header
  // without "bytes" means no ranges.
  hub_.override = [&](const HttpRequest&) {
    return FakeAnswer{fakeResponse(200, {{"Content-Length", "7"}, {"Accept-Ranges", "none"}})};
  };
  const RemoteFileInfo info = source_.pinned(kCommit).resolveFileInfo("f.bin", nullptr);
  EXPECT_EQ(info.resolvedCommit, kCommit);
  EXPECT_EQ(info.size, 7u);
  EXPECT_FALSE(info.acceptsRanges);
  EXPECT_EQ(info.etag, std::nullopt);
}

TEST_F(HuggingFaceSourceTest, OverloadedHubIsRetriedAndRecorded) {
  hub_.files["config.json"] = "{}";
  int failures = 2;
  hub_.override = [&](const HttpRequest&) -> std::optional<FakeAnswer> {
    if (failures-- > 0) return FakeAnswer{fakeResponse(503, {{"Retry-After", "0"}})};
    return std::nullopt;
  };
  EXPECT_EQ(source_.resolveFileInfo("config.json", &audit_).size, 2u);
  const std::string detail =
      "remote HTTP 503: https://hub.example/owner/model/resolve/main/config.json, Retry-After 0";
  EXPECT_EQ(audit_.remoteRetries, (std::vector<RepackAudit::RemoteRetryRecord>{
                                      {"resolveFileInfo:config.json", 1, detail},
                                      {"resolveFileInfo:config.json", 2, detail}}));
}

TEST_F(HuggingFaceSourceTest, RangesAreReadAtTheResolvedCommit) {
  hub_.files["f.bin"] = "0123456789";
  std::vector<uint64_t> progress;
  const TemporaryRangeFile file = source_.downloadRangeToTempFile(
      "f.bin", infoOf("f.bin"), 3, 7, std::nullopt, [&](uint64_t n) { progress.push_back(n); },
      &audit_);
  EXPECT_EQ(file.byteCount, 7u);
  EXPECT_EQ(testutil::readFile(file.path), "3456789");
  EXPECT_EQ(std::filesystem::path(file.path).parent_path(), source_.tempDirectory);
  EXPECT_TRUE(std::filesystem::path(file.path).filename().string().starts_with("velquor-range-"));
  EXPECT_EQ(progress, (std::vector<uint64_t>{0, 7}));
  ASSERT_EQ(transport_->requests.size(), 1u);
  EXPECT_EQ(transport_->requests[0].url,
            "https://hub.example/owner/model/resolve/" + kCommit + "/f.bin");
  EXPECT_EQ(transport_->requests[0].headers.get("Range"), "bytes=3-9");
}

TEST_F(HuggingFaceSourceTest, RangeBoundsAndEmptyRanges) {
  hub_.files["f.bin"] = "0123456789";
  const RemoteFileInfo info = infoOf("f.bin");
  EXPECT_EQ(errorOf([&] { source_.downloadRangeToTempFile("f.bin", info, 3, 8, {}, {}, nullptr); }),
            "remote protocol invalid: range 3-10 exceeds f.bin");
  EXPECT_EQ(
      errorOf([&] { source_.downloadRangeToTempFile("f.bin", info, 3, -1, {}, {}, nullptr); }),
      "remote protocol invalid: negative range length");
  EXPECT_EQ(errorOf([&] {
              source_.downloadRangeToTempFile("f.bin", info, UINT64_MAX, 2, {}, {}, nullptr);
            }),
            "remote protocol invalid: range 18446744073709551615-18446744073709551615 exceeds "
            "f.bin");
  EXPECT_TRUE(transport_->requests.empty());

  const std::string target = dir_.file("empty.bin");
  const TemporaryRangeFile empty =
      source_.downloadRangeToTempFile("f.bin", info, 10, 0, target, {}, nullptr);
  EXPECT_EQ(empty, (TemporaryRangeFile{target, 0}));
  EXPECT_EQ(testutil::readFile(target), "");
  EXPECT_TRUE(transport_->requests.empty());
}

TEST_F(HuggingFaceSourceTest, EachAttemptRestartsProgress) {
  hub_.files["f.bin"] = "0123456789";
  bool cut = true;
  hub_.override = [&](const HttpRequest& r) -> std::optional<FakeAnswer> {
    if (!std::exchange(cut, false)) return std::nullopt;
    FakeAnswer a = hub_.answer(r);
    a.body.resize(4);  // the connection ends early
    return a;
  };
  std::vector<uint64_t> progress;
  source_.downloadRangeToTempFile(
      "f.bin", infoOf("f.bin"), 0, 10, std::nullopt, [&](uint64_t n) { progress.push_back(n); },
      &audit_);
  EXPECT_EQ(progress, (std::vector<uint64_t>{0, 4, 0, 10}));
  ASSERT_EQ(audit_.remoteRetries.size(), 1u);
  EXPECT_EQ(audit_.remoteRetries[0].label, "downloadRangeToTempFile:f.bin");
  EXPECT_EQ(audit_.remoteRetries[0].detail,
            "remote body for f.bin was truncated: expected 10, received 4");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(source_.tempDirectory),
                          std::filesystem::directory_iterator()),
            1);  // only the finished range
}

TEST_F(HuggingFaceSourceTest, SmallFilesArriveWholeOrNotAtAll) {
  hub_.files["config.json"] = "{\"a\":1}";
  const std::string out = dir_.file("meta/config.json");
  source_.fetchSmallFile("config.json", infoOf("config.json"), 1024, out, nullptr);
  EXPECT_EQ(testutil::readFile(out), "{\"a\":1}");

  EXPECT_EQ(errorOf([&] {
              source_.fetchSmallFile("config.json", infoOf("config.json"), 6, out, nullptr);
            }),
            "remote file config.json size 7 exceeds cap 6");
  const size_t requests = transport_->requests.size();

  const std::string directory = dir_.file("meta/dir.json");
  std::filesystem::create_directories(directory);
  EXPECT_EQ(
      errorOf([&] {
        source_.fetchSmallFile("config.json", infoOf("config.json"), 1024, directory, nullptr);
      }),
      "unsafe installer path " + directory + ": metadata destination has the wrong entry type");
  EXPECT_EQ(transport_->requests.size(), requests + 1);
  EXPECT_TRUE(tempDirectoryEmpty());
}

}  // namespace
