#include "engine/remote/hugging_face_source.h"

#include <fcntl.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <cerrno>
#include <filesystem>
#include <vector>

#include "engine/common/repack_audit.h"
#include "engine/common/repack_error.h"
#include "engine/common/unique_fd.h"
#include "engine/io/posix.h"
#include "engine/remote/remote_url.h"
#include "engine/remote/response_headers.h"

size_t std::hash<RemoteFileInfo>::operator()(const RemoteFileInfo& info) const noexcept {
  size_t seed = 0;
  const auto mix = [&seed](size_t value) {
    seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
  };
  const std::hash<std::string> text;
  mix(text(info.filename));
  mix(text(info.resolvedCommit));
  mix(std::hash<uint64_t>()(info.size));
  mix(info.etag ? text(*info.etag) : 1);
  mix(info.xetHash ? text(*info.xetHash) : 2);
  mix(info.acceptsRanges ? 3 : 4);
  return seed;
}

namespace {

[[noreturn]] void throwInvalid(std::string detail) {
  throw RepackError(RepackError::ConfigurationInvalid{std::move(detail)});
}

[[noreturn]] void throwProtocol(std::string detail) {
  throw RepackError(RepackError::RemoteProtocolInvalid{std::move(detail)});
}

std::vector<std::string> nonEmptyPieces(const std::string& text) {
  std::vector<std::string> pieces;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t slash = text.find('/', start);
    const size_t end = slash == std::string::npos ? text.size() : slash;
    if (end > start) pieces.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return pieces;
}

std::string newTemporaryRangeName() {
  uuid_t id;
  uuid_generate_random(id);
  char text[37];
  uuid_unparse_upper(id, text);
  return std::string("velquor-range-") + text + ".tmp";
}

// Creates `path` as an empty file; an existing entry is never reused.
void createEmptyFile(const std::string& path) {
  const int fd = Posix::sys::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    const int err = errno;
    throw RepackError(RepackError::FileOpenFailed{path, err});
  }
  UniqueFd owned(fd);
}

constexpr double kRequestTimeoutSeconds = 60;

}  // namespace

namespace {

// The GET of bytes [offset, last] of the file at info.resolvedCommit.
HttpRequest rangeRequest(const HuggingFaceRemoteSource& source, const std::string& filename,
                         const RemoteFileInfo& info, uint64_t offset, uint64_t last) {
  const HuggingFaceRemoteSource atCommit = source.pinned(info.resolvedCommit);
  HttpRequest get = source.request("GET", atCommit.fileURL(filename));
  get.headers.set("Range", "bytes=" + std::to_string(offset) + "-" + std::to_string(last));
  return get;
}

// One transfer of the ranged GET `viaHub` (a request to the hub's resolve
// URL): to the file's kept storage URL when there is a fresh one, else
// through the hub, which teaches the cache where the hub sent it. A kept URL
// that the storage host refuses with 403 is forgotten and the request goes
// through the hub once more; whatever that gives is the attempt's outcome.
RemoteRangeTransferResult routedTransfer(
    const HuggingFaceRemoteSource& source, const HttpRequest& viaHub,
    const CancellationToken& cancel,
    const std::function<RemoteRangeTransferResult(const HttpRequest&,
                                                  const RemoteAcceptedResponse&)>& transfer) {
  StorageURLCache* const cache = source.storageURLs.get();
  if (!cache) return transfer(viaHub, {});
  const std::string& key = viaHub.url;
  StorageURLCache::Route route = cache->lookup(key, cancel);
  if (route.storageURL) {
    // request() gives the token only to the hub's origin, never to storage.
    HttpRequest direct = source.request(viaHub.method, *route.storageURL);
    direct.headers.set("Range", viaHub.headers.get("Range").value_or(""));
    try {
      return transfer(direct, {});
    } catch (const RepackError& error) {
      const auto* answer = error.as<RepackError::RemoteHTTPResponse>();
      if (!answer || answer->status != 403) throw;
    }
    cache->forget(key, *route.storageURL);
    route = StorageURLCache::Route{};
  }
  const std::optional<std::string> hubOrigin = RemoteURL::origin(source.baseURL);
  const RemoteAcceptedResponse learn = [&](const HttpResponse& response) {
    const std::optional<std::string> origin = RemoteURL::origin(response.url);
    cache->learn(key, response.url, origin.has_value() && origin != hubOrigin);
  };
  try {
    RemoteRangeTransferResult result = transfer(viaHub, learn);
    if (route.resolver) cache->release(key);
    return result;
  } catch (...) {
    if (route.resolver) cache->release(key);
    throw;
  }
}

RemoteRangeExpectation rangeExpectation(const std::string& filename, const RemoteFileInfo& info,
                                        uint64_t offset, uint64_t count) {
  RemoteRangeExpectation expectation;
  expectation.filename = filename;
  expectation.offset = offset;
  expectation.length = count;
  expectation.totalSize = info.size;
  expectation.xetHash = info.xetHash;
  return expectation;
}

}  // namespace

