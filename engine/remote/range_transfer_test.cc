#include "engine/remote/range_transfer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "engine/common/repack_error.h"
#include "engine/io/posix.h"
#include "engine/remote/download_session.h"
#include "engine/remote/fake_transport_test_util.h"
#include "tests/test_util.h"

namespace {

using testutil::errorOf;

RemoteRangeExpectation expectation(uint64_t offset, uint64_t length, uint64_t total,
                                   std::optional<std::string> xetHash = {}) {
  return RemoteRangeExpectation{"model-00001.safetensors", offset, length, total,
                                std::move(xetHash)};
}

// A well-formed answer to bytes 0-99 of a 1000-byte file.
HttpResponse goodResponse() {
  return fakeResponse(
      206,
      {{"Content-Length", "100"}, {"Content-Range", "bytes 0-99/1000"}, {"ETag", "\"ABC123\""}});
}

TEST(RangeResponseValidation, EachCheckInOrderWithItsMessage) {
  struct Case {
    std::string name;
    std::function<void(HttpResponse&)> change;
    std::string error;
  };
  const std::string prefix = "remote protocol invalid: ";
  const std::vector<Case> cases = {
      {"accepted", [](HttpResponse&) {}, "ok"},
      {"200 ignores Range", [](HttpResponse& r) { r.status = 200; },
       "remote HTTP 200: https://cdn.example/f"},
      {"error status with Retry-After",
       [](HttpResponse& r) {
         r.status = 503;
         r.headers.set("retry-after", "5");
       },
       "remote HTTP 503: https://cdn.example/f, Retry-After 5"},
      {"gzip", [](HttpResponse& r) { r.headers.set("Content-Encoding", "gzip"); },
       prefix + "compressed range response for model-00001.safetensors"},
      {"identity in capitals",
       [](HttpResponse& r) { r.headers.set("content-encoding", "IDENTITY"); }, "ok"},
      {"missing length", [](HttpResponse& r) { r.headers.remove("Content-Length"); },
       prefix + "wrong Content-Length for model-00001.safetensors"},
      {"other length", [](HttpResponse& r) { r.headers.set("Content-Length", "101"); },
       prefix + "wrong Content-Length for model-00001.safetensors"},
      {"two lengths", [](HttpResponse& r) { r.headers.append("Content-Length", "100"); },
       prefix + "wrong Content-Length for model-00001.safetensors"},
      {"missing range", [](HttpResponse& r) { r.headers.remove("Content-Range"); },
       prefix + "missing Content-Range for model-00001.safetensors"},
      {"other unit", [](HttpResponse& r) { r.headers.set("Content-Range", "items 0-99/1000"); },
       prefix + "malformed Content-Range items 0-99/1000"},
      {"asterisk total", [](HttpResponse& r) { r.headers.set("Content-Range", "bytes 0-99/*"); },
       prefix + "wrong Content-Range bytes 0-99/*"},
      {"other start", [](HttpResponse& r) { r.headers.set("Content-Range", "bytes 1-100/1000"); },
       prefix + "wrong Content-Range bytes 1-100/1000"},
      {"other total", [](HttpResponse& r) { r.headers.set("Content-Range", "bytes 0-99/999"); },
       prefix + "wrong Content-Range bytes 0-99/999"},
      {"weak etag", [](HttpResponse& r) { r.headers.set("ETag", "W/\"abc123\""); },
       prefix + "final ranged validator differs for model-00001.safetensors"},
      {"missing etag", [](HttpResponse& r) { r.headers.remove("ETag"); },
       prefix + "final ranged validator differs for model-00001.safetensors"},
      {"other etag", [](HttpResponse& r) { r.headers.set("ETag", "\"abc124\""); },
       prefix + "final ranged validator differs for model-00001.safetensors"},
      // The first failing check decides.
      {"gzip and wrong length",
       [](HttpResponse& r) {
         r.headers.set("Content-Encoding", "gzip");
         r.headers.set("Content-Length", "1");
       },
       prefix + "compressed range response for model-00001.safetensors"},
  };
  for (const Case& c : cases) {
    HttpResponse response = goodResponse();
    response.url = "https://cdn.example/f?Signature=secret#x";
    c.change(response);
    EXPECT_EQ(errorOf([&] {
                RemoteRangeTransfer::validateResponse(response,
                                                      expectation(0, 100, 1000, "abc123"));
              }),
              c.error)
        << c.name;
  }
  // Without a known content hash the ETag is not looked at.
  HttpResponse weak = goodResponse();
  weak.headers.set("ETag", "W/\"x\"");
  EXPECT_EQ(
      errorOf([&] { RemoteRangeTransfer::validateResponse(weak, expectation(0, 100, 1000)); }),
      "ok");
}

TEST(RemoteRedirectPolicy, TokenIsDroppedForGoodOnceAHopLeavesTheFirstHost) {
  HttpRequest request;
  request.url = "https://hub.example/o/m/resolve/c/f";
  request.headers.set("Range", "bytes=0-9");
  request.headers.set("Authorization", "Bearer t");
  request.headers.set("Accept-Encoding", "identity");
  RemoteRedirectPolicy policy = RemoteRedirectPolicy::forRequest(request, 5);

  HttpRequest sameHost =
      policy.follow(request.url, "https://HUB.example/o/m2/resolve/c/f", request);
  EXPECT_EQ(sameHost.headers.get("Authorization"), "Bearer t");
  EXPECT_EQ(sameHost.headers.get("Range"), "bytes=0-9");

  HttpRequest away = sameHost;
  away.method = "HEAD";
  away.headers.set("Range", "bytes=5-5");
  away = policy.follow(sameHost.url, "https://cdn.example/blob?Signature=s", away);
  EXPECT_EQ(away.method, "GET");
  EXPECT_EQ(away.headers.get("Authorization"), std::nullopt);
  EXPECT_EQ(away.headers.get("Range"), "bytes=0-9");
  EXPECT_EQ(away.headers.get("Accept-Encoding"), "identity");

  HttpRequest back = policy.follow(away.url, "https://hub.example/again", away);
  EXPECT_EQ(back.headers.get("Authorization"), std::nullopt);
  EXPECT_FALSE(policy.authorizationMayBeForwarded);
}

TEST(RemoteRedirectPolicy, TheTokenGoesOnlyToTheFirstOrigin) {
  struct Case {
    std::string source;
    std::string target;
    bool keepsToken;
  };
  const std::vector<Case> cases = {
      {"https://hub.example/f", "https://hub.example:443/g", true},
      {"https://hub.example:443/f", "https://Hub.Example/g", true},
      {"https://hub.example:8443/f", "https://hub.example:8443/g", true},
      {"https://hub.example/f", "https://hub.example:8443/g", false},
      {"https://hub.example:8443/f", "https://hub.example/g", false},
      {"https://hub.example:8443/f", "https://hub.example:443/g", false},
      {"https://[::1]:8443/f", "https://[::1]:9443/g", false},
  };
  for (const Case& c : cases) {
    HttpRequest request;
    request.url = c.source;
    request.headers.set("Authorization", "Bearer t");
    RemoteRedirectPolicy policy = RemoteRedirectPolicy::forRequest(request, 5);
    const HttpRequest next = policy.follow(request.url, c.target, request);
    EXPECT_EQ(next.headers.get("Authorization"),
              c.keepsToken ? std::optional<std::string>("Bearer t") : std::nullopt)
        << c.source << " -> " << c.target;
    EXPECT_EQ(policy.authorizationMayBeForwarded, c.keepsToken) << c.source << " -> " << c.target;
  }
}

TEST(RemoteRedirectPolicy, RefusesPlainHTTPAndTooManyHops) {
  HttpRequest request;
  request.url = "https://hub.example/f";
  RemoteRedirectPolicy policy = RemoteRedirectPolicy::forRequest(request, 5);
  EXPECT_EQ(errorOf([&] { policy.follow(request.url, "http://cdn.example/f?sig=1", request); }),
            "remote redirect rejected for http://cdn.example/f: only HTTPS redirects are allowed");
  EXPECT_EQ(errorOf([&] { policy.follow(request.url, std::nullopt, request); }),
            "remote redirect rejected for <unknown>: only HTTPS redirects are allowed");

  RemoteRedirectPolicy counted = RemoteRedirectPolicy::forRequest(request, 5);
  for (int i = 0; i < 5; ++i) counted.follow(request.url, "https://hub.example/f", request);
  EXPECT_EQ(errorOf([&] {
              counted.follow("https://hub.example/f?x=1", "https://hub.example/g", request);
            }),
            "remote redirect rejected for https://hub.example/f: more than 5 redirects");
}

// One transfer through the scripted client into a fresh directory.
class RangeTransferTest : public ::testing::Test {
 protected:
  RemoteRangeTransferResult run(FakeTransport::Script script, RemoteRangeExpectation expected,
                                std::function<uint64_t()> clock = nullptr) {
    transport_ = std::make_shared<FakeTransport>(std::move(script));
    HttpRequest request;
    request.url = "https://hub.example/o/m/resolve/c/model-00001.safetensors";
    request.headers.set("Range", "bytes=0-99");
    request.headers.set("Authorization", "Bearer secret");
    return RemoteRangeTransfer::run(
        *transport_, HttpClientConfiguration{}, request, target(), expected, 5,
        [this](uint64_t n) { progress_.push_back(n); }, token_, std::move(clock));
  }
  std::string target() const { return dir_.file("ranges/r.tmp"); }
  bool targetExists() const { return std::filesystem::exists(target()); }

