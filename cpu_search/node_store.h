#pragma once
// Owner of every node the search accepts. Nodes are appended and never
// removed before the search ends. In fixed capacity mode the reserved size is
// a hard limit; in adaptive mode it is only the starting size.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

namespace quelmar {

template <typename Node>
class NodeStore {
 public:
  NodeStore(int64_t capacity, bool fixed) : capacity_(static_cast<uint64_t>(capacity)), fixed_(fixed) {
    nodes_.reserve(capacity_);
  }

  Node* append(std::unique_ptr<Node> node) {
    if (fixed_ && nodes_.size() >= capacity_)
      throw std::runtime_error("C++ node store reached fixed capacity");
    nodes_.push_back(std::move(node));
    return nodes_.back().get();
  }

  size_t size() const { return nodes_.size(); }

 private:
  std::vector<std::unique_ptr<Node>> nodes_;
  uint64_t capacity_;
  bool fixed_;
};

}  // namespace quelmar
