// The files of a source checkpoint as a server sees them: names, sizes and
// the bytes at any offset. A directory written by the checkpoint generator is
// one implementation; a checkpoint generated on the fly from its headers
// (whose tensor bytes are a function of seed, tensor and offset, so that a
// 22 GB checkpoint needs no disk) is the other. The test hub serves either.
// Implementations are immutable after construction and safe to read from
// several threads at once.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

class CheckpointFiles {
 public:
  virtual ~CheckpointFiles() = default;

  // Every file, as a relative path with "/" separators, sorted.
  virtual std::vector<std::string> names() const = 0;
  // The file's size, or nothing when there is no such file.
  virtual std::optional<uint64_t> size(const std::string& name) const = 0;
  // Fills `out` with the bytes at [offset, offset + out.size()), which must
  // lie inside the file. Throws std::runtime_error on a bad request.
  virtual void read(const std::string& name, uint64_t offset, std::span<uint8_t> out) const = 0;
};

// The regular files below a directory (read with pread; nothing is cached).
std::unique_ptr<CheckpointFiles> openCheckpointDirectory(const std::string& directory);

// Files held in memory (small checkpoints only).
class MemoryCheckpoint final : public CheckpointFiles {
 public:
  explicit MemoryCheckpoint(std::map<std::string, std::string> files) : files_(std::move(files)) {}

  std::vector<std::string> names() const override;
  std::optional<uint64_t> size(const std::string& name) const override;
  void read(const std::string& name, uint64_t offset, std::span<uint8_t> out) const override;

 private:
  std::map<std::string, std::string> files_;
};
