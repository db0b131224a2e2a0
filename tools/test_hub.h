// A stand-in for the model hub on loopback: two HTTPS listeners that answer
// the way the public hub and its storage backend do, for tests, benchmarks
// and offline demonstrations.
//
// The hub host (https://localhost:P) serves one repository at one commit:
//   GET|HEAD /{owner}/{name}/resolve/{revision}/{path}
//   GET|HEAD /{owner}/{name}/raw/{revision}/{path}
//   GET      /api/models/{owner}/{name}[/revision/{revision}]   (file listing)
// `revision` is the pinned commit or one of the branch names. Small files are
// answered by the hub itself (200/206, ETag = quoted git blob SHA-1). Large
// (LFS) files are answered with "302 Found" whose Location is a signed,
// expiring URL on the storage host (https://127.0.0.1:Q/objects/{id}?...),
// with X-Linked-Size, X-Linked-ETag (quoted SHA-256), ETag (quoted git blob
// SHA-1 of the LFS pointer), X-Repo-Commit and, in Xet mode, X-Xet-Hash. The
// storage host checks the signature (403 with an XML body when it is missing,
// wrong or expired) and serves 200/206/416 with exact Content-Range. /raw/
// returns a large file's LFS pointer text. Bodies are streamed in chunks from
// the CheckpointFiles, so no file is ever held in memory.
//
// The SHA-256 of a large file (X-Linked-ETag, the LFS pointer, the object id
// without Xet) is computed from its bytes the first time it is needed and then
// kept; for generated checkpoints too large to hash, the caller supplies a
// stand-in per file (TestHubOptions::sha256StandIns). The Xet hash is not a
// content hash: it is derived from commit, path and size, which is enough for
// a client that only compares it with the storage host's ETag.
//
// Faults are injected per request (HubFault) and every request is recorded
// (HubRequest) so that tests can assert on what a client sent; GET
// /_velquor-test-hub/stats on the hub host answers the connections and
// requests each host has seen so far, as JSON. All member
// functions of TestHub are safe to call from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/checkpoint_files.h"

enum class HubHost { any, hub, storage };

struct TestHubOptions {
  std::string repoID;    // "owner/name"
  std::string revision;  // the pinned commit, 40 lower-case hex characters
  std::shared_ptr<const CheckpointFiles> files;
  // Names that resolve to `revision`.
  std::vector<std::string> branches = {"main"};
  // Former names of the repository: requests under them get a same-host
  // relative "307" to the current name, as after a rename.
  std::vector<std::string> formerRepoIDs;
  // When set, every request to the hub host must carry
  // "Authorization: Bearer <token>" or gets 401. The storage host never asks.
  std::optional<std::string> token;
  // Xet-backed large files: X-Xet-Hash on the redirect, and the storage host's
  // ETag is that hash, quoted. Without Xet the storage ETag is the SHA-256.
  bool xet = true;
  uint16_t port = 0;         // hub host port; 0 picks a free one
  uint16_t storagePort = 0;  // storage host port; 0 picks a free one
  // Bytes per second of every response body on either host; 0 = unlimited.
  // A connection carries one response at a time, so this also bounds each
  // connection.
  uint64_t throughputBytesPerSecond = 0;
  // A file is large (LFS) when its name ends with one of the suffixes or its
  // size is at least the threshold.
  std::vector<std::string> lfsSuffixes = {".safetensors"};
  uint64_t lfsThresholdBytes = 10 * 1024 * 1024;
  // File name -> 64 lower-case hex characters used instead of hashing it.
  std::map<std::string, std::string> sha256StandIns;
  // How long a signed storage URL stays valid (negative: already expired).
  std::chrono::seconds signedURLLifetime{3600};
  // Connections each listener serves at once.
  int threadsPerListener = 32;
  // When positive, a request that arrives while one client (remote address)
  // has more than this many connections open to the host it asks is answered
  // 429 without Retry-After: HubFault::connectionLimit(maxConnections) on
  // every request, ahead of the injected faults and untouched by
  // clearFaults().
  int maxConnections = 0;
};

