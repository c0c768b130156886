#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>
#include <string>

#include "quelmar_puzzles/puzzles.h"

namespace quelmar_puzzles {

int blank_target(int side, int blank, int move) {
  const int row = blank / side, col = blank % side;
  switch (move) {
    case 0: return row > 0 ? blank - side : -1;
    case 1: return row < side - 1 ? blank + side : -1;
    case 2: return col > 0 ? blank - 1 : -1;
    case 3: return col < side - 1 ? blank + 1 : -1;
    default: return -1;
  }
}

bool sliding_tile_solvable(int side, const std::vector<uint8_t>& tiles) {
  int inversions = 0, blank = 0;
  for (std::size_t i = 0; i < tiles.size(); ++i) {
    if (tiles[i] == 0) {
      blank = static_cast<int>(i);
      continue;
    }
    for (std::size_t j = i + 1; j < tiles.size(); ++j)
      if (tiles[j] != 0 && tiles[j] < tiles[i]) ++inversions;
  }
  // A horizontal move keeps the inversion count; a vertical one changes it by
  // side - 1 tiles and the blank's row by one, so this sum's parity is fixed.
  if (side % 2 == 1) return inversions % 2 == 0;
  return (inversions + (side - 1 - blank / side)) % 2 == 0;
}

namespace {

template <int N>
class SlidingTile final : public quelmar::Environment {
 public:
  static constexpr int kCells = N * N;

  SlidingTile(std::vector<uint8_t> tiles, int blank) : tiles_(std::move(tiles)), blank_(blank) {}

  std::unique_ptr<quelmar::Environment> next_state(int move) const override {
    if (move < 0 || move >= 4)
      throw std::out_of_range("sliding-tile move " + std::to_string(move) +
                              " is outside 0..3");
    return child(move);
  }

  std::vector<std::unique_ptr<quelmar::Environment>> expand() const override {
    std::vector<std::unique_ptr<quelmar::Environment>> children;
    children.reserve(4);
    for (int move = 0; move < 4; ++move) children.push_back(child(move));
    return children;
  }

  const std::vector<uint8_t>& state_bytes() const override { return tiles_; }

  bool is_solved() const override {
    if (blank_ != kCells - 1) return false;
    for (int i = 0; i < kCells - 1; ++i)
      if (tiles_[i] != i + 1) return false;
    return true;
  }

  int num_moves() const override { return 4; }

  std::size_t input_size() const override { return std::size_t{kCells} * kCells; }

  void write_inputs(float* dst) const override {
    std::fill(dst, dst + input_size(), 0.0f);
    for (int pos = 0; pos < kCells; ++pos) dst[tiles_[pos] * kCells + pos] = 1.0f;
  }

 private:
  static constexpr std::array<std::array<int8_t, 4>, kCells> kTargets = [] {
    std::array<std::array<int8_t, 4>, kCells> targets{};
    for (int blank = 0; blank < kCells; ++blank) {
      const int row = blank / N, col = blank % N;
      targets[blank] = {static_cast<int8_t>(row > 0 ? blank - N : -1),
                        static_cast<int8_t>(row < N - 1 ? blank + N : -1),
                        static_cast<int8_t>(col > 0 ? blank - 1 : -1),
                        static_cast<int8_t>(col < N - 1 ? blank + 1 : -1)};
    }
    return targets;
  }();

  std::unique_ptr<SlidingTile> child(int move) const {
    auto next = std::make_unique<SlidingTile>(tiles_, blank_);
    const int target = kTargets[blank_][move];
    if (target >= 0) {
      next->tiles_[blank_] = tiles_[target];
      next->tiles_[target] = 0;
      next->blank_ = target;
    }
    return next;
  }

  std::vector<uint8_t> tiles_;
  int blank_;
};

template <int N>
std::unique_ptr<quelmar::Environment> makeSlidingTile(const char* name,
                                                      const std::vector<uint8_t>& state) {
  constexpr int kCells = N * N;
  const std::string prefix = std::string(name) + ": ";
  if (state.size() != kCells)
    throw std::invalid_argument(prefix + "state must have " + std::to_string(kCells) +
                                " bytes, got " + std::to_string(state.size()));
  std::array<bool, kCells> seen{};
  int blank = 0;
  for (int pos = 0; pos < kCells; ++pos) {
    const int tile = state[pos];
    if (tile >= kCells)
      throw std::invalid_argument(prefix + "tile " + std::to_string(tile) + " at position " +
                                  std::to_string(pos) + " is outside 0.." +
                                  std::to_string(kCells - 1));
    if (seen[tile])
      throw std::invalid_argument(prefix + "tile " + std::to_string(tile) +
                                  " appears more than once; the state must be a permutation "
                                  "of 0.." + std::to_string(kCells - 1));
    seen[tile] = true;
    if (tile == 0) blank = pos;
  }
  return std::make_unique<SlidingTile<N>>(state, blank);
}

}  // namespace

std::unique_ptr<quelmar::Environment> make_puzzle8(const std::vector<uint8_t>& state) {
  return makeSlidingTile<3>("puzzle8", state);
}

std::unique_ptr<quelmar::Environment> make_puzzle15(const std::vector<uint8_t>& state) {
  return makeSlidingTile<4>("puzzle15", state);
}

std::unique_ptr<quelmar::Environment> make_puzzle24(const std::vector<uint8_t>& state) {
  return makeSlidingTile<5>("puzzle24", state);
}

}  // namespace quelmar_puzzles
