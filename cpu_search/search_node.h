#pragma once
// One node of the CPU search. Nodes live in the NodeStore's arena and are
// never freed before the search ends, so the raw pointers held by OPEN,
// CLOSED and parent links stay valid for the whole search.

#include <cstdint>
#include <memory>
#include <span>

#include "environments/environment.h"

namespace quelmar {

template <typename OpenCost, typename Heuristic>
struct SearchNode {
  using OpenCostType = OpenCost;
  using HeuristicType = Heuristic;

  std::unique_ptr<Environment> environment;  // the node's own state object
  // View of environment->state_bytes(): environments are immutable, and the
  // view survives moving the node because the object itself does not move.
  std::span<const uint8_t> state;
  int32_t depth = 0;                          // g: every move costs 1
  int32_t parent_move = -1;                   // index in the parent's expand() result
  OpenCost open_cost = 0;                     // f, the OPEN priority
  Heuristic heuristic = 0;                    // network output h
  SearchNode* parent = nullptr;               // null for the start node

  // Takes ownership of `env` and views its state bytes.
  void own(std::unique_ptr<Environment> env) {
    environment = std::move(env);
    state = environment->state_bytes();
  }
};

}  // namespace quelmar
