#include "engine/remote/download_session.h"

#include "engine/common/repack_error.h"
#include "engine/remote/remote_url.h"

RemoteMetadataRedirectPolicy RemoteMetadataRedirectPolicy::forRequest(const HttpRequest& request,
                                                                      int64_t maximumRedirects) {
  RemoteMetadataRedirectPolicy policy;
  policy.sourceOrigin = RemoteURL::origin(request.url);
  policy.originalMethod = request.method;
  policy.originalAuthorization = request.headers.get("Authorization");
  policy.maximumRedirects = maximumRedirects;
  return policy;
}

std::optional<HttpRequest> RemoteMetadataRedirectPolicy::follow(
    const std::optional<std::string>& proposedURL, HttpRequest proposed) {
  redirectCount += 1;
  if (redirectCount > maximumRedirects) return std::nullopt;
  if (!proposedURL || RemoteURL::scheme(*proposedURL) != "https") return std::nullopt;
  const std::optional<std::string> origin = RemoteURL::origin(*proposedURL);
  if (!origin || origin != sourceOrigin) return std::nullopt;
  proposed.url = *proposedURL;
  if (originalMethod) proposed.method = *originalMethod;
  proposed.headers.set("Accept-Encoding", "identity");
  if (originalAuthorization) {
    proposed.headers.set("Authorization", *originalAuthorization);
  } else {
    proposed.headers.remove("Authorization");
  }
  return proposed;
}

namespace {

// Collects one metadata response; a redirect that the policy follows is not
// read further.
class MetadataExchange final : public HttpExchange {
 public:
  explicit MetadataExchange(RemoteMetadataRedirectPolicy& policy) : policy_(policy) {}

  void beginHop(const HttpRequest& request) {
    request_ = request;
    next_.reset();
    response_.reset();
    body_.clear();
  }

  Disposition response(const HttpResponse& response) override {
    if (isRedirectStatus(response.status)) {
      if (const std::optional<std::string> location = response.headers.get("Location")) {
        next_ = policy_.follow(RemoteURL::resolve(response.url, *location), request_);
        if (next_) return Disposition::stop;
      }
    }
    response_ = response;
    return Disposition::proceed;
  }

  Disposition data(std::span<const uint8_t> bytes) override {
    const uint64_t total = body_.size() + bytes.size();
    if (total > RemoteDownloadSession::kMetadataBodyCap) {
      throw RepackError(RepackError::RemoteBodyExceeded{
          RemoteURL::redacted(response_->url), RemoteDownloadSession::kMetadataBodyCap, total});
    }
    body_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return Disposition::proceed;
  }

  std::optional<HttpRequest>& next() { return next_; }
  std::optional<HttpResponse>& finalResponse() { return response_; }
  std::string& body() { return body_; }

 private:
  RemoteMetadataRedirectPolicy& policy_;
  HttpRequest request_;
  std::optional<HttpRequest> next_;
  std::optional<HttpResponse> response_;
  std::string body_;
};

}  // namespace

RemoteDownloadSession::RemoteDownloadSession(RemoteDownloadSessionPolicy policy,
                                             RemoteDownloadSessionOptions options)
    : policy_(policy),
      transport_(options.transport ? std::move(options.transport) : curlHttpTransport()),
      cancellation_(options.cancellation ? options.cancellation : &CancellationToken::process()) {
  configuration_.idleTimeoutSeconds = policy_.requestTimeoutSeconds;
  configuration_.resourceTimeoutSeconds = policy_.resourceTimeoutSeconds;
  configuration_.caBundlePath = std::move(options.caBundlePath);
  retryEnvironment_ = options.retryEnvironment ? std::move(*options.retryEnvironment)
                                               : RemoteRetryEnvironment::system(*cancellation_);
}

RemoteMetadataResponse RemoteDownloadSession::response(const HttpRequest& request) const {
  RemoteMetadataRedirectPolicy policy =
      RemoteMetadataRedirectPolicy::forRequest(request, policy_.maximumRedirects);
  MetadataExchange exchange(policy);
  HttpRequest hop = request;
  for (;;) {
    exchange.beginHop(hop);
    transport_->perform(configuration_, hop, exchange, *cancellation_);
    if (!exchange.next()) break;
    hop = std::move(*exchange.next());
  }
  return RemoteMetadataResponse{std::move(exchange.body()), std::move(exchange.finalResponse())};
}

RemoteRangeTransferResult RemoteDownloadSession::transfer(
    const HttpRequest& request, const std::string& targetPath,
    const RemoteRangeExpectation& expectation, const RemoteProgress& progress,
    const RemoteAcceptedResponse& accepted) const {
  return RemoteRangeTransfer::run(*transport_, configuration_, request, targetPath, expectation,
                                  policy_.maximumRedirects, progress, *cancellation_, nullptr,
                                  accepted);
}

RemoteRangeTransferResult RemoteDownloadSession::transferToSink(
    const HttpRequest& request, const RemoteRangeExpectation& expectation,
    const RemoteProgress& progress, const RemoteRangeSink& sink, const CancellationToken& cancel,
    const RemoteAcceptedResponse& accepted) const {
  return RemoteRangeTransfer::runToSink(*transport_, configuration_, request, expectation,
                                        policy_.maximumRedirects, progress, cancel, sink, accepted);
}
