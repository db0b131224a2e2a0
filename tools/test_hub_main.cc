// velquor-test-hub: serves a checkpoint directory as a model hub on loopback
// HTTPS until SIGTERM or SIGINT. Prints {"base_url": "...", "ca": "..."} once
// it accepts connections. Exit status: 0 after a signal, 1 when it cannot
// start, 2 for a command-line error.

#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/checkpoint_files.h"
#include "tools/test_hub_standalone.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  TestHubCommandLine cmd;
  try {
    cmd = parseTestHubCommandLine(args);
    // A generated checkpoint would be another source chosen here, from
    // options of its own in cmd.rest.
    if (!cmd.rest.empty()) throw std::invalid_argument("unknown argument " + cmd.rest.front());
    if (!cmd.dir) throw std::invalid_argument("--dir is required");
  } catch (const std::invalid_argument& e) {
    std::fprintf(stderr, "%s\n%s", e.what(), testHubUsage(argv[0]).c_str());
    return 2;
  }
  try {
    cmd.options.files = openCheckpointDirectory(*cmd.dir);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "cannot read %s: %s\n", cmd.dir->c_str(), e.what());
    return 1;
  }
  return serveUntilSignalled(std::move(cmd.options));
}
