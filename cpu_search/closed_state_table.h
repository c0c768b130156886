#pragma once
// CLOSED: open-addressing hash table of node pointers keyed by the node's
// state bytes. Power-of-two slot counts, maximum load 2/3, doubling growth in
// adaptive mode. Keys are not copied: each slot keeps the state's hash next
// to the node pointer, and only a matching hash reads the node's own bytes,
// so a probe that passes other states touches no node memory.

#include <cstdint>
#include <cstring>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "config/search_modes.h"
#include "config/validation.h"

namespace quelmar {

// One pass over the bytes, wrapping 64-bit arithmetic.
inline uint64_t hashStateBytes(std::span<const uint8_t> bytes) {
  uint64_t h = bytes.size();
  for (const uint8_t b : bytes) h ^= (b + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2));
  return h;
}

inline bool sameState(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

// Probe sequence over a power-of-two table: linear, or CPython's dict
// perturbation recurrence.
class ProbeSequence {
 public:
  ProbeSequence(uint64_t hash, uint64_t mask, bool python_dict)
      : slot_(hash & mask), perturb_(hash), mask_(mask), python_dict_(python_dict) {}
  uint64_t slot() const { return slot_; }
  void next() {
    if (python_dict_) {
      perturb_ >>= 5;
      slot_ = (5 * slot_ + perturb_ + 1) & mask_;
    } else {
      slot_ = (slot_ + 1) & mask_;
    }
  }

 private:
  uint64_t slot_, perturb_, mask_;
  bool python_dict_;
};

template <typename Node>
class ClosedStateTable {
 public:
  struct Slot {
    uint64_t hash = 0;
    Node* node = nullptr;  // null: empty
  };

  ClosedStateTable(ClosedProbing probing, uint64_t capacity_hint, bool fixed)
      : fixed_(fixed), python_dict_(probing == ClosedProbing::kPythonDict) {
    slots_.assign(nextPowerOfTwo(capacity_hint == 0 ? 1 : capacity_hint), Slot{});
  }

  uint64_t count() const { return count_; }
  size_t slotCount() const { return slots_.size(); }

  // The stored node whose state equals `state`, or null.
  Node* find(std::span<const uint8_t> state) const { return find(state, hashStateBytes(state)); }

  // The same with hashStateBytes(state) computed by the caller.
  Node* find(std::span<const uint8_t> state, uint64_t hash) const {
    const size_t at = locateIndex(state, hash);
    return at == kNowhere ? nullptr : slots_[at].node;
  }

  // The slot holding `state`, else the empty slot where its probe sequence
  // ends, else null (the sequence met no empty slot). Valid until the next
  // change to the table.
  Slot* locate(std::span<const uint8_t> state, uint64_t hash) {
    const size_t at = locateIndex(state, hash);
    return at == kNowhere ? nullptr : &slots_[at];
  }

  // Stores `node` where locate(node->state, hash) pointed, replacing the node
  // there; one probe serves both the lookup and the insertion.
  void place(Slot* slot, Node* node, uint64_t hash) {
    if (slot == nullptr) return insert(node, hash);
    const bool filled = slot->node == nullptr;
    *slot = {hash, node};
    if (filled) {
      ++count_;
      growIfNeeded();
    }
  }

  // Starts loading the first slot `hash` probes; changes nothing.
  void prefetch(uint64_t hash) const { __builtin_prefetch(&slots_[hash & (slots_.size() - 1)]); }

  // Stores `node` under its state, replacing a node with an equal state.
  void insert(Node* node) { insert(node, hashStateBytes(node->state)); }


  // The same with hashStateBytes(node->state) computed by the caller.
  void insert(Node* node, uint64_t hash) {
    Placement placed = placeInto(slots_, node, hash);
    // The perturbed probe sequence may revisit slots and meet no empty one
    // within slotCount() steps while a third of the table is still free: a
    // growing table grows rather than calling itself full.
    while (placed == Placement::kNoSlot) {
      if (fixed_) throw std::runtime_error("C++ CLOSED state table is full");
      rehash(slots_.size() * 2);
      placed = placeInto(slots_, node, hash);
    }
    if (placed == Placement::kFilled) growIfNeeded();
  }

 private:
  enum class Placement { kFilled, kReplaced, kNoSlot };
  static constexpr size_t kNowhere = SIZE_MAX;

  // Index of locate()'s slot, or kNowhere. Probes at most slotCount() steps.
  size_t locateIndex(std::span<const uint8_t> state, uint64_t hash) const {
    ProbeSequence probe(hash, slots_.size() - 1, python_dict_);
    for (size_t examined = 0; examined < slots_.size(); ++examined, probe.next()) {
      const Slot& entry = slots_[probe.slot()];
      if (entry.node == nullptr) return probe.slot();
      if (entry.hash == hash && sameState(entry.node->state, state)) return probe.slot();
    }
    return kNowhere;
  }

  // Probes at most slots.size() steps, the same bound find() uses.
  Placement placeInto(std::vector<Slot>& slots, Node* node, uint64_t hash) {
    ProbeSequence probe(hash, slots.size() - 1, python_dict_);
    for (size_t examined = 0; examined < slots.size(); ++examined, probe.next()) {
      Slot& entry = slots[probe.slot()];
      if (entry.node == nullptr) {
        entry = {hash, node};
        ++count_;
        return Placement::kFilled;
      }
      if (entry.hash == hash && sameState(entry.node->state, node->state)) {
        entry.node = node;
        return Placement::kReplaced;
      }
    }
    return Placement::kNoSlot;
  }

  void growIfNeeded() {
    if (3 * count_ < 2 * static_cast<uint64_t>(slots_.size())) return;
    if (fixed_) throw std::runtime_error("C++ CLOSED state table reached fixed capacity");
    rehash(slots_.size() * 2);
  }

  // Moves every node into a table of at least `slot_count` slots, doubling
  // again if a probe sequence finds no slot.
  void rehash(size_t slot_count) {
    std::vector<Slot> entries;
    entries.reserve(count_);
    for (const Slot& entry : slots_)
      if (entry.node != nullptr) entries.push_back(entry);
    for (;; slot_count *= 2) {
      std::vector<Slot> fresh(slot_count);
      count_ = 0;
      bool complete = true;
      for (const Slot& entry : entries) {
        if (placeInto(fresh, entry.node, entry.hash) == Placement::kNoSlot) {
          complete = false;
          break;
        }
      }
      if (complete) {
        slots_.swap(fresh);
        return;
      }
    }
  }

  std::vector<Slot> slots_;
  uint64_t count_ = 0;
  bool fixed_ = false;
  bool python_dict_;
};

}  // namespace quelmar
