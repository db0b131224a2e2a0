#include "engine/remote/storage_url_cache.h"

#include <gtest/gtest.h>

namespace {

TEST(StorageURLCacheTest, ExpiryComesFromTheSignedQuery) {
  const std::string amz = "https://s.example/o?X-Amz-Algorithm=AWS4&X-Amz-Date=20240229T235930Z";
  const struct {
    std::string url;
    std::optional<int64_t> expiry;
  } cases[] = {
      {"https://s.example/o?Expires=1700000000&Signature=abc", 1700000000},
      {"https://s.example/o?a=1&Expires=42#Expires=7", 42},
      {"https://s.example/o?NotExpires=5&Expires=6", 6},
      {amz + "&X-Amz-Expires=3600", 1709254770},  // 2024-03-01T00:59:30Z
      {"https://s.example/o?Expires=1700000000&X-Amz-Date=20240229T235930Z&X-Amz-Expires=1",
       1700000000},
      {"https://s.example/o", std::nullopt},
      {"https://s.example/o#Expires=5", std::nullopt},
      {"https://s.example/o?Expires=", std::nullopt},
      {"https://s.example/o?Expires=-5", std::nullopt},
      {"https://s.example/o?Expires=17e8", std::nullopt},
      {"https://s.example/o?Expires=12345678901234567890", std::nullopt},
      {amz, std::nullopt},  // a date without a lifetime
      {"https://s.example/o?X-Amz-Date=20241329T000000Z&X-Amz-Expires=1", std::nullopt},
      {"https://s.example/o?X-Amz-Date=2024-02-29T00:00Z&X-Amz-Expires=1", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(StorageURLCache::expiry(c.url), c.expiry) << c.url;
}

// A kept URL is reused while fresh (its expiry less the margin, or half of
// a short remaining life), replaced after that or after a refusal, and a
// file the hub serves itself never makes requests wait for each other.
TEST(StorageURLCacheTest, KeptURLsLiveUntilTheirMarginOrARefusal) {
  int64_t now = 1000;
  StorageURLCache cache(
      60, [&now] { return now; }, std::chrono::milliseconds(0));
  CancellationToken cancel;
  const std::string key = "https://hub/r/resolve/c/a.safetensors";
  const std::string url = "https://cdn/o?Expires=2000&Signature=s";

  StorageURLCache::Route first = cache.lookup(key, cancel);
  EXPECT_TRUE(first.resolver);
  EXPECT_EQ(first.storageURL, std::nullopt);
  // Another request while the first resolves: through the hub, not resolving.
  EXPECT_FALSE(cache.lookup(key, cancel).resolver);
  cache.learn(key, url, true);
  cache.release(key);  // after learning: keeps what was learned
  EXPECT_EQ(cache.lookup(key, cancel).storageURL, url);
  now = 1939;
  EXPECT_EQ(cache.lookup(key, cancel).storageURL, url);
  now = 1940;
  EXPECT_TRUE(cache.lookup(key, cancel).resolver);

  cache.learn(key, "https://cdn/o?Expires=2040&Signature=t", true);  // 100 s left: 50 s margin
  now = 1989;
  EXPECT_TRUE(cache.lookup(key, cancel).storageURL.has_value());
  now = 1990;
  EXPECT_TRUE(cache.lookup(key, cancel).resolver);

  const std::string lasting = "https://cdn/o?Signature=u";
  cache.learn(key, lasting, true);
  now = 1'000'000'000;
  cache.forget(key, "https://cdn/o?Expires=2040&Signature=t");  // not the kept one
  EXPECT_EQ(cache.lookup(key, cancel).storageURL, lasting);
  cache.forget(key, lasting);
  EXPECT_TRUE(cache.lookup(key, cancel).resolver);

  cache.learn(key, "https://hub/r/resolve/c/a.safetensors", false);
  const StorageURLCache::Route direct = cache.lookup(key, cancel);
  EXPECT_FALSE(direct.resolver);
  EXPECT_EQ(direct.storageURL, std::nullopt);
}

}  // namespace
