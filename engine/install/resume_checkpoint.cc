#include "engine/install/resume_checkpoint.h"

#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>

#include "engine/common/repack_error.h"
#include "engine/io/posix.h"
#include "format/json_document.h"

namespace {

using nlohmann::json;

[[noreturn]] void corrupt(const std::string& path, std::string detail) {
  throw RepackError(RepackError::InstallStateCorrupt{path, std::move(detail)});
}

// Length in characters (code points) of UTF-8 text.
size_t characters(const std::string& text) {
  size_t count = 0;
  for (unsigned char c : text) count += (c & 0xC0) != 0x80;
  return count;
}

uint64_t unsignedField(const json& object, const char* key) {
  const json& value = object.at(key);
  if (!value.is_number_unsigned() && !(value.is_number_integer() && value.get<int64_t>() >= 0)) {
    throw std::runtime_error(std::string("key '") + key + "' is not a non-negative integer");
  }
  return value.get<uint64_t>();
}

int64_t integerField(const json& object, const char* key) {
  const json& value = object.at(key);
  if (!value.is_number_integer() ||
      (value.is_number_unsigned() && value.get<uint64_t>() > static_cast<uint64_t>(INT64_MAX))) {
    throw std::runtime_error(std::string("key '") + key + "' is not an integer");
  }
  return value.get<int64_t>();
}

std::string stringField(const json& object, const char* key) {
  return object.at(key).get<std::string>();
}

RemoteInstallCheckpoint decode(const std::vector<uint8_t>& bytes) {
  const json document = korvex_json::parseBounded(bytes);
  if (!document.is_object()) throw std::runtime_error("checkpoint is not a JSON object");
  RemoteInstallCheckpoint c;
  c.schema = integerField(document, "schema");
  c.repoID = stringField(document, "repoID");
  c.requestedRevision = stringField(document, "requestedRevision");
  c.resolvedCommit = stringField(document, "resolvedCommit");
  c.sourceIndexSHA256 = stringField(document, "sourceIndexSHA256");
  c.planFingerprint = stringField(document, "planFingerprint");
  c.totalSourceBytes = unsignedField(document, "totalSourceBytes");
  const json& ranges = document.at("completedRanges");
  if (!ranges.is_array()) throw std::runtime_error("key 'completedRanges' is not an array");
  for (const json& range : ranges) {
    if (!range.is_object()) throw std::runtime_error("completed range is not a JSON object");
    c.completedRanges.push_back({stringField(range, "id"), stringField(range, "destinationDigest"),
                                 unsignedField(range, "sourceBytes"),
                                 unsignedField(range, "destinationBytes")});
  }
  return c;
}

}  // namespace

void RemoteInstallCheckpoint::validate(const std::string& path) const {
  if (schema != schemaVersion || repoID.empty() || requestedRevision.empty() ||
      characters(resolvedCommit) != 40 || characters(sourceIndexSHA256) != 64 ||
      characters(planFingerprint) != 64 || totalSourceBytes == 0) {
    corrupt(path, "invalid checkpoint identity");
  }
  std::set<std::string> ids;
  for (const RemoteCompletedRange& r : completedRanges) ids.insert(r.id);
  if (ids.size() != completedRanges.size()) corrupt(path, "invalid completed range");
  for (const RemoteCompletedRange& r : completedRanges) {
    if (r.id.empty() || characters(r.destinationDigest) != 64 || r.sourceBytes == 0 ||
        r.destinationBytes == 0) {
      corrupt(path, "invalid completed range");
    }
  }
  uint64_t source = 0;
  uint64_t destination = 0;
  for (const RemoteCompletedRange& r : completedRanges) {
    if (__builtin_add_overflow(source, r.sourceBytes, &source) || source > totalSourceBytes ||
        __builtin_add_overflow(destination, r.destinationBytes, &destination)) {
      corrupt(path, "completed range byte totals are invalid");
    }
  }
}

std::string RemoteInstallCheckpoint::encode() const {
  json ranges = json::array();
  for (const RemoteCompletedRange& r : completedRanges) {
    ranges.push_back({{"destinationBytes", r.destinationBytes},
                      {"destinationDigest", r.destinationDigest},
                      {"id", r.id},
                      {"sourceBytes", r.sourceBytes}});
  }
  const json document = {{"completedRanges", std::move(ranges)},
                         {"planFingerprint", planFingerprint},
                         {"repoID", repoID},
                         {"requestedRevision", requestedRevision},
                         {"resolvedCommit", resolvedCommit},
                         {"schema", schema},
                         {"sourceIndexSHA256", sourceIndexSHA256},
                         {"totalSourceBytes", totalSourceBytes}};
  // A slash only ever occurs inside a string of compact JSON, so escaping
  // every one of them is exact.
  const std::string compact = document.dump(-1, ' ', false, json::error_handler_t::strict);
  std::string out;
  out.reserve(compact.size() + 16);
  for (char c : compact) {
    if (c == '/') out += '\\';
    out += c;
  }
  return out;
}

void RemoteInstallCheckpoint::write(const std::string& path,
                                    const std::string& parentDirectory) const {
  validate(path);
  const std::string bytes = encode();
  if (bytes.size() > maximumBytes) corrupt(path, "checkpoint exceeds 8388608-byte cap");
  Posix::atomicWrite({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()}, path,
                     parentDirectory);
}

RemoteInstallCheckpoint RemoteInstallCheckpoint::load(const std::string& path) {
  const std::vector<uint8_t> bytes = Posix::readBoundedData(path, maximumBytes);
  RemoteInstallCheckpoint checkpoint;
  try {
    checkpoint = decode(bytes);
  } catch (const RepackError&) {
    throw;
  } catch (const std::exception& e) {
    corrupt(path, e.what());
  }
  checkpoint.validate(path);
  return checkpoint;
}

bool RemoteInstallCheckpoint::matches(const std::string& repo, const std::string& revision,
                                      const std::string& indexSHA256,
                                      const std::string& fingerprint) const {
  return repoID == repo && requestedRevision == revision && sourceIndexSHA256 == indexSHA256 &&
         planFingerprint == fingerprint;
}

uint64_t RemoteInstallCheckpoint::validatedDestinationBytes(uint64_t maximum,
                                                            const std::string& path) const {
  validate(path);
  uint64_t sum = 0;
  for (const RemoteCompletedRange& r : completedRanges) {
    if (__builtin_add_overflow(sum, r.destinationBytes, &sum) || sum > maximum) {
      corrupt(path, "completed destination bytes exceed the installed model");
    }
  }
  return sum;
}
