#include "engine/remote/http_client.h"

#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <climits>
#include <cmath>
#include <mutex>

#include "engine/common/repack_error.h"
#include "engine/remote/response_headers.h"

std::optional<std::string> HttpHeaders::get(std::string_view name) const {
  std::optional<std::string> value;
  for (const auto& [fieldName, fieldValue] : fields_) {
    if (!RemoteHeaders::equalsIgnoringCase(fieldName, name)) continue;
    if (value) {
      *value += ", ";
      *value += fieldValue;
    } else {
      value = fieldValue;
    }
  }
  return value;
}

void HttpHeaders::set(std::string name, std::string value) {
  remove(name);
  fields_.emplace_back(std::move(name), std::move(value));
}

void HttpHeaders::remove(std::string_view name) {
  std::erase_if(fields_, [&](const auto& field) {
    return RemoteHeaders::equalsIgnoringCase(field.first, name);
  });
}

void HttpHeaders::append(std::string name, std::string value) {
  fields_.emplace_back(std::move(name), std::move(value));
}

namespace {

std::string_view codeName(RemoteTransportError::Code code) {
  switch (code) {
    case RemoteTransportError::Code::timedOut:
      return "timed out";
    case RemoteTransportError::Code::networkConnectionLost:
      return "network connection lost";
    case RemoteTransportError::Code::cannotConnectToHost:
      return "cannot connect to host";
    case RemoteTransportError::Code::dnsLookupFailed:
      return "DNS lookup failed";
    case RemoteTransportError::Code::notConnectedToInternet:
      return "not connected to the internet";
    case RemoteTransportError::Code::resourceUnavailable:
      return "resource unavailable";
    case RemoteTransportError::Code::other:
      return "transfer failed";
  }
  return "transfer failed";
}

}  // namespace

RemoteTransportError::RemoteTransportError(Code code, std::string detail)
    : code_(code), text_("network error (" + std::string(codeName(code)) + "): " + detail) {}

