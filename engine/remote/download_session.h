// The HTTP client settings shared by every remote operation of one install,
// and its two kinds of request: a one-shot metadata request (HEAD) whose
// redirects are followed only within the first request's origin, and a ranged
// transfer into a new file or to a sink. A request may travel on a connection
// an earlier complete request to the same host left open (see HttpTransport);
// no header, credential or callback state crosses requests.
//
// A session is created once (by the command line) and only read afterwards;
// any number of threads may issue requests on it at once.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "engine/common/cancellation.h"
#include "engine/remote/http_client.h"
#include "engine/remote/range_transfer.h"
#include "engine/remote/retry_policy.h"

struct RemoteDownloadSessionPolicy {
  double requestTimeoutSeconds = 300;      // idle time-out of a request
  double resourceTimeoutSeconds = 604800;  // whole-request ceiling (seven days)
  // Kept for the record; libcurl reports an unreachable network at once and
  // the retry policy decides what happens next.
  bool waitsForConnectivity = true;
  // Kept for the record: a request occupies one connection at a time, and
  // idle connections are reused by later requests to the same host, so the
  // connections per host are as many as requests running at once.
  int64_t maximumConnectionsPerHost = 1;
  int64_t maximumRedirects = 5;

  bool operator==(const RemoteDownloadSessionPolicy&) const = default;
};

// The size of one download range of an install, and the largest allowed.
namespace RemoteChunkPolicy {
inline constexpr int64_t defaultBytes = 67108864;
inline constexpr int64_t maxBytes = 67108864;
}  // namespace RemoteChunkPolicy

// The redirect decision of one metadata request: only HTTPS hops that stay on
// the first request's origin (scheme, host and port) are followed, with the
// first request's method and token. Not following is not an error: the 3xx
// becomes the answer, as it must for the hub's redirect of a large file.
struct RemoteMetadataRedirectPolicy {
  std::optional<std::string> sourceOrigin;  // RemoteURL::origin of the first request
  std::optional<std::string> originalMethod;
  std::optional<std::string> originalAuthorization;
  int64_t maximumRedirects = 5;
  int64_t redirectCount = 0;

  static RemoteMetadataRedirectPolicy forRequest(const HttpRequest& request,
                                                 int64_t maximumRedirects);
  // The next hop's request, or nothing when the redirect is not followed.
  std::optional<HttpRequest> follow(const std::optional<std::string>& proposedURL,
                                    HttpRequest proposed);
};

struct RemoteMetadataResponse {
  std::string body;                      // at most kMetadataBodyCap bytes
  std::optional<HttpResponse> response;  // nothing when no HTTP answer arrived
};

// Where a session's services come from. Everything has the real default;
// tests replace the transport (to inject failures), the token and the retry
// environment (so that back-off never sleeps).
struct RemoteDownloadSessionOptions {
  std::optional<std::string> caBundlePath;   // trusted CAs; the system store when absent
  std::shared_ptr<HttpTransport> transport;  // libcurl when null
  // The token every request and back-off pause checks; it must outlive the
  // session. The process token when null.
  const CancellationToken* cancellation = nullptr;
  std::optional<RemoteRetryEnvironment> retryEnvironment;  // the system one when absent
};

class RemoteDownloadSession {
 public:
  // The largest body a metadata request keeps; a longer one is refused.
  static constexpr uint64_t kMetadataBodyCap = 1048576;

  explicit RemoteDownloadSession(RemoteDownloadSessionPolicy policy = {},
                                 RemoteDownloadSessionOptions options = {});

  const RemoteDownloadSessionPolicy& policy() const { return policy_; }
  const HttpClientConfiguration& configuration() const { return configuration_; }
  const CancellationToken& cancellation() const { return *cancellation_; }
  const RemoteRetryEnvironment& retryEnvironment() const { return retryEnvironment_; }
  HttpTransport& transport() const { return *transport_; }

  // One metadata request (HEAD in practice) with the redirect policy above.
  RemoteMetadataResponse response(const HttpRequest& request) const;

  // One ranged transfer into `targetPath` (created with O_EXCL; removed on
  // failure). `accepted`, when set, sees the response the transfer accepted.
  RemoteRangeTransferResult transfer(const HttpRequest& request, const std::string& targetPath,
                                     const RemoteRangeExpectation& expectation,
                                     const RemoteProgress& progress,
                                     const RemoteAcceptedResponse& accepted = {}) const;

  // One ranged transfer whose body goes to `sink`; stopped by `cancel`
  // (which the caller sets, for example, when the session's token is set).
  RemoteRangeTransferResult transferToSink(const HttpRequest& request,
                                           const RemoteRangeExpectation& expectation,
                                           const RemoteProgress& progress,
                                           const RemoteRangeSink& sink,
                                           const CancellationToken& cancel,
                                           const RemoteAcceptedResponse& accepted = {}) const;

 private:
  RemoteDownloadSessionPolicy policy_;
  HttpClientConfiguration configuration_;
  std::shared_ptr<HttpTransport> transport_;
  const CancellationToken* cancellation_;
  RemoteRetryEnvironment retryEnvironment_;
};
