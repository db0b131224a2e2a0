// Bulk byte movers of the install: hashing finished outputs and copying
// mapped ranges in fixed 512 KiB tiles (memory stays at one tile whatever the
// file size), and creating model_weights.bin with its index at the front.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "engine/common/repack_audit.h"
#include "engine/common/unique_fd.h"
#include "engine/io/mmap_handle.h"
#include "engine/plan/repack_plan.h"
#include "engine/plan/resident_index_encoder.h"

namespace WriterCore {

inline constexpr int64_t tileBytes = 524288;

std::string hexDigest(std::span<const uint8_t, 32> digest);

// SHA-256 of the first `size` bytes of the file, read in tiles with the page
// cache dropped behind the reads. `cancellationCheck` runs before every tile
// and may throw to abort. Counts one byteCopyTile per read.
std::string hashEntireFile(const std::string& path, uint64_t size, RepackAudit& audit,
                           const std::function<void()>& cancellationCheck);

// Copies [srcAbsoluteOffset, +size) of the mapping to dstFd at dstOffset in
// tiles, releasing each consumed source tile from memory.
void pwriteTensorRegion(const MmapHandle& srcShard, uint64_t srcAbsoluteOffset, uint64_t size,
                        int dstFd, const std::string& dstPath, uint64_t dstOffset,
                        RepackAudit& audit);

}  // namespace WriterCore

// Creates model_weights.bin at its final size with the index written at
// offset 0; returns the open read-write descriptor.
UniqueFd createResidentFile(const ResidentFilePlan& plan, RepackAudit& audit);