bool isRedirectStatus(int64_t status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

RemoteTransportError::Code classifyCurlCode(int code) {
  switch (static_cast<CURLcode>(code)) {
    case CURLE_OPERATION_TIMEDOUT:
      return RemoteTransportError::Code::timedOut;
    case CURLE_COULDNT_CONNECT:
      return RemoteTransportError::Code::cannotConnectToHost;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return RemoteTransportError::Code::dnsLookupFailed;
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    // With OpenSSL an untrusted or mismatched certificate is
    // CURLE_PEER_FAILED_VERIFICATION and an unusable CA file
    // CURLE_SSL_CACERT_BADFILE, so this code is left to broken handshakes.
    case CURLE_SSL_CONNECT_ERROR:
      return RemoteTransportError::Code::networkConnectionLost;
    default:
      return RemoteTransportError::Code::other;
  }
}

namespace {

// Over TLS each read returns one record (16 KiB at most), so a larger
// receive buffer would only hold memory; the caller gathers bodies into
// larger writes itself.
constexpr long kReceiveBufferBytes = 64 * 1024;

struct FreeEasy {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct FreeList {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

// A body worth reading to its end rather than giving up the connection it
// arrives on: the short text of a redirect or an error answer, of declared
// length. A stopped success answer is one the receiver found wrong; its
// framing is not trusted and its connection is closed.
constexpr uint64_t kDrainedBodyBytes = 16 * 1024;

bool isShortBody(long status, const HttpHeaders& headers) {
  if (status < 300) return false;
  if (headers.get("Transfer-Encoding")) return false;
  const std::optional<std::string> length = headers.get("Content-Length");
  if (!length || length->empty() || length->size() > 6) return false;
  if (length->find_first_not_of("0123456789") != std::string::npos) return false;
  return std::stoull(*length) <= kDrainedBodyBytes;
}

// The state of one perform call, reached from curl's callbacks. Callbacks
// never let an exception cross libcurl: it is parked here and rethrown after
// curl_easy_perform returns.
struct Exchange {
  CURL* handle = nullptr;
  HttpExchange* receiver = nullptr;
  const CancellationToken* cancel = nullptr;
  std::string url;
  std::vector<std::pair<std::string, std::string>> fields;  // of the header block being received
  bool delivered = false;  // the response callback ran (later lines are trailers)
  bool stoppedByReceiver = false;
  bool headRequest = false;
  // The receiver stopped at a response whose short body is read and dropped,
  // so that its connection ends clean and stays usable.
  bool draining = false;
  std::exception_ptr failure;
  // Idle watchdog: curl's low-speed check averages over several seconds, so
  // the exact "nothing arrived for idleSeconds" rule is kept here.
  std::chrono::steady_clock::duration idleLimit{};
  std::chrono::steady_clock::time_point lastActivity = std::chrono::steady_clock::now();
  curl_off_t lastReceived = 0;
  curl_off_t lastSent = 0;
  bool idleTimedOut = false;

  void noteActivity() { lastActivity = std::chrono::steady_clock::now(); }

  bool deliverResponse() {
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    if (status >= 100 && status < 200) {  // informational: the real answer follows
      fields.clear();
      return true;
    }
    delivered = true;
    HttpResponse response;
    response.status = status;
    response.url = url;
    for (auto& [name, value] : fields) response.headers.append(std::move(name), std::move(value));
    fields.clear();
    try {
      if (receiver->response(response) == HttpExchange::Disposition::stop) {
        stoppedByReceiver = true;
        draining = headRequest || isShortBody(status, response.headers);
        return draining;
      }
    } catch (...) {
      failure = std::current_exception();
      return false;
    }
    return true;
  }
};

size_t onHeader(char* data, size_t size, size_t count, void* context) {
  auto* exchange = static_cast<Exchange*>(context);
  const size_t length = size * count;
  exchange->noteActivity();
  if (exchange->delivered) return length;  // trailers
  std::string_view line(data, length);
  if (line.starts_with("HTTP/")) {  // status line of a new response
    exchange->fields.clear();
    return length;
  }
  const std::string_view content = RemoteHeaders::trimmed(line);
  if (content.empty()) return exchange->deliverResponse() ? length : 0;
  if (line.front() == ' ' || line.front() == '\t') {  // obsolete folding
    auto& fields = exchange->fields;
    if (!fields.empty()) {
      fields.back().second += ' ';
      fields.back().second += content;
    }
    return length;
  }
  const size_t colon = content.find(':');
  if (colon == std::string_view::npos) return length;  // not a field; ignored
  exchange->fields.emplace_back(std::string(RemoteHeaders::trimmed(content.substr(0, colon))),
                                std::string(RemoteHeaders::trimmed(content.substr(colon + 1))));
  return length;
}

size_t onData(char* data, size_t size, size_t count, void* context) {
  auto* exchange = static_cast<Exchange*>(context);
  const size_t length = size * count;
  exchange->noteActivity();
  if (!exchange->delivered || exchange->draining) return length;  // not for the receiver
  try {
    const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(data), length);
    if (exchange->receiver->data(bytes) == HttpExchange::Disposition::stop) {
      exchange->stoppedByReceiver = true;
      return CURL_WRITEFUNC_ERROR;
    }
  } catch (...) {
    exchange->failure = std::current_exception();
    return CURL_WRITEFUNC_ERROR;
  }
  return length;
}

int onProgress(void* context, curl_off_t, curl_off_t received, curl_off_t, curl_off_t sent) {
  auto* exchange = static_cast<Exchange*>(context);
  if (exchange->cancel->isCancelled()) return 1;
  if (received != exchange->lastReceived || sent != exchange->lastSent) {
    exchange->lastReceived = received;
    exchange->lastSent = sent;
    exchange->noteActivity();
  } else if (std::chrono::steady_clock::now() - exchange->lastActivity > exchange->idleLimit) {
    exchange->idleTimedOut = true;
    return 1;
  }
  return 0;
}

long wholeSeconds(double seconds) {
  if (!(seconds > 1)) return 1;
  if (seconds > static_cast<double>(LONG_MAX / 1000)) return LONG_MAX / 1000;
  return static_cast<long>(std::ceil(seconds));
}

// The scheme and authority of a URL, lower case: the key under which a
// handle's last connection is remembered.
std::string originOf(std::string_view url) {
  const size_t scheme = url.find("://");
  const size_t start = scheme == std::string_view::npos ? 0 : scheme + 3;
  const size_t end = std::min(url.find_first_of("/?#", start), url.size());
  std::string origin(url.substr(0, end));
  std::transform(origin.begin(), origin.end(), origin.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return origin;
}

// Connection reuse. libcurl keeps a cache of idle connections in every easy
// handle, and its share interface can hold TLS sessions and resolved names
// for many handles on many threads under our locks. A shared connection
// cache, however, is not safe between concurrent threads in the libcurl this
// builds against, so connections are reused by reusing handles instead: an
// idle handle, with the connections its cache keeps alive, waits in the pool
// and serves one call at a time. A handle is reset between calls, so nothing
// but its idle connections and the shared TLS sessions and names reaches the
// next request; no cookie engine is ever enabled.
//
// libcurl itself closes a connection whose exchange ended early (a receiver's
// stop, an abort, a transfer error) or whose server announced the close, so
// only a connection that carried a complete response is kept.
class CurlHttpTransport final : public HttpTransport {
 public:
  CurlHttpTransport() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    share_ = curl_share_init();
    if (share_ == nullptr) return;  // every handle then works alone
    curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, lockShared);
    curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, unlockShared);
    curl_share_setopt(share_, CURLSHOPT_USERDATA, this);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  }

  ~CurlHttpTransport() override {
    // Handles first: a share still attached to a handle cannot be released.
    for (CURL* handle : idle_) curl_easy_cleanup(handle);
    if (share_ != nullptr) curl_share_cleanup(share_);
  }

  void limitConnections(size_t connections) override {
    std::vector<std::unique_ptr<CURL, FreeEasy>> evicted;  // closed after the pool is unlocked
    std::lock_guard lock(poolMutex_);
    handleLimit_ = connections == 0 ? kMaxIdleHandles : connections;
    evictBeyondLimitLocked(evicted);
  }

  CurlHttpTransport(const CurlHttpTransport&) = delete;
  CurlHttpTransport& operator=(const CurlHttpTransport&) = delete;

  Outcome perform(const HttpClientConfiguration& configuration, const HttpRequest& request,
                  HttpExchange& receiver, const CancellationToken& cancel) override {
    cancel.check();
    const Lease lease(*this, originOf(request.url));
    CURL* h = lease.handle();

    Exchange exchange;
    exchange.handle = h;
    exchange.receiver = &receiver;
    exchange.cancel = &cancel;
    exchange.url = request.url;
    exchange.headRequest = request.method == "HEAD";

    std::unique_ptr<curl_slist, FreeList> headerList;
    for (const auto& [name, value] : request.headers.fields()) {
      // A line break would let a value (a token from the environment, say)
      // smuggle further header lines into the request. The value is not shown.
      if (name.find_first_of(std::string_view(":\r\n\0", 4)) != std::string::npos ||
          value.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
        throw RepackError(RepackError::ConfigurationInvalid{"invalid HTTP header " + name});
      }
      // "Name;" sends a field with an empty value; "Name:" would remove it.
      const std::string line = value.empty() ? name + ";" : name + ": " + value;
      curl_slist* appended = curl_slist_append(headerList.get(), line.c_str());
      if (appended == nullptr) {
        throw RemoteTransportError(RemoteTransportError::Code::other, "cannot build the request");
      }
      headerList.release();
      headerList.reset(appended);
    }

    const double idleSeconds = std::min(request.timeoutSeconds, configuration.idleTimeoutSeconds);
    const long idle = wholeSeconds(idleSeconds);
    exchange.idleLimit = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(std::max(idleSeconds, 0.001)));
    char errorText[CURL_ERROR_SIZE] = {0};
    curl_easy_setopt(h, CURLOPT_URL, request.url.c_str());
    if (request.method == "HEAD") {
      curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
    } else if (request.method != "GET") {
      curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    }
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headerList.get());
    curl_easy_setopt(h, CURLOPT_USERAGENT, "VelquorRepack");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, idle);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, idle);
    curl_easy_setopt(h, CURLOPT_TIMEOUT, wholeSeconds(configuration.resourceTimeoutSeconds));
    curl_easy_setopt(h, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
    if (configuration.caBundlePath) {
      curl_easy_setopt(h, CURLOPT_CAINFO, configuration.caBundlePath->c_str());
      curl_easy_setopt(h, CURLOPT_CAPATH, nullptr);
    }
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &exchange);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, onData);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &exchange);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &exchange);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);

    const CURLcode code = curl_easy_perform(h);
    if (exchange.failure) std::rethrow_exception(exchange.failure);
    if (exchange.stoppedByReceiver) return Outcome::stopped;
    if (code == CURLE_OK) return Outcome::completed;
    if (code == CURLE_ABORTED_BY_CALLBACK && exchange.idleTimedOut) {
      throw RemoteTransportError(RemoteTransportError::Code::timedOut,
                                 "no data for " + std::to_string(idle) + " seconds");
    }
    if (code == CURLE_ABORTED_BY_CALLBACK && cancel.isCancelled()) throw CancellationError();
    const std::string detail = errorText[0] != '\0' ? errorText : curl_easy_strerror(code);
    throw RemoteTransportError(classifyCurlCode(code), detail);
  }

 private:
  // A handle taken from the pool for one call and given back, reset, when
  // the call ends however it ends.
  class Lease {
   public:
    Lease(CurlHttpTransport& transport, std::string origin)
        : transport_(transport), origin_(std::move(origin)), handle_(transport.take(origin_)) {}
    ~Lease() { transport_.giveBack(std::move(handle_), origin_); }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    CURL* handle() const { return handle_.get(); }

   private:
    CurlHttpTransport& transport_;
    std::string origin_;
    std::unique_ptr<CURL, FreeEasy> handle_;
  };

  // At most this many idle handles wait in the pool; one beyond it is closed
  // with its connections. The pool never grows past the number of calls that
  // ran at once.
  static constexpr size_t kMaxIdleHandles = 64;

  // An idle handle whose last request went to `origin` (its connection there
  // is likely still open), else the most recently used one, else a new one.
  std::unique_ptr<CURL, FreeEasy> take(const std::string& origin) {
    {
      std::lock_guard lock(poolMutex_);
      ++leased_;
      auto match = std::find(idleOrigins_.rbegin(), idleOrigins_.rend(), origin);
      if (match == idleOrigins_.rend() && !idle_.empty()) match = idleOrigins_.rbegin();
      if (match != idleOrigins_.rend()) {
        const auto index = static_cast<size_t>(std::distance(match, idleOrigins_.rend()) - 1);
        std::unique_ptr<CURL, FreeEasy> handle(idle_[index]);
        idle_.erase(idle_.begin() + static_cast<std::ptrdiff_t>(index));
        idleOrigins_.erase(idleOrigins_.begin() + static_cast<std::ptrdiff_t>(index));
        return handle;
      }
    }
    std::unique_ptr<CURL, FreeEasy> handle(curl_easy_init());
    if (!handle) {
      std::lock_guard lock(poolMutex_);
      --leased_;
      throw RemoteTransportError(RemoteTransportError::Code::other, "cannot create a transfer");
    }
    if (share_ != nullptr) curl_easy_setopt(handle.get(), CURLOPT_SHARE, share_);
    return handle;
  }

  void giveBack(std::unique_ptr<CURL, FreeEasy> handle, const std::string& origin) {
    // Drops every option, callback and pointer of the call that ended; the
    // share and the cached connections stay.
    curl_easy_reset(handle.get());
    std::vector<std::unique_ptr<CURL, FreeEasy>> evicted;  // closed after the pool is unlocked
    std::lock_guard lock(poolMutex_);
    --leased_;
    idle_.push_back(handle.release());
    idleOrigins_.push_back(origin);
    evictBeyondLimitLocked(evicted);
  }

  // Oldest idle handles first, while the pool holds more than its limit.
  void evictBeyondLimitLocked(std::vector<std::unique_ptr<CURL, FreeEasy>>& evicted) {
    while (!idle_.empty() &&
           (idle_.size() > kMaxIdleHandles || idle_.size() + leased_ > handleLimit_)) {
      evicted.emplace_back(idle_.front());
      idle_.erase(idle_.begin());
      idleOrigins_.erase(idleOrigins_.begin());
    }
  }

  static void lockShared(CURL*, curl_lock_data data, curl_lock_access, void* context) {
    static_cast<CurlHttpTransport*>(context)->sharedMutex(data).lock();
  }
  static void unlockShared(CURL*, curl_lock_data data, void* context) {
    static_cast<CurlHttpTransport*>(context)->sharedMutex(data).unlock();
  }
  // One mutex per kind of shared data, as libcurl asks.
  std::mutex& sharedMutex(curl_lock_data data) {
    const auto index = static_cast<size_t>(data);
    return sharedMutexes_[index < sharedMutexes_.size() ? index : 0];
  }

  CURLSH* share_ = nullptr;
  std::array<std::mutex, CURL_LOCK_DATA_LAST> sharedMutexes_;
  std::mutex poolMutex_;
  std::vector<CURL*> idle_;               // oldest first
  std::vector<std::string> idleOrigins_;  // the origin of each idle handle's last call
  size_t leased_ = 0;                     // handles in calls now
  size_t handleLimit_ = kMaxIdleHandles;  // busy and idle handles together
};

}  // namespace

std::shared_ptr<HttpTransport> curlHttpTransport() {
  // Never destroyed: a call may still run on another thread while the
  // process exits, and its pooled handle must stay valid until then.
  static const auto* const kTransport =
      new std::shared_ptr<HttpTransport>(std::make_shared<CurlHttpTransport>());
  return *kTransport;
}
