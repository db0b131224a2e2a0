#include "engine/remote/remote_snapshot.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <filesystem>

#include "engine/common/catalog.h"
#include "engine/common/repack_error.h"
#include "engine/io/git_blob_sha1.h"
#include "engine/io/posix.h"
#include "engine/io/sha256_stream.h"
#include "format/little_endian.h"

namespace {

constexpr const char* kIndexName = "model.safetensors.index.json";
constexpr const char* kConfigName = "config.json";

[[noreturn]] void throwProtocol(std::string detail) {
  throw RepackError(RepackError::RemoteProtocolInvalid{std::move(detail)});
}

bool isNotFound(const RepackError& error) {
  if (const auto* status = error.as<RepackError::RemoteHTTPStatus>()) return status->status == 404;
  if (const auto* response = error.as<RepackError::RemoteHTTPResponse>()) {
    return response->status == 404;
  }
  return false;
}

// Metadata of `name`, or nothing when the hub answers 404.
std::optional<RemoteFileInfo> resolveIfPresent(const HuggingFaceRemoteSource& source,
                                               const std::string& name, RepackAudit* audit) {
  try {
    return source.resolveFileInfo(name, audit);
  } catch (const RepackError& e) {
    if (isNotFound(e)) return std::nullopt;
    throw;
  }
}

// Removes the temporary files it was given when it goes out of scope.
class TemporaryFiles {
 public:
  TemporaryFiles() = default;
  TemporaryFiles(const TemporaryFiles&) = delete;
  TemporaryFiles& operator=(const TemporaryFiles&) = delete;
  ~TemporaryFiles() {
    for (const std::string& path : paths_) ::unlink(path.c_str());
  }
  void add(std::string path) { paths_.push_back(std::move(path)); }

 private:
  std::vector<std::string> paths_;
};

// The whole content of a downloaded range file of `size` bytes.
std::vector<uint8_t> readRangeFile(const std::string& path, uint64_t size) {
  UniqueFd fd = Posix::openReadNoFollow(path);
  std::vector<uint8_t> bytes(size);
  Posix::preadAll(fd.get(), path, bytes.data(), static_cast<int64_t>(size), 0);
  return bytes;
}

std::string inDirectory(const std::string& directory, const std::string& name) {
  return (std::filesystem::path(directory) / name).string();
}

void checkShard(const RemoteFileInfo& shard, const std::string& commit, const char* commitOf) {
  if (shard.resolvedCommit != commit) {
    throwProtocol("shard " + shard.filename + " commit differs from " + commitOf + " commit");
  }
  if (!shard.acceptsRanges) {
    throwProtocol("shard " + shard.filename + " does not advertise byte ranges");
  }
}

// Steps common to both ways of loading: the index and quantization
// metadata, the known-source check and the architecture, all read from the
// side files now in the metadata directory.
void loadSideFiles(RemoteSnapshot& snapshot, bool requireKnownSource,
                   const KnownSourceTable& knownSources) {
  snapshot.metadata = IndexLoader::load(snapshot.metadataDirectory);
  if (requireKnownSource &&
      knownSources.find(snapshot.metadata.indexSha256Hex) == knownSources.end()) {
    throw RepackError(RepackError::SourceFingerprintRejected{snapshot.metadata.indexPath,
                                                             snapshot.metadata.indexSha256Hex});
  }
  snapshot.arch = ArchInfo::load(snapshot.metadata.configPath);
}

std::string directoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

// An etag as a lowercase SHA-256, when it is one.
std::optional<std::string> sha256OfEtag(std::optional<std::string> etag) {
  if (!etag) return std::nullopt;
  std::string value = *etag;
  if (value.starts_with("W/")) value.erase(0, 2);
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
    value = value.substr(1, value.size() - 2);
  }
  for (char& c : value) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const bool hex =
      value.size() == 64 && value.find_first_not_of("0123456789abcdef") == std::string::npos;
  return hex ? std::optional<std::string>(value) : std::nullopt;
}

