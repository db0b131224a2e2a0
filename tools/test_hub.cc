#include "tools/test_hub.h"

#include <httplib.h>
#include <netinet/in.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>
#include <thread>

#include "engine/io/git_blob_sha1.h"
#include "engine/io/sha256_stream.h"
#include "tools/test_hub_tls.h"

namespace {

constexpr char kHubHostName[] = "localhost";
constexpr char kStorageHostName[] = "127.0.0.1";
constexpr char kObjectsPrefix[] = "/objects/";
// GET on the hub host: the connections and requests each host has seen, for
// the benchmarks (not recorded as a request itself).
constexpr char kStatsPath[] = "/_velquor-test-hub/stats";
constexpr char kBouncePath[] = "/_bounce";
constexpr char kKeyPairID[] = "K3TESTHUB";
constexpr char kStorageCacheControl[] = "public, max-age=604800, immutable";
constexpr size_t kChunkBytes = 256 * 1024;
constexpr size_t kHashTileBytes = 1024 * 1024;

std::string toLower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool isLowerHex(std::string_view s, size_t length) {
  return s.size() == length && std::all_of(s.begin(), s.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

std::string hex(const unsigned char* bytes, size_t length) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * length);
  for (size_t i = 0; i < length; ++i) {
    out += kHex[bytes[i] >> 4];
    out += kHex[bytes[i] & 0xf];
  }
  return out;
}

std::string inQuotes(const std::string& s) { return "\"" + s + "\""; }

// Percent-encodes everything but the unreserved characters, so the result is
// safe as one path segment or one query value.
std::string percentEncode(std::string_view s) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xf];
    }
  }
  return out;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes %XX escapes; a malformed escape stays as it is.
std::string percentDecode(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size()) {
      const int hi = hexValue(s[i + 1]);
      const int lo = hexValue(s[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        continue;
      }
    }
    out += s[i];
  }
  return out;
}

std::vector<std::string> split(std::string_view s, char separator) {
  std::vector<std::string> out;
  size_t start = 0;
  while (true) {
    const size_t end = s.find(separator, start);
    out.emplace_back(s.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) return out;
    start = end + 1;
  }
}

std::string lfsPointer(const std::string& sha256, uint64_t size) {
  return "version https://git-lfs.github.com/spec/v1\noid sha256:" + sha256 + "\nsize " +
         std::to_string(size) + "\n";
}

std::string contentTypeFor(const std::string& name) {
  const auto endsWith = [&](std::string_view suffix) { return name.ends_with(suffix); };
  if (endsWith(".json")) return "application/json";
  if (endsWith(".txt") || endsWith(".md") || endsWith(".jinja")) {
    return "text/plain; charset=utf-8";
  }
  return "application/octet-stream";
}

std::string reasonPhrase(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 206:
      return "Partial Content";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 307:
      return "Temporary Redirect";
    case 308:
      return "Permanent Redirect";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 408:
      return "Request Timeout";
    case 416:
      return "Range Not Satisfiable";
    case 429:
      return "Too Many Requests";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    case 504:
      return "Gateway Timeout";
    default:
      return "Status " + std::to_string(status);
  }
}

// Wakes every sleeping body writer when the hub stops.
class StopSignal {
 public:
  // Sleeps, or returns false at once when the hub stops.
  bool pause(std::chrono::nanoseconds duration) {
    // Bounded so that a "forever" from a test cannot overflow the clock.
    duration = std::min<std::chrono::nanoseconds>(duration, std::chrono::hours(24));
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, duration, [&] { return raised_; });
    return !raised_;
  }
  // True the first time only.
  bool raise() {
    {
      std::lock_guard lock(mutex_);
      if (raised_) return false;
      raised_ = true;
    }
    cv_.notify_all();
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool raised_ = false;
};

// A file of the served checkpoint. The digests are made once, on first use:
// hashing a large file is slow and most runs never need every digest.
struct FileEntry {
  std::string name;
  uint64_t size = 0;
  bool lfs = false;
  std::string xetHash;  // large files in Xet mode, derived at start

  mutable std::once_flag digestOnce;
  mutable std::string sha256;   // large files: content SHA-256 or the stand-in
  mutable std::string etag;     // quoted git blob SHA-1 of the content or pointer
  mutable std::string pointer;  // large files: the LFS pointer text
};

// The part of an answer that reaches the client's HTTP library. The body is
// bytes [offset, offset + length) of an entity that is either `text` or a
// checkpoint file.
struct Answer {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string contentType;
  std::shared_ptr<const std::string> text;
  const FileEntry* file = nullptr;
  uint64_t offset = 0;
  uint64_t length = 0;
  std::string fileName;  // the repository path the request is about

  void header(std::string name, std::string value) {
    headers.emplace_back(std::move(name), std::move(value));
  }
  void setText(std::string body, std::string type) {
    length = body.size();
    offset = 0;
    text = std::make_shared<const std::string>(std::move(body));
    file = nullptr;
    contentType = std::move(type);
  }
};

// A request as the router sees it.
struct Incoming {
  HubHost host = HubHost::hub;
  const httplib::Request* req = nullptr;
  std::string method;
  std::string target;                 // raw, with query
  std::string rawPath;                // raw, without query
  std::vector<std::string> segments;  // decoded, after the leading "/"
  std::string path;                   // decoded, "/" + segments joined
  int openConnections = 0;            // the client's, to this host
};

Incoming parseIncoming(HubHost host, const httplib::Request& req) {
  Incoming in;
  in.host = host;
  in.req = &req;
  in.method = req.method;
  in.target = req.target;
  in.rawPath = req.target.substr(0, req.target.find('?'));
  std::string_view rest(in.rawPath);
  if (rest.starts_with('/')) rest.remove_prefix(1);
  for (const std::string& piece : split(rest, '/')) in.segments.push_back(percentDecode(piece));
  for (const std::string& segment : in.segments) in.path += "/" + segment;
  if (in.path.empty()) in.path = "/";
  return in;
}

// Edits made to the headers after the HTTP library has added its own
// (Content-Length, Content-Type, Transfer-Encoding, Keep-Alive), just before
// they are written. The handler and the writer of one response run on the
// same thread, one response at a time, so a thread-local carries them.
struct FinalEdits {
  std::optional<std::string> contentLength;
  bool weakETag = false;
  std::vector<std::pair<std::string, std::optional<std::string>>> headers;
};
thread_local std::optional<FinalEdits> tlFinalEdits;

