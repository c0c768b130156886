#pragma once
// CLOSED and the node store split into shards by state hash, shared by the
// CPU engines (weighted A*, beam). Equal states share a shard and each shard
// sees its children in child order, so every duplicate decision is the one a
// single table would make, while the shards are filtered in parallel. One
// shard makes its capacity limits apply to the whole search.

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "config/search_modes.h"
#include "cpu_search/closed_state_table.h"
#include "cpu_search/node_store.h"
#include "cpu_search/parallel_for.h"

namespace quelmar {

template <typename Node>
class ShardedClosed {
 public:
  // `shards` tables of `closed_slots` slots and stores of `store_nodes` first
  // nodes each; throws what the tables and stores throw.
  ShardedClosed(ClosedProbing probing, size_t shards, uint64_t closed_slots, int64_t store_nodes,
                bool fixed) {
    shards_.reserve(shards);
    for (size_t i = 0; i < shards; ++i)
      shards_.push_back({ClosedStateTable<Node>(probing, closed_slots, fixed),
                         NodeStore<Node>(store_nodes, fixed)});
  }

  // Stores the start node in its shard; returns the stored node.
  Node* storeStart(Node&& node) {
    const uint64_t hash = hashStateBytes(node.state);
    return shards_[shardOf(hash)].store.append(std::move(node));
  }
  // Enters a stored start node into CLOSED.
  void closeStart(Node* node) {
    const uint64_t hash = hashStateBytes(node->state);
    shards_[shardOf(hash)].closed.insert(node, hash);
  }

  // Goal flags, CLOSED hashes and shards of `children`, in parallel.
  void flagAndHash(const std::vector<Node>& children) {
    goal_.resize(children.size());
    hash_.resize(children.size());
    shard_.resize(children.size());
    parallelForStatic(children.size(), [&](size_t i) {
      goal_[i] = children[i].environment->is_solved();
      hash_[i] = hashStateBytes(children[i].state);
      shard_[i] = static_cast<uint32_t>(shardOf(hash_[i]));
    });
  }

  // Filters the children flagged last: for each child, in child order within
  // its shard, decide(child, existing, store) returns the node that carries
  // the child on, or null; `existing` is CLOSED's node of an equal state or
  // null, and store() moves the child into the store and CLOSED (over
  // `existing`'s slot) and returns the stored node. Results in survivors().
  template <typename Decide>
  void filter(std::vector<Node>& children, Decide&& decide) {
    survivor_.assign(children.size(), nullptr);
    const auto filterShard = [&](size_t s) {
      ClosedStateTable<Node>& closed = shards_[s].closed;
      NodeStore<Node>& store = shards_[s].store;
      for (size_t j = 0; j < children.size(); ++j) {
        // The table is far larger than the caches: fetch slots ahead.
        if (j + kPrefetchDistance < children.size() && shard_[j + kPrefetchDistance] == s)
          closed.prefetch(hash_[j + kPrefetchDistance]);
        if (shard_[j] != s) continue;
        Node& child = children[j];
        auto* slot = closed.locate(child.state, hash_[j]);
        survivor_[j] = decide(child, slot == nullptr ? nullptr : slot->node, [&] {
          Node* stored = store.append(std::move(child));
          closed.place(slot, stored, hash_[j]);
          return stored;
        });
      }
    };
    // Every shard reads all children: parallel once they are enough to pay for a region.
    if (shards_.size() == 1 || children.size() < kLightItemsPerThread * 2) {
      for (size_t s = 0; s < shards_.size(); ++s) filterShard(s);
    } else {
      parallelForStatic(shards_.size(), filterShard, 1);
    }
  }

  const std::vector<uint8_t>& goals() const { return goal_; }
  // Per child of the last filter: the node that carries it on, or null.
  const std::vector<Node*>& survivors() const { return survivor_; }

  size_t storedNodes() const {
    size_t stored = 0;
    for (const Shard& shard : shards_) stored += shard.store.size();
    return stored;
  }

 private:
  // Children ahead of the one being filtered whose CLOSED slot is prefetched.
  static constexpr size_t kPrefetchDistance = 8;

  struct Shard {
    ClosedStateTable<Node> closed;
    NodeStore<Node> store;
  };

  size_t shardOf(uint64_t hash) const {
    return shards_.size() == 1 ? 0 : (hash >> 32) % shards_.size();
  }

  std::vector<Shard> shards_;
  std::vector<uint8_t> goal_;
  std::vector<uint64_t> hash_;
  std::vector<uint32_t> shard_;
  std::vector<Node*> survivor_;
};

}  // namespace quelmar