// Where a fault sends a client (HubFault::redirect).
enum class HubRedirect {
  sameHost,          // relative Location: the same target again
  sameHostAbsolute,  // https://<same host>:<port><same target>
  plainHTTP,         // http://<same host>:<port><same target> (nothing listens for it)
  crossHostAndBack,  // to the other host, which redirects back to the same target
};

// One injected fault: which requests it takes (match) and what it does to
// their answers (effect). Built in one line from a factory and modifiers:
//   hub->inject(HubFault::status(503).withRetryAfter("1").on("config.json").times(2));
//   hub->inject(HubFault::cutBody(4096).onHost(HubHost::storage).onNth(2));
// Faults are examined in the order they were injected. A matching fault that
// is still letting requests pass (onNth) counts the request and passes it on;
// the first matching fault whose turn has come applies to the request (its
// answer is built normally, then changed), uses up one of its `count`
// applications, and hides the request from later faults.
struct HubFault {
  static constexpr int kUnlimited = -1;

  struct Match {
    // Matches when the decoded request path, or the repository path of the
    // file the request is about (on the storage host: the file behind the
    // object), ends with it. Empty matches every request.
    std::string pathSuffix;
    HubHost host = HubHost::any;
    std::string method;  // "GET", "HEAD"; empty matches every method
    int skip = 0;        // matching requests to let pass before applying
    int count = 1;       // applications; kUnlimited never runs out
    // Matches only while the client has more than this many connections open
    // to the host (the request's own connection included).
    std::optional<int> openConnectionsAbove;
  };

  struct Effect {
    // Replace the answer with this status, a short text body and, for
    // errors, X-Error-Message.
    std::optional<int> status;
    std::optional<std::string> retryAfter;  // sent as Retry-After, as given
    // Send only this many body bytes, then close the connection.
    std::optional<uint64_t> cutAfterBytes;
    // Send this many bytes more than the answer declares: the body goes out
    // with "Transfer-Encoding: chunked" (which takes precedence) next to the
    // honest Content-Length.
    uint64_t extraBodyBytes = 0;
    // Replace the Content-Length header with this text; the honest body is
    // sent and the connection closed after it.
    std::optional<std::string> contentLength;
    // Answer as if the request had no Range header (200, whole file).
    bool ignoreRange = false;
    // Turn the ETag into a weak validator (W/ prefix).
    bool weakETag = false;
    // Header edits applied last, in order: a value sets (replacing every
    // field of that name), nothing removes.
    std::vector<std::pair<std::string, std::optional<std::string>>> headers;
    // Replace the answer with a 302 (redirectTo: with exactly this Location).
    std::optional<HubRedirect> redirect;
    std::optional<std::string> location;
    // After this many body bytes, send nothing for stallDuration, then go on.
    std::optional<uint64_t> stallAfterBytes;
    std::chrono::milliseconds stallDuration{0};
    // Wait this long before sending the status line.
    std::chrono::milliseconds delay{0};
    // Body throughput limit for this answer (bytes per second); 0 = none.
    uint64_t bytesPerSecond = 0;
    // Close the connection without answering at all.
    bool dropConnection = false;
  };

  Match match;
  Effect effect;

  // Effects.
  static HubFault status(int code);
  static HubFault cutBody(uint64_t afterBytes);
  static HubFault overlongBody(uint64_t extraBytes);
  static HubFault contentLength(std::string value);
  static HubFault contentRange(std::string value);
  static HubFault contentEncoding(std::string value = "gzip");
  static HubFault ignoreRange();
  static HubFault etag(std::string value);
  static HubFault weakETag();
  static HubFault header(std::string name, std::string value);
  static HubFault removeHeader(std::string name);
  static HubFault redirect(HubRedirect kind);
  static HubFault redirectTo(std::string location);
  static HubFault stall(uint64_t afterBytes, std::chrono::milliseconds duration);
  static HubFault delay(std::chrono::milliseconds duration);
  static HubFault throttle(uint64_t bytesPerSecond);
  static HubFault dropConnection();
  // 429 on every request (no Retry-After) that arrives while the client has
  // more than `connections` connections open to the host it asks.
  static HubFault connectionLimit(int connections);

