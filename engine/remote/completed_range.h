// One finished coalesced range of a copy plan, as the byte provider reports
// it and the resume checkpoint records it.
#pragma once

#include <cstdint>
#include <string>

struct RemoteCompletedRange {
  std::string id;                 // a coalesced range of the plan; unique
  std::string destinationDigest;  // SHA-256 of the bytes the range produced
  uint64_t sourceBytes = 0;       // downloaded for the range, > 0
  uint64_t destinationBytes = 0;  // written to output files, > 0

  bool operator==(const RemoteCompletedRange&) const = default;
};