// The whole local file `name` into `outputPath`, replaced atomically. A
// file whose git blob SHA-1 is stated must match it: offline a mismatch is
// localSourceRejected; online nothing is written and the result is false,
// so that the caller takes the hub's copy instead.
bool copyLocalFile(const LocalFile& file, const std::string& name, uint64_t capBytes,
                   const SnapshotSources& sources, const std::string& outputPath) {
  if (file.size > capBytes) {
    throwConfigurationInvalid("local file " + file.path + " size " + std::to_string(file.size) +
                              " exceeds cap " + std::to_string(capBytes));
  }
  const std::vector<uint8_t> bytes = Posix::readWholeFile(file.path, capBytes);
  if (file.gitSha1) {
    const std::string found = gitBlobSha1Hex(bytes);
    if (found != *file.gitSha1) {
      const RepackError rejected(
          RepackError::LocalSourceRejected{file.path, name,
                                           "does not match its git blob SHA-1 (expected " +
                                               *file.gitSha1 + ", found " + found + ")"});
      if (sources.offline) throw rejected;
      if (sources.warn) {
        sources.warn("warning: " + rejected.description() + "; " + name +
                     " is fetched from the hub instead");
      }
      return false;
    }
  }
  Posix::atomicWrite(bytes, outputPath, directoryOf(outputPath));
  return true;
}

[[noreturn]] void throwUnavailableOffline(const std::string& name, const std::string& repoID,
                                          const std::string& commit) {
  throw RepackError(RepackError::SourceFileUnavailableOffline{name, repoID, commit});
}

// The files of one load: those on disk are described and read from there,
// the others come from the hub. Records what it used from disk in the
// snapshot it was given.
class SnapshotFiles {
 public:
  SnapshotFiles(const HuggingFaceRemoteSource& requested, const SnapshotSources& sources,
                RepackAudit* audit, RemoteSnapshot& snapshot)
      : hub_(requested),
        sources_(sources),
        local_(sources.local),
        offline_(sources.offline),
        audit_(audit),
        snapshot_(snapshot) {
    if (local_ && !local_->commit().empty()) {
      commit_ = local_->commit();
    } else if (offline_) {
      commit_ = requested.resolvedCommit.value_or(requested.requestedRevision);
    }
    if (!commit_.empty()) hub_ = requested.pinned(commit_);
  }

  // Names `commit` (that of the first file resolved) in every later request.
  void pin(const std::string& commit) {
    if (commit_.empty()) commit_ = commit;
    hub_ = hub_.pinned(commit);
  }

  // Metadata of `name`; nothing when the hub answers 404 or the cache marks
  // the file absent.
  std::optional<RemoteFileInfo> resolveIfPresent(const std::string& name) {
    if (std::optional<RemoteFileInfo> info = resolveLocal(name)) return info;
    if (local_ && local_->knownMissing(name)) return std::nullopt;
    requireOnline(name);
    return ::resolveIfPresent(hub_, name, audit_);
  }

  RemoteFileInfo resolve(const std::string& name) {
    if (std::optional<RemoteFileInfo> info = resolveLocal(name)) return *info;
    requireOnline(name);
    return hub_.resolveFileInfo(name, audit_);
  }

  // A shard named by the index. A local shard with no digest of its own
  // takes the hub's, when the hub can be asked.
  RemoteFileInfo resolveShard(const std::string& name) {
    std::optional<RemoteFileInfo> local = resolveLocal(name);
    if (local && (offline_ || snapshot_.localFiles.at(name).sha256)) return *local;
    requireOnline(name);
    RemoteFileInfo info = hub_.resolveFileInfo(name, audit_);
    if (local) adoptHubDigest(name, info);
    return info;
  }

  // A shard looked for by number: nothing ends the probe. Offline, a shard
  // that is not local ends it too; a missing shard then changes the
  // synthesised index, which the known-source check refuses.
  std::optional<RemoteFileInfo> probeShard(const std::string& name) {
    if (local_ && local_->find(name)) return resolveShard(name);
    if (offline_ || (local_ && local_->knownMissing(name))) return std::nullopt;
    return ::resolveIfPresent(hub_, name, audit_);
  }

