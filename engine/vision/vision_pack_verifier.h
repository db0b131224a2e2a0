// Decides whether a vision companion directory is intact and still belongs
// to a given text package: its exact contents, the bindings between the
// companion manifest, its receipt and the text manifest, and the size and
// SHA-256 of every file. Read-only; takes no lock. Every read is anchored at
// a descriptor of the companion (or text package) directory and follows no
// symbolic link below it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

struct VisionPackVerification {
  std::string manifestSha256;  // of the companion's manifest.json bytes
  uint64_t weightsBytes = 0;   // recorded size of vision_weights.bin
  std::string sourceRevision;
  std::string sourceIndexSha256;
  std::string compatibleTextManifestSha256;  // computed from the text manifest.json
  bool operator==(const VisionPackVerification&) const = default;
};

namespace VisionPackVerifier {

// (bytes verified so far, bytes to verify), after each hashed file.
using Progress = std::function<void(uint64_t verified, uint64_t total)>;

// Hashing vision_weights.bin is the expensive part and is done only when
// `hashWeights`; without it the file's size is still checked. Throws the
// first failed check: installStateIncompatible when the companion belongs to
// another text package or the text manifest was rewritten, configurationInvalid
// for everything else the companion gets wrong (format errors of its
// documents included), and the directory access's own errors for I/O.
VisionPackVerification verify(const std::string& companionDirectory,
                              const std::string& textModelDirectory, bool hashWeights,
                              const Progress& progress = {});

}  // namespace VisionPackVerifier
