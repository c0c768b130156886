#pragma once
// Owner of every node the search accepts: an arena of chunks whose nodes
// never move, so one allocation serves thousands of nodes. Nodes are appended
// and never removed before the search ends. In fixed capacity mode the
// reserved size is a hard limit; in adaptive mode it is only the size of the
// first chunk.

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace quelmar {

template <typename Node>
class NodeStore {
 public:
  NodeStore(int64_t capacity, bool fixed) : capacity_(static_cast<uint64_t>(capacity)), fixed_(fixed) {
    chunks_.emplace_back().reserve(std::max<uint64_t>(capacity_, 1));
  }

  // Moves `node` into the arena and returns its address (stable until the end).
  Node* append(Node&& node) {
    if (fixed_ && size_ >= capacity_) throw std::runtime_error("C++ node store reached fixed capacity");
    std::vector<Node>* chunk = &chunks_.back();
    if (chunk->size() == chunk->capacity()) {
      // Doubling chunks: a push_back into a full chunk would move its nodes.
      chunk = &chunks_.emplace_back();
      chunk->reserve(std::max<uint64_t>(size_, kMinChunk));
    }
    chunk->push_back(std::move(node));
    ++size_;
    return &chunk->back();
  }

  size_t size() const { return size_; }

 private:
  static constexpr uint64_t kMinChunk = 1024;
  std::vector<std::vector<Node>> chunks_;
  uint64_t size_ = 0;
  uint64_t capacity_;
  bool fixed_;
};

}  // namespace quelmar
