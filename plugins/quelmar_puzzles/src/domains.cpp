#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "quelmar_puzzles/puzzles.h"

namespace quelmar_puzzles {
namespace {

const std::array<Domain, 4> kDomains = {{
    {"puzzle8", &make_puzzle8, 4, 3, 9, &make_torch_puzzle8},
    {"puzzle15", &make_puzzle15, 4, 4, 16, &make_torch_puzzle15},
    {"puzzle24", &make_puzzle24, 4, 5, 25, &make_torch_puzzle24},
    {"cube3", &make_cube3, 12, 0, 54, &make_torch_cube3},
}};

void checkMove(const Domain& domain, int move) {
  if (move < 0 || move >= domain.num_moves)
    throw std::invalid_argument(std::string(domain.name) + ": move " + std::to_string(move) +
                                " is outside 0.." + std::to_string(domain.num_moves - 1));
}

// SplitMix64: fully specified, so scrambles repeat across platforms and
// standard libraries (std distributions do not).
struct SplitMix64 {
  uint64_t state;
  uint64_t next() {
    uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
};

class ManhattanIda {
 public:
  ManhattanIda(int side, const std::vector<uint8_t>& tiles, const std::function<void()>& poll)
      : side_(side), cells_(side * side), tiles_(tiles), poll_(poll) {
    blank_ = static_cast<int>(std::find(tiles_.begin(), tiles_.end(), 0) - tiles_.begin());
  }

  std::optional<int> solve(int max_depth) {
    int h = 0;
    for (int pos = 0; pos < cells_; ++pos) h += distance(tiles_[pos], pos);
    int bound = h;
    while (bound <= max_depth) {
      const int next = search(0, h, -1, bound);
      if (next == kFound) return bound;
      if (next == INT_MAX) return std::nullopt;  // nothing left below any bound
      bound = next;
    }
    return std::nullopt;
  }

 private:
  static constexpr int kFound = -1;

  int distance(int tile, int pos) const {
    if (tile == 0) return 0;
    const int goal = tile - 1;
    return std::abs(goal / side_ - pos / side_) + std::abs(goal % side_ - pos % side_);
  }

  // Depth-first search below `bound`; kFound, or the least f that exceeded it.
  int search(int g, int h, int previous, int bound) {
    const int f = g + h;
    if (f > bound) return f;
    if (h == 0) return kFound;  // every tile home, so the blank is too
    if (poll_ && (++nodes_ & ((1u << 20) - 1)) == 0) poll_();
    int least = INT_MAX;
    for (int move = 0; move < 4; ++move) {
      if (previous >= 0 && move == (previous ^ 1)) continue;
      const int target = blank_target(side_, blank_, move);
      if (target < 0) continue;
      const int tile = tiles_[target];
      const int blank = blank_;
      const int child_h = h - distance(tile, target) + distance(tile, blank);
      tiles_[blank] = static_cast<uint8_t>(tile);
      tiles_[target] = 0;
      blank_ = target;
      const int result = search(g + 1, child_h, move, bound);
      tiles_[target] = static_cast<uint8_t>(tile);
      tiles_[blank] = 0;
      blank_ = blank;
      if (result == kFound) return kFound;
      least = std::min(least, result);
    }
    return least;
  }

  int side_, cells_;
  std::vector<uint8_t> tiles_;
  int blank_ = 0;
  unsigned nodes_ = 0;
  const std::function<void()>& poll_;
};

}  // namespace

const std::array<Domain, 4>& domains() { return kDomains; }

const Domain& find_domain(std::string_view name) {
  std::string key(name);
  for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const Domain& domain : kDomains)
    if (key == domain.name) return domain;
  std::string known;
  for (const Domain& domain : kDomains) known += std::string(known.empty() ? "" : ", ") + domain.name;
  throw std::invalid_argument("unknown puzzle environment '" + std::string(name) +
                              "'; known: " + known);
}

std::vector<uint8_t> goal_state(const Domain& domain) {
  std::vector<uint8_t> goal(domain.state_size);
  for (std::size_t i = 0; i < goal.size(); ++i)
    goal[i] = static_cast<uint8_t>(domain.side > 0 ? (i + 1) % goal.size() : i / 9);
  return goal;
}

int inverse_move(const Domain& domain, int move) {
  checkMove(domain, move);
  return move ^ 1;  // both families pair each move with its inverse: (0,1), (2,3), ...
}

std::vector<uint8_t> apply_moves(const Domain& domain, const std::vector<uint8_t>& state,
                                 const std::vector<int>& moves) {
  std::unique_ptr<quelmar::Environment> env = domain.factory(state);
  for (int move : moves) checkMove(domain, move);  // all or nothing
  for (int move : moves) env = env->next_state(move);
  return env->state_bytes();
}

Scramble scramble(const Domain& domain, int depth, uint64_t seed) {
  if (depth < 0)
    throw std::invalid_argument(std::string(domain.name) + ": scramble depth must be >= 0, got " +
                                std::to_string(depth));
  SplitMix64 rng{seed};
  Scramble result;
  result.moves.reserve(depth);
  std::unique_ptr<quelmar::Environment> env = domain.factory(goal_state(domain));
  std::vector<std::unique_ptr<quelmar::Environment>> candidates;
  std::vector<int> candidate_moves;
  for (int step = 0; step < depth; ++step) {
    candidates.clear();
    candidate_moves.clear();
    const int undo = result.moves.empty() ? -1 : (result.moves.back() ^ 1);
    for (int move = 0; move < domain.num_moves; ++move) {
      if (move == undo) continue;
      auto next = env->next_state(move);
      if (next->state_bytes() == env->state_bytes()) continue;  // blank against the edge
      candidates.push_back(std::move(next));
      candidate_moves.push_back(move);
    }
    // Never empty: the blank always has two legal moves, the cube twelve.
    const std::size_t pick = rng.next() % candidates.size();
    env = std::move(candidates[pick]);
    result.moves.push_back(candidate_moves[pick]);
  }
  result.state = env->state_bytes();
  return result;
}

std::optional<int> optimal_solution_length(const Domain& domain,
                                           const std::vector<uint8_t>& state, int max_depth,
                                           const std::function<void()>& poll) {
  if (domain.side == 0)
    throw std::invalid_argument(std::string(domain.name) +
                                ": optimal_solution_length supports sliding-tile puzzles only");
  if (max_depth < 0)
    throw std::invalid_argument(std::string(domain.name) + ": max_depth must be >= 0, got " +
                                std::to_string(max_depth));
  domain.factory(state);  // validates
  if (!sliding_tile_solvable(domain.side, state))
    throw std::invalid_argument(std::string(domain.name) +
                                ": state cannot reach the goal (wrong permutation parity)");
  return ManhattanIda(domain.side, state, poll).solve(max_depth);
}

}  // namespace quelmar_puzzles
