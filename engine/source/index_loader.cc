#include "engine/source/index_loader.h"

#include <cmath>
#include <nlohmann/json.hpp>
#include <set>

#include "engine/common/repack_error.h"
#include "engine/io/posix.h"
#include "engine/io/sha256_stream.h"
#include "format/json_document.h"

namespace IndexLoader {
namespace {

using nlohmann::json;

// Source documents are small; these caps only keep a corrupt download from
// being loaded whole into memory.
constexpr uint64_t kMaxIndexBytes = 256ull << 20;
constexpr uint64_t kMaxConfigBytes = 64ull << 20;

std::string joinPath(const std::string& directory, const char* name) {
  if (directory.empty()) return name;
  return directory.back() == '/' ? directory + name : directory + "/" + name;
}

// An integer by the quantization rules: a JSON integer that fits 64 bits.
std::optional<int64_t> integerValue(const json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_number_integer()) return std::nullopt;
  if (it->is_number_unsigned() && it->get<uint64_t>() > static_cast<uint64_t>(INT64_MAX)) {
    return std::nullopt;
  }
  return it->get<int64_t>();
}

// Reads and decodes a source document. Any failure on the way, a missing
// file included, becomes the error `wrap` builds from its description.
template <typename Wrap>
json readDocument(const std::string& path, uint64_t cap, Wrap wrap) {
  try {
    const std::vector<uint8_t> bytes = Posix::readWholeFile(path, cap);
    return korvex_json::parseBounded(bytes);
  } catch (const std::exception& e) {
    throw RepackError(wrap(std::string(e.what())));
  }
}

}  // namespace

SourceMetadata load(const std::string& directory) {
  SourceMetadata m;
  m.indexPath = joinPath(directory, "model.safetensors.index.json");
  m.configPath = joinPath(directory, "config.json");

  const auto indexInvalid = [&](std::string detail) {
    return RepackError::IndexJsonInvalid{m.indexPath, std::move(detail)};
  };
  const auto configInvalid = [&](std::string detail) {
    return RepackError::ConfigJsonInvalid{m.configPath, std::move(detail)};
  };

  {
    const json index = readDocument(m.indexPath, kMaxIndexBytes, indexInvalid);
    const auto map = index.is_object() ? index.find("weight_map") : index.end();
    if (map == index.end() || !map->is_object()) {
      throw RepackError(indexInvalid("no weight_map"));
    }
    for (const auto& [name, shard] : map->items()) {
      if (!shard.is_string()) throw RepackError(indexInvalid("no weight_map"));
      m.weightMap.emplace(name, shard.get<std::string>());
    }
  }

  m.indexSha256Hex = Sha256Stream::hashFile(m.indexPath, 65536, false, false);

  {
    const json config = readDocument(m.configPath, kMaxConfigBytes, configInvalid);
    if (!config.is_object()) throw RepackError(configInvalid("not a JSON object"));
    const auto quant = config.find("quantization");
    if (quant == config.end() || !quant->is_object()) {
      throw RepackError(configInvalid("no quantization slot"));
    }
    m.baseBits = integerValue(*quant, "bits").value_or(4);
    m.baseGroupSize = integerValue(*quant, "group_size").value_or(64);
    const auto mode = quant->find("mode");
    m.baseMode = mode != quant->end() && mode->is_string() ? mode->get<std::string>() : "affine";

    // An export that stores the embedding at another width says so here.
    const auto exportInfo = config.find("mlx_export");
    if (exportInfo != config.end() && exportInfo->is_object()) {
      const auto bits = exportInfo->find("embedding_bits");
      if (bits != exportInfo->end() && bits->is_number()) {
        const double value = std::trunc(bits->get<double>());
        if (std::isfinite(value) && std::fabs(value) < 9.2e18 &&
            static_cast<int64_t>(value) != m.baseBits) {
          const QuantSpec spec{static_cast<int64_t>(value)};
          m.bitsOverrides["model.embed_tokens"] = spec;
          m.bitsOverrides["language_model.model.embed_tokens"] = spec;
        }
      }
    }

    for (const auto& [key, entry] : quant->items()) {
      if (key == "bits" || key == "group_size" || key == "mode" || !entry.is_object()) {
        continue;
      }
      const int64_t bits = integerValue(entry, "bits").value_or(m.baseBits);
      if (const std::optional<int64_t> group = integerValue(entry, "group_size");
          group && *group != m.baseGroupSize) {
        throw RepackError(configInvalid("quantization override " + key + " group_size " +
                                        std::to_string(*group) + " != base " +
                                        std::to_string(m.baseGroupSize)));
      }
      m.bitsOverrides[key] = QuantSpec{bits};
    }
  }

  // weightMap iterates in ascending key order.
  std::set<std::string> seen;
  for (const auto& [name, shard] : m.weightMap) {
    if (seen.insert(shard).second) m.shardFilenames.push_back(shard);
  }
  return m;
}

std::string canonicalIndexData(const std::map<std::string, std::string>& weightMap,
                               uint64_t totalSize) {
  std::string out =
      "{\"metadata\":{\"total_size\":" + std::to_string(totalSize) + "},\"weight_map\":{";
  bool first = true;
  for (const auto& [name, shard] : weightMap) {
    if (!first) out += ',';
    first = false;
    out += '"' + name + "\":\"" + shard + '"';
  }
  return out + "}}";
}

}  // namespace IndexLoader
