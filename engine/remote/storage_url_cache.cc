#include "engine/remote/storage_url_cache.h"

#include <algorithm>
#include <ctime>

namespace {

int64_t systemSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// A run of 1 to 18 decimal digits (no sign, no space), so it fits in int64_t.
std::optional<int64_t> digits(std::string_view text) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

// The value of the first "name=value" pair of the URL's query.
std::optional<std::string_view> queryValue(std::string_view url, std::string_view name) {
  const size_t question = url.find('?');
  if (question == std::string_view::npos) return std::nullopt;
  std::string_view query = url.substr(question + 1);
  query = query.substr(0, query.find('#'));
  while (!query.empty()) {
    const size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    const size_t equals = pair.find('=');
    if (equals != std::string_view::npos && pair.substr(0, equals) == name) {
      return pair.substr(equals + 1);
    }
    if (amp == std::string_view::npos) break;
    query = query.substr(amp + 1);
  }
  return std::nullopt;
}

// "YYYYMMDDTHHMMSSZ" as Unix seconds.
std::optional<int64_t> amzDate(std::string_view text) {
  if (text.size() != 16 || text[8] != 'T' || text[15] != 'Z') return std::nullopt;
  const auto year = digits(text.substr(0, 4));
  const auto month = digits(text.substr(4, 2));
  const auto day = digits(text.substr(6, 2));
  const auto hour = digits(text.substr(9, 2));
  const auto minute = digits(text.substr(11, 2));
  const auto second = digits(text.substr(13, 2));
  if (!year || !month || !day || !hour || !minute || !second || *month < 1 || *month > 12 ||
      *day < 1 || *day > 31 || *hour > 23 || *minute > 59 || *second > 60) {
    return std::nullopt;
  }
  std::tm fields{};
  fields.tm_year = static_cast<int>(*year) - 1900;
  fields.tm_mon = static_cast<int>(*month) - 1;
  fields.tm_mday = static_cast<int>(*day);
  fields.tm_hour = static_cast<int>(*hour);
  fields.tm_min = static_cast<int>(*minute);
  fields.tm_sec = static_cast<int>(*second);
  return static_cast<int64_t>(::timegm(&fields));
}

}  // namespace

StorageURLCache::StorageURLCache(int64_t marginSeconds, Clock now,
                                 std::chrono::milliseconds waitLimit)
    : marginSeconds_(marginSeconds),
      now_(now ? std::move(now) : systemSeconds),
      waitLimit_(waitLimit) {}

std::optional<int64_t> StorageURLCache::expiry(std::string_view url) {
  if (const auto expires = queryValue(url, "Expires")) return digits(*expires);
  const auto date = queryValue(url, "X-Amz-Date");
  const auto lifetime = queryValue(url, "X-Amz-Expires");
  if (!date || !lifetime) return std::nullopt;
  const std::optional<int64_t> start = amzDate(*date);
  const std::optional<int64_t> seconds = digits(*lifetime);
  if (!start || !seconds) return std::nullopt;
  return *start + *seconds;
}

bool StorageURLCache::freshLocked(const Entry& entry) const {
  return !entry.expiresAt || now_() < *entry.expiresAt;
}

StorageURLCache::Route StorageURLCache::lookup(const std::string& key,
                                               const CancellationToken& cancel) {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto deadline = std::chrono::steady_clock::now() + waitLimit_;
  for (;;) {
    const auto found = entries_.find(key);
    if (found == entries_.end()) {
      entries_.emplace(key, Entry{});
      return Route{std::nullopt, true};
    }
    Entry& entry = found->second;
    switch (entry.state) {
      case Entry::State::direct:
        return Route{};
      case Entry::State::storage:
        if (freshLocked(entry)) return Route{entry.url, false};
        entry = Entry{};
        return Route{std::nullopt, true};
      case Entry::State::resolving:
        break;
    }
    // A resolver that is slow to answer does not hold the others back for
    // long: past the limit they go through the hub on their own.
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return Route{};
    cancel.check();
    changed_.wait_for(lock, std::min<std::chrono::steady_clock::duration>(
                                deadline - now, std::chrono::milliseconds(20)));
  }
}

void StorageURLCache::learn(const std::string& key, const std::string& finalURL, bool storage) {
  Entry entry;
  if (storage) {
    entry.state = Entry::State::storage;
    entry.url = finalURL;
    if (const std::optional<int64_t> expires = expiry(finalURL)) {
      // A URL that lives less than twice the margin is used for the first
      // half of what is left of its life.
      const int64_t left = *expires - now_();
      entry.expiresAt = *expires - std::clamp<int64_t>(left / 2, 0, marginSeconds_);
    }
  } else {
    entry.state = Entry::State::direct;
  }
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    entries_[key] = std::move(entry);
  }
  changed_.notify_all();
}

void StorageURLCache::release(const std::string& key) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = entries_.find(key);
    if (found == entries_.end() || found->second.state != Entry::State::resolving) return;
    entries_.erase(found);
  }
  changed_.notify_all();
}

void StorageURLCache::forget(const std::string& key, const std::string& storageURL) {
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto found = entries_.find(key);
  if (found != entries_.end() && found->second.state == Entry::State::storage &&
      found->second.url == storageURL) {
    entries_.erase(found);
  }
}
