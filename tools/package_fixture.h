// Writes small, valid .korvex packages for tests and benchmarks: a resident
// weights file with its index, packed-expert layer files with their layout,
// tokenizer side files and a manifest that lists them all. Content is
// deterministic pseudo-random bytes so that digests are stable.
#pragma once

#include <cstdint>
#include <string>

#include "format/manifest.h"
#include "format/packed_layout.h"

struct PackageFixtureOptions {
  int64_t numLayers = 2;
  int64_t expertsPerLayer = 2;
  uint64_t expertStride = 16384;
  uint64_t residentPayloadBytes = 4096;
  uint64_t seed = 1;
};

struct PackageFixture {
  std::string directory;
  KorvexManifestV1 manifest;
  KorvexPackedExpertsLayoutV1 layout;

  // Re-encodes `manifest` into manifest.json (after a test changed it).
  void writeManifest() const;
  // Re-encodes `layout`, refreshes its size and digest in the manifest and
  // rewrites both.
  void writeLayout();
  // Rehashes one file into the manifest's table (after a test changed it).
  void refreshFile(const std::string& relativePath);
};

// Creates the package in `directory` (which must not exist yet).
PackageFixture writePackageFixture(const std::string& directory,
                                   const PackageFixtureOptions& options = {});