  // Matching.
  HubFault on(std::string pathSuffix) const;
  HubFault onHost(HubHost host) const;
  HubFault onMethod(std::string method) const;
  // Applies first to the n-th matching request (1-based).
  HubFault onNth(int n) const;
  HubFault times(int count) const;
  HubFault always() const;

  // Further effects on the same answer.
  HubFault withRetryAfter(std::string value) const;
  HubFault withHeader(std::string name, std::string value) const;
  HubFault withoutHeader(std::string name) const;

  // A short text naming the effect, as recorded in HubRequest::fault.
  std::string describe() const;
};

// One request as the server received it. A request is recorded before its
// answer is sent, so once a client has an answer its request is listed.
struct HubRequest {
  HubHost host = HubHost::hub;
  std::string method;
  std::string target;  // as sent: percent-encoded path and query
  // Every header field as received (names as sent, values as the HTTP
  // library parsed them), in name order.
  std::vector<std::pair<std::string, std::string>> headers;
  // The repository path the request was about, when there is one.
  std::string file;
  int status = 0;      // the status answered
  std::string fault;   // describe() of the fault applied, or empty
  int remotePort = 0;  // the client's port: one value per connection
  // The connections the client had open to this host when the request
  // arrived, its own included.
  int openConnections = 0;
  std::chrono::steady_clock::time_point receivedAt;

  // The first field of that name (case-insensitive), if any.
  std::optional<std::string> header(std::string_view name) const;
};

// What the hub advertises for one file.
struct HubFileFacts {
  std::string name;
  uint64_t size = 0;
  bool lfs = false;
  std::string etag;  // quoted, as in the hub's ETag header
  // Large files only.
  std::string sha256;      // 64 hex (X-Linked-ETag without quotes)
  std::string xetHash;     // 64 hex, set in Xet mode
  std::string lfsPointer;  // the /raw/ text
};

class TestHub {
 public:
  // Generates the CA and server certificate, binds both listeners and returns
  // once both accept connections. Throws std::runtime_error on bad options or
  // when a port cannot be bound.
  static std::unique_ptr<TestHub> start(TestHubOptions options);
  ~TestHub();
  TestHub(const TestHub&) = delete;
  TestHub& operator=(const TestHub&) = delete;

  std::string baseURL() const;     // https://localhost:P
  std::string storageURL() const;  // https://127.0.0.1:Q
  uint16_t port() const;
  uint16_t storagePort() const;
  // PEM file of this run's CA, which signed the certificate of both hosts.
  std::string caFile() const;
  const TestHubOptions& options() const;

  // The resolve URL of a file at a revision (the pinned commit by default).
  std::string fileURL(const std::string& path, const std::string& revision = "") const;
  // Throws std::runtime_error for a file that does not exist. Hashes a large
  // file that has no stand-in.
  HubFileFacts facts(const std::string& path) const;

  void inject(HubFault fault);
  // Faults not yet used up.
  size_t pendingFaults() const;
  void clearFaults();

  std::vector<HubRequest> requests() const;
  void clearRequests();
  // The connections that carried the recorded requests to `host`: the
  // distinct (host, client port) pairs of the request log. A connection that
  // carried no request is not counted, and neither is a client port the
  // system gave out again to a later connection.
  size_t connectionsUsed(HubHost host = HubHost::any) const;

  // Connections of every client open to `host` now, counted from their first
  // request until they close.
  size_t openConnections(HubHost host) const;

  // Stops both listeners, wakes stalled bodies, waits for every connection to
  // end and removes the CA file. Idempotent; the destructor calls it.
  void stop();

 private:
  struct State;
  explicit TestHub(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

enum class HTTPDateForm { imfFixdate, rfc850, asctime };
// A date in one of the three forms HTTP allows, for Retry-After values.
std::string formatHTTPDate(std::chrono::system_clock::time_point time,
                           HTTPDateForm form = HTTPDateForm::imfFixdate);

// The git blob SHA-1 of some bytes: SHA-1 of "blob <size>\0" + bytes, hex.
std::string gitBlobSHA1(std::string_view bytes);
