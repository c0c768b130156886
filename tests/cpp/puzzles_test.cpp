#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "quelmar_puzzles/puzzles.h"
#include "test_support.h"

namespace quelmar_puzzles {
namespace {

using Bytes = std::vector<uint8_t>;
using quelmar::testing_support::messageOf;

std::unique_ptr<quelmar::Environment> walk(const Domain& domain, int depth, std::mt19937& rng) {
  auto env = domain.factory(goal_state(domain));
  for (int i = 0; i < depth; ++i) env = env->next_state(static_cast<int>(rng() % domain.num_moves));
  return env;
}

std::string stateKey(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// Catches: wrong goal layouts, an unknown name accepted, a goal test that
// misses the goal or accepts another state, moves out of range accepted,
// next_state disagreeing with expand(). (Inverse moves: test_puzzles.py.)
TEST(PuzzleDomains, MovesGoalsAndExpandAgree) {
  EXPECT_EQ(goal_state(find_domain("puzzle8")), (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 0}));
  const Bytes cube = goal_state(find_domain("CUBE3"));
  for (int i = 0; i < 54; ++i) EXPECT_EQ(cube.at(i), i / 9);
  EXPECT_THROW(find_domain("puzzle9"), std::invalid_argument);
  std::mt19937 rng(12345);
  for (const Domain& domain : domains()) {
    SCOPED_TRACE(domain.name);
    const Bytes goal = goal_state(domain);
    auto env = domain.factory(goal);
    EXPECT_TRUE(env->is_solved());
    EXPECT_EQ(env->num_moves(), domain.num_moves);
    EXPECT_THROW(env->next_state(-1), std::out_of_range);
    EXPECT_THROW(env->next_state(domain.num_moves), std::out_of_range);
    for (int i = 0; i < 200; ++i) {
      const int move = static_cast<int>(rng() % domain.num_moves);
      const auto children = env->expand();
      ASSERT_EQ(static_cast<int>(children.size()), domain.num_moves);
      for (int m = 0; m < domain.num_moves; ++m)
        ASSERT_EQ(children[m]->state_bytes(), env->next_state(m)->state_bytes()) << "move " << m;
      env = env->next_state(move);
    }
    EXPECT_FALSE(env->is_solved());
  }
}

// Catches: moves numbered unlike up, down, left, right, and a move off the
// board that is not a copy of the parent.
TEST(PuzzleSlidingTile, MovesFollowTheBlankAndStopAtTheEdge) {
  const Bytes expected[4] = {{1, 0, 3, 4, 2, 5, 6, 7, 8}, {1, 2, 3, 4, 7, 5, 6, 0, 8},
                             {1, 2, 3, 0, 4, 5, 6, 7, 8}, {1, 2, 3, 4, 5, 0, 6, 7, 8}};
  auto centre = make_puzzle8({1, 2, 3, 4, 0, 5, 6, 7, 8});
  for (int move = 0; move < 4; ++move) EXPECT_EQ(centre->next_state(move)->state_bytes(), expected[move]);
  const Bytes corner = {0, 1, 2, 3, 4, 5, 6, 7, 8};
  auto cornered = make_puzzle8(corner);
  EXPECT_EQ(cornered->next_state(0)->state_bytes(), corner);  // up: off the board
  EXPECT_EQ(cornered->next_state(2)->state_bytes(), corner);  // left: off the board
  EXPECT_NE(cornered->next_state(1)->state_bytes(), corner);
  EXPECT_NE(cornered->next_state(3)->state_bytes(), corner);
}

// Catches: moves that do not reach every solvable 8-puzzle state (or reach an
// unsolvable one), and optimal_solution_length disagreeing with breadth-first
// distances. (Its edge depths and bad arguments: tests/python/test_puzzles.py.)
TEST(PuzzleSlidingTile, ReachableStatesAndOptimalLengths) {
  const Domain& domain = find_domain("puzzle8");
  // BFS distances from the goal; moves are reversible so they are distances to it.
  std::unordered_map<std::string, int> distance = {{stateKey(goal_state(domain)), 0}};
  std::vector<Bytes> frontier = {goal_state(domain)};
  for (int depth = 1; !frontier.empty(); ++depth) {
    std::vector<Bytes> next;
    for (const Bytes& state : frontier)
      for (auto& child : domain.factory(state)->expand())
        if (distance.emplace(stateKey(child->state_bytes()), depth).second) next.push_back(child->state_bytes());
    frontier = std::move(next);
  }
  EXPECT_EQ(distance.size(), 181440u);  // half of all 9! permutations
  std::mt19937 rng(5);
  int beyond = 0;
  for (int trial = 0; trial < 40; ++trial) {
    const Bytes state = walk(domain, trial % 2 == 1 ? 5 + trial / 2 : 80, rng)->state_bytes();
    const int d = distance.at(stateKey(state));
    beyond += d > 14;
    EXPECT_EQ(optimal_solution_length(domain, state, 14), d > 14 ? std::nullopt : std::optional<int>(d));
  }
  EXPECT_GE(beyond, 3);  // the sample must exercise both outcomes
}

// Catches: a parity test that calls a reachable state unsolvable or a
// swapped pair solvable, on every board size.
TEST(PuzzleSlidingTile, SolvabilityMatchesReachability) {
  for (int side : {3, 4, 5}) {
    SCOPED_TRACE(side);
    const Domain& domain =
        *std::find_if(domains().begin(), domains().end(), [&](const Domain& d) { return d.side == side; });
    Bytes state = goal_state(domain);
    EXPECT_TRUE(sliding_tile_solvable(side, state));
    std::mt19937 rng(side);
    EXPECT_TRUE(sliding_tile_solvable(side, walk(domain, 101, rng)->state_bytes()));
    std::swap(state[0], state[1]);
    EXPECT_FALSE(sliding_tile_solvable(side, state));
  }
}

// Catches: a cube move table that is not a quarter turn of 20 stickers, moves
// a centre, is not undone by its inverse, or commutes where faces are adjacent.
TEST(PuzzleCube, QuarterTurnsComposeToIdentity) {
  // Track sticker identities rather than colours, so that a wrong table
  // cannot hide behind equal colours.
  const auto& table = cube_move_table();
  auto apply = [&](const std::vector<int>& ids, int move) {
    std::vector<int> next(54);
    for (int i = 0; i < 54; ++i) next[i] = ids[table[move][i]];
    return next;
  };
  std::vector<int> identity(54);
  std::iota(identity.begin(), identity.end(), 0);
  for (int move = 0; move < 12; ++move) {
    SCOPED_TRACE(move);
    std::vector<int> ids = identity;
    for (int k = 0; k < 4; ++k) {
      ids = apply(ids, move);
      if (k < 3) EXPECT_NE(ids, identity);
    }
    EXPECT_EQ(ids, identity);
    EXPECT_EQ(apply(apply(identity, move), move ^ 1), identity);
    int moved = 0;
    for (int i = 0; i < 54; ++i) moved += table[move][i] != i;
    EXPECT_EQ(moved, 20);
    for (int face = 0; face < 6; ++face) EXPECT_EQ(table[move][face * 9 + 4], face * 9 + 4);
  }
  EXPECT_EQ(apply(apply(identity, 0), 6), apply(apply(identity, 6), 0));  // U, D
  EXPECT_NE(apply(apply(identity, 0), 2), apply(apply(identity, 2), 0));  // U, R
}

// Catches: turns in the wrong direction or on the wrong rows and columns.
TEST(PuzzleCube, TurnsMoveTheExpectedRows) {
  const Domain& cube = find_domain("cube3");
  // Sticker face * 9 + first + k * step (k = 0, 1, 2) shows colour after the move.
  // U clockwise: the top rows go F -> L -> B -> R -> F. R clockwise: F's right
  // column goes up to U, U's to B's left column, B's to D's right column.
  const struct { int move, face, first, step, colour; } cases[] = {
      {0, 4, 0, 1, 2}, {0, 5, 0, 1, 4}, {0, 1, 0, 1, 5}, {0, 2, 0, 1, 1},
      {2, 0, 2, 3, 2}, {2, 5, 0, 3, 0}, {2, 3, 2, 3, 5}, {2, 2, 2, 3, 3},
  };
  for (const auto& c : cases) {
    const Bytes after = cube.factory(goal_state(cube))->next_state(c.move)->state_bytes();
    for (int k = 0; k < 3; ++k) EXPECT_EQ(after[c.face * 9 + c.first + k * c.step], c.colour) << "move " << c.move;
  }
}

// Catches: an invalid state accepted, or refused without naming the
// environment and the fault. (Sizes, repeated tiles and colour counts through
// the helpers: tests/python/test_puzzles.py.)
TEST(PuzzleFactories, RejectInvalidStatesNamingTheEnvironment) {
  Bytes cube_bad_colour = goal_state(find_domain("cube3"));
  cube_bad_colour[53] = 6;
  const std::tuple<const char*, Bytes, const char*> cases[] = {
      {"puzzle8", {1, 2, 3, 4, 5, 6, 7, 8, 9}, "tile 9 at position 8 is outside 0..8"},
      {"puzzle24", Bytes(25, 0), "puzzle24: tile 0 appears more than once"},
      {"cube3", cube_bad_colour, "cube3: colour 6 of sticker 53 is outside 0..5"},
  };
  for (const auto& [env, state, message] : cases)
    EXPECT_NE(messageOf<std::invalid_argument>([&] { find_domain(env).factory(state); }).find(message),
              std::string::npos)
        << message;
}

// Catches: a scramble that undoes its previous move, stalls against an edge, or
// does not end where its moves lead. (Seeds and apply_moves: test_puzzles.py.)
TEST(PuzzleHelpers, ScrambleNeverStalls) {
  for (const Domain& domain : domains()) {
    SCOPED_TRACE(domain.name);
    const Scramble a = scramble(domain, 60, 99);
    ASSERT_EQ(a.moves.size(), 60u);
    auto env = domain.factory(goal_state(domain));
    for (std::size_t i = 0; i < a.moves.size(); ++i) {
      if (i > 0) EXPECT_NE(a.moves[i], a.moves[i - 1] ^ 1) << "undoes step " << i - 1;
      auto next = env->next_state(a.moves[i]);
      EXPECT_NE(next->state_bytes(), env->state_bytes()) << "no-op at step " << i;
      env = std::move(next);
    }
    EXPECT_EQ(env->state_bytes(), a.state);
    EXPECT_EQ(scramble(domain, 0, 1).state, goal_state(domain));
  }
}

}  // namespace
}  // namespace quelmar_puzzles
