// The engine's writers of the package documents manifest.json and
// packed_experts/layout.json, from a plan, and the read-back check of a
// written layout.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "engine/plan/repack_plan.h"

namespace KorvexJSON {

struct FileEntry {
  uint64_t size = 0;
  std::string sha256;
  bool operator==(const FileEntry&) const = default;
};

// The five per-class weight bit widths of the manifest's quant block.
struct ClassBitWidths {
  int64_t embedding = 4;
  int64_t attention = 4;
  int64_t router = 8;
  int64_t sharedExpert = 8;
  int64_t routedExpert = 4;
  bool operator==(const ClassBitWidths&) const = default;
};

// Derived from the plan's resident entries and layer plans.
ClassBitWidths classBitWidths(const RepackPlan& plan);

// The bytes of manifest.json. Does not validate.
std::string manifest(const RepackPlan& plan, const std::string& modelID,
                     const std::string& sourceSnapshotHash,
                     const std::map<std::string, FileEntry>& files, int64_t expertsPerLayer,
                     int64_t numLayers, uint64_t expertStride, const ClassBitWidths& bitWidths);

// The bytes of packed_experts/layout.json for the plan's layers.
std::string layout(const RepackPlan& plan, uint64_t expertStride);

// The same bytes handed to `write` a layer at a time, for writing a large
// model's layout without holding its text.
void writeLayout(const RepackPlan& plan, uint64_t expertStride,
                 const std::function<void(std::string_view)>& write);

// Reads the written layout back and holds it against the plan; a mismatch is
// configurationInvalid("layout.json validation failed: ...").
void checkLayoutReadBack(const std::string& layoutPath, const RepackPlan& plan);

}  // namespace KorvexJSON
