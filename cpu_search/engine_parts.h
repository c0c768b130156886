#pragma once
// The steps the CPU engines (weighted A* and beam search) take the same way:
// checking the manifest against the start, expanding a batch of parents in
// parallel into numbered children, and writing the network inputs of a batch
// of nodes. Generic over the node type (cpu_search/search_node.h).

#include <algorithm>
#include <cstddef>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "config/search_modes.h"
#include "config/solver_settings.h"
#include "config/validation.h"
#include "cpu_search/parallel_for.h"
#include "cpu_search/sharded_closed.h"
#include "environments/environment.h"
#include "heuristic/aoti_manifest.h"

namespace quelmar {

// The manifest, once it is known to fit the start environment's inputs.
inline const AOTIManifest& checkedManifest(const AOTIManifest& manifest, const Environment* start) {
  if (start == nullptr) throw std::invalid_argument("Start environment must not be null");
  const uint64_t total = totalInputElements(manifest);
  if (total == 0) throw std::runtime_error("Manifest reported zero-sized network input footprint");
  if (start->input_size() != total)
    throw std::runtime_error("Environment/network input size mismatch with manifest metadata");
  return manifest;
}

// expand() of every parent, in parallel: successors[p] for parents[p].
template <typename Node>
void expandParents(std::span<Node* const> parents,
                   std::vector<std::vector<std::unique_ptr<Environment>>>& successors) {
  successors.resize(parents.size());
  parallelForStatic(parents.size(), [&](size_t p) { successors[p] = parents[p]->environment->expand(); });
}

// Children are numbered parent by parent in parent order, moves in order
// (offsets[p] is parent p's first child); each worker fills the slots of its
// own parents and takes over their successors.
template <typename Node>
void buildChildren(std::span<Node* const> parents,
                   std::vector<std::vector<std::unique_ptr<Environment>>>& successors,
                   std::vector<size_t>& offsets, std::vector<Node>& children) {
  offsets.assign(parents.size() + 1, 0);
  for (size_t p = 0; p < parents.size(); ++p) offsets[p + 1] = offsets[p] + successors[p].size();
  children.resize(offsets.back());
  parallelForStatic(parents.size(), [&](size_t p) {
    Node* parent = parents[p];
    std::vector<std::unique_ptr<Environment>>& own = successors[p];
    for (size_t j = 0; j < own.size(); ++j) {
      if (!own[j])
        throw std::runtime_error("Environment expand() returned a null successor for move " +
                                 std::to_string(j));
      Node& child = children[offsets[p] + j];
      child.own(std::move(own[j]));
      child.depth = parent->depth + 1;
      child.parent_move = static_cast<int32_t>(j);
      child.parent = parent;
    }
    own.clear();
  });
}

// CLOSED's default size in the weighted A* engines: from the node-store hint
// when only that is given.
inline uint64_t defaultClosedCapacity(const SolverSettings& settings) {
  if (settings.initial_closed_size != 0 || settings.initial_node_store_size <= 0) return 1024;
  return static_cast<uint64_t>(
      closedSlotsForNodeStore(settings.initial_node_store_size, settings.hash_capacity_factor));
}

// The weighted A* engines' CLOSED: one shard per thread, the capacities split
// among them; one shard when fixed, so its limits apply to the whole search.
template <typename Node>
ShardedClosed<Node> makeSearchClosed(const SearchModes& modes, int64_t closed_capacity,
                                     int64_t store_capacity) {
  const bool fixed = modes.fixedCapacity();
  const int64_t count = fixed ? 1 : std::max(omp_get_max_threads(), 1);
  return ShardedClosed<Node>(modes.probing, static_cast<size_t>(count),
                             static_cast<uint64_t>(std::max<int64_t>(closed_capacity / count, 1)),
                             std::max<int64_t>(store_capacity / count, 1), fixed);
}

// The weighted A* engines' CLOSED rule, a ShardedClosed::filter decision: a
// child survives when its state is new or strictly shallower than CLOSED's
// node of it; a shallower duplicate moves CLOSED's node to the child's path
// (in place) or takes a new slot.
template <typename Node, typename Store>
Node* keepNewOrShallower(Node& child, Node* existing, Store store, bool in_place) {
  if (existing != nullptr && child.depth >= existing->depth) return nullptr;
  if (existing == nullptr || !in_place) return store();
  existing->depth = child.depth;
  existing->parent_move = child.parent_move;
  existing->parent = child.parent;
  return existing;
}

// The rows are sized by the manifest: a state whose environment reports
// another size would write past its row.
inline void checkInputSize(const Environment& environment, size_t width) {
  if (environment.input_size() != width)
    throw std::runtime_error("Environment input_size() " + std::to_string(environment.input_size()) +
                             " of a generated state differs from the network's " +
                             std::to_string(width));
}

// One row per node in each input buffer. A single input is written straight
// into its rows in parallel; several go through `scratch` (one example of
// all inputs).
template <typename Node>
void writeNodeInputs(std::span<Node* const> nodes, const std::vector<AOTIInputSpec>& specs,
                     std::vector<std::vector<float>>& inputs, std::vector<float>& scratch) {
  for (size_t i = 0; i < specs.size(); ++i) inputs[i].resize(nodes.size() * specs[i].numel_per_example);
  if (specs.size() == 1) {
    float* rows = inputs[0].data();
    const size_t width = specs[0].numel_per_example;
    parallelForStatic(nodes.size(), [&](size_t a) {
      checkInputSize(*nodes[a]->environment, width);
      nodes[a]->environment->write_inputs(rows + a * width);
    });
    return;
  }
  for (size_t a = 0; a < nodes.size(); ++a) {
    checkInputSize(*nodes[a]->environment, scratch.size());
    nodes[a]->environment->write_inputs(scratch.data());
    size_t offset = 0;
    for (size_t i = 0; i < specs.size(); ++i) {
      const size_t width = specs[i].numel_per_example;
      std::copy_n(scratch.begin() + static_cast<std::ptrdiff_t>(offset), width,
                  inputs[i].begin() + static_cast<std::ptrdiff_t>(a * width));
      offset += width;
    }
  }
}

}  // namespace quelmar
