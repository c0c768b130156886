#pragma once
// Turns the parent chain of a goal node into the move list from the start.
// "stored" reads each node's parent_move; "infer" asks the parent's
// environment which move produces the child's state.

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "config/search_modes.h"
#include "environments/environment.h"

namespace quelmar {

// The lowest move index whose next_state() equals `child_state`; throws
// std::runtime_error when there is none.
int32_t inferMove(const Environment& parent, std::span<const uint8_t> child_state);

// `max_chain` bounds the parent walk (the number of nodes in the search), so
// corrupted parent links end in an error instead of an endless loop.
template <typename Node>
std::vector<int32_t> reconstructPath(const Node* goal, MoveSource move_source,
                                     size_t max_chain = SIZE_MAX) {
  std::vector<const Node*> chain;
  for (const Node* node = goal; node != nullptr; node = node->parent) {
    if (chain.size() >= max_chain)
      throw std::runtime_error("C++ search path does not lead back to the start state");
    chain.push_back(node);
  }
  std::vector<int32_t> moves;
  if (chain.size() < 2) return moves;
  moves.reserve(chain.size() - 1);
  const bool stored = move_source == MoveSource::kStored;
  for (size_t i = chain.size() - 1; i-- > 0;) {
    const Node* child = chain[i];
    moves.push_back(stored ? child->parent_move
                           : inferMove(*chain[i + 1]->environment, child->state));
  }
  return moves;
}

}  // namespace quelmar
