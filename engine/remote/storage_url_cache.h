// Where the hub last sent each large file: the signed storage URL that its
// resolve URL redirected to, so that later ranges of the file go straight to
// storage instead of through the hub (one resolve per file, not per range).
//
// A URL is kept only after a response from it passed every check of a
// ranged transfer, and only while it is fresh: until its expiry query
// parameter ("Expires", or "X-Amz-Date" plus "X-Amz-Expires") less a margin,
// or, without one, until the caller forgets it (after the storage host
// refused it). A file that the hub serves itself is remembered as such, so
// its requests go to the hub without waiting on each other.
//
// While one request is resolving a file through the hub, lookups of the same
// file wait (up to a short limit) for what it learns, so that requests
// started together resolve once instead of once each.
//
// Safe from any thread; copies of a hub source share one cache.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "engine/common/cancellation.h"

class StorageURLCache {
 public:
  // Unix time in seconds.
  using Clock = std::function<int64_t()>;

  static constexpr int64_t kDefaultMarginSeconds = 60;

  // `now` defaults to the system clock.
  explicit StorageURLCache(int64_t marginSeconds = kDefaultMarginSeconds, Clock now = {},
                           std::chrono::milliseconds waitLimit = std::chrono::seconds(2));

  // How a request for the file behind `key` (its resolve URL) should go.
  struct Route {
    std::optional<std::string> storageURL;  // go here; else through the hub
    // The caller resolves for everyone: it must end with learn() or
    // release() for `key`.
    bool resolver = false;
  };

  // Waits while another request resolves `key` (until it learns, releases,
  // or the wait limit passes) and checks `cancel` while waiting.
  Route lookup(const std::string& key, const CancellationToken& cancel);

  // A response from `finalURL` passed every check of a request that went
  // through the hub for `key`; `storage` tells whether that URL is on
  // another origin than the hub (else the hub serves the file itself).
  void learn(const std::string& key, const std::string& finalURL, bool storage);

  // The resolver of `key` gave up without learning anything.
  void release(const std::string& key);

  // The storage host refused `storageURL`: it is not used for `key` again.
  void forget(const std::string& key, const std::string& storageURL);

  // The expiry of a signed URL in Unix seconds, from "Expires=<seconds>" or
  // "X-Amz-Date=<YYYYMMDD'T'HHMMSS'Z'>" with "X-Amz-Expires=<seconds>" in its
  // query; nothing when it has neither or they do not parse.
  static std::optional<int64_t> expiry(std::string_view url);

 private:
  struct Entry {
    enum class State { resolving, storage, direct } state = State::resolving;
    std::string url;
    std::optional<int64_t> expiresAt;
  };

  bool freshLocked(const Entry& entry) const;

  int64_t marginSeconds_;
  Clock now_;
  std::chrono::milliseconds waitLimit_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, Entry> entries_;
};
