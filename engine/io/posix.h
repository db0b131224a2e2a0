// The engine's lowest file layer. Each operation wraps one system call (or
// one short, fixed sequence of them) and turns a failure into a RepackError
// that names the path and carries the errno read right after the failing call.
// Every descriptor is opened close-on-exec. No state is shared except the
// cached page size and the test-only fault switches.
#pragma once

#include <sys/types.h>
#include <cstddef>
#include <cstdint>

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/common/unique_fd.h"

namespace Posix {

// The kind of a path as lstat sees it (a final symbolic link is not followed).
enum class EntryKind { absent, regular, directory, symlink, other };
// "absent", "regular", "directory", "symlink" or "other".
std::string_view entryKindName(EntryKind kind);

size_t pageSize();

// Read-only. O_NONBLOCK so that opening a FIFO returns at once; later reads
// of anything but a regular file fail instead of waiting.
UniqueFd openRead(const std::string& path);
UniqueFd openReadNoFollow(const std::string& path);
UniqueFd openDirectory(const std::string& path);
UniqueFd openExistingRW(const std::string& path);
UniqueFd openCreateRW(const std::string& path);
// Opens (creating if needed, mode 0600) the lock file without following a link.
UniqueFd openLock(const std::string& path);

// Positioned read/write of exactly `count` bytes, continuing after partial
// transfers. A call that returns 0 or less stops with preadShort/pwriteShort
// carrying the bytes done so far. Nothing happens when count <= 0.
void preadAll(int fd, const std::string& path, void* buffer, int64_t count, uint64_t offset);
void pwriteAll(int fd, const std::string& path, const void* buffer, int64_t count, uint64_t offset);

// Unbuffered reads (O_DIRECT) go straight from the disk to the caller's
// memory, past the page cache. Both need the buffer, the offset and the
// length aligned to kDirectReadAlignment.
inline constexpr uint64_t kDirectReadAlignment = 4096;
// Turns unbuffered reads on; false (and the descriptor as it was) where the
// file system refuses them.
bool enableDirectReads(int fd);
void disableDirectReads(int fd);
// preadAll on a descriptor with unbuffered reads: `count` bytes at the
// aligned `offset` into the aligned `buffer`, which must have room for
// `count` rounded up to the alignment, since the last block of a file is
// asked for whole.
void preadDirect(int fd, const std::string& path, void* buffer, int64_t count, uint64_t offset);

void ftruncate(int fd, const std::string& path, uint64_t size);
void fsync(int fd, const std::string& path);
void fsyncDirectory(const std::string& path);

// Creates the directory and any missing parents (mode 0755 less the umask);
// an existing directory is success. A failure is mkdirFailed(path, errno).
void mkdirP(const std::string& path);

// Removes `path` and, when it is a directory, everything under it, without
// following symbolic links. An absent path is success; a failure is
// removeFailed(path, errno).
void removeAll(const std::string& path);
// Removes one file, symbolic link or empty directory. An absent path is
// success; a failure is removeFailed(path, errno).
void removeFile(const std::string& path);
// Copies the regular file `from` to a new file `to` (mode 0644 less the
// umask; an existing `to` is an error) and fsyncs the copy. Failures are the
// open, pread, pwrite and fsync errors of the path concerned; a failed copy
// removes the partial `to`.
void copyFile(const std::string& from, const std::string& to);

EntryKind entryKind(const std::string& path);
void rename(const std::string& from, const std::string& to);
// Exchanges two existing names atomically (renameat2 RENAME_EXCHANGE).
// Every failure, including a file system that cannot exchange, is
// promotionUnsupported(a, errno).
void renameSwap(const std::string& a, const std::string& b);
// rename(2) that never replaces: false when `to` already exists (nothing
// moved), renameFailed for any other failure. On a file system without
// RENAME_NOREPLACE the name is checked first, which leaves a window that
// the kernel's flag closes elsewhere.
bool renameNoReplace(const std::string& from, const std::string& to);
// Fails with promotionUnsupported(directory, errno) when the file system of
// `directory` cannot exchange two names atomically. Probes with two empty
// directories of its own in `directory` and removes them again.
void requireExchangeSupport(const std::string& directory);

// Which object a path names (lstat: a final link is not followed).
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};
// Nothing when the path does not exist.
std::optional<FileIdentity> identity(const std::string& path);

uint64_t fileSize(int fd, const std::string& path);
// realpath(3): the path with every symbolic link resolved.
std::string physicalPath(const std::string& path);

// The whole content of a regular file of at most `maximumBytes`. A larger
// file is installStateCorrupt(path, "size N exceeds M-byte cap"). A symbolic
// link is refused unless followCallerSymlink.
std::vector<uint8_t> readBoundedData(const std::string& path, uint64_t maximumBytes,
                                     bool followCallerSymlink = false);

// The whole content of a file of at most `maximumBytes`, following links; a
// larger one is configurationInvalid. For source documents (config.json,
// model.safetensors.index.json) that have no cap of their own.
std::vector<uint8_t> readWholeFile(const std::string& path, uint64_t maximumBytes);

// Crash-safe replace of `path` (which lives in `directory`): write path.tmp
// (a stale regular .tmp is removed first), fsync, rename over path, run
// afterRename, fsync the directory. A crash leaves the old or the new file;
// a failure removes the temporary.
void atomicWrite(std::span<const uint8_t> bytes, const std::string& path,
                 const std::string& directory, const std::function<void()>& afterRename = {});

// atomicWrite of a document made piece by piece: `produce` hands each piece
// to the writer it is given, which writes it before the next one is made, so
// a large document is never held whole.
using PieceWriter = std::function<void(std::string_view)>;
void atomicWrite(const std::function<void(const PieceWriter&)>& produce, const std::string& path,
                 const std::string& directory, const std::function<void()>& afterRename = {});

// Makes a finished file ready to become part of a package: mode 0644 less
// the process umask (whatever mode it was created with), then fsync.
void publishFile(const std::string& path);

// True when `path` is a regular file with the device and inode of `fd`.
bool descriptorMatchesPath(int fd, const std::string& path);

// Absolute (against the working directory) with "." and ".." components
// resolved textually and no trailing or doubled slashes. Symbolic links are
// not looked at.
std::string standardizedPath(const std::string& path);

// Test-only fault injection: the next call of the kind fails with `err`
// instead of reaching the kernel. Used to prove that failure paths clean up
// and leave a resumable state. With `pathContains`, only calls whose path
// (for a descriptor, the path it was opened at; for a rename, either name)
// contains the text count, and a final '$' anchors the text at the path's
// end; `skip` matching calls pass before the one that fails. One fault per
// kind is armed at a time.
namespace testing {
enum class Call { open, write, fsync, rename, exchange, mkdir, remove, count };
void failNext(Call call, int err, std::string pathContains = {}, int skip = 0);
void clearFaults();
// Calls `observer` with the path of every successful fsync of a file or a
// directory, on the syncing thread; an empty function stops it. Tests use it
// to prove what is durable at each step.
void observeSyncs(std::function<void(const std::string&)> observer);
}  // namespace testing

// The fault-aware system calls behind the operations above, for the other
// file-layer modules of the engine.
namespace sys {
int open(const char* path, int flags, mode_t mode = 0);
int openat(int dirfd, const char* path, int flags, mode_t mode = 0);
ssize_t pwrite(int fd, const void* buffer, size_t count, off_t offset);
ssize_t write(int fd, const void* buffer, size_t count);
int fsync(int fd);
int rename(const char* from, const char* to);
int renameat(int fromDir, const char* from, int toDir, const char* to);
int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags);
}  // namespace sys

}  // namespace Posix
