#pragma once
// Batch operations over the states of any registered environment, for
// feeding training: random walks, children, goal flags and network inputs of
// many states at once. States are rows of a fixed width, row after row; each
// row becomes its own environment object, made by the registered factory, so
// plug-ins need nothing beyond the Environment interface. Work runs on the
// search's OpenMP threads (ScopedSearchThreads), one row per item.
//
// Every function throws std::invalid_argument for bad arguments (an unknown
// environment with the registry's own message, a row width other than the
// environment's state width, negative counts or lengths) and
// std::runtime_error when the plug-in misbehaves (a null successor, an
// expand() with another number of children than num_moves()).

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace quelmar {

struct WalkBatch {
  std::vector<uint8_t> states;   // count rows of the start's width: where each walk ends
  std::vector<int64_t> lengths;  // moves made by each walk
};

// `count` walks from `start`. Walk i draws its length uniformly from
// [min_length, max_length], then that many moves uniformly from
// [0, num_moves()), all from its own generator keyed by (seed, i): the result
// depends on the arguments only, never on the thread count. With `no_return`
// a move whose child equals the current state or the one the walk just left
// is drawn again (a walk that only wastes moves makes its length a poor
// label); a state with no other move takes the last draw after 64 tries.
WalkBatch randomWalks(const std::string& env, std::span<const uint8_t> start, int64_t count,
                      int64_t max_length, uint64_t seed, int64_t min_length = 0,
                      bool no_return = false);

struct ChildBatch {
  std::vector<uint8_t> children;  // rows * num_moves rows: the children of each row, move order
  size_t num_moves = 0;           // 0 when `states` is empty (no environment to ask)
};

// The children of each row of `states` (`state_width` bytes per row), as expand() gives them.
ChildBatch expandStates(const std::string& env, std::span<const uint8_t> states,
                        size_t state_width);

// is_solved() of each row, 1 or 0.
std::vector<uint8_t> goalFlags(const std::string& env, std::span<const uint8_t> states,
                               size_t state_width);

struct InputBatch {
  std::vector<float> inputs;  // rows * input_size floats, what write_inputs() writes per row
  size_t input_size = 0;      // 0 when `states` is empty (no environment to ask)
};

InputBatch networkInputs(const std::string& env, std::span<const uint8_t> states,
                         size_t state_width);

// The generator of walk `index`: splitmix64 over a counter whose start mixes
// the seed and the index, so that walks need no shared state.
class WalkGenerator {
 public:
  WalkGenerator(uint64_t seed, uint64_t index);
  uint64_t next();
  // Uniform in [0, bound) without modulo bias; bound > 0.
  uint64_t below(uint64_t bound);

 private:
  uint64_t counter_;
};

}  // namespace quelmar
