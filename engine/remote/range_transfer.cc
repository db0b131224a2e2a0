#include "engine/remote/range_transfer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>

#include "engine/common/repack_error.h"
#include "engine/io/posix.h"
#include "engine/remote/remote_url.h"
#include "engine/remote/response_headers.h"

namespace {

constexpr uint64_t kProgressIntervalNs = 1000000000;

[[noreturn]] void throwProtocol(std::string detail) {
  throw RepackError(RepackError::RemoteProtocolInvalid{std::move(detail)});
}

uint64_t steadyNanoseconds() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

}  // namespace

RemoteRedirectPolicy RemoteRedirectPolicy::forRequest(const HttpRequest& request,
                                                      int64_t maximumRedirects) {
  RemoteRedirectPolicy policy;
  policy.originalRange = request.headers.get("Range");
  policy.originalAuthorization = request.headers.get("Authorization");
  policy.sourceOrigin = RemoteURL::origin(request.url);
  policy.maximumRedirects = maximumRedirects;
  return policy;
}

HttpRequest RemoteRedirectPolicy::follow(const std::string& redirectResponseURL,
                                         const std::optional<std::string>& proposedURL,
                                         HttpRequest proposed) {
  redirectCount += 1;
  if (redirectCount > maximumRedirects) {
    throw RepackError(RepackError::RemoteRedirectRejected{
        RemoteURL::redacted(redirectResponseURL),
        "more than " + std::to_string(maximumRedirects) + " redirects"});
  }
  const std::optional<std::string> scheme =
      proposedURL ? RemoteURL::scheme(*proposedURL) : std::nullopt;
  if (!proposedURL || scheme != "https") {
    throw RepackError(RepackError::RemoteRedirectRejected{RemoteURL::redacted(proposedURL),
                                                          "only HTTPS redirects are allowed"});
  }
  const std::optional<std::string> origin = RemoteURL::origin(*proposedURL);
  if (!origin || !sourceOrigin || origin != sourceOrigin) authorizationMayBeForwarded = false;

  proposed.url = *proposedURL;
  proposed.method = "GET";
  if (originalRange) {
    proposed.headers.set("Range", *originalRange);
  } else {
    proposed.headers.remove("Range");
  }
  proposed.headers.set("Accept-Encoding", "identity");
  if (originalAuthorization && authorizationMayBeForwarded) {
    proposed.headers.set("Authorization", *originalAuthorization);
  } else {
    proposed.headers.remove("Authorization");
  }
  return proposed;
}

RemoteRangeTransferDelegate::RemoteRangeTransferDelegate(std::string targetPath,
                                                         RemoteRangeExpectation expectation,
                                                         RemoteRangeSink sink,
                                                         RemoteProgress progress,
                                                         RemoteRedirectPolicy redirectPolicy,
                                                         std::function<uint64_t()> monotonicNs)
    : targetPath_(std::move(targetPath)),
      expectation_(std::move(expectation)),
      sink_(std::move(sink)),
      progress_(std::move(progress)),
      redirectPolicy_(std::move(redirectPolicy)),
      monotonicNs_(monotonicNs ? std::move(monotonicNs) : steadyNanoseconds) {}

void RemoteRangeTransferDelegate::reject(std::exception_ptr error) {
  if (!rejection_) rejection_ = std::move(error);
}

std::optional<HttpRequest> RemoteRangeTransferDelegate::takeRedirect() {
  std::optional<HttpRequest> next = std::move(redirect_);
  redirect_.reset();
  return next;
}

HttpExchange::Disposition RemoteRangeTransferDelegate::response(const HttpResponse& response) {
  if (rejection_) return Disposition::stop;
  if (isRedirectStatus(response.status)) {
    if (const std::optional<std::string> location = response.headers.get("Location")) {
      try {
        redirect_ = redirectPolicy_.follow(
            response.url, RemoteURL::resolve(response.url, *location), currentRequest_);
      } catch (...) {
        reject(std::current_exception());  // the redirect response itself is then refused
      }
      return Disposition::stop;
    }
  }
  try {
    RemoteRangeTransfer::validateResponse(response, expectation_);
    if (accepted_) accepted_(response);
  } catch (...) {
    reject(std::current_exception());
    return Disposition::stop;
  }
  responseAccepted_ = true;
  return Disposition::proceed;
}