HuggingFaceRemoteSource HuggingFaceRemoteSource::pinned(const std::string& commit) const {
  HuggingFaceRemoteSource copy = *this;
  copy.resolvedCommit = commit;
  return copy;
}

std::string HuggingFaceRemoteSource::fileURL(const std::string& filename) const {
  const std::vector<std::string> repo = nonEmptyPieces(repoID);
  if (repo.size() != 2 || repo[0].find("..") != std::string::npos ||
      repo[1].find("..") != std::string::npos) {
    throwInvalid("invalid repo id " + repoID);
  }
  if (filename.empty() || filename.front() == '/' || filename.find("..") != std::string::npos ||
      filename.find('?') != std::string::npos || filename.find('#') != std::string::npos) {
    throwInvalid("invalid remote filename " + filename);
  }
  if (RemoteURL::scheme(baseURL) != "https" || !RemoteURL::host(baseURL) ||
      baseURL.find_first_of("?#") != std::string::npos) {
    throwInvalid("invalid hub base URL " + baseURL);
  }
  std::string url = baseURL;
  while (!url.empty() && url.back() == '/') url.pop_back();
  const auto append = [&url](const std::string& component) {
    url += '/';
    url += RemoteURL::encodedPathComponent(component);
  };
  append(repo[0]);
  append(repo[1]);
  append("resolve");
  append(resolvedCommit.value_or(requestedRevision));
  for (const std::string& piece : nonEmptyPieces(filename)) append(piece);
  return url;
}

HttpRequest HuggingFaceRemoteSource::request(const std::string& method,
                                             const std::string& url) const {
  HttpRequest request;
  request.method = method;
  request.url = url;
  request.timeoutSeconds = kRequestTimeoutSeconds;
  request.headers.set("Accept-Encoding", "identity");
  const std::optional<std::string> origin = RemoteURL::origin(url);
  if (token && origin && origin == RemoteURL::origin(baseURL)) {
    request.headers.set("Authorization", "Bearer " + *token);
  }
  return request;
}

RemoteFileInfo HuggingFaceRemoteSource::resolveFileInfo(const std::string& filename,
                                                        RepackAudit* audit) const {
  const RemoteDownloadSession& http = session();
  return withRemoteRetries(
      retryPolicy, "resolveFileInfo:" + filename, audit, http.retryEnvironment(),
      http.cancellation(), [&] {
        const std::string url = fileURL(filename);
        const RemoteMetadataResponse answer = http.response(request("HEAD", url));
        if (!answer.response) throwProtocol("missing HTTP response for " + filename);
        const HttpResponse& response = *answer.response;
        if (response.status < 200 || response.status > 399) {
          throw RepackError(RepackError::RemoteHTTPResponse{
              RemoteURL::redacted(url), response.status, response.headers.get("Retry-After"),
              response.headers.get("RateLimit")});
        }
        const std::optional<std::string> commit = response.headers.get("X-Repo-Commit").has_value()
                                                      ? response.headers.get("X-Repo-Commit")
                                                      : resolvedCommit;
        if (!commit || commit->size() != 40) {
          throwProtocol("missing full X-Repo-Commit for " + filename);
        }
        std::optional<uint64_t> size;
        if (const auto linked = response.headers.get("X-Linked-Size")) {
          size = RemoteHeaders::parseUnsignedDecimal(*linked);
        }
        if (!size && response.status >= 200 && response.status <= 299) {
          if (const auto length = response.headers.get("Content-Length")) {
            size = RemoteHeaders::parseUnsignedDecimal(*length);
          }
        }
        if (!size) throwProtocol("missing remote size for " + filename);

        RemoteFileInfo info;
        info.filename = filename;
        info.resolvedCommit = *commit;
        info.size = *size;
        info.etag = response.headers.get("X-Linked-ETag");
        if (!info.etag) info.etag = response.headers.get("ETag");
        info.xetHash = response.headers.get("X-Xet-Hash");
        info.acceptsRanges =
            RemoteHeaders::lowercased(response.headers.get("Accept-Ranges").value_or(""))
                .find("bytes") != std::string::npos;
        return info;
      });
}

