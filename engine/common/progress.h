// Progress events that a long-running install reports to its caller. The
// engine calls the handler synchronously, one call at a time: on the
// install's own thread, or during the copy on the thread of the range whose
// progress it reports. The handler must not throw.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <variant>

// What a free-space check measured: the directory whose file system was
// probed, the bytes needed (payload plus reserve) and the bytes available to
// an unprivileged user there.
struct DiskSpaceRequirement {
  std::string path;
  uint64_t requiredBytes = 0;
  uint64_t availableBytes = 0;

  bool canInstall() const { return availableBytes >= requiredBytes; }
  uint64_t shortfallBytes() const { return canInstall() ? 0 : requiredBytes - availableBytes; }

  bool operator==(const DiskSpaceRequirement&) const = default;
};

struct ModelInstallProgress {
  // The plan is made: bytes to fetch from the hub, bytes of the finished package.
  struct Planning {
    uint64_t downloadBytes = 0;
    uint64_t outputBytes = 0;
    bool operator==(const Planning&) const = default;
  };
  struct CheckingDisk {
    DiskSpaceRequirement requirement;
    bool operator==(const CheckingDisk&) const = default;
  };
  // A fresh output tree of this total size is being created.
  struct ReservingOutput {
    uint64_t bytes = 0;
    bool operator==(const ReservingOutput&) const = default;
  };
  struct CopyingPayload {
    uint64_t reusedBytes = 0;             // already present from a saved download
    uint64_t downloadedThisRunBytes = 0;  // fetched so far in this run
    uint64_t totalBytes = 0;              // everything the plan fetches
    int64_t activeConnections = 0;        // transfers on the network now
    bool operator==(const CopyingPayload&) const = default;
  };
  // One output file, by package-relative path, is about to be hashed.
  struct HashingOutput {
    std::string relativePath;
    bool operator==(const HashingOutput&) const = default;
  };
  struct DownloadingMetadata {
    bool operator==(const DownloadingMetadata&) const = default;
  };
  struct Finalizing {
    bool operator==(const Finalizing&) const = default;
  };

  using Event = std::variant<Planning, CheckingDisk, ReservingOutput, CopyingPayload, HashingOutput,
                             DownloadingMetadata, Finalizing>;

  Event event;

  bool operator==(const ModelInstallProgress&) const = default;
};

using ProgressHandler = std::function<void(ModelInstallProgress)>;