  // `name` into `outputPath`, from disk when it was resolved there. A local
  // side file that fails its git blob SHA-1 is fetched from the hub instead
  // (offline it is refused); the index is left to the known-source check.
  // Returns the description of the file that was used.
  RemoteFileInfo fetchSmallFile(const std::string& name, const RemoteFileInfo& info,
                                uint64_t capBytes, const std::string& outputPath) {
    if (const auto local = snapshot_.localFiles.find(name); local != snapshot_.localFiles.end()) {
      LocalFile file = local->second;
      if (name == kIndexName) file.gitSha1.reset();
      if (copyLocalFile(file, name, capBytes, sources_, outputPath)) return info;
      snapshot_.localFiles.erase(local);
      RemoteFileInfo hubInfo = hub_.resolveFileInfo(name, audit_);
      hub_.fetchSmallFile(name, hubInfo, capBytes, outputPath, audit_);
      return hubInfo;
    }
    hub_.fetchSmallFile(name, info, capBytes, outputPath, audit_);
    return info;
  }

  Safetensors::Header readShardHeader(const RemoteFileInfo& shard) {
    const auto local = snapshot_.localFiles.find(shard.filename);
    if (local == snapshot_.localFiles.end()) {
      return RemoteSnapshot::readShardHeader(hub_, shard, audit_);
    }
    return readLocalShardHeader(shard.filename, local->second);
  }

  const HuggingFaceRemoteSource& hub() const { return hub_; }

 private:
  std::optional<RemoteFileInfo> resolveLocal(const std::string& name) {
    if (!local_) return std::nullopt;
    std::optional<LocalFile> file = local_->find(name);
    if (!file) return std::nullopt;
    RemoteFileInfo info;
    info.filename = name;
    info.resolvedCommit = commit_;
    info.size = file->size;
    info.etag = file->sha256;
    info.acceptsRanges = true;
    snapshot_.localFiles.insert_or_assign(name, std::move(*file));
    return info;
  }

  // The hub's description of a local shard that has no digest: its etag
  // becomes the digest the file must match; a size that differs means the
  // local file is another file, which is then not used.
  void adoptHubDigest(const std::string& name, const RemoteFileInfo& hubInfo) {
    LocalFile& file = snapshot_.localFiles.at(name);
    if (file.size != hubInfo.size) {
      snapshot_.localFiles.erase(name);
      return;
    }
    file.sha256 = sha256OfEtag(hubInfo.etag);
  }

  Safetensors::Header readLocalShardHeader(const std::string& name, const LocalFile& file) {
    UniqueFd fd = Posix::openRead(file.path);
    const uint64_t size = Posix::fileSize(fd.get(), file.path);
    if (size != file.size) {
      throw RepackError(RepackError::SafetensorsHeaderInvalid{file.path, "file changed size"});
    }
    if (size < 8) {
      throw RepackError(RepackError::SafetensorsHeaderInvalid{file.path, "short header prefix"});
    }
    uint8_t prefix[8];
    Posix::preadAll(fd.get(), file.path, prefix, 8, 0);
    const uint64_t headerBytes = little_endian::load<uint64_t>(prefix);
    if (headerBytes > Safetensors::kMaxHeaderBytes || headerBytes > size - 8) {
      throw RepackError(RepackError::SafetensorsHeaderTooLarge{file.path, headerBytes});
    }
    std::vector<uint8_t> header(headerBytes);
    Posix::preadAll(fd.get(), file.path, header.data(), static_cast<int64_t>(headerBytes), 8);
    Sha256Stream digest;
    digest.update(prefix, 8);
    digest.update(header);
    snapshot_.localHeaders.insert_or_assign(
        name, RemoteSnapshot::HeaderBytes{8 + headerBytes, digest.finalizeHex()});
    return Safetensors::Header{Safetensors::parseHeader(name, size, header)};
  }

  void requireOnline(const std::string& name) const {
    if (offline_) throwUnavailableOffline(name, hub_.repoID, commit_);
  }

  HuggingFaceRemoteSource hub_;
  const SnapshotSources& sources_;  // outlives the load
  const LocalCheckpoint* local_;
  bool offline_;
  RepackAudit* audit_;
  RemoteSnapshot& snapshot_;
  std::string commit_;  // empty until known
};

