// Writes a small synthetic .korvex package for demonstrations and benchmarks.
// Usage: make_package_fixture <directory> [layers experts stride-bytes resident-bytes]

#include <cstdio>
#include <exception>
#include <string>

#include "tools/package_fixture.h"

int main(int argc, char** argv) {
  if (argc != 2 && argc != 6) {
    std::fprintf(stderr, "usage: %s <directory> [layers experts stride-bytes resident-bytes]\n",
                 argv[0]);
    return 2;
  }
  PackageFixtureOptions options;
  if (argc == 6) {
    options.numLayers = std::stoll(argv[2]);
    options.expertsPerLayer = std::stoll(argv[3]);
    options.expertStride = std::stoull(argv[4]);
    options.residentPayloadBytes = std::stoull(argv[5]);
  }
  try {
    writePackageFixture(argv[1], options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
