#include "engine/io/git_blob_sha1.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Values from `git hash-object`: the header, its NUL and the size all count.
TEST(GitBlobSha1, MatchesGitHashObject) {
  const struct {
    std::string contents;
    const char* name;
  } cases[] = {
      {"", "e69de29bb2d1d6434b8b29ae775ad8c2e48c5391"},
      {"hello\n", "ce013625030ba8dba906f756967f9e9ca394464a"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(
        gitBlobSha1Hex({reinterpret_cast<const uint8_t*>(c.contents.data()), c.contents.size()}),
        c.name)
        << c.contents;
  }
}

}  // namespace