void loadWithoutIndex(SnapshotFiles& files, RemoteSnapshot& snapshot, bool requireKnownSource,
                      const KnownSourceTable& knownSources) {
  const std::string& metadataDirectory = snapshot.metadataDirectory;
  RemoteFileInfo config = files.resolve(kConfigName);
  files.pin(config.resolvedCommit);
  config = files.fetchSmallFile(kConfigName, config, RemoteSnapshot::kConfigCapBytes,
                                inDirectory(metadataDirectory, kConfigName));

  std::vector<RemoteFileInfo> shards;
  for (int number = 0; number < RemoteSnapshot::kMaximumProbedShards; ++number) {
    char name[64];
    std::snprintf(name, sizeof name, "model-%05d.safetensors", number);
    std::optional<RemoteFileInfo> shard = files.probeShard(name);
    if (!shard) break;
    checkShard(*shard, config.resolvedCommit, "config");
    shards.push_back(std::move(*shard));
  }
  if (shards.empty()) throwProtocol("checkpoint has no weight shards");

  std::map<std::string, Safetensors::Header> headers;
  std::map<std::string, std::string> weightMap;
  uint64_t totalSize = 0;
  for (const RemoteFileInfo& shard : shards) {
    Safetensors::Header header = files.readShardHeader(shard);
    for (const SourceTensor& tensor : header.tensors) {
      if (!weightMap.emplace(tensor.name, shard.filename).second) {
        throw RepackError(RepackError::ConfigurationInvalid{"duplicate tensor " + tensor.name});
      }
      if (__builtin_add_overflow(totalSize, tensor.sizeBytes, &totalSize)) {
        throw RepackError(RepackError::ConfigurationInvalid{"checkpoint size overflows"});
      }
    }
    headers.emplace(shard.filename, std::move(header));
  }
  const std::string index = IndexLoader::canonicalIndexData(weightMap, totalSize);
  Posix::atomicWrite({reinterpret_cast<const uint8_t*>(index.data()), index.size()},
                     inDirectory(metadataDirectory, kIndexName), metadataDirectory);

  loadSideFiles(snapshot, requireKnownSource, knownSources);
  // Headers follow the index's shard order, as when the index was fetched; a
  // shard without tensors has no place in that order.
  for (const std::string& name : snapshot.metadata.shardFilenames) {
    snapshot.shardHeaders.push_back(std::move(headers.at(name)));
  }
  snapshot.remoteFiles.emplace(kConfigName, config);
  for (const RemoteFileInfo& shard : shards) snapshot.remoteFiles.emplace(shard.filename, shard);
  snapshot.resolvedCommit = config.resolvedCommit;
}

}  // namespace

RemoteSnapshot RemoteSnapshot::load(const HuggingFaceRemoteSource& source,
                                    const std::string& metadataDirectory, bool requireKnownSource,
                                    RepackAudit* audit) {
  return load(source, metadataDirectory, requireKnownSource, audit,
              SourceFingerprint::knownSources());
}

RemoteSnapshot RemoteSnapshot::load(const HuggingFaceRemoteSource& requested,
                                    const std::string& metadataDirectory, bool requireKnownSource,
                                    RepackAudit* audit, const KnownSourceTable& knownSources) {
  return load(requested, metadataDirectory, requireKnownSource, audit, knownSources, {});
}

