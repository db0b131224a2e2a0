// A small vision companion for tests: three regions in a 32 KiB
// vision_weights.bin (two packed, one bf16) finished and promoted by
// VisionPackWriter::finish, bound to a text package on disk. The format does
// not pin the tensor count, so every check of the verifier can be exercised
// without a 1.1 GB checkpoint.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/plan/vision_pack_plan.h"
#include "engine/vision/vision_pack_writer.h"

struct VisionCompanionFixture {
  std::string directory;  // the final companion directory (physical path)
  std::vector<VisionPackPlan::Entry> entries;
  uint64_t weightsFileSize = 0;
  std::string modelID;
  std::string sourceRevision;
  std::string sourceIndexSha256;
  std::string processorConfig;
  VisionPackWriteResult result;
};

// Writes the companion at `directory` (replacing one that exists there) for
// the text package at `textModelDirectory`; `seed` varies the weight bytes
// and the processor configuration.
VisionCompanionFixture writeVisionCompanionFixture(const std::string& directory,
                                                   const std::string& textModelDirectory,
                                                   uint64_t seed = 1);
