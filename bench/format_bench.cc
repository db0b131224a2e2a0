// Micro-benchmarks of the decoders that run on every install and
// verification: safetensors headers, the resident index and the manifest.

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "engine/source/safetensors.h"
#include "format/manifest.h"
#include "format/resident_index.h"

namespace {

// A shard header of `count` quantized weights with their companions, the
// shape of a real MLX export shard.
std::string shardHeader(int count) {
  std::string h = R"({"__metadata__":{"format":"mlx"})";
  uint64_t offset = 0;
  for (int i = 0; i < count; ++i) {
    const std::string base = "language_model.model.layers." + std::to_string(i) + ".mlp.gate_proj";
    h += ",\"" + base + R"(.weight":{"dtype":"U32","shape":[2048,256],"data_offsets":[)" +
         std::to_string(offset) + "," + std::to_string(offset + 2097152) + "]}";
    offset += 2097152;
    for (const char* companion : {".scales", ".biases"}) {
      h += ",\"" + base + companion + R"(":{"dtype":"BF16","shape":[2048,32],"data_offsets":[)" +
           std::to_string(offset) + "," + std::to_string(offset + 131072) + "]}";
      offset += 131072;
    }
  }
  return h + "}";
}

void BM_ParseSafetensorsHeader(benchmark::State& state) {
  const std::string header = shardHeader(static_cast<int>(state.range(0)));
  const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(header.data()),
                                       header.size());
  for (auto _ : state) {
    benchmark::DoNotOptimize(Safetensors::parseHeader("shard", UINT64_MAX, bytes));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * header.size()));
}
BENCHMARK(BM_ParseSafetensorsHeader)->Arg(100)->Arg(1000);

void BM_DecodeResidentIndex(benchmark::State& state) {
  const uint64_t count = static_cast<uint64_t>(state.range(0));
  std::vector<KorvexResidentIndexEntryV1> entries;
  std::string names;
  for (uint64_t i = 0; i < count; ++i) {
    KorvexResidentIndexEntryV1 e;
    e.name = "language_model.model.layers." + std::to_string(i) + ".input_layernorm.weight";
    e.dtype = 1;
    e.sizeBytes = 4096;
    e.shape = {2048, 0, 0, 0};
    entries.push_back(e);
    names += e.name;
  }
  const uint64_t indexSize = KorvexResidentIndexCodec::indexSizeFor(count, names.size());
  std::vector<uint8_t> region(indexSize);
  const KorvexResidentIndexHeaderV1 header{indexSize, count * 4096, count};
  KorvexResidentIndexCodec::writeHeader(region, header);
  uint64_t name = 24 + 72 * count;
  for (uint64_t i = 0; i < count; ++i) {
    entries[i].fileOffset = indexSize + 4096 * i;
    KorvexResidentIndexCodec::writeEntry(std::span<uint8_t>(region).subspan(24 + 72 * i, 72),
                                         entries[i], static_cast<uint32_t>(name));
    std::copy(entries[i].name.begin(), entries[i].name.end(), region.begin() + name);
    name += entries[i].name.size();
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(KorvexResidentIndexCodec::decodeRegion(region, header));
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * count));
}
BENCHMARK(BM_DecodeResidentIndex)->Arg(500)->Arg(5000);

}  // namespace

BENCHMARK_MAIN();