RemoteSnapshot RemoteSnapshot::load(const HuggingFaceRemoteSource& requested,
                                    const std::string& metadataDirectory, bool requireKnownSource,
                                    RepackAudit* audit, const KnownSourceTable& knownSources,
                                    const SnapshotSources& sources) {
  Posix::mkdirP(metadataDirectory);
  RemoteSnapshot snapshot;
  snapshot.metadataDirectory = metadataDirectory;
  SnapshotFiles files(requested, sources, audit, snapshot);
  const std::optional<RemoteFileInfo> index = files.resolveIfPresent(kIndexName);
  if (!index) {
    loadWithoutIndex(files, snapshot, requireKnownSource, knownSources);
    return snapshot;
  }
  files.pin(index->resolvedCommit);
  RemoteFileInfo config = files.resolve(kConfigName);
  if (config.resolvedCommit != index->resolvedCommit) {
    throwProtocol("config commit differs from index commit");
  }
  files.fetchSmallFile(kIndexName, *index, kIndexCapBytes,
                       inDirectory(metadataDirectory, kIndexName));
  config = files.fetchSmallFile(kConfigName, config, kConfigCapBytes,
                                inDirectory(metadataDirectory, kConfigName));

  loadSideFiles(snapshot, requireKnownSource, knownSources);
  snapshot.remoteFiles.emplace(kIndexName, *index);
  snapshot.remoteFiles.emplace(kConfigName, config);
  for (const std::string& name : snapshot.metadata.shardFilenames) {
    const RemoteFileInfo shard = files.resolveShard(name);
    snapshot.remoteFiles.insert_or_assign(name, shard);
    checkShard(shard, index->resolvedCommit, "index");
    snapshot.shardHeaders.push_back(files.readShardHeader(shard));
  }
  snapshot.resolvedCommit = index->resolvedCommit;
  return snapshot;
}

bool RemoteSnapshot::fetchSideFile(const HuggingFaceRemoteSource& pinned,
                                   const SnapshotSources& sources, const std::string& name,
                                   uint64_t capBytes, bool required, const std::string& outputPath,
                                   RepackAudit* audit) {
  // A local copy that fails its git blob SHA-1 online is passed over, as
  // if it were absent.
  if (sources.local) {
    if (const std::optional<LocalFile> file = sources.local->find(name)) {
      if (copyLocalFile(*file, name, capBytes, sources, outputPath)) return true;
    }
  }
  const bool markedAbsent = sources.local && sources.local->knownMissing(name);
  if (!required && (markedAbsent || sources.offline)) return false;
  if (sources.offline) {
    const std::string commit = sources.local && !sources.local->commit().empty()
                                   ? sources.local->commit()
                                   : pinned.resolvedCommit.value_or(pinned.requestedRevision);
    throwUnavailableOffline(name, pinned.repoID, commit);
  }
  RemoteFileInfo info;
  try {
    info = pinned.resolveFileInfo(name, audit);
  } catch (const RepackError& error) {
    if (!required && isNotFound(error)) return false;
    throw;
  }
  pinned.fetchSmallFile(name, info, capBytes, outputPath, audit);
  return true;
}

Safetensors::Header RemoteSnapshot::readShardHeader(const HuggingFaceRemoteSource& source,
                                                    const RemoteFileInfo& shard,
                                                    RepackAudit* audit) {
  const std::string& name = shard.filename;
  if (shard.size < 8) throwProtocol("range 0-7 exceeds " + name);
  TemporaryFiles temporaries;
  const TemporaryRangeFile prefixFile =
      source.downloadRangeToTempFile(name, shard, 0, 8, std::nullopt, {}, audit);
  temporaries.add(prefixFile.path);
  uint8_t prefix[8];
  {
    UniqueFd fd = Posix::openReadNoFollow(prefixFile.path);
    if (Posix::fileSize(fd.get(), prefixFile.path) != 8) {
      throw RepackError(RepackError::SafetensorsHeaderInvalid{name, "short header prefix"});
    }
    Posix::preadAll(fd.get(), prefixFile.path, prefix, 8, 0);
  }
  const uint64_t headerBytes = little_endian::load<uint64_t>(prefix);
  if (headerBytes > Safetensors::kMaxHeaderBytes || headerBytes > shard.size - 8) {
    throw RepackError(RepackError::SafetensorsHeaderTooLarge{name, headerBytes});
  }
  const TemporaryRangeFile headerFile = source.downloadRangeToTempFile(
      name, shard, 8, static_cast<int64_t>(headerBytes), std::nullopt, {}, audit);
  temporaries.add(headerFile.path);
  const std::vector<uint8_t> header = readRangeFile(headerFile.path, headerBytes);
  return Safetensors::Header{Safetensors::parseHeader(name, shard.size, header)};
}