TemporaryRangeFile HuggingFaceRemoteSource::downloadRangeAttempt(
    const std::string& filename, const RemoteFileInfo& info, uint64_t offset, int64_t length,
    const std::optional<std::string>& targetPath, const RemoteProgress& progress) const {
  if (length < 0) throwProtocol("negative range length");
  if (length == 0) {
    Posix::mkdirP(tempDirectory);
    const std::string target = targetPath.value_or(
        (std::filesystem::path(tempDirectory) / newTemporaryRangeName()).string());
    createEmptyFile(target);
    return TemporaryRangeFile{target, 0};
  }
  const uint64_t count = static_cast<uint64_t>(length);
  const uint64_t last = count - 1 > UINT64_MAX - offset ? UINT64_MAX : offset + count - 1;
  if (last >= info.size || count - 1 > UINT64_MAX - offset) {
    throwProtocol("range " + std::to_string(offset) + "-" + std::to_string(last) + " exceeds " +
                  filename);
  }
  const HttpRequest get = rangeRequest(*this, filename, info, offset, last);
  Posix::mkdirP(tempDirectory);
  const std::string target = targetPath.value_or(
      (std::filesystem::path(tempDirectory) / newTemporaryRangeName()).string());
  const RemoteRangeExpectation expectation = rangeExpectation(filename, info, offset, count);
  const RemoteRangeTransferResult result =
      routedTransfer(*this, get, session().cancellation(),
                     [&](const HttpRequest& request, const RemoteAcceptedResponse& accepted) {
                       return session().transfer(request, target, expectation, progress, accepted);
                     });
  return TemporaryRangeFile{result.path, result.byteCount};
}

uint64_t HuggingFaceRemoteSource::downloadRangeToSinkAttempt(
    const std::string& filename, const RemoteFileInfo& info, uint64_t offset, uint64_t length,
    const RemoteRangeSink& sink, const RemoteProgress& progress,
    const CancellationToken& cancel) const {
  if (length == 0) return 0;
  const uint64_t last = length - 1 > UINT64_MAX - offset ? UINT64_MAX : offset + length - 1;
  if (last >= info.size || length - 1 > UINT64_MAX - offset) {
    throwProtocol("range " + std::to_string(offset) + "-" + std::to_string(last) + " exceeds " +
                  filename);
  }
  const RemoteRangeExpectation expectation = rangeExpectation(filename, info, offset, length);
  return routedTransfer(*this, rangeRequest(*this, filename, info, offset, last), cancel,
                        [&](const HttpRequest& request, const RemoteAcceptedResponse& accepted) {
                          return session().transferToSink(request, expectation, progress, sink,
                                                          cancel, accepted);
                        })
      .byteCount;
}

TemporaryRangeFile HuggingFaceRemoteSource::downloadRangeToTempFile(
    const std::string& filename, const RemoteFileInfo& info, uint64_t offset, int64_t length,
    const std::optional<std::string>& targetPath, const RemoteProgress& progress,
    RepackAudit* audit) const {
  const RemoteDownloadSession& http = session();
  return withRemoteRetries(retryPolicy, "downloadRangeToTempFile:" + filename, audit,
                           http.retryEnvironment(), http.cancellation(), [&] {
                             if (progress) progress(0);
                             return downloadRangeAttempt(filename, info, offset, length, targetPath,
                                                         progress);
                           });
}

void HuggingFaceRemoteSource::fetchSmallFile(const std::string& filename,
                                             const RemoteFileInfo& info, uint64_t capBytes,
                                             const std::string& outputPath,
                                             RepackAudit* audit) const {
  if (info.size > capBytes) {
    throw RepackError(RepackError::RemoteFileTooLarge{filename, info.size, capBytes});
  }
  const RemoteDownloadSession& http = session();
  withRemoteRetries(retryPolicy, "fetchSmallFile:" + filename, audit, http.retryEnvironment(),
                    http.cancellation(), [&] {
                      const TemporaryRangeFile temporary = downloadRangeAttempt(
                          filename, info, 0, static_cast<int64_t>(info.size), std::nullopt, {});
                      try {
                        const std::filesystem::path parent =
                            std::filesystem::path(outputPath).parent_path();
                        if (!parent.empty()) Posix::mkdirP(parent.string());
                        const Posix::EntryKind kind = Posix::entryKind(outputPath);
                        if (kind != Posix::EntryKind::absent && kind != Posix::EntryKind::regular) {
                          throw RepackError(RepackError::InstallPathUnsafe{
                              outputPath, "metadata destination has the wrong entry type"});
                        }
                        // The file becomes part of a package: readable by
                        // other accounts and durable before its name is.
                        Posix::publishFile(temporary.path);
                        Posix::rename(temporary.path, outputPath);
                        Posix::fsyncDirectory(parent.empty() ? "." : parent.string());
                      } catch (...) {
                        ::unlink(temporary.path.c_str());
                        throw;
                      }
                    });
}
