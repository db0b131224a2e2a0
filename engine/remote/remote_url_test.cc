#include "engine/remote/remote_url.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

TEST(RemoteURLOrigin, SchemeHostAndEffectivePort) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {"https://hub.example/o/m", "https://hub.example:443"},
      {"https://hub.example:443/o/m", "https://hub.example:443"},  // the default, written out
      {"https://HUB.Example/o/m", "https://hub.example:443"},
      {"HTTPS://hub.example/o/m", "https://hub.example:443"},
      {"https://hub.example:8443/o/m", "https://hub.example:8443"},
      {"https://user:pw@hub.example/o/m?q=1#f", "https://hub.example:443"},
      {"http://hub.example/o/m", "http://hub.example:80"},
      {"http://hub.example:443/o/m", "http://hub.example:443"},
      {"https://[::1]:8443/o/m", "https://[::1]:8443"},
      {"https://[::1]/o/m", "https://[::1]:443"},
      {"https://127.0.0.1:8443/o/m", "https://127.0.0.1:8443"},
      {"/o/m", std::nullopt},
      {"https://", std::nullopt},
      {"not a url", std::nullopt},
  };
  for (const auto& [url, origin] : cases) EXPECT_EQ(RemoteURL::origin(url), origin) << url;
}

}  // namespace
