// The resident index region at the head of model_weights.bin, built from
// the resident file plan (the byte format is the resident index's).
#pragma once

#include <cstdint>
#include <vector>

#include "engine/plan/repack_plan.h"

// The largest resident index the writer builds (readers accept up to 16 MiB).
inline constexpr int64_t kResidentIndexScratchLimit = 1048575;

// The index region of the plan, exactly plan.indexSize bytes: header, entries,
// string table, zero padding. An index of 1 MiB or more is scratchExceeded.
std::vector<uint8_t> encodeResidentIndex(const ResidentFilePlan& plan);
