// Access to the inside of one package directory that is not trusted: every
// path below the root is opened relative to a descriptor of the root, one
// component at a time, never following a symbolic link, and a FIFO or device
// cannot block the caller. The root descriptor pins the directory that was
// opened, so renaming the path afterwards does not redirect later accesses.
//
// Thread-safety: operations may run concurrently; each works on descriptors
// of its own and only reads the root descriptor.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "engine/common/unique_fd.h"

class KorvexDirectoryAccess {
 public:
  // Opens the directory (which may itself be reached through a link).
  // Throws fileOpenFailed with the standardised path.
  explicit KorvexDirectoryAccess(const std::string& rootPath);

  const std::string& rootPath() const { return rootPath_; }
  int directoryFileDescriptor() const { return rootFD_.get(); }

  // A read-only descriptor of a regular file below the root; the caller owns
  // it. A missing file is fileStatFailed with errno 2.
  UniqueFd openFile(const std::string& relativePath) const;

  // The whole file, refused with configurationInvalid when larger than maxBytes.
  std::vector<uint8_t> readMetadata(const std::string& relativePath, uint64_t maxBytes) const;
  std::vector<uint8_t> readMetadata(int fd, const std::string& relativePath,
                                    uint64_t maxBytes) const;

  uint64_t fileSize(const std::string& relativePath) const;
  uint64_t fileSize(int fd, const std::string& relativePath) const;

  // Every entry below the root, files and directories, as sorted relative
  // paths. A top-level "tokenizer" directory is listed but not entered;
  // symbolic links are listed, never followed. More than maxEntries entries
  // or nesting deeper than maxDepth is configurationInvalid.
  std::vector<std::string> relativeEntries(int64_t maxDepth, int64_t maxEntries) const;

  // Lower-case hex SHA-256 of the file, read through one 64 KiB buffer;
  // noCache keeps the reads out of the page cache.
  std::string hash(const std::string& relativePath, bool noCache) const;
  std::string hash(int fd, const std::string& relativePath, bool noCache) const;

  // Crash-safe create or replace of `name` directly inside the root.
  void atomicWrite(std::span<const uint8_t> bytes, const std::string& name) const;

 private:
  std::string fullPath(const std::string& relativePath) const {
    return rootPath_ + "/" + relativePath;
  }
  void scan(int dirFD, const std::string& prefix, int64_t depth, int64_t maxDepth,
            int64_t maxEntries, std::vector<std::string>& out) const;

  std::string rootPath_;
  UniqueFd rootFD_;
};
