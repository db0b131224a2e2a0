#include "engine/remote/download_session.h"

#include <gtest/gtest.h>

#include "engine/remote/fake_transport_test_util.h"
#include "tests/test_util.h"

namespace {

HttpRequest headRequest() {
  HttpRequest request;
  request.method = "HEAD";
  request.url = "https://hub.example/o/m/resolve/main/model.safetensors";
  request.headers.set("Authorization", "Bearer secret");
  request.headers.set("Accept-Encoding", "identity");
  return request;
}

std::shared_ptr<FakeTransport> redirectingTo(std::vector<std::string> locations) {
  return std::make_shared<FakeTransport>([locations, hop = size_t{0}](const HttpRequest&) mutable {
    if (hop < locations.size()) {
      return FakeAnswer{fakeResponse(302, {{"Location", locations[hop++]}, {"X-Hop", "redirect"}})};
    }
    return FakeAnswer{fakeResponse(200, {{"X-Hop", "final"}})};
  });
}

RemoteMetadataResponse send(const std::shared_ptr<FakeTransport>& transport,
                            const HttpRequest& request = headRequest()) {
  RemoteDownloadSessionOptions options;
  options.transport = transport;
  const RemoteDownloadSession session(RemoteDownloadSessionPolicy{}, options);
  return session.response(request);
}

TEST(MetadataRedirects, SameOriginInAnyCaseIsFollowedWithTheFirstMethodAndToken) {
  auto transport = redirectingTo({"https://HUB.Example/o/renamed/resolve/main/model.safetensors",
                                  "https://hub.example:443/o/again/resolve/main/model.safetensors",
                                  "/o/final/resolve/main/model.safetensors"});
  const RemoteMetadataResponse answer = send(transport);
  ASSERT_TRUE(answer.response);
  EXPECT_EQ(answer.response->status, 200);
  ASSERT_EQ(transport->requests.size(), 4u);
  EXPECT_EQ(transport->requests[3].url,
            "https://hub.example:443/o/final/resolve/main/model.safetensors");
  for (const HttpRequest& r : transport->requests) {
    EXPECT_EQ(r.method, "HEAD");
    EXPECT_EQ(r.headers.get("Authorization"), "Bearer secret");
    EXPECT_EQ(r.headers.get("Accept-Encoding"), "identity");
  }
}

TEST(MetadataRedirects, UnfollowedRedirectsAreTheAnswer) {
  const std::vector<std::vector<std::string>> chains = {
      {"https://cdn.example/blob?Signature=s"},  // another host
      {"https://hub.example:8443/o/m"},          // another port of the same host
      {"http://hub.example/o/m"},                // not HTTPS
      {"https://hub.example/1", "https://hub.example/2", "https://hub.example/3",
       "https://hub.example/4", "https://hub.example/5", "https://hub.example/6"},
  };
  for (const auto& chain : chains) {
    auto transport = redirectingTo(chain);
    const RemoteMetadataResponse answer = send(transport);
    ASSERT_TRUE(answer.response);
    EXPECT_EQ(answer.response->status, 302) << chain.back();
    EXPECT_EQ(answer.response->headers.get("x-hop"), "redirect");
    // Nothing was sent to the host that was not followed.
    EXPECT_EQ(transport->requests.size(), std::min<size_t>(chain.size(), 6)) << chain.back();
  }
}

TEST(MetadataRedirects, OversizedBodiesAreRefused) {
  auto transport = std::make_shared<FakeTransport>([](const HttpRequest&) {
    return FakeAnswer{fakeResponse(200, {}),
                      std::string(RemoteDownloadSession::kMetadataBodyCap + 1, 'x'), 65536};
  });
  HttpRequest get = headRequest();
  get.method = "GET";
  get.url += "?secret=1";
  EXPECT_EQ(testutil::errorOf([&] { send(transport, get); }),
            "remote body for https://hub.example/o/m/resolve/main/model.safetensors exceeded "
            "1048576 bytes at 1048577 bytes");
}

TEST(RemoteDownloadSession, ConfigurationComesFromThePolicy) {
  RemoteDownloadSessionPolicy policy;
  policy.requestTimeoutSeconds = 2;
  RemoteDownloadSessionOptions options;
  options.caBundlePath = "/etc/hub-ca.pem";
  const RemoteDownloadSession session(policy, options);
  EXPECT_EQ(session.configuration().idleTimeoutSeconds, 2);
  EXPECT_EQ(session.configuration().resourceTimeoutSeconds, 604800);
  EXPECT_EQ(session.configuration().caBundlePath, "/etc/hub-ca.pem");
  EXPECT_EQ(&session.cancellation(), &CancellationToken::process());
}

}  // namespace
