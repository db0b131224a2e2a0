// The test hub as a process: the command line of velquor-test-hub and the
// loop that serves until SIGTERM or SIGINT. A tool that serves a checkpoint
// from another source (a generated one, for instance) parses the same
// options, sets TestHubOptions::files itself and calls serveUntilSignalled.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tools/test_hub.h"

struct TestHubCommandLine {
  std::optional<std::string> dir;  // --dir: a checkpoint directory to serve
  TestHubOptions options;          // everything else; `files` stays empty
  // Arguments this parser does not know, in order, for the caller's own
  // options (the source of a generated checkpoint, say).
  std::vector<std::string> rest;
};

// Parses the arguments after the program name:
//   --dir <checkpoint-dir> --repo <owner/name> --revision <40 hex>
//   [--port N] [--storage-port N] [--token T] [--no-xet]
//   [--throughput BYTES_PER_S] [--lfs-threshold BYTES]
//   [--sha256 FILE=HEX]... [--url-lifetime SECONDS] [--max-connections K]
// --dir may be left out by a caller that supplies the files itself. Throws
// std::invalid_argument with a message for the user.
TestHubCommandLine parseTestHubCommandLine(const std::vector<std::string>& args);

// The usage text, one option per line.
std::string testHubUsage(const std::string& program);

// Blocks SIGTERM and SIGINT, starts the hub, prints exactly one line
//   {"base_url": "<hub URL>", "ca": "<CA file>"}
// on standard output and flushes it, then waits for either signal, stops the
// hub (which removes the CA file) and returns 0. Start failures are printed
// on standard error and return 1.
int serveUntilSignalled(TestHubOptions options);
