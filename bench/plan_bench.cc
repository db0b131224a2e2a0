// Planning cost of a full-size model: the shard headers of a Gemma 4-shaped
// checkpoint (every tensor kind: quantized attention and dense MLP, norms,
// router, stacked routed experts, the vision tower) are synthesised in
// memory, without tensor data, and run through RepackPlan::build and
// RangeCopyPlanner::plan with 64 MiB chunks. Printed per size: the best of
// several runs of each stage, the copy counts, and the process's resident
// memory afterwards. Sizes grow in layers × experts so that the growth of
// time and memory with the model can be read off.
// Usage: plan_bench [layers:experts ...] (default: 15:128 30:128 60:128 30:256).

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "engine/common/repack_audit.h"
#include "engine/plan/range_copy_plan.h"
#include "engine/plan/repack_plan.h"

namespace {

using Clock = std::chrono::steady_clock;
using Dtype = SourceTensor::Dtype;

constexpr int kRuns = 5;
constexpr uint64_t kHidden = 2816;
constexpr uint64_t kVocab = 262144;
constexpr uint64_t kExpertWidth = 704;
constexpr uint64_t kDenseWidth = 2112;
constexpr uint64_t kHeadDim = 256;
constexpr uint64_t kHeads = 16;
constexpr uint64_t kKVHeads = 8;

struct Source {
  IndexLoader::SourceMetadata metadata;
  std::vector<Safetensors::Header> headers;
  ArchInfo arch;
};

class Synthesiser {
 public:
  explicit Synthesiser(int shards)
      : headers_(static_cast<size_t>(shards)), ends_(headers_.size(), 4096) {
    for (int i = 0; i < shards; ++i) {
      char name[64];
      std::snprintf(name, sizeof name, "model-%05d-of-%05d.safetensors", i + 1, shards);
      names_.push_back(name);
    }
  }

  void tensor(const std::string& name, Dtype dtype, std::vector<uint64_t> shape, size_t shard) {
    uint64_t bytes = dtype == Dtype::u32 || dtype == Dtype::fp32 ? 4 : 2;
    for (uint64_t extent : shape) bytes *= extent;
    headers_[shard].tensors.push_back(
        {name, names_[shard], dtype, std::move(shape), ends_[shard], bytes});
    weightMap_[name] = names_[shard];
    ends_[shard] += bytes;
  }

  // 4-bit weights with bf16 scales and biases for groups of 64.
  void quantized(const std::string& base, std::vector<uint64_t> shape, size_t shard) {
    std::vector<uint64_t> packed = shape, groups = shape;
    packed.back() = shape.back() / 8;
    groups.back() = shape.back() / 64;
    tensor(base + ".weight", Dtype::u32, packed, shard);
    tensor(base + ".scales", Dtype::bf16, groups, shard);
    tensor(base + ".biases", Dtype::bf16, groups, shard);
  }

  Source finish(int64_t layers, int64_t experts) {
    Source s;
    s.headers = std::move(headers_);
    s.metadata.weightMap = std::move(weightMap_);
    s.metadata.shardFilenames = names_;
    s.metadata.indexSha256Hex = std::string(64, '0');
    s.arch.hiddenSize = static_cast<int64_t>(kHidden);
    s.arch.intermediateSize = static_cast<int64_t>(kDenseWidth);
    s.arch.moeIntermediateSize = static_cast<int64_t>(kExpertWidth);
    s.arch.numHeads = kHeads;
    s.arch.numKVHeads = kKVHeads;
    s.arch.numFullKVHeads = 2;
    s.arch.headDim = kHeadDim;
    s.arch.fullHeadDim = 512;
    s.arch.vocabSize = static_cast<int64_t>(kVocab);
    s.arch.numLayers = layers;
    s.arch.numExperts = experts;
    s.arch.topKExperts = 8;
    s.arch.ropeTheta = 10000;
    s.arch.fullRopeTheta = 1000000;
    s.arch.partialRotaryFactor = 0.25;
    s.arch.fullAttentionLayerMask.assign(static_cast<size_t>(layers), 0);
    s.arch.hiddenActivation = "gelu_pytorch_tanh";
    s.arch.family = RepackModelFamily::gemma4;
    return s;
  }

