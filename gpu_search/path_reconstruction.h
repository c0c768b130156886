#pragma once
// Move list of a GPU search's solution, from the node store's parent links.

#include <cstdint>
#include <string>
#include <vector>

#include "config/search_modes.h"
#include "environments/torch_env.h"
#include "gpu_search/node_store.h"

namespace quelmar {

// kStored reads parent_move along the path; otherwise each move is inferred
// by expanding the parent row and taking the lowest move that reaches the
// child. The parent walk is bounded by the store's size, so corrupted links
// (a cycle) end in an error instead of an endless loop.
std::vector<int32_t> reconstructTorchPath(const TorchNodeStore& store, TorchEnv& env,
                                          int64_t goal_row,
                                          MoveSource move_source);

}  // namespace quelmar
