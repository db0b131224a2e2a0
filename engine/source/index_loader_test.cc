#include "engine/source/index_loader.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "engine/common/repack_error.h"
#include "engine/io/sha256_stream.h"
#include "tests/test_util.h"

namespace {

using nlohmann::json;

class IndexLoaderTest : public ::testing::Test {
 protected:
  IndexLoader::SourceMetadata load(const json& quantization, const json& extra = json::object(),
                                   const json& weightMap = {{"a.w", "s1"}}) {
    json config = extra;
    if (!quantization.is_null()) config["quantization"] = quantization;
    write(json{{"metadata", {{"total_size", 1}}}, {"weight_map", weightMap}}.dump(), config.dump());
    return IndexLoader::load(dir_.path());
  }
  void write(const std::string& index, const std::string& config) {
    testutil::writeFile(dir_.file("model.safetensors.index.json"), index);
    testutil::writeFile(dir_.file("config.json"), config);
  }
  std::string error(const json& quantization, const json& extra = json::object()) {
    try {
      load(quantization, extra);
      return "ok";
    } catch (const RepackError& e) {
      return e.description();
    }
  }

  testutil::TempDir dir_;
};

TEST_F(IndexLoaderTest, LoadsDefaultsOverridesAndDigest) {
  IndexLoader::SourceMetadata m = load({{"group_size", 32}});
  EXPECT_EQ(m.baseBits, 4);
  EXPECT_EQ(m.baseGroupSize, 32);
  EXPECT_EQ(m.baseMode, "affine");
  EXPECT_TRUE(m.bitsOverrides.empty());
  EXPECT_EQ(m.indexPath, dir_.file("model.safetensors.index.json"));
  EXPECT_EQ(m.configPath, dir_.file("config.json"));
  Sha256Stream s;
  const std::string indexBytes = testutil::readFile(m.indexPath);
  s.update(indexBytes.data(), indexBytes.size());
  EXPECT_EQ(m.indexSha256Hex, s.finalizeHex());

  m = load({{"bits", 4},
            {"group_size", 64},
            {"mode", "mxfp4"},
            {"x.mlp.gate", {{"bits", 8}}},
            {"x.norm", {{"bits", 4}}},
            {"ignored", 3}});
  EXPECT_EQ(m.baseMode, "mxfp4");
  EXPECT_EQ(m.bitsOverrides,
            (std::map<std::string, QuantSpec>{{"x.mlp.gate", {8}}, {"x.norm", {4}}}));

  json exported = {{"mlx_export", {{"embedding_bits", 6}}}};
  m = load({{"bits", 4}, {"model.embed_tokens", {{"bits", 8}}}}, exported);
  EXPECT_EQ(m.bitsOverrides,
            (std::map<std::string, QuantSpec>{{"model.embed_tokens", {8}},
                                              {"language_model.model.embed_tokens", {6}}}));
  exported["mlx_export"]["embedding_bits"] = 4.7;  // truncated to the base width
  EXPECT_TRUE(load({{"bits", 4}}, exported).bitsOverrides.empty());
}

TEST_F(IndexLoaderTest, ShardOrderFollowsTheSmallestTensorName) {
  EXPECT_EQ(load(json::object(), json::object(), {{"b.w", "s2"}, {"a.w", "s1"}, {"c.w", "s1"}})
                .shardFilenames,
            (std::vector<std::string>{"s1", "s2"}));
  EXPECT_EQ(load(json::object(), json::object(), {{"a.w", "s2"}, {"b.w", "s1"}}).shardFilenames,
            (std::vector<std::string>{"s2", "s1"}));
}

TEST_F(IndexLoaderTest, RejectionsNameTheDocument) {
  const std::string config = "config.json " + dir_.file("config.json") + " invalid: ";
  const std::string index =
      "index.json " + dir_.file("model.safetensors.index.json") + " invalid: ";
  EXPECT_EQ(error(nullptr), config + "no quantization slot");
  EXPECT_EQ(error(7), config + "no quantization slot");
  EXPECT_EQ(
      error({{"bits", 4}, {"group_size", 64}, {"x.mlp.gate", {{"bits", 8}, {"group_size", 32}}}}),
      config + "quantization override x.mlp.gate group_size 32 != base 64");

  write(R"({"weight_map":{"a":1}})", "{}");
  EXPECT_THROW(
      try { IndexLoader::load(dir_.path()); } catch (const RepackError& e) {
        EXPECT_EQ(e.description(), index + "no weight_map");
        throw;
      },
      RepackError);
  write(R"({"weight_map":{}})", "[1]");
  EXPECT_THROW(
      try { IndexLoader::load(dir_.path()); } catch (const RepackError& e) {
        EXPECT_EQ(e.description(), config + "not a JSON object");
        throw;
      },
      RepackError);
  write("{", "{}");
  EXPECT_THROW(
      try { IndexLoader::load(dir_.path()); } catch (const RepackError& e) {
        EXPECT_EQ(e.kind(), RepackError::Case::indexJsonInvalid);
        throw;
      },
      RepackError);
  write(std::string(300, '[') + std::string(300, ']'), "{}");
  EXPECT_EQ(testutil::errorOf([&] { IndexLoader::load(dir_.path()); }),
            index + "JSON nesting deeper than 256 levels");

  testutil::TempDir empty;
  try {
    IndexLoader::load(empty.path());
    FAIL();
  } catch (const RepackError& e) {
    const std::string path = empty.file("model.safetensors.index.json");
    EXPECT_EQ(e.description(),
              "index.json " + path + " invalid: open(" + path + ") failed: errno 2");
  }
}

TEST(CanonicalIndexData, IsByteExact) {
  EXPECT_EQ(IndexLoader::canonicalIndexData({{"b", "s2"}, {"a", "s1"}}, 10),
            R"({"metadata":{"total_size":10},"weight_map":{"a":"s1","b":"s2"}})");
  EXPECT_EQ(IndexLoader::canonicalIndexData({}, 0),
            R"({"metadata":{"total_size":0},"weight_map":{}})");
}

}  // namespace
