#include "engine/common/catalog.h"

#include <array>

namespace {

constexpr uint64_t kReserve = 1073741824;

const std::array<SupportedModelSource, 6>& rows() {
  static const std::array<SupportedModelSource, 6> kRows = {{
      {"gemma4", "Gemma 4 26B-A4B IT 4-bit", "mlx-community/gemma-4-26b-a4b-it-4bit",
       "0d77464eeb233a2da68ebf9d7dc4edaac7db956d",
       "bf198c9f5ea6462addca1966e5dd669c407537a876e82cf06db9084c5c850b13",
       "mlx-community/gemma-4-26b-a4b-it-4bit", 14620479420, 14291921884, kReserve},
      {"gemma4-qat", "Gemma 4 26B-A4B IT QAT 4-bit", "mlx-community/gemma-4-26B-A4B-it-qat-4bit",
       "0e3cbab38ce568cf6e23543010d08d03b731910c",
       "5455e83705bbdd4e3702c7d4f9d49d4900e84533036628f74500538075dd5c80",
       "mlx-community/gemma-4-26B-A4B-it-qat-4bit", 14952958284, 14559575182, kReserve},
      {"qwen36", "Qwen3.6 35B-A3B 4-bit", "mlx-community/Qwen3.6-35B-A3B-4bit",
       "38740b847e4cb78f352aba30aa41c76e08e6eb46",
       "0b28df60e33753a14e816d3b31577ae2c93884c58430a4a6de6ae9ea483842ea", "qwen3.6-35b-a3b-4bit",
       19529025048, 19546491213, kReserve},
      // The varnel15 and brask rows pin the reproducible checkpoints that
      // velquor-make-checkpoint --stand-in NAME writes (tools/). The revision
      // is the SHA-1 of "VelquorRepack stand-in checkpoint NAME"; the digest
      // is that of the generated index, which the tools tests hold to it.
      {"varnel15", "Varnel 1.5 35B-A3B 4-bit", "varnel-ai/Varnel-1.5-35B-A3B-MLX-4bit",
       "8e9fa31c15ae53ae2e2f6df976c16d038778ccaf",
       "8f0266f1d81778031a4a12b0db906b4cbb8c9f52bb70cff7a170592e431ee6e4",
       "varnel-1.5-35b-a3b-4bit", 19528808680, 19546274845, kReserve},
      {"lfm25", "LFM2.5 24B-A2B 4-bit", "LiquidAI/LFM2.5-24B-A2B-MLX-4bit",
       "667408d494bde191c2cb9dd4f4549827816b9275",
       "7887b03265aef7824c8e5b9a51667e486f889749240d8c59a95f3cd899e86e4a",
       "LiquidAI/LFM2.5-24B-A2B-MLX-4bit", 13585182789, 13585000000, kReserve},
      {"brask", "Brask 40B-A2.5B 4-bit", "Dovrik/brask-int4",
       "c44506cd8318103683a9bc3ee14294c4563de946",
       "28d14021e2151df3696b36520ddde03903f3092a2f7a676d7d09b5c07202cef7", "Dovrik/brask-int4",
       22579791728, 22570000000, kReserve},
  }};
  return kRows;
}

}  // namespace

namespace ModelCatalog {

std::span<const SupportedModelSource> all() { return rows(); }

const SupportedModelSource& defaultSource() { return rows()[0]; }

std::optional<SupportedModelSource> lookup(std::string_view name) {
  if (name == "standard") return rows()[0];
  if (name == "qat") return rows()[1];
  for (const SupportedModelSource& row : rows()) {
    if (row.name == name) return row;
  }
  return std::nullopt;
}

bool isVisionEligible(const SupportedModelSource& source) {
  return source == rows()[0] || source == rows()[1];
}

}  // namespace ModelCatalog

namespace SourceFingerprint {

const std::map<std::string, std::string, std::less<>>& knownSources() {
  static const auto kMap = [] {
    std::map<std::string, std::string, std::less<>> map;
    for (const SupportedModelSource& row : rows()) map.emplace(row.sourceIndexSHA256, row.modelID);
    return map;
  }();
  return kMap;
}

}  // namespace SourceFingerprint