HttpExchange::Disposition RemoteRangeTransferDelegate::data(std::span<const uint8_t> bytes) {
  if (!responseAccepted_ || rejection_) return Disposition::stop;
  if (bytes.empty()) return Disposition::proceed;
  const uint64_t total = receivedBytes_ + bytes.size();
  if (total > expectation_.length) {
    reject(std::make_exception_ptr(RepackError(
        RepackError::RemoteBodyExceeded{expectation_.filename, expectation_.length, total})));
    return Disposition::stop;
  }
  try {
    sink_(receivedBytes_, bytes);
  } catch (...) {
    reject(std::current_exception());
    return Disposition::stop;
  }
  receivedBytes_ = total;
  const uint64_t now = monotonicNs_();
  if (receivedBytes_ == expectation_.length || !lastProgressNanoseconds_ ||
      now - *lastProgressNanoseconds_ >= kProgressIntervalNs) {
    lastProgressNanoseconds_ = now;
    if (progress_) progress_(receivedBytes_);
  }
  return Disposition::proceed;
}

RemoteRangeTransferResult RemoteRangeTransferDelegate::finish(std::exception_ptr clientError) {
  if (terminal_) throw std::logic_error("range transfer finished twice");
  terminal_ = true;
  sink_ = nullptr;  // closes a file the sink owns
  std::exception_ptr failure;
  if (rejection_) {
    failure = rejection_;
  } else if (clientError) {
    // A connection that closed before the declared length leaves a short body
    // behind an accepted response: report it as the truncation it is.
    bool truncated = false;
    try {
      std::rethrow_exception(clientError);
    } catch (const RemoteTransportError& e) {
      truncated = e.code() == RemoteTransportError::Code::networkConnectionLost &&
                  responseAccepted_ && receivedBytes_ < expectation_.length;
    } catch (...) {
    }
    failure = truncated ? std::make_exception_ptr(RepackError(RepackError::RemoteBodyTruncated{
                              expectation_.filename, expectation_.length, receivedBytes_}))
                        : clientError;
  } else if (responseAccepted_ && receivedBytes_ == expectation_.length) {
    return RemoteRangeTransferResult{targetPath_, receivedBytes_};
  } else if (responseAccepted_) {
    failure = std::make_exception_ptr(RepackError(RepackError::RemoteBodyTruncated{
        expectation_.filename, expectation_.length, receivedBytes_}));
  } else {
    failure = std::make_exception_ptr(RepackError(RepackError::RemoteProtocolInvalid{
        "range " + expectation_.filename + " completed without an accepted response"}));
  }
  if (!targetPath_.empty()) ::unlink(targetPath_.c_str());  // a failure to remove is ignored
  std::rethrow_exception(failure);
}

