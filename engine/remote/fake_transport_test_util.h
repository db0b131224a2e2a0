// A scripted stand-in for the HTTP client: each request is answered by a
// function of the request, and every request is recorded. For the unit
// tests of the hub client's decisions; real connections are tested against
// the loopback test hub.
#pragma once

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/remote/http_client.h"

struct FakeAnswer {
  FakeAnswer() = default;
  FakeAnswer(HttpResponse r, std::string b = {}, size_t chunk = 4096)
      : response(std::move(r)), body(std::move(b)), chunkBytes(chunk) {}

  HttpResponse response;
  std::string body;
  size_t chunkBytes = 4096;
  // Thrown after the body (or in place of any response when noResponse).
  std::optional<RemoteTransportError> failure;
  bool noResponse = false;
};

class FakeTransport final : public HttpTransport {
 public:
  using Script = std::function<FakeAnswer(const HttpRequest&)>;
  explicit FakeTransport(Script script) : script_(std::move(script)) {}

  Outcome perform(const HttpClientConfiguration&, const HttpRequest& request,
                  HttpExchange& exchange, const CancellationToken& cancel) override {
    cancel.check();
    requests.push_back(request);
    FakeAnswer answer = script_(request);
    if (answer.response.url.empty()) answer.response.url = request.url;
    if (answer.noResponse) {
      if (answer.failure) throw *answer.failure;
      return Outcome::completed;
    }
    if (exchange.response(answer.response) == HttpExchange::Disposition::stop) {
      return Outcome::stopped;
    }
    const size_t chunk = std::max<size_t>(1, answer.chunkBytes);
    for (size_t at = 0; at < answer.body.size(); at += chunk) {
      cancel.check();
      const size_t n = std::min(chunk, answer.body.size() - at);
      const auto* bytes = reinterpret_cast<const uint8_t*>(answer.body.data() + at);
      if (exchange.data({bytes, n}) == HttpExchange::Disposition::stop) return Outcome::stopped;
    }
    if (answer.failure) throw *answer.failure;
    return Outcome::completed;
  }

  std::vector<HttpRequest> requests;

 private:
  Script script_;
};

// A response with the given status and header fields.
inline HttpResponse fakeResponse(int64_t status,
                                 std::vector<std::pair<std::string, std::string>> fields) {
  HttpResponse response;
  response.status = status;
  for (auto& [name, value] : fields) response.headers.append(std::move(name), std::move(value));
  return response;
}
