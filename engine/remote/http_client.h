// The HTTP client seam of the hub client. One call of HttpTransport::perform
// is one request/response exchange: redirects are never followed here (the
// callers' redirect policies decide each hop and issue the next request
// themselves), and the body is handed to the caller chunk by chunk, never
// accumulated. What a call leaves behind for later calls is at most an open
// connection, with its TLS session, to the host it asked, kept only when the
// response arrived complete; a later request to that host may travel on it.
// No cookie, credential, header, cache or redirect state survives a call:
// every request carries exactly the fields it was given.
//
// CurlHttpTransport is the real client (libcurl, a pool of easy handles whose
// idle connections are reused, and TLS sessions and resolved names shared by
// all of them). Tests wrap or replace it to inject failures, exactly as the
// hub client would see them from the network.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/common/cancellation.h"

// A header list whose names compare without regard to case.
class HttpHeaders {
 public:
  // The value of `name`; several fields of that name are joined with ", ".
  std::optional<std::string> get(std::string_view name) const;
  // Replaces every field of `name` with one field.
  void set(std::string name, std::string value);
  void remove(std::string_view name);
  // Appends a field as received (duplicates kept).
  void append(std::string name, std::string value);

  const std::vector<std::pair<std::string, std::string>>& fields() const { return fields_; }

 private:
  std::vector<std::pair<std::string, std::string>> fields_;
};

struct HttpRequest {
  std::string method = "GET";
  std::string url;
  HttpHeaders headers;
  double timeoutSeconds = 60;  // idle and connect time-out of this request
};

struct HttpResponse {
  int64_t status = 0;
  std::string url;  // the URL that gave this response
  HttpHeaders headers;
};

// Client settings shared by every request of one download session.
struct HttpClientConfiguration {
  double idleTimeoutSeconds = 300;         // no byte for this long ends a request
  double resourceTimeoutSeconds = 604800;  // whole-request ceiling
  // PEM bundle of trusted certificate authorities; the system store when absent.
  std::optional<std::string> caBundlePath;
};

// The receiver of one exchange. Callbacks arrive on the thread that called
// perform, in order: response once (after the complete header block of the
// final, non-informational response), then data chunks. Returning
// Disposition::stop ends the exchange; no callback follows. (The short body of
// a stopped redirect or error answer is still read and dropped, so that its
// connection can carry the next request; any other stop closes it.)
class HttpExchange {
 public:
  enum class Disposition { proceed, stop };
  virtual ~HttpExchange() = default;
  virtual Disposition response(const HttpResponse& response) = 0;
  virtual Disposition data(std::span<const uint8_t> bytes) = 0;
};

// A failure of the client or the network, not of the server's answer. Its
// code tells the retry policy whether trying again can help.
class RemoteTransportError : public std::exception {
 public:
  enum class Code {
    timedOut,
    networkConnectionLost,
    cannotConnectToHost,
    dnsLookupFailed,
    notConnectedToInternet,
    resourceUnavailable,
    other,
  };
  RemoteTransportError(Code code, std::string detail);
  Code code() const { return code_; }
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  Code code_;
  std::string text_;
};

class HttpTransport {
 public:
  enum class Outcome {
    completed,  // the whole response was delivered
    stopped,    // the exchange returned Disposition::stop
  };
  virtual ~HttpTransport() = default;
  // Sends the request (HEAD sends no body and expects none) and delivers the
  // response to `exchange`. Throws RemoteTransportError on a client or
  // network failure, CancellationError when `cancel` was set during the
  // call, configurationInvalid for a header field that holds a line break,
  // and rethrows whatever a callback threw.
  virtual Outcome perform(const HttpClientConfiguration& configuration, const HttpRequest& request,
                          HttpExchange& exchange, const CancellationToken& cancel) = 0;
  // Keeps at most `connections` handles, busy and idle together, from now
  // on: idle ones beyond it are closed as calls end (0 restores the
  // default). A client backing off from a server's connection limit must
  // not keep idle connections open there either.
  virtual void limitConnections(size_t /*connections*/) {}
};

// libcurl with automatic redirects off and the proxy environment variables
// honoured. One process-wide instance, which owns the connection pool; it may
// serve any number of threads at once.
std::shared_ptr<HttpTransport> curlHttpTransport();

// What kind of failure a libcurl result (a CURLcode other than CURLE_OK) is.
// A connection that broke, also during the TLS handshake (a reset there is a
// connect error to libcurl), and HTTP/2 framing errors are a lost connection,
// which a new connection may cure; certificate failures, and every code not
// named, are `other`, which is final.
RemoteTransportError::Code classifyCurlCode(int code);

// True for the statuses whose Location proposes the next hop: 301, 302, 303,
// 307 and 308.
bool isRedirectStatus(int64_t status);
