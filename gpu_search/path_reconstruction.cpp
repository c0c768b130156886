#include "gpu_search/path_reconstruction.h"

#include <ATen/ATen.h>

#include <algorithm>
#include <stdexcept>

namespace quelmar {

std::vector<int32_t> reconstructTorchPath(const TorchNodeStore& store, TorchEnv& env,
                                          int64_t goal_row,
                                          MoveSource move_source) {
  std::vector<int64_t> path;
  for (int64_t row = goal_row; row >= 0;) {
    if (static_cast<int64_t>(path.size()) >= store.size() || row >= store.size())
      throw std::runtime_error("GPU search path does not lead back to the start state");
    path.push_back(row);
    row = store.parent_index()[row].item<int64_t>();
  }
  std::reverse(path.begin(), path.end());
  std::vector<int32_t> moves;
  if (path.size() < 2) return moves;
  moves.reserve(path.size() - 1);
  const bool stored = move_source == MoveSource::kStored;
  for (size_t i = 1; i < path.size(); ++i) {
    if (stored) {
      moves.push_back(static_cast<int32_t>(store.parent_move()[path[i]].item<int64_t>()));
      continue;
    }
    const at::Tensor parent = store.states()[path[i - 1]].view({1, -1});
    const at::Tensor child = store.states()[path[i]].view({1, 1, -1});
    const TorchExpansion expansion = env.expand(parent);
    const at::Tensor matches =
        expansion.children.eq(child).all(2).squeeze(0).nonzero().flatten();
    if (matches.numel() == 0)
      throw std::runtime_error("Unable to infer a valid move between adjacent C++ GPU path states");
    moves.push_back(static_cast<int32_t>(matches[0].item<int64_t>()));
  }
  return moves;
}

}  // namespace quelmar
