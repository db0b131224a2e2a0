#include "tools/test_hub_standalone.h"

#include <signal.h>

#include <cstdio>
#include <limits>
#include <nlohmann/json.hpp>
#include <stdexcept>

namespace {

uint64_t parseUnsigned(const std::string& flag, const std::string& value, uint64_t maximum) {
  const bool digits = !value.empty() && value.size() <= 19 &&
                      value.find_first_not_of("0123456789") == std::string::npos;
  if (!digits || std::stoull(value) > maximum) {
    throw std::invalid_argument(flag + " needs a whole number up to " + std::to_string(maximum) +
                                ", got \"" + value + "\"");
  }
  return std::stoull(value);
}

}  // namespace

TestHubCommandLine parseTestHubCommandLine(const std::vector<std::string>& args) {
  TestHubCommandLine cmd;
  TestHubOptions& o = cmd.options;
  bool repoGiven = false;
  bool revisionGiven = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& flag = args[i];
    const auto value = [&]() -> const std::string& {
      if (i + 1 >= args.size()) throw std::invalid_argument(flag + " needs a value");
      return args[++i];
    };
    if (flag == "--dir") {
      cmd.dir = value();
    } else if (flag == "--repo") {
      o.repoID = value();
      repoGiven = true;
    } else if (flag == "--revision") {
      o.revision = value();
      revisionGiven = true;
    } else if (flag == "--port") {
      o.port = static_cast<uint16_t>(parseUnsigned(flag, value(), 65535));
    } else if (flag == "--storage-port") {
      o.storagePort = static_cast<uint16_t>(parseUnsigned(flag, value(), 65535));
    } else if (flag == "--token") {
      o.token = value();
    } else if (flag == "--no-xet") {
      o.xet = false;
    } else if (flag == "--throughput") {
      o.throughputBytesPerSecond =
          parseUnsigned(flag, value(), std::numeric_limits<uint64_t>::max() / 2);
    } else if (flag == "--lfs-threshold") {
      o.lfsThresholdBytes = parseUnsigned(flag, value(), std::numeric_limits<uint64_t>::max() / 2);
    } else if (flag == "--url-lifetime") {
      o.signedURLLifetime = std::chrono::seconds(parseUnsigned(flag, value(), 10L * 365 * 86400));
    } else if (flag == "--max-connections") {
      o.maxConnections = static_cast<int>(parseUnsigned(flag, value(), 1000000));
    } else if (flag == "--sha256") {
      const std::string& pair = value();
      const size_t eq = pair.rfind('=');
      if (eq == std::string::npos || eq == 0) {
        throw std::invalid_argument("--sha256 needs FILE=HEX, got \"" + pair + "\"");
      }
      o.sha256StandIns[pair.substr(0, eq)] = pair.substr(eq + 1);
    } else {
      cmd.rest.push_back(flag);
    }
  }
  if (!repoGiven) throw std::invalid_argument("--repo is required");
  if (!revisionGiven) throw std::invalid_argument("--revision is required");
  return cmd;
}

std::string testHubUsage(const std::string& program) {
  return "usage: " + program +
         " --dir <checkpoint-dir> --repo <owner/name> --revision <40 hex>\n"
         "  [--port N]               hub port (default: any free port)\n"
         "  [--storage-port N]       storage host port (default: any free port)\n"
         "  [--token T]              require \"Authorization: Bearer T\" on the hub host\n"
         "  [--no-xet]               plain LFS redirects, without X-Xet-Hash\n"
         "  [--throughput BYTES]     limit every response body to BYTES per second\n"
         "  [--lfs-threshold BYTES]  files this large are served through the storage host\n"
         "  [--sha256 FILE=HEX]      stand-in SHA-256 for a large file (repeatable)\n"
         "  [--url-lifetime SECONDS] validity of signed storage URLs (default 3600)\n"
         "  [--max-connections K]    answer 429 while a client has more than K connections\n"
         "                           open to a host (default: no limit)\n";
}

int serveUntilSignalled(TestHubOptions options) {
  // Blocked before any thread exists, so every thread inherits the mask and
  // sigwait below is the only receiver.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  std::unique_ptr<TestHub> hub;
  try {
    hub = TestHub::start(std::move(options));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  const std::string line = "{\"base_url\": " + nlohmann::json(hub->baseURL()).dump() +
                           ", \"ca\": " + nlohmann::json(hub->caFile()).dump() + "}\n";
  std::fputs(line.c_str(), stdout);
  std::fflush(stdout);

  int received = 0;
  while (sigwait(&signals, &received) != 0) {
  }
  hub->stop();
  return 0;
}
