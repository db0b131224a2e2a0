// Inside the checkpoint generator: what each family's MLX export holds (the
// tensors and config.json) and the tokenizer side files that go with it.
#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tools/checkpoint_generator.h"

namespace checkpoint_gen {

struct TensorDecl {
  std::string name;
  std::string dtype;  // "U32", "BF16" or "F32"
  std::vector<uint64_t> shape;
};

struct FamilyContent {
  std::vector<TensorDecl> tensors;  // in no particular order
  nlohmann::json config;            // config.json
};

// Throws std::invalid_argument for options the family cannot be built from.
FamilyContent describeFamily(const CheckpointOptions& options);

// tokenizer.json, tokenizer_config.json, special_tokens_map.json and
// chat_template.jinja, in the family's dialect.
std::map<std::string, std::string> tokenizerFiles(CheckpointFamily family);

// The Gemma 4 image processor settings that accompany the vision tower.
std::string gemma4ProcessorConfig();

}  // namespace checkpoint_gen
