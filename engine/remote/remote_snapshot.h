// A consistent picture of a remote checkpoint at one commit: the shard index,
// the model configuration, the metadata of every shard and every shard's
// safetensors header, all read from the same commit. Loading fetches only
// the two JSON side files (into the metadata directory, where they stay for
// the planner) and the header bytes at the front of each shard (two ranged
// requests per shard), never tensor data. Temporary range files are removed
// on every path.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "engine/remote/hugging_face_source.h"
#include "engine/source/arch_info.h"
#include "engine/source/index_loader.h"
#include "engine/source/safetensors.h"

class RepackAudit;

// Index digest -> model identifier: the checkpoints whose index is trusted.
using KnownSourceTable = std::map<std::string, std::string, std::less<>>;

struct RemoteSnapshot {
  IndexLoader::SourceMetadata metadata;
  ArchInfo arch;
  std::vector<Safetensors::Header> shardHeaders;      // one per shard, in shard order
  std::map<std::string, RemoteFileInfo> remoteFiles;  // index (when present), config, shards
  std::string resolvedCommit;                         // 40 characters
  std::string metadataDirectory;

  // Caps of the fetched side files.
  static constexpr uint64_t kIndexCapBytes = 4194304;
  static constexpr uint64_t kConfigCapBytes = 1048576;
  // Without an index, shards "model-00000.safetensors" to this number are probed.
  static constexpr int kMaximumProbedShards = 32;

  // Loads the checkpoint of `source` (at its requested revision). With
  // `requireKnownSource` the index digest must be in `knownSources` (the
  // catalogue's set by default). When the index answers 404, the shards are
  // probed by number and the index is synthesised from their headers.
  // `audit` (optional) receives the retry records.
  static RemoteSnapshot load(const HuggingFaceRemoteSource& source,
                             const std::string& metadataDirectory, bool requireKnownSource,
                             RepackAudit* audit);
  static RemoteSnapshot load(const HuggingFaceRemoteSource& source,
                             const std::string& metadataDirectory, bool requireKnownSource,
                             RepackAudit* audit, const KnownSourceTable& knownSources);

  // The header of one shard, read with two ranged requests (the 8-byte
  // length prefix, then the JSON) into temporary files that are always
  // removed.
  static Safetensors::Header readShardHeader(const HuggingFaceRemoteSource& source,
                                             const RemoteFileInfo& shard, RepackAudit* audit);
};
