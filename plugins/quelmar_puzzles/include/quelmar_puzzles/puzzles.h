#pragma once
// Example puzzle domains for the quelmar solver: sliding-tile puzzles
// ("puzzle8", "puzzle15", "puzzle24") and the 3x3x3 Rubik's cube ("cube3").
//
// Sliding tiles (N x N, N = 3, 4, 5)
//   State: N*N bytes, the tile at each board position in row-major order,
//   0 = blank. Goal: 1, 2, ..., N*N-1, 0.
//   Moves (the blank's direction): 0 up, 1 down, 2 left, 3 right. A move that
//   would leave the board gives a copy of the parent state. Inverse: m ^ 1.
//   Network inputs: (N*N)*(N*N) floats, one-hot, index tile*(N*N) + position
//   for every tile including the blank (tile 0). Exporters build Manhattan
//   heuristics over exactly this layout.
//
// Cube ("cube3")
//   State: 54 sticker colours 0..5; sticker index = face*9 + row*3 + col with
//   faces ordered U, R, F, D, L, B. Goal: sticker i has colour i/9.
//   Orientation: each face is seen from outside the cube, rows top to bottom,
//   columns left to right, with
//     U: row 0 next to B, column 0 next to L   (F below it)
//     R: row 0 next to U, column 0 next to F
//     F: row 0 next to U, column 0 next to L
//     D: row 0 next to F, column 0 next to L   (B below it)
//     L: row 0 next to U, column 0 next to B
//     B: row 0 next to U, column 0 next to R
//   Moves: 2*f turns face f (U, R, F, D, L, B order) a quarter clockwise as
//   seen looking at that face, 2*f + 1 counter-clockwise. Inverse: m ^ 1.
//   So move 0 (U) carries F's top row to L, move 2 (R) carries F's right
//   column to U.
//   Network inputs: 324 floats, one-hot, index sticker*6 + colour.
//
// Environment objects are immutable once built; factories validate states
// and throw std::invalid_argument naming the environment.
//
// Batched (TorchEnv) versions of the same four domains work on whole tensors
// of state rows on one device, one byte value per element in any integer
// dtype. Their children, goal test and network inputs match the CPU
// environments exactly. Rows are not validated (that would cost a device
// sync); an invalid row gives unspecified values but never a fault.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "environments/environment.h"
#include "environments/registry.h"

namespace quelmar_puzzles {

// Factories with the registry's CpuEnvironmentFactory signature.
std::unique_ptr<quelmar::Environment> make_puzzle8(const std::vector<uint8_t>& state);
std::unique_ptr<quelmar::Environment> make_puzzle15(const std::vector<uint8_t>& state);
std::unique_ptr<quelmar::Environment> make_puzzle24(const std::vector<uint8_t>& state);
std::unique_ptr<quelmar::Environment> make_cube3(const std::vector<uint8_t>& state);

// Factories with the registry's TorchEnvironmentFactory signature. Throw
// std::invalid_argument naming the environment unless state_size equals the
// domain's state size. Defined in the torch part of the library.
std::unique_ptr<quelmar::TorchEnv> make_torch_puzzle8(const c10::Device& device, int state_size);
std::unique_ptr<quelmar::TorchEnv> make_torch_puzzle15(const c10::Device& device, int state_size);
std::unique_ptr<quelmar::TorchEnv> make_torch_puzzle24(const c10::Device& device, int state_size);
std::unique_ptr<quelmar::TorchEnv> make_torch_cube3(const c10::Device& device, int state_size);

struct Domain {
  const char* name;               // lower case, as registered
  quelmar::CpuEnvironmentFactory factory;
  int num_moves;
  int side;                       // board side for sliding tiles, 0 for the cube
  std::size_t state_size;
  quelmar::TorchEnvironmentFactory torch_factory;
};

// The four domains in registration order.
const std::array<Domain, 4>& domains();

// Case-insensitive lookup; throws std::invalid_argument listing the known names.
const Domain& find_domain(std::string_view name);

std::vector<uint8_t> goal_state(const Domain& domain);

// Throws std::invalid_argument for a move outside [0, num_moves).
int inverse_move(const Domain& domain, int move);

// Validates the state and every move (std::invalid_argument), then applies them.
std::vector<uint8_t> apply_moves(const Domain& domain, const std::vector<uint8_t>& state,
                                 const std::vector<int>& moves);

struct Scramble {
  std::vector<uint8_t> state;
  std::vector<int> moves;
};

// Random walk of `depth` moves from the goal. Never undoes the previous move
// and never picks a move that leaves the state unchanged. Deterministic for a
// given seed on every platform (own PRNG, no std distributions).
Scramble scramble(const Domain& domain, int depth, uint64_t seed);

// Cube sticker permutations: after move m, sticker i holds the colour that
// sticker cube_move_table()[m][i] held before.
const std::array<std::array<uint8_t, 54>, 12>& cube_move_table();

// Position the blank moves to on an n x n board, or -1 if it would leave it.
int blank_target(int side, int blank, int move);

// Whether a valid sliding-tile state can reach the goal (permutation parity).
bool sliding_tile_solvable(int side, const std::vector<uint8_t>& tiles);

// Optimal solution length of a sliding-tile state by IDA* with the Manhattan
// distance, or nullopt when it exceeds max_depth. `poll`, if given, is called
// every million or so nodes; it may throw to abandon the search. Throws
// std::invalid_argument for the cube, a bad state, one that cannot reach the
// goal, or a negative max_depth.
std::optional<int> optimal_solution_length(const Domain& domain,
                                           const std::vector<uint8_t>& state, int max_depth,
                                           const std::function<void()>& poll = {});

}  // namespace quelmar_puzzles
