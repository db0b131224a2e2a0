// The client of one model repository at one revision on the Hugging Face
// hub: file URLs, file metadata from a HEAD request, ranged downloads into
// temporary files and whole small files fetched into place. Every network
// operation runs under the retry loop and through the download session.
//
// A source is a value; copies may be used from several threads at once
// (they share the read-only download session and the storage URL cache).
//
// A ranged download of a file the hub stores elsewhere goes through the
// hub's redirect once; later ranges of the file go straight to the storage
// URL it redirected to, while that URL is fresh (see StorageURLCache). When
// the storage host refuses a kept URL with 403, the attempt forgets it and
// goes through the hub again, once.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "engine/remote/download_session.h"
#include "engine/remote/http_client.h"
#include "engine/remote/range_transfer.h"
#include "engine/remote/retry_policy.h"
#include "engine/remote/storage_url_cache.h"

class RepackAudit;

struct RemoteFileInfo {
  std::string filename;
  std::string resolvedCommit;  // 40 characters
  uint64_t size = 0;
  std::optional<std::string> etag;     // as sent, not normalised
  std::optional<std::string> xetHash;  // content hash of Xet-backed files
  bool acceptsRanges = false;

  bool operator==(const RemoteFileInfo&) const = default;
};

template <>
struct std::hash<RemoteFileInfo> {
  size_t operator()(const RemoteFileInfo& info) const noexcept;
};

struct TemporaryRangeFile {
  std::string path;
  uint64_t byteCount = 0;

  bool operator==(const TemporaryRangeFile&) const = default;
};

inline constexpr const char* kDefaultHubBaseURL = "https://huggingface.co";

struct HuggingFaceRemoteSource {
  std::string repoID;                         // owner/name
  std::string requestedRevision;              // branch, tag or commit
  std::optional<std::string> resolvedCommit;  // used in URLs once known
  std::optional<std::string> token;           // sent only to the base URL's origin
  std::shared_ptr<const RemoteDownloadSession> downloadSession =
      std::make_shared<const RemoteDownloadSession>();
  std::string baseURL = kDefaultHubBaseURL;  // HTTPS, no query or fragment
  std::string tempDirectory;                 // where temporary range files are created
  RemoteRetryPolicy retryPolicy;
  // Where ranged downloads found each file; null sends every range through
  // the hub.
  std::shared_ptr<StorageURLCache> storageURLs = std::make_shared<StorageURLCache>();

  // A copy that names `commit` in every URL.
  HuggingFaceRemoteSource pinned(const std::string& commit) const;

  // baseURL / owner / name / "resolve" / revision / the file's path, each
  // component percent-encoded. configurationInvalid for a repository id
  // that is not two pieces, a piece or file name with "..", a file name that
  // is empty, absolute or holds "?" or "#", and a base URL that is not HTTPS
  // or carries a query or fragment.
  std::string fileURL(const std::string& filename) const;

  // A request with the headers every hub request carries: identity
  // encoding, and the bearer token when `url` has the base URL's origin
  // (scheme, host and effective port).
  HttpRequest request(const std::string& method, const std::string& url) const;

  // The file's metadata from a HEAD request that follows only same-origin
  // redirects, so a file stored elsewhere is described by the hub's own 3xx.
  RemoteFileInfo resolveFileInfo(const std::string& filename, RepackAudit* audit) const;

  // Bytes [offset, offset + length) of the file at info.resolvedCommit into
  // `targetPath` (else a new temporary file in tempDirectory), with retries;
  // progress restarts at 0 with each attempt. Length 0 makes an empty file
  // without a request. On failure no file is left behind.
  TemporaryRangeFile downloadRangeToTempFile(const std::string& filename,
                                             const RemoteFileInfo& info, uint64_t offset,
                                             int64_t length,
                                             const std::optional<std::string>& targetPath,
                                             const RemoteProgress& progress,
                                             RepackAudit* audit) const;

  // One attempt of downloadRangeToTempFile, without the retry loop.
  TemporaryRangeFile downloadRangeAttempt(const std::string& filename, const RemoteFileInfo& info,
                                          uint64_t offset, int64_t length,
                                          const std::optional<std::string>& targetPath,
                                          const RemoteProgress& progress) const;

  // One attempt at bytes [offset, offset + length) of the file at
  // info.resolvedCommit, handed to `sink` as they arrive; `cancel` stops it.
  // The response is validated exactly as for a temporary file. Returns the
  // bytes received.
  uint64_t downloadRangeToSinkAttempt(const std::string& filename, const RemoteFileInfo& info,
                                      uint64_t offset, uint64_t length, const RemoteRangeSink& sink,
                                      const RemoteProgress& progress,
                                      const CancellationToken& cancel) const;

  // The whole file (remoteFileTooLarge above capBytes, before any request)
  // into outputPath, which must be absent or a regular file; replaced by a
  // rename so a reader never sees a partial file. The file is mode 0644 less
  // the umask and durable (file before the rename, directory after).
  void fetchSmallFile(const std::string& filename, const RemoteFileInfo& info, uint64_t capBytes,
                      const std::string& outputPath, RepackAudit* audit) const;

  const RemoteDownloadSession& session() const { return *downloadSession; }
};
