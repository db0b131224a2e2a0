// A consistent picture of a remote checkpoint at one commit: the shard index,
// the model configuration, the metadata of every shard and every shard's
// safetensors header, all read from the same commit. Loading fetches only
// the two JSON side files (into the metadata directory, where they stay for
// the planner) and the header bytes at the front of each shard (two ranged
// requests per shard), never tensor data. Temporary range files are removed
// on every path.
//
// Files already on disk (a LocalCheckpoint) are read from there instead:
// the side files are copied into the metadata directory, a shard's header
// is read from its first bytes and its metadata is made from the file. A
// local index passes the same known-source check as a fetched one; a local
// config.json with a stated git blob SHA-1 must match it, or it is fetched
// from the hub instead (offline: localSourceRejected). Only
// what is not local is asked of the hub, and offline nothing is: a file that
// is not local then ends the load with sourceFileUnavailableOffline.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "engine/remote/hugging_face_source.h"
#include "engine/source/arch_info.h"
#include "engine/source/index_loader.h"
#include "engine/source/local_checkpoint.h"
#include "engine/source/safetensors.h"

class RepackAudit;

// Index digest -> model identifier: the checkpoints whose index is trusted.
using KnownSourceTable = std::map<std::string, std::string, std::less<>>;

// Where checkpoint files may come from besides the hub.
struct SnapshotSources {
  // Files found here are read from disk, at its commit (which pins every
  // hub request too). Null: none.
  const LocalCheckpoint* local = nullptr;
  // No request at all: a file that is not local is an error.
  bool offline = false;
  // Receives a "warning: ..." line when a local file is passed over for the
  // hub's copy. May be empty.
  std::function<void(const std::string&)> warn;
};

struct RemoteSnapshot {
  IndexLoader::SourceMetadata metadata;
  ArchInfo arch;
  std::vector<Safetensors::Header> shardHeaders;      // one per shard, in shard order
  std::map<std::string, RemoteFileInfo> remoteFiles;  // index (when present), config, shards
  std::string resolvedCommit;                         // 40 characters
  std::string metadataDirectory;

  // The files read from disk (index, config, shards), by checkpoint path.
  // Their remoteFiles entries are made from the file: its size, the pinned
  // commit, its expected SHA-256 as etag when known, ranges accepted. A local
  // shard without a digest of its own takes the hub's (X-Linked-ETag) when
  // the hub is reachable, keeping the hub's remoteFiles entry, and is not
  // used when the hub's size differs.
  std::map<std::string, LocalFile> localFiles;
  // The bytes a local shard's header was read from: [0, length) with their
  // SHA-256. The plan rests on them, so a local shard that fails its digest
  // may be completed from the hub only once the hub's bytes [0, length)
  // hash to the same value.
  struct HeaderBytes {
    uint64_t length = 0;
    std::string sha256;
    bool operator==(const HeaderBytes&) const = default;
  };
  std::map<std::string, HeaderBytes> localHeaders;

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
  static RemoteSnapshot load(const HuggingFaceRemoteSource& source,
                             const std::string& metadataDirectory, bool requireKnownSource,
                             RepackAudit* audit, const KnownSourceTable& knownSources,
                             const SnapshotSources& sources);

  // The header of one shard, read with two ranged requests (the 8-byte
  // length prefix, then the JSON) into temporary files that are always
  // removed.
  static Safetensors::Header readShardHeader(const HuggingFaceRemoteSource& source,
                                             const RemoteFileInfo& shard, RepackAudit* audit);

  // A side file of the package (tokenizer.json, processor_config.json...)
  // into `outputPath` (replaced atomically): copied from disk when local,
  // else fetched with `pinned`. An optional file that the hub does not have
  // (404), that the cache marks absent, or that is not local offline is
  // skipped: false. A required file that cannot be had throws (offline:
  // sourceFileUnavailableOffline). A local file above `capBytes` is
  // configurationInvalid. A local file that does not match the git blob
  // SHA-1 its layout states is fetched as if it were not local; offline it
  // is localSourceRejected.
  static bool fetchSideFile(const HuggingFaceRemoteSource& pinned, const SnapshotSources& sources,
                            const std::string& name, uint64_t capBytes, bool required,
                            const std::string& outputPath, RepackAudit* audit);
};
