#include "engine/remote/remote_snapshot.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "engine/common/catalog.h"
#include "engine/common/repack_error.h"
#include "engine/io/posix.h"
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

RemoteSnapshot loadWithoutIndex(const HuggingFaceRemoteSource& requested,
                                const std::string& metadataDirectory, bool requireKnownSource,
                                RepackAudit* audit, const KnownSourceTable& knownSources) {
  RemoteSnapshot snapshot;
  snapshot.metadataDirectory = metadataDirectory;
  const RemoteFileInfo config = requested.resolveFileInfo(kConfigName, audit);
  const HuggingFaceRemoteSource source = requested.pinned(config.resolvedCommit);
  source.fetchSmallFile(kConfigName, config, RemoteSnapshot::kConfigCapBytes,
                        inDirectory(metadataDirectory, kConfigName), audit);

  std::vector<RemoteFileInfo> shards;
  for (int number = 0; number < RemoteSnapshot::kMaximumProbedShards; ++number) {
    char name[64];
    std::snprintf(name, sizeof name, "model-%05d.safetensors", number);
    std::optional<RemoteFileInfo> shard = resolveIfPresent(source, name, audit);
    if (!shard) break;
    checkShard(*shard, config.resolvedCommit, "config");
    shards.push_back(std::move(*shard));
  }
  if (shards.empty()) throwProtocol("checkpoint has no weight shards");

  std::map<std::string, Safetensors::Header> headers;
  std::map<std::string, std::string> weightMap;
  uint64_t totalSize = 0;
  for (const RemoteFileInfo& shard : shards) {
    Safetensors::Header header = RemoteSnapshot::readShardHeader(source, shard, audit);
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
  return snapshot;
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
  Posix::mkdirP(metadataDirectory);
  const std::optional<RemoteFileInfo> index = resolveIfPresent(requested, kIndexName, audit);
  if (!index) {
    return loadWithoutIndex(requested, metadataDirectory, requireKnownSource, audit, knownSources);
  }
  const HuggingFaceRemoteSource source = requested.pinned(index->resolvedCommit);
  const RemoteFileInfo config = source.resolveFileInfo(kConfigName, audit);
  if (config.resolvedCommit != index->resolvedCommit) {
    throwProtocol("config commit differs from index commit");
  }
  source.fetchSmallFile(kIndexName, *index, kIndexCapBytes,
                        inDirectory(metadataDirectory, kIndexName), audit);
  source.fetchSmallFile(kConfigName, config, kConfigCapBytes,
                        inDirectory(metadataDirectory, kConfigName), audit);

  RemoteSnapshot snapshot;
  snapshot.metadataDirectory = metadataDirectory;
  loadSideFiles(snapshot, requireKnownSource, knownSources);
  snapshot.remoteFiles.emplace(kIndexName, *index);
  snapshot.remoteFiles.emplace(kConfigName, config);
  for (const std::string& name : snapshot.metadata.shardFilenames) {
    const RemoteFileInfo shard = source.resolveFileInfo(name, audit);
    snapshot.remoteFiles.insert_or_assign(name, shard);
    checkShard(shard, index->resolvedCommit, "index");
    snapshot.shardHeaders.push_back(readShardHeader(source, shard, audit));
  }
  snapshot.resolvedCommit = index->resolvedCommit;
  return snapshot;
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
