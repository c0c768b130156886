#include "cpu_search/path_reconstruction.h"

#include "cpu_search/closed_state_table.h"

namespace quelmar {

int32_t inferMove(const Environment& parent, std::span<const uint8_t> child_state) {
  const int moves = parent.num_moves();
  for (int m = 0; m < moves; ++m) {
    const auto successor = parent.next_state(m);
    if (successor && sameState(successor->state_bytes(), child_state)) return m;
  }
  throw std::runtime_error("Unable to infer a valid move between adjacent C++ path states");
}

}  // namespace quelmar
