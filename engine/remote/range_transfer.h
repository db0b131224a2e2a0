// A ranged transfer: exactly one byte range of one remote file into a new
// local file, with proof on the way that the server sent exactly that range
// of exactly that file version. The whole response (status, encoding,
// length, content range, content hash validator) is checked before any body
// byte is accepted; every byte is counted, excess and short bodies are
// refused, redirects are HTTPS only and lose the token once they leave the
// first origin, progress is reported at most once a second plus the final
// report, and the file is removed on any failure.
//
// A transfer is self-contained (its own connection, file and completion) and
// runs entirely on the calling thread, so several may run at once.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "engine/common/cancellation.h"
#include "engine/common/unique_fd.h"
#include "engine/remote/http_client.h"

struct RemoteRangeExpectation {
  std::string filename;                // the remote file's name, for messages
  uint64_t offset = 0;                 // first byte
  uint64_t length = 0;                 // byte count
  uint64_t totalSize = 0;              // size of the whole remote file
  std::optional<std::string> xetHash;  // what the server's strong ETag must equal

  bool operator==(const RemoteRangeExpectation&) const = default;
};

struct RemoteRangeTransferResult {
  std::string path;
  uint64_t byteCount = 0;

  bool operator==(const RemoteRangeTransferResult&) const = default;
};

// Receives the bytes received so far.
using RemoteProgress = std::function<void(uint64_t)>;

// Receives the body of an accepted response, in order: `bytes` are the
// range's bytes from `offset` (counted from the range's first byte). A throw
// ends the transfer with that error.
using RemoteRangeSink = std::function<void(uint64_t offset, std::span<const uint8_t> bytes)>;

// Sees the response a transfer accepted (it passed every check), before any
// of its body; `response.url` is the hop that gave it.
using RemoteAcceptedResponse = std::function<void(const HttpResponse& response)>;

// The hop-by-hop redirect decision of one transfer.
struct RemoteRedirectPolicy {
  std::optional<std::string> originalRange;
  std::optional<std::string> originalAuthorization;
  std::optional<std::string> sourceOrigin;  // RemoteURL::origin of the first request
  int64_t maximumRedirects = 5;
  int64_t redirectCount = 0;
  // Cleared for good once a hop leaves sourceOrigin (another host, scheme or
  // port): a chain that comes back to the first origin still carries no token.
  bool authorizationMayBeForwarded = true;

  static RemoteRedirectPolicy forRequest(const HttpRequest& request, int64_t maximumRedirects);

  // The request for the next hop: `proposed` (the current request moved to
  // `proposedURL`, nothing when the Location did not resolve) rewritten to a
  // GET with the original Range, identity encoding and the token only while
  // it may be forwarded. Throws remoteRedirectRejected after too many hops or
  // for a target that is not HTTPS.
  HttpRequest follow(const std::string& redirectResponseURL,
                     const std::optional<std::string>& proposedURL, HttpRequest proposed);
};

// The client callbacks of one transfer: validates the response, hands the
// body to the sink (for a file transfer: positioned writes to the target
// descriptor), and records the first failure (later ones are dropped). Not
// thread-safe: one transfer runs on one thread.
class RemoteRangeTransferDelegate final : public HttpExchange {
 public:
  // `targetPath` is the file the sink writes, removed on failure; empty when
  // the sink writes elsewhere.
  RemoteRangeTransferDelegate(std::string targetPath, RemoteRangeExpectation expectation,
                              RemoteRangeSink sink, RemoteProgress progress,
                              RemoteRedirectPolicy redirectPolicy,
                              std::function<uint64_t()> monotonicNs);

  Disposition response(const HttpResponse& response) override;
  Disposition data(std::span<const uint8_t> bytes) override;

  // The request of the next hop when the last response was a redirect that
  // the policy followed; cleared by the call.
  std::optional<HttpRequest> takeRedirect();
  // Prepares the delegate for the hop of `request`.
  void beginHop(const HttpRequest& request) { currentRequest_ = request; }
  // `observer` sees the accepted response; a throw ends the transfer.
  void observeAccepted(RemoteAcceptedResponse observer) { accepted_ = std::move(observer); }

  // Ends the transfer once: closes the file, removes it on failure, and
  // returns the result or throws the outcome's error. `clientError` is the
  // failure the client reported, if any.
  RemoteRangeTransferResult finish(std::exception_ptr clientError);

 private:
  void reject(std::exception_ptr error);
  void validate(const HttpResponse& response);

  std::string targetPath_;
  RemoteRangeExpectation expectation_;
  RemoteRangeSink sink_;
  RemoteProgress progress_;
  std::exception_ptr rejection_;  // the first failure
  uint64_t receivedBytes_ = 0;
  RemoteRedirectPolicy redirectPolicy_;
  bool responseAccepted_ = false;
  std::optional<uint64_t> lastProgressNanoseconds_;
  std::function<uint64_t()> monotonicNs_;
  bool terminal_ = false;
  HttpRequest currentRequest_;
  std::optional<HttpRequest> redirect_;
  RemoteAcceptedResponse accepted_;
};

namespace RemoteRangeTransfer {

// Checks a response against the expectation in the fixed order (status 206,
// identity encoding, Content-Length, Content-Range, strong validator) and
// throws the first failure. The response URL appears redacted.
void validateResponse(const HttpResponse& response, const RemoteRangeExpectation& expectation);

// Creates the parent directory and the target file (O_EXCL: an existing file
// is never overwritten; fileOpenFailed otherwise), then runs the transfer.
// On failure the target is gone. `monotonicNs` defaults to the steady clock.
// `accepted`, when set, sees the accepted response.
RemoteRangeTransferResult run(HttpTransport& transport,
                              const HttpClientConfiguration& configuration,
                              const HttpRequest& request, const std::string& targetPath,
                              const RemoteRangeExpectation& expectation, int64_t maximumRedirects,
                              const RemoteProgress& progress, const CancellationToken& cancel,
                              std::function<uint64_t()> monotonicNs = nullptr,
                              const RemoteAcceptedResponse& accepted = {});

// The same transfer with the body handed to `sink` instead of a new file; a
// failure leaves whatever the sink already received where it put it.
RemoteRangeTransferResult runToSink(HttpTransport& transport,
                                    const HttpClientConfiguration& configuration,
                                    const HttpRequest& request,
                                    const RemoteRangeExpectation& expectation,
                                    int64_t maximumRedirects, const RemoteProgress& progress,
                                    const CancellationToken& cancel, const RemoteRangeSink& sink,
                                    const RemoteAcceptedResponse& accepted = {});

}  // namespace RemoteRangeTransfer