void applyFinalEdits(httplib::Response& res) {
  if (!tlFinalEdits) return;
  FinalEdits edits = std::move(*tlFinalEdits);
  tlFinalEdits.reset();
  if (edits.contentLength) {
    res.headers.erase("Content-Length");
    res.headers.emplace("Content-Length", *edits.contentLength);
  }
  if (edits.weakETag) {
    const auto it = res.headers.find("ETag");
    if (it != res.headers.end() && !it->second.starts_with("W/")) it->second = "W/" + it->second;
  }
  for (const auto& [name, value] : edits.headers) {
    res.headers.erase(name);
    if (value) res.headers.emplace(name, *value);
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Faults.

HubFault HubFault::status(int code) {
  HubFault f;
  f.effect.status = code;
  return f;
}
HubFault HubFault::cutBody(uint64_t afterBytes) {
  HubFault f;
  f.effect.cutAfterBytes = afterBytes;
  return f;
}
HubFault HubFault::overlongBody(uint64_t extraBytes) {
  HubFault f;
  f.effect.extraBodyBytes = extraBytes;
  return f;
}
HubFault HubFault::contentLength(std::string value) {
  HubFault f;
  f.effect.contentLength = std::move(value);
  return f;
}
HubFault HubFault::contentRange(std::string value) {
  return header("Content-Range", std::move(value));
}
HubFault HubFault::contentEncoding(std::string value) {
  return header("Content-Encoding", std::move(value));
}
HubFault HubFault::ignoreRange() {
  HubFault f;
  f.effect.ignoreRange = true;
  return f;
}
HubFault HubFault::etag(std::string value) { return header("ETag", std::move(value)); }
HubFault HubFault::weakETag() {
  HubFault f;
  f.effect.weakETag = true;
  return f;
}
HubFault HubFault::header(std::string name, std::string value) {
  HubFault f;
  f.effect.headers.emplace_back(std::move(name), std::move(value));
  return f;
}
HubFault HubFault::removeHeader(std::string name) {
  HubFault f;
  f.effect.headers.emplace_back(std::move(name), std::nullopt);
  return f;
}
HubFault HubFault::redirect(HubRedirect kind) {
  HubFault f;
  f.effect.redirect = kind;
  return f;
}
HubFault HubFault::redirectTo(std::string location) {
  HubFault f;
  f.effect.location = std::move(location);
  return f;
}
HubFault HubFault::stall(uint64_t afterBytes, std::chrono::milliseconds duration) {
  HubFault f;
  f.effect.stallAfterBytes = afterBytes;
  f.effect.stallDuration = duration;
  return f;
}
HubFault HubFault::delay(std::chrono::milliseconds duration) {
  HubFault f;
  f.effect.delay = duration;
  return f;
}
HubFault HubFault::throttle(uint64_t bytesPerSecond) {
  HubFault f;
  f.effect.bytesPerSecond = bytesPerSecond;
  return f;
}

HubFault HubFault::dropConnection() {
  HubFault f;
  f.effect.dropConnection = true;
  return f;
}

HubFault HubFault::connectionLimit(int connections) {
  HubFault f = status(429).always();
  f.match.openConnectionsAbove = connections;
  return f;
}

HubFault HubFault::on(std::string pathSuffix) const {
  HubFault f = *this;
  f.match.pathSuffix = std::move(pathSuffix);
  return f;
}
HubFault HubFault::onHost(HubHost host) const {
  HubFault f = *this;
  f.match.host = host;
  return f;
}
HubFault HubFault::onMethod(std::string method) const {
  HubFault f = *this;
  f.match.method = std::move(method);
  return f;
}
HubFault HubFault::onNth(int n) const {
  HubFault f = *this;
  f.match.skip = std::max(0, n - 1);
  return f;
}
HubFault HubFault::times(int count) const {
  HubFault f = *this;
  f.match.count = count;
  return f;
}
HubFault HubFault::always() const { return times(kUnlimited); }
HubFault HubFault::withRetryAfter(std::string value) const {
  HubFault f = *this;
  f.effect.retryAfter = std::move(value);
  return f;
}
HubFault HubFault::withHeader(std::string name, std::string value) const {
  HubFault f = *this;
  f.effect.headers.emplace_back(std::move(name), std::move(value));
  return f;
}
HubFault HubFault::withoutHeader(std::string name) const {
  HubFault f = *this;
  f.effect.headers.emplace_back(std::move(name), std::nullopt);
  return f;
}

std::string HubFault::describe() const {
  std::vector<std::string> parts;
  const Effect& e = effect;
  if (e.status) parts.push_back("status " + std::to_string(*e.status));
  if (match.openConnectionsAbove) {
    parts.push_back("over " + std::to_string(*match.openConnectionsAbove) + " connections");
  }
  if (e.retryAfter) parts.push_back("Retry-After " + *e.retryAfter);
  if (e.redirect) {
    static constexpr const char* kNames[] = {"same host", "same host absolute", "plain HTTP",
                                             "cross host and back"};
    parts.push_back(std::string("redirect ") + kNames[static_cast<int>(*e.redirect)]);
  }
  if (e.location) parts.push_back("redirect to " + *e.location);
  if (e.ignoreRange) parts.push_back("ignore Range");
  if (e.cutAfterBytes) parts.push_back("cut body after " + std::to_string(*e.cutAfterBytes));
  if (e.extraBodyBytes > 0) parts.push_back("body " + std::to_string(e.extraBodyBytes) + " long");
  if (e.contentLength) parts.push_back("Content-Length " + *e.contentLength);
  if (e.weakETag) parts.push_back("weak ETag");
  for (const auto& [name, value] : e.headers) {
    parts.push_back(value ? name + ": " + *value : "no " + name);
  }
  if (e.stallAfterBytes) {
    parts.push_back("stall after " + std::to_string(*e.stallAfterBytes) + " for " +
                    std::to_string(e.stallDuration.count()) + " ms");
  }
  if (e.delay.count() > 0) parts.push_back("delay " + std::to_string(e.delay.count()) + " ms");
  if (e.bytesPerSecond > 0) parts.push_back("throttle " + std::to_string(e.bytesPerSecond));
  if (e.dropConnection) parts.push_back("drop connection");
  std::string out;
  for (const std::string& p : parts) out += (out.empty() ? "" : ", ") + p;
  return out.empty() ? "no effect" : out;
}

std::optional<std::string> HubRequest::header(std::string_view name) const {
  const std::string wanted = toLower(name);
  for (const auto& [key, value] : headers) {
    if (toLower(key) == wanted) return value;
  }
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// The server.

namespace {

// The connection the current thread serves: the library runs each accepted
// connection, from accept to close, as one task of its queue.
struct ServedConnection {
  bool counted = false;
  std::string client;
};
thread_local ServedConnection* tlConnection = nullptr;

// The listener's thread pool, which also tells when each connection ends.
class ConnectionTrackingQueue final : public httplib::TaskQueue {
 public:
  ConnectionTrackingQueue(size_t threads, std::function<void(const std::string&)> closed)
      : pool_(threads), closed_(std::move(closed)) {}

  void enqueue(std::function<void()> fn) override {
    pool_.enqueue([this, fn = std::move(fn)] {
      ServedConnection connection;
      tlConnection = &connection;
      struct Closing {
        ConnectionTrackingQueue& queue;
        ServedConnection& connection;
        ~Closing() {
          tlConnection = nullptr;
          if (connection.counted) queue.closed_(connection.client);
        }
      } closing{*this, connection};
      fn();
    });
  }
  void shutdown() override { pool_.shutdown(); }

 private:
  httplib::ThreadPool pool_;
  std::function<void(const std::string&)> closed_;
};

}  // namespace

struct TestHub::State {
  explicit State(TestHubOptions o) : options(std::move(o)) {}
  ~State() { shutdown(); }

  TestHubOptions options;
  std::string owner;
  std::string name;
  std::string caDirectory;
  std::string caFile;
  HubCertificates certificates;
  std::string signingKey;

  // Fixed after start; the entries' digests fill in on first use.
  std::map<std::string, std::unique_ptr<FileEntry>> files;

  // Without Xet an object's id is its SHA-256, known once it is hashed.
  mutable std::mutex objectsMutex;
  mutable std::map<std::string, const FileEntry*> objects;  // storage object id -> file

  mutable std::mutex faultsMutex;
  std::optional<HubFault> connectionLimit;  // from options.maxConnections
  std::deque<HubFault> faults;

  // Open connections per (host, client address); a connection counts from
  // its first request until it is closed.
  mutable std::mutex connectionsMutex;
  std::map<std::pair<HubHost, std::string>, int> openConnections;

  mutable std::mutex requestsMutex;
  std::vector<HubRequest> requests;

  struct Listener {
    HubHost host = HubHost::hub;
    std::string hostName;
    uint16_t port = 0;
    std::unique_ptr<httplib::SSLServer> server;
    std::thread thread;
    std::atomic<bool> finished{false};
  };
  Listener hub;
  Listener storage;

  StopSignal stopSignal;

  void setUp();
  void listen(Listener& listener, HubHost host, const char* hostName, uint16_t port);
  void shutdown();

  std::string baseURL(const Listener& l) const {
    return "https://" + l.hostName + ":" + std::to_string(l.port);
  }
  const Listener& listenerOf(HubHost host) const {
    return host == HubHost::storage ? storage : hub;
  }
  const Listener& otherOf(HubHost host) const { return host == HubHost::storage ? hub : storage; }

  const FileEntry& digested(const FileEntry& entry) const;
  std::string objectID(const FileEntry& entry) const {
    return options.xet ? entry.xetHash : digested(entry).sha256;
  }
  std::string sign(const std::string& objectPath, const std::string& expires) const;
  std::string signedStorageURL(const FileEntry& entry) const;

  void handle(HubHost host, const httplib::Request& req, httplib::Response& res);
  std::string statsJSON() const;
  Answer route(const Incoming& in, bool ignoreRange) const;
  Answer routeHub(const Incoming& in, bool ignoreRange) const;
  Answer routeStorage(const Incoming& in, bool ignoreRange) const;
  Answer routeModelInfo(const Incoming& in) const;
  Answer bounce(const Incoming& in) const;
  Answer faultRedirect(const Incoming& in, const HubFault::Effect& effect) const;
  std::optional<HubFault> takeFault(const Incoming& in, const std::string& fileName);
  int countConnection(HubHost host, const std::string& client);
  void connectionClosed(HubHost host, const std::string& client);
  void emit(const Incoming& in, const Answer& answer, const HubFault::Effect& effect,
            httplib::Response& res);
};

namespace {

Answer errorAnswer(int status, const std::string& code, const std::string& message) {
  Answer a;
  a.status = status;
  if (!code.empty()) a.header("X-Error-Code", code);
  a.header("X-Error-Message", message);
  a.setText(nlohmann::json{{"error", message}}.dump(), "application/json; charset=utf-8");
  return a;
}

Answer storageError(int status, const std::string& code, const std::string& message) {
  Answer a;
  a.status = status;
  a.setText("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Error><Code>" + code +
                "</Code><Message>" + message + "</Message></Error>",
            "application/xml");
  return a;
}

// The answer of an injected status: a short text, and for errors the
// message header the hub sends with them.
Answer statusAnswer(int status) {
  if (status >= 400) return errorAnswer(status, "", "injected fault");
  Answer a;
  a.status = status;
  a.setText(reasonPhrase(status), "text/plain; charset=utf-8");
  return a;
}

Answer redirectAnswer(int status, const std::string& location) {
  Answer a;
  a.status = status;
  a.header("Location", location);
  a.setText(reasonPhrase(status) + ". Redirecting to " + location, "text/plain; charset=utf-8");
  return a;
}

// Parses one "bytes=first-last", "bytes=first-" or "bytes=-suffix" range.
// Anything else (several ranges, another unit, bad syntax) is ignored, as
// HTTP allows, and the whole entity is served.
struct ByteRange {
  bool suffix = false;
  uint64_t first = 0;
  std::optional<uint64_t> last;
};
std::optional<ByteRange> parseRange(std::string value) {
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
  if (!value.starts_with("bytes=") || value.find(',') != std::string::npos) return std::nullopt;
  const std::string spec = value.substr(6);
  const size_t dash = spec.find('-');
  if (dash == std::string::npos) return std::nullopt;
  const auto number = [](const std::string& s) -> std::optional<uint64_t> {
    if (s.empty() || s.size() > 19 ||
        !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      return std::nullopt;
    }
    return std::stoull(s);
  };
  const std::string first = spec.substr(0, dash);
  const std::string last = spec.substr(dash + 1);
  ByteRange range;
  if (first.empty()) {
    const auto n = number(last);
    if (!n) return std::nullopt;
    range.suffix = true;
    range.first = *n;
    return range;
  }
  const auto f = number(first);
  if (!f) return std::nullopt;
  range.first = *f;
  if (!last.empty()) {
    range.last = number(last);
    if (!range.last || *range.last < *f) return std::nullopt;
  }
  return range;
}

// Turns `a` (whose entity of `size` bytes is set) into a 200, 206 or 416
// answer for the request's Range header.
void serveEntity(Answer& a, const Incoming& in, uint64_t size, bool ignoreRange) {
  a.status = 200;
  a.offset = 0;
  a.length = size;
  if (ignoreRange || !in.req->has_header("Range")) return;
  const std::optional<ByteRange> range = parseRange(in.req->get_header_value("Range"));
  if (!range) return;
  uint64_t first = range->first;
  uint64_t last = 0;
  if (range->suffix) {
    if (range->first == 0 || size == 0) {
      first = size;  // unsatisfiable
    } else {
      first = size - std::min(size, range->first);
      last = size - 1;
    }
  } else {
    last = range->last ? std::min(*range->last, size == 0 ? 0 : size - 1) : size - 1;
  }
  if (first >= size) {
    a.status = 416;
    a.header("Content-Range", "bytes */" + std::to_string(size));
    a.length = 0;
    return;
  }
  a.status = 206;
  a.offset = first;
  a.length = last - first + 1;
  a.header("Content-Range", "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
                                std::to_string(size));
}

// Streams one answer's body in chunks: the entity slice, then any extra
// bytes of an over-long body, honouring cuts, stalls and throughput limits.
class BodyWriter {
 public:
  BodyWriter(StopSignal& stop, std::shared_ptr<const CheckpointFiles> files, const Answer& answer,
             const HubFault::Effect& effect, uint64_t bytesPerSecond)
      : stop_(stop),
        files_(std::move(files)),
        text_(answer.text),
        file_(answer.file),
        offset_(answer.offset),
        length_(answer.length),
        total_(answer.length + effect.extraBodyBytes),
        cutAfter_(effect.cutAfterBytes),
        stallAfter_(effect.stallAfterBytes),
        stallDuration_(effect.stallDuration),
        bytesPerSecond_(bytesPerSecond),
        closeAtEnd_(effect.contentLength.has_value()) {}

  uint64_t total() const { return total_; }

  // One step: sends up to one chunk. False closes the connection.
  bool writeSome(httplib::DataSink& sink) {
    try {
      return step(sink);
    } catch (...) {
      return false;  // a file that cannot be read ends the connection
    }
  }

  // For bodies sent with chunked transfer coding.
  bool writeChunked(httplib::DataSink& sink) {
    if (!writeSome(sink)) return false;
    if (sent_ >= total_) sink.done();
    return true;
  }

 private:
  bool step(httplib::DataSink& sink) {
    if (!started_) {
      started_ = true;
      start_ = std::chrono::steady_clock::now();
    }
    if (stallAfter_ && !stalled_ && sent_ >= *stallAfter_) {
      stalled_ = true;
      if (!stop_.pause(stallDuration_)) return false;
    }
    const uint64_t limit = cutAfter_ ? std::min(total_, *cutAfter_) : total_;
    if (sent_ >= limit) return false;
    uint64_t n = std::min<uint64_t>(limit - sent_, kChunkBytes);
    if (stallAfter_ && !stalled_) n = std::min(n, *stallAfter_ - sent_);
    if (bytesPerSecond_ > 0) {
      n = std::min<uint64_t>(n, std::max<uint64_t>(1024, bytesPerSecond_ / 20));
      const auto due =
          start_ + std::chrono::duration_cast<std::chrono::nanoseconds>(
                       std::chrono::duration<double>(static_cast<double>(sent_) / bytesPerSecond_));
      const auto now = std::chrono::steady_clock::now();
      if (due > now && !stop_.pause(due - now)) return false;
    }
    buffer_.resize(static_cast<size_t>(n));
    fill(sent_, buffer_);
    if (!sink.write(reinterpret_cast<const char*>(buffer_.data()), buffer_.size())) return false;
    sent_ += n;
    // A wrong Content-Length leaves the connection's framing unusable.
    if (sent_ >= total_ && closeAtEnd_) return false;
    return true;
  }

  // Bytes [position, position + out.size()) of the body: the entity slice,
  // then zeros.
  void fill(uint64_t position, std::vector<uint8_t>& out) const {
    std::fill(out.begin(), out.end(), 0);
    if (position >= length_) return;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(out.size(), length_ - position));
    if (text_) {
      std::memcpy(out.data(), text_->data() + offset_ + position, n);
    } else {
      files_->read(file_->name, offset_ + position, std::span<uint8_t>(out.data(), n));
    }
  }

  StopSignal& stop_;
  std::shared_ptr<const CheckpointFiles> files_;
  std::shared_ptr<const std::string> text_;
  const FileEntry* file_;
  uint64_t offset_;
  uint64_t length_;
  uint64_t total_;
  std::optional<uint64_t> cutAfter_;
  std::optional<uint64_t> stallAfter_;
  std::chrono::milliseconds stallDuration_;
  uint64_t bytesPerSecond_;
  bool closeAtEnd_;
  bool started_ = false;
  bool stalled_ = false;
  uint64_t sent_ = 0;  // body bytes written so far
  std::chrono::steady_clock::time_point start_;
  std::vector<uint8_t> buffer_;
};

}  // namespace

void TestHub::State::setUp() {
  const std::vector<std::string> pieces = split(options.repoID, '/');
  if (pieces.size() != 2 || pieces[0].empty() || pieces[1].empty()) {
    throw std::runtime_error("test hub: invalid repo id " + options.repoID);
  }
  owner = pieces[0];
  name = pieces[1];
  if (!isLowerHex(options.revision, 40)) {
    throw std::runtime_error("test hub: revision must be 40 lower-case hex characters: " +
                             options.revision);
  }
  if (!options.files) throw std::runtime_error("test hub: no checkpoint files");

  for (const std::string& fileName : options.files->names()) {
    auto entry = std::make_unique<FileEntry>();
    entry->name = fileName;
    entry->size = options.files->size(fileName).value_or(0);
    entry->lfs = entry->size >= options.lfsThresholdBytes ||
                 std::any_of(options.lfsSuffixes.begin(), options.lfsSuffixes.end(),
                             [&](const std::string& s) { return fileName.ends_with(s); });
    if (entry->lfs && options.xet) {
      Sha256Stream xet;
      const std::string seed =
          "xet\n" + options.revision + "\n" + fileName + "\n" + std::to_string(entry->size);
      xet.update(seed.data(), seed.size());
      entry->xetHash = xet.finalizeHex();
      objects.emplace(entry->xetHash, entry.get());
    }
    files.emplace(fileName, std::move(entry));
  }
  for (const auto& [fileName, sha256] : options.sha256StandIns) {
    if (!files.contains(fileName)) {
      throw std::runtime_error("test hub: SHA-256 stand-in for unknown file " + fileName);
    }
    if (!isLowerHex(sha256, 64)) {
      throw std::runtime_error("test hub: SHA-256 stand-in for " + fileName +
                               " is not 64 lower-case hex characters");
    }
  }

  unsigned char key[32];
  if (RAND_bytes(key, sizeof key) != 1) throw std::runtime_error("test hub: no random bytes");
  signingKey.assign(reinterpret_cast<const char*>(key), sizeof key);

  certificates = makeHubCertificates({kHubHostName}, {kStorageHostName});
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/velquor-test-hub-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("test hub: cannot create a directory for the CA in " + pattern);
  }
  caDirectory = pattern;
  caFile = caDirectory + "/ca.pem";
  std::ofstream out(caFile, std::ios::binary | std::ios::trunc);
  out << certificates.caPEM;
  out.close();
  if (!out) throw std::runtime_error("test hub: cannot write " + caFile);
}

int TestHub::State::countConnection(HubHost host, const std::string& client) {
  std::lock_guard lock(connectionsMutex);
  int& open = openConnections[{host, client}];
  if (tlConnection != nullptr && !tlConnection->counted) {
    tlConnection->counted = true;
    tlConnection->client = client;
    ++open;
  }
  return open;
}

void TestHub::State::connectionClosed(HubHost host, const std::string& client) {
  std::lock_guard lock(connectionsMutex);
  --openConnections[{host, client}];
}

void TestHub::State::listen(Listener& listener, HubHost host, const char* hostName, uint16_t port) {
  listener.host = host;
  listener.hostName = hostName;
  listener.server = std::make_unique<httplib::SSLServer>(certificates.serverCert.get(),
                                                         certificates.serverKey.get());
  httplib::SSLServer& server = *listener.server;
  if (!server.is_valid()) throw std::runtime_error("test hub: TLS set-up failed");
  const size_t threads = static_cast<size_t>(std::max(1, options.threadsPerListener));
  server.new_task_queue = [this, threads, host] {
    return new ConnectionTrackingQueue(
        threads, [this, host](const std::string& client) { connectionClosed(host, client); });
  };
  // SO_REUSEADDR only: the library's default SO_REUSEPORT would let a second
  // hub share a fixed port with a running one.
  server.set_socket_options([](socket_t sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  server.set_address_family(AF_INET);
  server.set_tcp_nodelay(true);
  // Short keep-alive: an idle connection holds a thread and delays stop().
  server.set_keep_alive_timeout(2);
  server.set_keep_alive_max_count(1000);
  server.set_read_timeout(30);
  server.set_write_timeout(30);
  server.set_pre_routing_handler([this, host](const httplib::Request& req, httplib::Response& res) {
    handle(host, req, res);
    return httplib::Server::HandlerResponse::Handled;
  });
  server.set_post_routing_handler(
      [](const httplib::Request&, httplib::Response& res) { applyFinalEdits(res); });

  if (port == 0) {
    const int bound = server.bind_to_any_port(hostName);
    if (bound <= 0) throw std::runtime_error(std::string("test hub: cannot bind ") + hostName);
    listener.port = static_cast<uint16_t>(bound);
  } else {
    if (!server.bind_to_port(hostName, port)) {
      throw std::runtime_error(std::string("test hub: cannot bind ") + hostName + ":" +
                               std::to_string(port));
    }
    listener.port = port;
  }
  listener.thread = std::thread([&listener] {
    listener.server->listen_after_bind();
    listener.finished = true;
  });
  // The socket already listens; wait until its accept loop runs so that
  // stop() reaches it.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!server.is_running()) {
    if (listener.finished || std::chrono::steady_clock::now() > deadline) {
      throw std::runtime_error(std::string("test hub: listener on ") + hostName + " did not start");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void TestHub::State::shutdown() {
  if (!stopSignal.raise()) return;
  for (Listener* l : {&hub, &storage}) {
    if (!l->thread.joinable()) continue;
    // stop() acts only once the accept loop runs; repeat until it has ended.
    while (!l->finished) {
      l->server->stop();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    l->thread.join();
  }
  if (!caDirectory.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(caDirectory, ignored);
  }
}

const FileEntry& TestHub::State::digested(const FileEntry& entry) const {
  std::call_once(entry.digestOnce, [&] {
    const auto standIn = options.sha256StandIns.find(entry.name);
    const bool hashContent = !entry.lfs || standIn == options.sha256StandIns.end();
    std::string sha256;
    if (hashContent) {
      Sha256Stream content;
      GitBlobSha1 blob(entry.size);
      std::vector<uint8_t> tile(kHashTileBytes);
      for (uint64_t offset = 0; offset < entry.size;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(tile.size(), entry.size - offset));
        options.files->read(entry.name, offset, std::span<uint8_t>(tile.data(), n));
        if (entry.lfs) {
          content.update(tile.data(), n);
        } else {
          blob.update({tile.data(), n});
        }
        offset += n;
      }
      if (!entry.lfs) {
        entry.etag = inQuotes(blob.finalizeHex());
        return;
      }
      sha256 = content.finalizeHex();
    } else {
      sha256 = standIn->second;
    }
    entry.sha256 = sha256;
    entry.pointer = lfsPointer(sha256, entry.size);
    entry.etag = inQuotes(gitBlobSHA1(entry.pointer));
    if (!options.xet) {
      std::lock_guard lock(objectsMutex);
      objects.emplace(sha256, &entry);
    }
  });
  return entry;
}

std::string TestHub::State::sign(const std::string& objectPath, const std::string& expires) const {
  const std::string message = objectPath + "\n" + expires;
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  HMAC(EVP_sha256(), signingKey.data(), static_cast<int>(signingKey.size()),
       reinterpret_cast<const unsigned char*>(message.data()), message.size(), mac, &length);
  return hex(mac, length);
}

std::string TestHub::State::signedStorageURL(const FileEntry& entry) const {
  const std::string objectPath = kObjectsPrefix + objectID(entry);
  const auto expiry = std::chrono::system_clock::now() + options.signedURLLifetime;
  const std::string expires = std::to_string(std::max<int64_t>(
      0, std::chrono::duration_cast<std::chrono::seconds>(expiry.time_since_epoch()).count()));
  const std::string base = entry.name.substr(entry.name.rfind('/') + 1);
  const std::string disposition =
      "inline; filename*=UTF-8''" + percentEncode(base) + "; filename=\"" + base + "\";";
  return baseURL(storage) + objectPath +
         "?response-content-disposition=" + percentEncode(disposition) + "&Expires=" + expires +
         "&Signature=" + sign(objectPath, expires) + "&Key-Pair-Id=" + kKeyPairID;
}

Answer TestHub::State::route(const Incoming& in, bool ignoreRange) const {
  if (in.rawPath == kBouncePath) return bounce(in);
  if (in.method != "GET" && in.method != "HEAD") {
    Answer a = errorAnswer(405, "", "Method not allowed");
    a.header("Allow", "GET, HEAD");
    return a;
  }
  return in.host == HubHost::storage ? routeStorage(in, ignoreRange) : routeHub(in, ignoreRange);
}

Answer TestHub::State::bounce(const Incoming& in) const {
  const std::string to = in.req->get_param_value("to");
  if (to.empty()) return errorAnswer(400, "", "missing to");
  return redirectAnswer(302, to);
}

Answer TestHub::State::routeHub(const Incoming& in, bool ignoreRange) const {
  if (options.token) {
    const std::string authorization = in.req->get_header_value("Authorization");
    if (authorization.empty()) {
      return errorAnswer(401, "",
                         "Access to model " + options.repoID +
                             " is restricted. You must be authenticated to access it.");
    }
    if (authorization != "Bearer " + *options.token) {
      return errorAnswer(401, "", "Invalid credentials in Authorization header");
    }
  }
  const std::vector<std::string>& seg = in.segments;
  if (seg.size() >= 4 && seg[0] == "api" && seg[1] == "models") return routeModelInfo(in);
  if (seg.size() < 4 || (seg[2] != "resolve" && seg[2] != "raw")) {
    return errorAnswer(404, "", "Not Found");
  }
  const std::string repo = seg[0] + "/" + seg[1];
  if (repo != options.repoID) {
    const auto& former = options.formerRepoIDs;
    if (std::find(former.begin(), former.end(), repo) == former.end()) {
      return errorAnswer(404, "RepoNotFound", "Repository not found");
    }
    // Keep everything after "/{owner}/{name}" as it was sent.
    size_t cut = 0;
    for (int slashes = 0; cut < in.target.size(); ++cut) {
      if (in.target[cut] == '/' && ++slashes == 3) break;
    }
    return redirectAnswer(
        307, "/" + percentEncode(owner) + "/" + percentEncode(name) + in.target.substr(cut));
  }
  const std::string& revision = seg[3];
  const auto& branches = options.branches;
  if (revision != options.revision &&
      std::find(branches.begin(), branches.end(), revision) == branches.end()) {
    return errorAnswer(404, "RevisionNotFound", "Invalid rev id: " + revision);
  }
  std::string fileName;
  for (size_t i = 4; i < seg.size(); ++i) fileName += (i == 4 ? "" : "/") + seg[i];
  const auto it = files.find(fileName);
  if (it == files.end()) {
    Answer a = errorAnswer(404, "EntryNotFound", "Entry not found");
    a.header("X-Repo-Commit", options.revision);
    a.fileName = fileName;
    return a;
  }
  const FileEntry& entry = digested(*it->second);
  Answer a;
  a.fileName = fileName;
  a.header("X-Repo-Commit", options.revision);
  a.header("Accept-Ranges", "bytes");
  a.header("Vary", "Origin, Accept-Encoding");
  a.header("ETag", entry.etag);
  if (!entry.lfs) {
    a.contentType = contentTypeFor(fileName);
    a.file = &entry;
    serveEntity(a, in, entry.size, ignoreRange);
  } else if (seg[2] == "raw") {
    a.setText(entry.pointer, "text/plain; charset=utf-8");
    serveEntity(a, in, entry.pointer.size(), ignoreRange);
  } else {
    const std::string location = signedStorageURL(entry);
    a.status = 302;
    a.header("Location", location);
    a.header("X-Linked-Size", std::to_string(entry.size));
    a.header("X-Linked-ETag", inQuotes(entry.sha256));
    if (options.xet) a.header("X-Xet-Hash", entry.xetHash);
    a.setText("Found. Redirecting to " + location, "text/plain; charset=utf-8");
  }
  return a;
}

Answer TestHub::State::routeModelInfo(const Incoming& in) const {
  const std::vector<std::string>& seg = in.segments;
  if (seg.size() != 4 && !(seg.size() == 6 && seg[4] == "revision")) {
    return errorAnswer(404, "", "Not Found");
  }
  if (seg[2] + "/" + seg[3] != options.repoID) {
    return errorAnswer(404, "RepoNotFound", "Repository not found");
  }
  if (seg.size() == 6 && seg[5] != options.revision &&
      std::find(options.branches.begin(), options.branches.end(), seg[5]) ==
          options.branches.end()) {
    return errorAnswer(404, "RevisionNotFound", "Invalid rev id: " + seg[5]);
  }
  nlohmann::json siblings = nlohmann::json::array();
  for (const auto& [fileName, entry] : files) siblings.push_back({{"rfilename", fileName}});
  const nlohmann::json info = {{"id", options.repoID},
                               {"modelId", options.repoID},
                               {"sha", options.revision},
                               {"private", false},
                               {"gated", false},
                               {"disabled", false},
                               {"siblings", std::move(siblings)}};
  Answer a;
  a.header("X-Repo-Commit", options.revision);
  a.setText(info.dump(), "application/json; charset=utf-8");
  return a;
}

Answer TestHub::State::routeStorage(const Incoming& in, bool ignoreRange) const {
  if (!in.rawPath.starts_with(kObjectsPrefix) || in.segments.size() != 2) {
    return storageError(404, "NoSuchKey", "The specified key does not exist.");
  }
  const std::string& id = in.segments[1];
  const FileEntry* entry = nullptr;
  {
    std::lock_guard lock(objectsMutex);
    if (const auto it = objects.find(id); it != objects.end()) entry = it->second;
  }
  const std::string expires = in.req->get_param_value("Expires");
  const std::string signature = in.req->get_param_value("Signature");
  std::optional<std::string> denial;
  if (expires.empty() || signature.empty()) {
    denial = "Missing Expires or Signature";
  } else {
    const std::string expected = sign(kObjectsPrefix + id, expires);
    // Only expiry times this hub signed get past the signature check, and
    // those are plain decimal seconds.
    if (signature.size() != expected.size() ||
        CRYPTO_memcmp(signature.data(), expected.data(), expected.size()) != 0) {
      denial = "Signature does not match";
    } else if (std::chrono::system_clock::now().time_since_epoch() >
               std::chrono::seconds(std::stoll(expires))) {
      denial = "Request has expired";
    }
  }
  if (denial) {
    Answer denied = storageError(403, "AccessDenied", *denial);
    if (entry != nullptr) denied.fileName = entry->name;
    return denied;
  }
  if (entry == nullptr) return storageError(404, "NoSuchKey", "The specified key does not exist.");
  Answer a;
  a.fileName = entry->name;
  a.header("ETag", inQuotes(id));
  a.header("Accept-Ranges", "bytes");
  a.header("Cache-Control", kStorageCacheControl);
  if (const std::string d = in.req->get_param_value("response-content-disposition"); !d.empty()) {
    a.header("Content-Disposition", d);
  }
  a.contentType = "application/octet-stream";
  a.file = entry;
  serveEntity(a, in, entry->size, ignoreRange);
  return a;
}

Answer TestHub::State::faultRedirect(const Incoming& in, const HubFault::Effect& effect) const {
  const Listener& self = listenerOf(in.host);
  std::string location;
  if (effect.location) {
    location = *effect.location;
  } else {
    switch (*effect.redirect) {
      case HubRedirect::sameHost:
        location = in.target;
        break;
      case HubRedirect::sameHostAbsolute:
        location = baseURL(self) + in.target;
        break;
      case HubRedirect::plainHTTP:
        location = "http://" + self.hostName + ":" + std::to_string(self.port) + in.target;
        break;
      case HubRedirect::crossHostAndBack:
        location = baseURL(otherOf(in.host)) + kBouncePath +
                   "?to=" + percentEncode(baseURL(self) + in.target);
        break;
    }
  }
  return redirectAnswer(302, location);
}

std::optional<HubFault> TestHub::State::takeFault(const Incoming& in, const std::string& fileName) {
  std::lock_guard lock(faultsMutex);
  if (connectionLimit && in.openConnections > *connectionLimit->match.openConnectionsAbove) {
    return connectionLimit;
  }
  for (auto it = faults.begin(); it != faults.end(); ++it) {
    HubFault::Match& m = it->match;
    if (m.openConnectionsAbove && in.openConnections <= *m.openConnectionsAbove) continue;
    if (m.host != HubHost::any && m.host != in.host) continue;
    if (!m.method.empty() && toLower(m.method) != toLower(in.method)) continue;
    if (!m.pathSuffix.empty() && !in.path.ends_with(m.pathSuffix) &&
        (fileName.empty() || !fileName.ends_with(m.pathSuffix))) {
      continue;
    }
    if (m.skip > 0) {
      --m.skip;
      continue;
    }
    HubFault taken = *it;
    if (m.count != HubFault::kUnlimited && --m.count <= 0) faults.erase(it);
    return taken;
  }
  return std::nullopt;
}

void TestHub::State::handle(HubHost host, const httplib::Request& req, httplib::Response& res) {
  // Ranges are answered here, not by the library, which would otherwise
  // slice every body that has a Range header (faults must be able to ignore
  // it). The request object is not const; only the callback's view is.
  if (host == HubHost::hub && req.method == "GET" && req.path == kStatsPath) {
    res.set_content(statsJSON(), "application/json");
    return;
  }
  const auto receivedAt = std::chrono::steady_clock::now();
  const_cast<httplib::Request&>(req).ranges.clear();
  tlFinalEdits.reset();
  Incoming in = parseIncoming(host, req);
  in.openConnections = countConnection(host, req.remote_addr);

  Answer answer;
  std::optional<HubFault> fault;
  try {
    answer = route(in, false);
    fault = takeFault(in, answer.fileName);
    if (fault) {
      const HubFault::Effect& e = fault->effect;
      const std::string fileName = answer.fileName;
      if (e.ignoreRange) answer = route(in, true);
      if (e.redirect || e.location) answer = faultRedirect(in, e);
      if (e.status) answer = statusAnswer(*e.status);
      if (e.retryAfter) answer.header("Retry-After", *e.retryAfter);
      answer.fileName = fileName;
    }
  } catch (const std::exception& error) {
    answer = errorAnswer(500, "", std::string("test hub: ") + error.what());
  }

  HubRequest record;
  record.host = host;
  record.method = req.method;
  record.target = req.target;
  for (const auto& [key, value] : req.headers) {
    // Pseudo-headers the HTTP library adds for the connection's addresses.
    if (key == "REMOTE_ADDR" || key == "REMOTE_PORT" || key == "LOCAL_ADDR" ||
        key == "LOCAL_PORT") {
      continue;
    }
    record.headers.emplace_back(key, value);
  }
  record.file = answer.fileName;
  record.status = answer.status;
  record.fault = fault ? fault->describe() : "";
  record.remotePort = req.remote_port;
  record.openConnections = in.openConnections;
  record.receivedAt = receivedAt;
  {
    std::lock_guard lock(requestsMutex);
    requests.push_back(std::move(record));
  }

  const HubFault::Effect noEffect;
  const HubFault::Effect& effect = fault ? fault->effect : noEffect;
  if (effect.delay.count() > 0) stopSignal.pause(effect.delay);
  if (effect.dropConnection && req.ssl != nullptr) {
    // Shut the socket under the library: its writes of the answer fail and
    // it closes the connection, so the client reads nothing at all.
    ::shutdown(SSL_get_fd(req.ssl), SHUT_RDWR);
  }
  emit(in, answer, effect, res);
}

void TestHub::State::emit(const Incoming& in, const Answer& answer, const HubFault::Effect& effect,
                          httplib::Response& res) {
  res.status = answer.status;
  for (const auto& [key, value] : answer.headers) res.set_header(key, value);

  uint64_t rate = options.throughputBytesPerSecond;
  if (effect.bytesPerSecond > 0) {
    rate = rate == 0 ? effect.bytesPerSecond : std::min(rate, effect.bytesPerSecond);
  }
  auto writer = std::make_shared<BodyWriter>(stopSignal, options.files, answer, effect, rate);
  const std::string contentType =
      answer.contentType.empty() ? std::string("application/octet-stream") : answer.contentType;
  const bool closeAtEnd = effect.contentLength.has_value();
  if (in.method == "HEAD" || (writer->total() == 0 && !closeAtEnd)) {
    if (answer.length > 0) {
      // A HEAD announces what a GET would send; the library sends no body.
      res.set_content_provider(static_cast<size_t>(answer.length), contentType,
                               [](size_t, size_t, httplib::DataSink&) { return false; });
    } else if (!answer.contentType.empty()) {
      res.set_header("Content-Type", answer.contentType);
    }
  } else if (writer->total() == 0) {
    // Nothing to send but a wrong Content-Length: close right after the headers.
    res.set_content_provider(contentType, [](size_t, httplib::DataSink&) { return false; });
  } else if (effect.extraBodyBytes > 0) {
    res.set_chunked_content_provider(contentType, [writer](size_t, httplib::DataSink& sink) {
      return writer->writeChunked(sink);
    });
  } else {
    res.set_content_provider(
        static_cast<size_t>(writer->total()), contentType,
        [writer](size_t, size_t, httplib::DataSink& sink) { return writer->writeSome(sink); });
  }

  FinalEdits edits;
  if (effect.contentLength) {
    edits.contentLength = effect.contentLength;
  } else if (effect.extraBodyBytes > 0) {
    edits.contentLength = std::to_string(answer.length);
  }
  edits.weakETag = effect.weakETag;
  edits.headers = effect.headers;
  if (edits.contentLength || edits.weakETag || !edits.headers.empty()) {
    tlFinalEdits = std::move(edits);
  }
}

// ---------------------------------------------------------------------------
// The public face.

TestHub::TestHub(std::unique_ptr<State> state) : state_(std::move(state)) {}

TestHub::~TestHub() { stop(); }

std::unique_ptr<TestHub> TestHub::start(TestHubOptions options) {
  auto state = std::make_unique<State>(std::move(options));
  state->setUp();
  if (state->options.maxConnections > 0) {
    state->connectionLimit = HubFault::connectionLimit(state->options.maxConnections);
  }
  state->listen(state->hub, HubHost::hub, kHubHostName, state->options.port);
  state->listen(state->storage, HubHost::storage, kStorageHostName, state->options.storagePort);
  return std::unique_ptr<TestHub>(new TestHub(std::move(state)));
}

std::string TestHub::baseURL() const { return state_->baseURL(state_->hub); }
std::string TestHub::storageURL() const { return state_->baseURL(state_->storage); }
uint16_t TestHub::port() const { return state_->hub.port; }
uint16_t TestHub::storagePort() const { return state_->storage.port; }
std::string TestHub::caFile() const { return state_->caFile; }
const TestHubOptions& TestHub::options() const { return state_->options; }

std::string TestHub::fileURL(const std::string& path, const std::string& revision) const {
  std::string url = baseURL() + "/" + percentEncode(state_->owner) + "/" +
                    percentEncode(state_->name) + "/resolve/" +
                    percentEncode(revision.empty() ? state_->options.revision : revision);
  for (const std::string& piece : split(path, '/')) url += "/" + percentEncode(piece);
  return url;
}

HubFileFacts TestHub::facts(const std::string& path) const {
  const auto it = state_->files.find(path);
  if (it == state_->files.end()) throw std::runtime_error("test hub: no file " + path);
  const FileEntry& entry = state_->digested(*it->second);
  return HubFileFacts{entry.name,   entry.size,    entry.lfs,    entry.etag,
                      entry.sha256, entry.xetHash, entry.pointer};
}

size_t TestHub::openConnections(HubHost host) const {
  std::lock_guard lock(state_->connectionsMutex);
  size_t open = 0;
  for (const auto& [key, count] : state_->openConnections) {
    if (host == HubHost::any || key.first == host) open += static_cast<size_t>(count);
  }
  return open;
}

void TestHub::inject(HubFault fault) {
  std::lock_guard lock(state_->faultsMutex);
  state_->faults.push_back(std::move(fault));
}

size_t TestHub::pendingFaults() const {
  std::lock_guard lock(state_->faultsMutex);
  return state_->faults.size();
}

void TestHub::clearFaults() {
  std::lock_guard lock(state_->faultsMutex);
  state_->faults.clear();
}

std::vector<HubRequest> TestHub::requests() const {
  std::lock_guard lock(state_->requestsMutex);
  return state_->requests;
}

std::string TestHub::State::statsJSON() const {
  std::map<HubHost, std::set<int>> connections;
  std::map<HubHost, size_t> requestCount;
  {
    std::lock_guard lock(requestsMutex);
    for (const HubRequest& r : requests) {
      connections[r.host].insert(r.remotePort);
      ++requestCount[r.host];
    }
  }
  std::string text = "{";
  for (const auto& [name, host] : {std::pair{"hub", HubHost::hub}, {"storage", HubHost::storage}}) {
    if (text.size() > 1) text += ", ";
    text += std::string("\"") + name +
            "\": {\"connections\": " + std::to_string(connections[host].size()) +
            ", \"requests\": " + std::to_string(requestCount[host]) + "}";
  }
  return text + "}\n";
}

size_t TestHub::connectionsUsed(HubHost host) const {
  std::set<std::pair<HubHost, int>> connections;
  std::lock_guard lock(state_->requestsMutex);
  for (const HubRequest& r : state_->requests) {
    if (host == HubHost::any || r.host == host) connections.emplace(r.host, r.remotePort);
  }
  return connections.size();
}

void TestHub::clearRequests() {
  std::lock_guard lock(state_->requestsMutex);
  state_->requests.clear();
}

void TestHub::stop() { state_->shutdown(); }

std::string formatHTTPDate(std::chrono::system_clock::time_point time, HTTPDateForm form) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kLongDays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                              "Thursday", "Friday", "Saturday"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::time_t t = std::chrono::system_clock::to_time_t(time);
  std::tm tm{};
  ::gmtime_r(&t, &tm);
  char out[64];
  switch (form) {
    case HTTPDateForm::imfFixdate:
      std::snprintf(out, sizeof out, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[tm.tm_wday],
                    tm.tm_mday, kMonths[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min,
                    tm.tm_sec);
      break;
    case HTTPDateForm::rfc850:
      std::snprintf(out, sizeof out, "%s, %02d-%s-%02d %02d:%02d:%02d GMT", kLongDays[tm.tm_wday],
                    tm.tm_mday, kMonths[tm.tm_mon], tm.tm_year % 100, tm.tm_hour, tm.tm_min,
                    tm.tm_sec);
      break;
    case HTTPDateForm::asctime:
      std::snprintf(out, sizeof out, "%s %s %2d %02d:%02d:%02d %04d", kDays[tm.tm_wday],
                    kMonths[tm.tm_mon], tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                    tm.tm_year + 1900);
      break;
  }
  return out;
}

std::string gitBlobSHA1(std::string_view bytes) {
  return gitBlobSha1Hex({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
}