 private:
  std::vector<Safetensors::Header> headers_;
  std::vector<uint64_t> ends_;
  std::vector<std::string> names_;
  std::map<std::string, std::string> weightMap_;
};

Source gemma4Shaped(int64_t layers, int64_t experts) {
  Synthesiser s(4);
  const uint64_t e = static_cast<uint64_t>(experts);
  s.quantized("language_model.model.embed_tokens", {kVocab, kHidden}, 0);
  for (int64_t layer = 0; layer < layers; ++layer) {
    const size_t shard = static_cast<size_t>(layer * 4 / layers);
    const std::string p = "language_model.model.layers." + std::to_string(layer);
    s.quantized(p + ".self_attn.q_proj", {kHeads * kHeadDim, kHidden}, shard);
    s.quantized(p + ".self_attn.k_proj", {kKVHeads * kHeadDim, kHidden}, shard);
    s.quantized(p + ".self_attn.v_proj", {kKVHeads * kHeadDim, kHidden}, shard);
    s.quantized(p + ".self_attn.o_proj", {kHidden, kHeads * kHeadDim}, shard);
    s.tensor(p + ".self_attn.q_norm.weight", Dtype::bf16, {kHeadDim}, shard);
    s.tensor(p + ".self_attn.k_norm.weight", Dtype::bf16, {kHeadDim}, shard);
    s.quantized(p + ".router.proj", {e, kHidden}, shard);
    s.tensor(p + ".router.scale", Dtype::bf16, {kHidden}, shard);
    s.tensor(p + ".router.per_expert_scale", Dtype::bf16, {e}, shard);
    s.quantized(p + ".mlp.gate_proj", {kDenseWidth, kHidden}, shard);
    s.quantized(p + ".mlp.up_proj", {kDenseWidth, kHidden}, shard);
    s.quantized(p + ".mlp.down_proj", {kHidden, kDenseWidth}, shard);
    for (const char* norm :
         {"input_layernorm", "post_attention_layernorm", "pre_feedforward_layernorm",
          "pre_feedforward_layernorm_2", "post_feedforward_layernorm",
          "post_feedforward_layernorm_1", "post_feedforward_layernorm_2"}) {
      s.tensor(p + "." + norm + ".weight", Dtype::bf16, {kHidden}, shard);
    }
    s.tensor(p + ".layer_scalar", Dtype::bf16, {1}, shard);
    s.quantized(p + ".experts.switch_glu.gate_proj", {e, kExpertWidth, kHidden}, shard);
    s.quantized(p + ".experts.switch_glu.up_proj", {e, kExpertWidth, kHidden}, shard);
    s.quantized(p + ".experts.switch_glu.down_proj", {e, kHidden, kExpertWidth}, shard);
  }
  s.tensor("language_model.model.norm.weight", Dtype::bf16, {kHidden}, 3);
  // The vision tower the text package leaves out: 27 layers of 13 tensors and a few more.
  s.quantized("vision_tower.patch_embedder.input_proj", {1152, 768}, 3);
  for (int layer = 0; layer < 27; ++layer) {
    const std::string p = "vision_tower.encoder.layers." + std::to_string(layer);
    for (const char* proj :
         {".self_attn.q_proj", ".self_attn.k_proj", ".mlp.gate_proj", ".mlp.down_proj"}) {
      s.quantized(p + proj, {1152, 1152}, 3);
    }
    s.tensor(p + ".input_layernorm.weight", Dtype::bf16, {1152}, 3);
  }
  s.tensor("vision_tower.std_bias", Dtype::bf16, {1152}, 3);
  s.tensor("vision_tower.std_scale", Dtype::bf16, {1152}, 3);
  s.tensor("embed_vision.embedding_projection.weight", Dtype::bf16, {kHidden, 1152}, 3);
  return s.finish(layers, experts);
}

double millis(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

uint64_t peakRssKiB() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<uint64_t>(usage.ru_maxrss);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::pair<int64_t, int64_t>> sizes;
  for (int i = 1; i < argc; ++i) {
    long long layers = 0, experts = 0;
    if (std::sscanf(argv[i], "%lld:%lld", &layers, &experts) != 2) {
      std::fprintf(stderr, "usage: %s [layers:experts ...]\n", argv[0]);
      return 2;
    }
    sizes.emplace_back(layers, experts);
  }
  if (sizes.empty()) sizes = {{15, 128}, {30, 128}, {60, 128}, {30, 256}};

  std::printf("%8s %8s %9s %9s %9s %10s %10s %10s %10s\n", "layers", "experts", "tensors", "copies",
              "ranges", "build ms", "plan ms", "rss MiB", "peak MiB");
  for (const auto& [layers, experts] : sizes) {
    const Source source = gemma4Shaped(layers, experts);
    size_t tensors = 0;
    for (const auto& h : source.headers) tensors += h.tensors.size();
    double buildBest = 1e300, planBest = 1e300;
    RangeCopyPlan copies;
    for (int run = 0; run < kRuns; ++run) {
      const auto t0 = Clock::now();
      const RepackPlan plan =
          RepackPlan::build(source.metadata, source.arch, source.headers, "/bench/out.partial");
      const auto t1 = Clock::now();
      copies = RangeCopyPlanner::plan(plan, 67108864);
      const auto t2 = Clock::now();
      buildBest = std::min(buildBest, millis(t1 - t0));
      planBest = std::min(planBest, millis(t2 - t1));
    }
    const double rssMiB = static_cast<double>(processResidentBytes().value_or(0)) / (1 << 20);
    std::printf("%8lld %8lld %9zu %9zu %9zu %10.2f %10.2f %10.1f %10.1f\n",
                static_cast<long long>(layers), static_cast<long long>(experts), tensors,
                copies.scalarCopies.size(), copies.coalescedCopies.size(), buildBest, planBest,
                rssMiB, static_cast<double>(peakRssKiB()) / 1024);
  }
  return 0;
}
