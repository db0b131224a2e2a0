// Helpers shared by the planners: overflow-checked
// arithmetic on sizes and offsets taken from untrusted shard headers, and
// the small text rules (layer index of a tensor name, path joining) that more
// than one plan applies.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/source/safetensors.h"

namespace plan_support {

// korvexCheckedAdd / korvexCheckedMultiply whose overflow is reported as
// configurationInvalid("<field>: arithmetic overflow") instead of a format
// error, so that planning throws RepackError only.
uint64_t add(uint64_t a, uint64_t b, std::string_view field);
uint64_t multiply(uint64_t a, uint64_t b, std::string_view field);
// The smallest multiple of 16 KiB not below value; overflow as above.
uint64_t roundUpToPage(uint64_t value, std::string_view field);

// The layer index of a tensor name: the text between the first ".layers."
// and the next "." after it, a decimal integer with an optional sign.
// Nothing when no "." follows or the text is not such an integer (or does not
// fit 64 bits).
std::optional<int64_t> layerIndex(std::string_view name);

// "u32", "bf16", "fp16" or "fp32".
std::string_view dtypeCaseName(SourceTensor::Dtype dtype);

// directory + "/" + name, without doubling a trailing "/" of directory.
std::string joinPath(const std::string& directory, std::string_view name);

// The directory part of a path: everything before its last "/" ("/" for a
// file in the root, "." when there is no "/").
std::string directoryOf(const std::string& path);

// The last "/"-separated component of a path.
std::string lastComponent(const std::string& path);

}  // namespace plan_support
