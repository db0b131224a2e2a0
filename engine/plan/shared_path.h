// A path stored once and shared by every record that names it. The copy plan
// of a large model names a few dozen files from over a hundred thousand
// records; each record holds this handle (one pointer to a reference-counted
// string) instead of its own heap copy of the path. The text never changes
// after construction, so handles may be copied, destroyed and read from
// several threads at once.
#pragma once

#include <atomic>
#include <ostream>
#include <string>
#include <utility>

class SharedPath {
 public:
  SharedPath() = default;
  SharedPath(std::string text)  // NOLINT(google-explicit-constructor): reads as a string
      : node_(new Node{std::move(text), {1}}) {}
  SharedPath(const char* text) : SharedPath(std::string(text)) {}  // NOLINT
  SharedPath(const SharedPath& other) noexcept : node_(other.node_) {
    if (node_ != nullptr) node_->references.fetch_add(1, std::memory_order_relaxed);
  }
  SharedPath(SharedPath&& other) noexcept : node_(std::exchange(other.node_, nullptr)) {}
  SharedPath& operator=(SharedPath other) noexcept {
    std::swap(node_, other.node_);
    return *this;
  }
  ~SharedPath() {
    if (node_ != nullptr && node_->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      delete node_;
    }
  }

  const std::string& str() const { return node_ != nullptr ? node_->text : emptyText(); }
  operator const std::string&() const { return str(); }  // NOLINT

  const char* c_str() const { return str().c_str(); }
  size_t size() const { return str().size(); }
  bool empty() const { return str().empty(); }
  std::string substr(size_t position, size_t count = std::string::npos) const {
    return str().substr(position, count);
  }

  friend bool operator==(const SharedPath& a, const SharedPath& b) {
    return a.node_ == b.node_ || a.str() == b.str();
  }
  friend std::string operator+(const std::string& a, const SharedPath& b) { return a + b.str(); }
  friend std::string operator+(const SharedPath& a, const std::string& b) { return a.str() + b; }
  friend std::string operator+(const char* a, const SharedPath& b) { return a + b.str(); }
  friend std::ostream& operator<<(std::ostream& out, const SharedPath& p) { return out << p.str(); }

 private:
  struct Node {
    std::string text;
    std::atomic<size_t> references;
  };

  static const std::string& emptyText() {
    static const std::string empty;
    return empty;
  }

  Node* node_ = nullptr;
};