  testutil::TempDir dir_;
  std::shared_ptr<FakeTransport> transport_;
  std::vector<uint64_t> progress_;
  CancellationToken token_;
};

TEST_F(RangeTransferTest, BodyGoesStraightToTheFileWithThrottledProgress) {
  const std::string body(100, 'x');
  uint64_t clock = 0;
  const RemoteRangeTransferResult result = run(
      [&](const HttpRequest&) {
        FakeAnswer a{goodResponse(), body};
        a.chunkBytes = 10;
        return a;
      },
      expectation(0, 100, 1000), [&] { return clock += 100000000; });  // 0.1 s per chunk
  EXPECT_EQ(result, (RemoteRangeTransferResult{target(), 100}));
  EXPECT_EQ(testutil::readFile(target()), body);
  // The first chunk and the final one; the rest came within a second.
  EXPECT_EQ(progress_, (std::vector<uint64_t>{10, 100}));
  struct stat st;
  ASSERT_EQ(::stat(target().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(RangeTransferTest, ProgressAtMostOncePerSecondPlusTheFinalReport) {
  uint64_t clock = 0;
  run(
      [&](const HttpRequest&) {
        FakeAnswer a{goodResponse(), std::string(100, 'x')};
        a.chunkBytes = 5;
        return a;
      },
      expectation(0, 100, 1000), [&] { return clock += 250000000; });  // 0.25 s per chunk
  EXPECT_EQ(progress_, (std::vector<uint64_t>{5, 25, 45, 65, 85, 100}));
}

TEST_F(RangeTransferTest, ExcessBytesAreRefusedAndTheFileRemoved) {
  EXPECT_EQ(errorOf([&] {
              run(
                  [](const HttpRequest&) {
                    FakeAnswer a{goodResponse(), std::string(130, 'x')};
                    a.chunkBytes = 60;
                    return a;
                  },
                  expectation(0, 100, 1000));
            }),
            "remote body for model-00001.safetensors exceeded 100 bytes at 120 bytes");
  EXPECT_FALSE(targetExists());
}

TEST_F(RangeTransferTest, ShortBodiesAreTruncationsAndTheFileRemoved) {
  // The connection ends cleanly after half the body, or breaks after it.
  for (const bool broken : {false, true}) {
    EXPECT_EQ(errorOf([&] {
                run(
                    [&](const HttpRequest&) {
                      FakeAnswer a{goodResponse(), std::string(50, 'x')};
                      if (broken) {
                        a.failure = RemoteTransportError(
                            RemoteTransportError::Code::networkConnectionLost, "closed");
                      }
                      return a;
                    },
                    expectation(0, 100, 1000));
              }),
              "remote body for model-00001.safetensors was truncated: expected 100, received 50");
    EXPECT_FALSE(targetExists());
  }
}

TEST_F(RangeTransferTest, ClientErrorsPassThroughUnchanged) {
  EXPECT_EQ(errorOf([&] {
              run(
                  [](const HttpRequest&) {
                    FakeAnswer a;
                    a.noResponse = true;
                    a.failure =
                        RemoteTransportError(RemoteTransportError::Code::timedOut, "no answer");
                    return a;
                  },
                  expectation(0, 100, 1000));
            }),
            "network error (timed out): no answer");
  EXPECT_EQ(errorOf([&] {
              run(
                  [](const HttpRequest&) {
                    FakeAnswer a;
                    a.noResponse = true;
                    return a;
                  },
                  expectation(0, 100, 1000));
            }),
            "remote protocol invalid: range model-00001.safetensors completed without an accepted "
            "response");
  EXPECT_FALSE(targetExists());
}

TEST_F(RangeTransferTest, RedirectToStorageDropsTheTokenKeepsTheRange) {
  const RemoteRangeTransferResult result = run(
      [](const HttpRequest& request) {
        if (request.url.starts_with("https://hub.example/")) {
          return FakeAnswer{fakeResponse(302, {{"Location", "https://cdn.example/b?sig=1"}}), "x"};
        }
        return FakeAnswer{goodResponse(), std::string(100, 'y')};
      },
      expectation(0, 100, 1000));
  EXPECT_EQ(result.byteCount, 100u);
  ASSERT_EQ(transport_->requests.size(), 2u);
  EXPECT_EQ(transport_->requests[1].url, "https://cdn.example/b?sig=1");
  EXPECT_EQ(transport_->requests[1].headers.get("Authorization"), std::nullopt);
  EXPECT_EQ(transport_->requests[1].headers.get("Range"), "bytes=0-99");
}

TEST_F(RangeTransferTest, RefusedRedirectsEndTheTransfer) {
  EXPECT_EQ(errorOf([&] {
              run(
                  [](const HttpRequest&) {
                    return FakeAnswer{fakeResponse(302, {{"Location", "http://cdn.example/b"}})};
                  },
                  expectation(0, 100, 1000));
            }),
            "remote redirect rejected for http://cdn.example/b: only HTTPS redirects are allowed");
  EXPECT_EQ(transport_->requests.size(), 1u);
  EXPECT_FALSE(targetExists());

  EXPECT_EQ(errorOf([&] {
              run(
                  [](const HttpRequest& r) {
                    return FakeAnswer{fakeResponse(307, {{"Location", r.url + "x"}})};
                  },
                  expectation(0, 100, 1000));
            }),
            "remote redirect rejected for "
            "https://hub.example/o/m/resolve/c/model-00001.safetensorsxxxxx: more than 5 "
            "redirects");
  EXPECT_EQ(transport_->requests.size(), 6u);
  EXPECT_FALSE(targetExists());
}

TEST_F(RangeTransferTest, AnExistingTargetIsNeverOverwritten) {
  Posix::mkdirP(dir_.file("ranges"));
  testutil::writeFile(target(), "keep");
  EXPECT_EQ(errorOf([&] {
              run(
                  [](const HttpRequest&) {
                    return FakeAnswer{goodResponse(), std::string(100, 'x')};
                  },
                  expectation(0, 100, 1000));
            }),
            "open(" + target() + ") failed: errno 17");
  EXPECT_EQ(testutil::readFile(target()), "keep");
  EXPECT_TRUE(transport_ == nullptr || transport_->requests.empty());
}

TEST_F(RangeTransferTest, CancellationBeforeAndDuringTheTransfer) {
  token_.cancel();
  EXPECT_THROW(run(
                   [](const HttpRequest&) {
                     return FakeAnswer{goodResponse(), std::string(100, 'x')};
                   },
                   expectation(0, 100, 1000)),
               CancellationError);
  EXPECT_TRUE(transport_->requests.empty());
  EXPECT_FALSE(targetExists());

  token_.reset();
  EXPECT_THROW(run(
                   [&](const HttpRequest&) {
                     FakeAnswer a{goodResponse(), std::string(100, 'x')};
                     a.chunkBytes = 10;
                     return a;
                   },
                   expectation(0, 100, 1000),
                   [&] {
                     token_.cancel();  // cancelled while the first chunk is written
                     return uint64_t{0};
                   }),
               CancellationError);
  EXPECT_FALSE(targetExists());
}

TEST_F(RangeTransferTest, WriteFailuresAreRecordedAndTheFileRemoved) {
  Posix::testing::failNext(Posix::testing::Call::write, 28);
  EXPECT_EQ(errorOf([&] {
              run(
                  [](const HttpRequest&) {
                    return FakeAnswer{goodResponse(), std::string(100, 'x')};
                  },
                  expectation(0, 100, 1000));
            }),
            "pwrite(" + target() + ") short: expected 100, wrote 0, errno 28");
  Posix::testing::clearFaults();
  EXPECT_FALSE(targetExists());
}

}  // namespace
