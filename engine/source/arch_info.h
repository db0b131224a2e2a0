// Architecture of a source checkpoint, read from its config.json. Four
// families are recognised; three are held against the pinned architecture of
// the supported checkpoint so that another model of the same family cannot be
// repacked in its place.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum class RepackModelFamily { gemma4, qwen36, lfm2moe, brask };

// "gemma4", "qwen36", "lfm2moe" or "brask": the manifest's family text.
std::string_view rawValue(RepackModelFamily family);
std::optional<RepackModelFamily> repackModelFamilyFromRaw(std::string_view raw);

// Layer codes of ArchInfo::fullAttentionLayerMask.
namespace LayerCode {
inline constexpr uint8_t sliding = 0;
inline constexpr uint8_t full = 1;
inline constexpr uint8_t linear = 2;
inline constexpr uint8_t shortConv = 3;
}  // namespace LayerCode

struct ArchInfo {
  int64_t hiddenSize = 0;
  int64_t intermediateSize = 0;
  int64_t moeIntermediateSize = 0;
  int64_t numHeads = 0;
  int64_t numKVHeads = 0;
  int64_t numFullKVHeads = 0;
  int64_t headDim = 0;
  int64_t fullHeadDim = 0;
  int64_t vocabSize = 0;
  int64_t slidingWindow = 0;
  double finalLogitSoftcap = 0;
  double ropeTheta = 0;
  double fullRopeTheta = 0;
  double partialRotaryFactor = 0;
  int64_t numLayers = 0;
  int64_t numExperts = 0;
  int64_t topKExperts = 0;
  bool tieWordEmbeddings = false;
  bool attentionKEqV = false;
  std::vector<uint8_t> fullAttentionLayerMask;  // one LayerCode per layer_types entry
  std::string hiddenActivation;
  RepackModelFamily family = RepackModelFamily::gemma4;
  bool attnOutputGate = false;
  double attentionScale = 0;
  bool embeddingScaledBySqrtHidden = false;
  bool routerScaled = false;
  bool ffnSandwichNorms = false;
  bool sharedExpertGated = false;
  bool ropeNeoxSubdim = false;
  int64_t linearNumKHeads = 0;
  int64_t linearNumVHeads = 0;
  int64_t linearKeyHeadDim = 0;
  int64_t linearValueHeadDim = 0;
  int64_t linearConvKernelSize = 0;

  bool operator==(const ArchInfo&) const = default;

  // Reads and checks config.json. File and JSON decoding failures propagate
  // unchanged; every other rejection is configJsonInvalid(path, detail).
  static ArchInfo load(const std::string& configPath);
};