namespace RemoteRangeTransfer {

void validateResponse(const HttpResponse& response, const RemoteRangeExpectation& expectation) {
  const std::string& name = expectation.filename;
  if (response.status != 206) {
    throw RepackError(RepackError::RemoteHTTPResponse{
        RemoteURL::redacted(response.url), response.status, response.headers.get("Retry-After"),
        response.headers.get("RateLimit")});
  }
  const std::string encoding = RemoteHeaders::lowercased(
      RemoteHeaders::trimmed(response.headers.get("Content-Encoding").value_or("identity")));
  if (encoding != "identity") throwProtocol("compressed range response for " + name);

  const std::optional<std::string> lengthHeader = response.headers.get("Content-Length");
  const std::optional<uint64_t> length =
      lengthHeader ? RemoteHeaders::parseUnsignedDecimal(*lengthHeader) : std::nullopt;
  if (length != expectation.length) throwProtocol("wrong Content-Length for " + name);

  const std::optional<std::string> contentRange = response.headers.get("Content-Range");
  if (!contentRange) throwProtocol("missing Content-Range for " + name);
  constexpr std::string_view kUnit = "bytes ";
  if (!contentRange->starts_with(kUnit)) throwProtocol("malformed Content-Range " + *contentRange);
  const std::optional<RemoteHeaders::ContentRange> range =
      RemoteHeaders::parseContentRangeBytes(std::string_view(*contentRange).substr(kUnit.size()));
  // offset + length - 1 cannot wrap: the caller checked it against totalSize.
  if (!range || range->start != expectation.offset ||
      range->end != expectation.offset + expectation.length - 1 ||
      range->total != expectation.totalSize) {
    throwProtocol("wrong Content-Range " + *contentRange);
  }
  if (expectation.xetHash) {
    const std::optional<std::string> etag = response.headers.get("ETag");
    const std::optional<std::string> validator =
        etag ? RemoteHeaders::normalizedStrongETag(*etag) : std::nullopt;
    if (!validator || *validator != RemoteHeaders::lowercased(*expectation.xetHash)) {
      throwProtocol("final ranged validator differs for " + name);
    }
  }
}

namespace {

// Runs every hop of one transfer through `delegate` and ends it.
RemoteRangeTransferResult perform(HttpTransport& transport,
                                  const HttpClientConfiguration& configuration,
                                  const HttpRequest& request, RemoteRangeTransferDelegate& delegate,
                                  const CancellationToken& cancel) {
  std::exception_ptr clientError;
  try {
    HttpRequest hop = request;
    for (;;) {
      delegate.beginHop(hop);
      transport.perform(configuration, hop, delegate, cancel);
      std::optional<HttpRequest> next = delegate.takeRedirect();
      if (!next) break;
      hop = std::move(*next);
    }
  } catch (...) {
    clientError = std::current_exception();
  }
  return delegate.finish(clientError);
}

}  // namespace

RemoteRangeTransferResult run(HttpTransport& transport,
                              const HttpClientConfiguration& configuration,
                              const HttpRequest& request, const std::string& targetPath,
                              const RemoteRangeExpectation& expectation, int64_t maximumRedirects,
                              const RemoteProgress& progress, const CancellationToken& cancel,
                              std::function<uint64_t()> monotonicNs,
                              const RemoteAcceptedResponse& accepted) {
  const std::filesystem::path parent = std::filesystem::path(targetPath).parent_path();
  if (!parent.empty()) Posix::mkdirP(parent.string());
  const int fd =
      Posix::sys::open(targetPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    const int err = errno;
    throw RepackError(RepackError::FileOpenFailed{targetPath, err});
  }
  auto file = std::make_shared<UniqueFd>(fd);
  RemoteRangeSink sink = [file, targetPath](uint64_t offset, std::span<const uint8_t> bytes) {
    Posix::pwriteAll(file->get(), targetPath, bytes.data(), static_cast<int64_t>(bytes.size()),
                     offset);
  };
  RemoteRangeTransferDelegate delegate(targetPath, expectation, std::move(sink), progress,
                                       RemoteRedirectPolicy::forRequest(request, maximumRedirects),
                                       std::move(monotonicNs));
  delegate.observeAccepted(accepted);
  return perform(transport, configuration, request, delegate, cancel);
}

RemoteRangeTransferResult runToSink(HttpTransport& transport,
                                    const HttpClientConfiguration& configuration,
                                    const HttpRequest& request,
                                    const RemoteRangeExpectation& expectation,
                                    int64_t maximumRedirects, const RemoteProgress& progress,
                                    const CancellationToken& cancel, const RemoteRangeSink& sink,
                                    const RemoteAcceptedResponse& accepted) {
  RemoteRangeTransferDelegate delegate("", expectation, sink, progress,
                                       RemoteRedirectPolicy::forRequest(request, maximumRedirects),
                                       nullptr);
  delegate.observeAccepted(accepted);
  return perform(transport, configuration, request, delegate, cancel);
}

}  // namespace RemoteRangeTransfer
