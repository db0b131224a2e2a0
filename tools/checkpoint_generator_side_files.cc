// Tokenizer side files of the generated checkpoints: a small byte-level BPE
// tokenizer (the 256 byte symbols and a few dozen English merges) with each
// family's special tokens and chat template, and the Gemma 4 image processor
// settings. Small, but shaped like the files the real exports carry.
#include "tools/checkpoint_generator_families.h"

#include <string>
#include <utility>
#include <vector>

namespace checkpoint_gen {
namespace {

using nlohmann::json;

struct TokenizerDialect {
  std::vector<std::string> specialTokens;  // ids 0, 1, 2, ...
  json bosToken;                           // a string, or null when the family has none
  std::string eosToken;
  std::string padToken;
  json unkToken;
  bool addBosToken = false;
  std::string tokenizerClass;
  int64_t modelMaxLength = 0;
  std::string chatTemplate;
};

TokenizerDialect dialect(CheckpointFamily family) {
  switch (family) {
    case CheckpointFamily::gemma4:
      return {{"<pad>", "<eos>", "<bos>", "<unk>", "<mask>", "<start_of_turn>", "<end_of_turn>",
               "<start_of_image>", "<end_of_image>", "<image_soft_token>"},
              "<bos>",
              "<eos>",
              "<pad>",
              "<unk>",
              true,
              "GemmaTokenizerFast",
              262144,
              "{{ bos_token }}\n"
              "{%- for message in messages -%}\n"
              "{%- set role = 'model' if message['role'] == 'assistant' else message['role'] -%}\n"
              "<start_of_turn>{{ role }}\n"
              "{{ message['content'] | trim }}<end_of_turn>\n"
              "{% endfor -%}\n"
              "{%- if add_generation_prompt -%}\n"
              "<start_of_turn>model\n"
              "{% endif -%}\n"};
    case CheckpointFamily::qwen3_5_moe:
      return {{"<|endoftext|>", "<|im_start|>", "<|im_end|>", "<|vision_start|>", "<|vision_end|>",
               "<|image_pad|>", "<think>", "</think>"},
              nullptr,
              "<|im_end|>",
              "<|endoftext|>",
              nullptr,
              false,
              "Qwen2TokenizerFast",
              262144,
              "{%- for message in messages %}\n"
              "{{- '<|im_start|>' + message['role'] + '\\n' + message['content'] + "
              "'<|im_end|>\\n' }}\n"
              "{%- endfor %}\n"
              "{%- if add_generation_prompt %}\n"
              "{{- '<|im_start|>assistant\\n<think>\\n' }}\n"
              "{%- endif %}\n"};
    case CheckpointFamily::lfm2moe:
      return {{"<|pad|>", "<|startoftext|>", "<|endoftext|>", "<|fim_pre|>", "<|fim_mid|>",
               "<|fim_suf|>", "<|im_start|>", "<|im_end|>"},
              "<|startoftext|>",
              "<|im_end|>",
              "<|pad|>",
              nullptr,
              true,
              "PreTrainedTokenizerFast",
              128000,
              "{{- bos_token -}}\n"
              "{%- for message in messages -%}\n"
              "{{- '<|im_start|>' + message['role'] + '\\n' + message['content'] + "
              "'<|im_end|>\\n' -}}\n"
              "{%- endfor -%}\n"
              "{%- if add_generation_prompt -%}\n"
              "{{- '<|im_start|>assistant\\n' -}}\n"
              "{%- endif -%}\n"};
    case CheckpointFamily::brask:
      return {{"<|pad|>", "<|begin_of_text|>", "<|end_of_text|>", "<|start_header_id|>",
               "<|end_header_id|>", "<|eot_id|>"},
              "<|begin_of_text|>",
              "<|eot_id|>",
              "<|pad|>",
              nullptr,
              true,
              "PreTrainedTokenizerFast",
              131072,
              "{{- bos_token }}\n"
              "{%- for message in messages %}\n"
              "{{- '<|start_header_id|>' + message['role'] + '<|end_header_id|>\\n\\n' }}\n"
              "{{- message['content'] | trim + '<|eot_id|>' }}\n"
              "{%- endfor %}\n"
              "{%- if add_generation_prompt %}\n"
              "{{- '<|start_header_id|>assistant<|end_header_id|>\\n\\n' }}\n"
              "{%- endif %}\n"};
  }
  return {};
}

// UTF-8 of one code point below 0x800 (all that the byte alphabet needs).
std::string utf8(uint32_t codePoint) {
  std::string s;
  if (codePoint < 0x80) {
    s.push_back(static_cast<char>(codePoint));
  } else {
    s.push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
    s.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  }
  return s;
}

// The byte-level alphabet: printable bytes stand for themselves, the others
// are shifted to code points from 256 up, so that every byte is a visible
// symbol (a blank becomes "Ġ").
std::vector<std::string> byteAlphabet() {
  std::vector<std::string> symbols(256);
  uint32_t shifted = 256;
  for (uint32_t b = 0; b < 256; ++b) {
    const bool printable = (b >= '!' && b <= '~') || (b >= 0xA1 && b <= 0xAC) || b >= 0xAE;
    symbols[b] = utf8(printable ? b : shifted++);
  }
  return symbols;
}

// Merges in rank order; every part is a byte symbol or an earlier merge.
const std::vector<std::pair<const char*, const char*>> kMerges = {
    {"Ġ", "t"},  {"Ġ", "a"},  {"h", "e"},  {"i", "n"},  {"r", "e"},  {"o", "n"}, {"Ġt", "he"},
    {"e", "r"},  {"Ġ", "s"},  {"a", "t"},  {"Ġ", "w"},  {"Ġ", "o"},  {"e", "n"}, {"Ġ", "c"},
    {"i", "t"},  {"i", "s"},  {"a", "n"},  {"o", "r"},  {"e", "s"},  {"Ġ", "b"}, {"e", "d"},
    {"Ġ", "f"},  {"in", "g"}, {"Ġ", "p"},  {"o", "u"},  {"Ġa", "n"}, {"a", "l"}, {"a", "r"},
    {"Ġt", "o"}, {"Ġ", "m"},  {"Ġo", "f"}, {"Ġ", "in"}, {"Ġ", "d"},  {"Ġ", "h"}, {"Ġan", "d"},
    {"i", "c"},  {"a", "s"},  {"l", "e"},  {"Ġt", "h"}, {"i", "on"}, {"o", "m"}, {"l", "l"},
    {"en", "t"}, {"Ġ", "n"},  {"Ġ", "l"},  {"s", "t"},  {"Ġ", "re"}, {"v", "e"}, {"Ġ", "e"},
    {"r", "o"},  {"l", "y"},  {"Ġb", "e"}, {"Ġ", "g"},  {"Ġ", "T"},  {"c", "t"}, {"Ġ", "S"},
    {"i", "d"},  {"o", "t"},  {"Ġ", "I"},  {"u", "t"},
};

json addedToken(int64_t id, const std::string& content) {
  return {{"id", id},        {"content", content},  {"single_word", false}, {"lstrip", false},
          {"rstrip", false}, {"normalized", false}, {"special", true}};
}

std::string tokenizerJson(const TokenizerDialect& d) {
  json vocab = json::object();
  json added = json::array();
  int64_t next = 0;
  for (const std::string& token : d.specialTokens) {
    added.push_back(addedToken(next, token));
    vocab[token] = next++;
  }
  for (const std::string& symbol : byteAlphabet()) vocab[symbol] = next++;
  json merges = json::array();
  for (const auto& [left, right] : kMerges) {
    merges.push_back(json::array({left, right}));
    const std::string merged = std::string(left) + right;
    if (!vocab.contains(merged)) vocab[merged] = next++;
  }
  const json byteLevel = {{"type", "ByteLevel"},
                          {"add_prefix_space", false},
                          {"trim_offsets", true},
                          {"use_regex", true}};
  const json document = {{"version", "1.0"},
                         {"truncation", nullptr},
                         {"padding", nullptr},
                         {"added_tokens", added},
                         {"normalizer", {{"type", "NFC"}}},
                         {"pre_tokenizer", byteLevel},
                         {"post_processor", byteLevel},
                         {"decoder", byteLevel},
                         {"model",
                          {{"type", "BPE"},
                           {"dropout", nullptr},
                           {"unk_token", nullptr},
                           {"continuing_subword_prefix", nullptr},
                           {"end_of_word_suffix", nullptr},
                           {"fuse_unk", false},
                           {"byte_fallback", false},
                           {"ignore_merges", false},
                           {"vocab", vocab},
                           {"merges", merges}}}};
  return document.dump(2);
}

std::string tokenizerConfigJson(const TokenizerDialect& d) {
  json decoder = json::object();
  for (size_t id = 0; id < d.specialTokens.size(); ++id) {
    json entry = addedToken(static_cast<int64_t>(id), d.specialTokens[id]);
    entry.erase("id");
    decoder[std::to_string(id)] = entry;
  }
  const json document = {{"add_bos_token", d.addBosToken},
                         {"add_eos_token", false},
                         {"added_tokens_decoder", decoder},
                         {"bos_token", d.bosToken},
                         {"clean_up_tokenization_spaces", false},
                         {"eos_token", d.eosToken},
                         {"model_max_length", d.modelMaxLength},
                         {"pad_token", d.padToken},
                         {"padding_side", "left"},
                         {"tokenizer_class", d.tokenizerClass},
                         {"unk_token", d.unkToken}};
  return document.dump(2);
}

std::string specialTokensMapJson(const TokenizerDialect& d) {
  json document = {{"eos_token", d.eosToken}, {"pad_token", d.padToken}};
  if (!d.bosToken.is_null()) document["bos_token"] = d.bosToken;
  if (!d.unkToken.is_null()) document["unk_token"] = d.unkToken;
  json additional = json::array();
  for (const std::string& token : d.specialTokens) {
    if (token != d.bosToken && token != d.eosToken && token != d.padToken && token != d.unkToken) {
      additional.push_back(token);
    }
  }
  document["additional_special_tokens"] = additional;
  return document.dump(2);
}

}  // namespace

std::map<std::string, std::string> tokenizerFiles(CheckpointFamily family) {
  const TokenizerDialect d = dialect(family);
  return {{"tokenizer.json", tokenizerJson(d)},
          {"tokenizer_config.json", tokenizerConfigJson(d)},
          {"special_tokens_map.json", specialTokensMapJson(d)},
          {"chat_template.jinja", d.chatTemplate}};
}

std::string gemma4ProcessorConfig() {
  const json document = {{"image_processor",
                          {{"image_processor_type", "Gemma4ImageProcessor"},
                           {"do_convert_rgb", true},
                           {"do_normalize", false},
                           {"do_rescale", true},
                           {"do_resize", true},
                           {"image_mean", json::array({0.0, 0.0, 0.0})},
                           {"image_std", json::array({1.0, 1.0, 1.0})},
                           {"patch_size", 16},
                           {"max_soft_tokens", 280},
                           {"pooling_kernel_size", 3},
                           {"resample", 3},
                           {"rescale_factor", 0.00392156862745098}}},
                         {"image_seq_length", 280},
                         {"processor_class", "Gemma4Processor"}};
  return document.dump(2);
}

}  // namespace checkpoint_gen
