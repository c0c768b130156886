#pragma once
// OPEN: a binary min-heap of nodes ordered by open_cost.
//
// Each entry keeps the key its node had when it was pushed. A duplicate
// update lowers the open_cost of a node that may still stand in the heap and
// pushes the node again; reading keys through the node pointer would then
// break the heap order silently and let cheaper nodes hide below the updated
// one, so that A* could pop a goal too early. With the key kept in the entry
// the heap order always holds: the node comes out at its new key through its
// new entry, and once more at the old key through the old one.
//
// The sift routines follow the standard library's push_heap/pop_heap steps
// so that entries with equal keys come out in the same order.

#include <cstdint>
#include <stdexcept>
#include <vector>

namespace quelmar {

// The heap itself, over any payload: OPEN of nodes for weighted A*, OPEN
// of (node, move) entries for Q*.
template <typename Key, typename Payload>
class KeyedHeap {
 public:
  KeyedHeap(int64_t capacity, bool fixed) : capacity_(static_cast<uint64_t>(capacity)), fixed_(fixed) {
    heap_.reserve(capacity_);
  }

  bool empty() const { return heap_.empty(); }
  size_t size() const { return heap_.size(); }

  // Pushes `payload` under `key`; a fixed heap that is full throws.
  void push(Key key, Payload payload) {
    if (fixed_ && heap_.size() >= capacity_)
      throw std::runtime_error("C++ OPEN queue reached fixed capacity");
    heap_.push_back({key, payload});
    siftUp(heap_.size() - 1, 0, {key, payload});
  }

  // Removes and returns the payload of the smallest key.
  Payload pop() {
    const Entry front = heap_.front();
    const size_t last = heap_.size() - 1;
    if (last > 0) {
      const Entry moved = heap_[last];
      heap_[last] = front;
      adjustFrom(0, last, moved);
    }
    heap_.pop_back();
    return front.payload;
  }

  // The smallest key (the heap must not be empty).
  Key topKey() const { return heap_.front().key; }

 private:
  struct Entry {
    Key key;
    Payload payload;
  };

  // "a is worse than b": the heap keeps the smallest key on top.
  static bool worse(const Entry& a, const Entry& b) { return a.key > b.key; }

  // Moves the hole at `hole` up towards `top` until `value` fits.
  void siftUp(size_t hole, size_t top, const Entry& value) {
    while (hole > top) {
      const size_t parent = (hole - 1) / 2;
      if (!worse(heap_[parent], value)) break;
      heap_[hole] = heap_[parent];
      hole = parent;
    }
    heap_[hole] = value;
  }

  // Walks the hole at `hole` down to a leaf of the first `length` entries,
  // always along the better child, then places `value` on the way back up.
  void adjustFrom(size_t hole, size_t length, const Entry& value) {
    const size_t top = hole;
    size_t child = hole;
    while (child < (length - 1) / 2) {
      child = 2 * (child + 1);
      if (worse(heap_[child], heap_[child - 1])) --child;
      heap_[hole] = heap_[child];
      hole = child;
    }
    if ((length & 1) == 0 && child == (length - 2) / 2) {
      child = 2 * (child + 1);
      heap_[hole] = heap_[child - 1];
      hole = child - 1;
    }
    siftUp(hole, top, value);
  }

  std::vector<Entry> heap_;
  uint64_t capacity_;
  bool fixed_;
};

template <typename Node>
class OpenQueue : public KeyedHeap<typename Node::OpenCostType, Node*> {
 public:
  using Key = typename Node::OpenCostType;
  using KeyedHeap<Key, Node*>::KeyedHeap;

  // Pushes `node` with its current open_cost as the key.
  void push(Node* node) { KeyedHeap<Key, Node*>::push(node->open_cost, node); }
};

}  // namespace quelmar
