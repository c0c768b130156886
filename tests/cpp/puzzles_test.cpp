#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "quelmar_puzzles/puzzles.h"

namespace quelmar_puzzles {
namespace {

using Bytes = std::vector<uint8_t>;

std::unique_ptr<quelmar::Environment> walk(const Domain& domain, int depth, std::mt19937& rng) {
  auto env = domain.factory(goal_state(domain));
  for (int i = 0; i < depth; ++i)
    env = env->next_state(static_cast<int>(rng() % domain.num_moves));
  return env;
}

std::string stateKey(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

TEST(PuzzleDomains, RandomWalkUndoneByInverseMovesReturnsToGoal) {
  std::mt19937 rng(12345);
  for (const Domain& domain : domains()) {
    SCOPED_TRACE(domain.name);
    const Bytes goal = goal_state(domain);
    auto env = domain.factory(goal);
    EXPECT_TRUE(env->is_solved());
    EXPECT_EQ(env->num_moves(), domain.num_moves);
    std::vector<int> moves;
    for (int i = 0; i < 200; ++i) {
      const int move = static_cast<int>(rng() % domain.num_moves);
      auto next = env->next_state(move);
      // A tile move against the edge changes nothing, so it has nothing to undo.
      if (next->state_bytes() != env->state_bytes()) moves.push_back(move);
      env = std::move(next);
    }
    EXPECT_GT(moves.size(), 100u);
    EXPECT_NE(env->state_bytes(), goal);
    EXPECT_FALSE(env->is_solved());
    for (auto it = moves.rbegin(); it != moves.rend(); ++it)
      env = env->next_state(inverse_move(domain, *it));
    EXPECT_EQ(env->state_bytes(), goal);
    EXPECT_TRUE(env->is_solved());
  }
}

TEST(PuzzleDomains, GoalStates) {
  EXPECT_EQ(goal_state(find_domain("puzzle8")), (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 0}));
  const Bytes cube = goal_state(find_domain("CUBE3"));
  ASSERT_EQ(cube.size(), 54u);
  for (int i = 0; i < 54; ++i) EXPECT_EQ(cube[i], i / 9);
  EXPECT_THROW(find_domain("puzzle9"), std::invalid_argument);
}

TEST(PuzzleDomains, NextStateEqualsExpandElementOnRandomStates) {
  std::mt19937 rng(7);
  for (const Domain& domain : domains()) {
    SCOPED_TRACE(domain.name);
    for (int trial = 0; trial < 20; ++trial) {
      auto env = walk(domain, 50, rng);
      const auto children = env->expand();
      ASSERT_EQ(static_cast<int>(children.size()), domain.num_moves);
      for (int move = 0; move < domain.num_moves; ++move) {
        ASSERT_NE(children[move], nullptr);
        EXPECT_EQ(children[move]->state_bytes(), env->next_state(move)->state_bytes());
      }
    }
    auto env = domain.factory(goal_state(domain));
    EXPECT_THROW(env->next_state(-1), std::out_of_range);
    EXPECT_THROW(env->next_state(domain.num_moves), std::out_of_range);
  }
}

TEST(PuzzleSlidingTile, MovesFollowTheBlankAndStopAtTheEdge) {
  // Blank in the centre of the 8-puzzle, then in the top-left corner.
  const Bytes centre = {1, 2, 3, 4, 0, 5, 6, 7, 8};
  const Bytes expected[4] = {{1, 0, 3, 4, 2, 5, 6, 7, 8},
                             {1, 2, 3, 4, 7, 5, 6, 0, 8},
                             {1, 2, 3, 0, 4, 5, 6, 7, 8},
                             {1, 2, 3, 4, 5, 0, 6, 7, 8}};
  auto env = make_puzzle8(centre);
  for (int move = 0; move < 4; ++move)
    EXPECT_EQ(env->next_state(move)->state_bytes(), expected[move]) << "move " << move;
  const Bytes corner = {0, 1, 2, 3, 4, 5, 6, 7, 8};
  auto cornered = make_puzzle8(corner);
  EXPECT_EQ(cornered->next_state(0)->state_bytes(), corner);  // up: off the board
  EXPECT_EQ(cornered->next_state(2)->state_bytes(), corner);  // left: off the board
  EXPECT_NE(cornered->next_state(1)->state_bytes(), corner);
  EXPECT_NE(cornered->next_state(3)->state_bytes(), corner);
}

TEST(PuzzleSlidingTile, EightPuzzleReachesExactlyHalfOfAllPermutations) {
  const Domain& domain = find_domain("puzzle8");
  std::unordered_set<std::string> seen;
  std::vector<std::unique_ptr<quelmar::Environment>> frontier;
  frontier.push_back(domain.factory(goal_state(domain)));
  seen.insert(stateKey(frontier.back()->state_bytes()));
  while (!frontier.empty()) {
    std::vector<std::unique_ptr<quelmar::Environment>> next;
    for (const auto& env : frontier)
      for (auto& child : env->expand())
        if (seen.insert(stateKey(child->state_bytes())).second) next.push_back(std::move(child));
    frontier = std::move(next);
  }
  EXPECT_EQ(seen.size(), 181440u);
}

TEST(PuzzleSlidingTile, SolvabilityMatchesReachability) {
  // Swapping two tiles flips the parity: the goal is solvable, the swap is not.
  for (int side : {3, 4, 5}) {
    SCOPED_TRACE(side);
    const Domain& domain = *std::find_if(domains().begin(), domains().end(),
                                         [&](const Domain& d) { return d.side == side; });
    Bytes state = goal_state(domain);
    EXPECT_TRUE(sliding_tile_solvable(side, state));
    std::mt19937 rng(side);
    EXPECT_TRUE(sliding_tile_solvable(side, walk(domain, 101, rng)->state_bytes()));
    std::swap(state[0], state[1]);
    EXPECT_FALSE(sliding_tile_solvable(side, state));
  }
}

TEST(PuzzleCube, MoveTablesArePermutationsTurningTwentyStickers) {
  const auto& table = cube_move_table();
  for (int move = 0; move < 12; ++move) {
    SCOPED_TRACE(move);
    std::set<int> sources(table[move].begin(), table[move].end());
    EXPECT_EQ(sources.size(), 54u);
    int moved = 0;
    for (int i = 0; i < 54; ++i) moved += table[move][i] != i;
    EXPECT_EQ(moved, 20);
    for (int face = 0; face < 6; ++face) EXPECT_EQ(table[move][face * 9 + 4], face * 9 + 4);
  }
}

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
    EXPECT_EQ(apply(apply(identity, move ^ 1), move), identity);
  }
  // Opposite faces commute; adjacent ones do not.
  EXPECT_EQ(apply(apply(identity, 0), 6), apply(apply(identity, 6), 0));  // U, D
  EXPECT_NE(apply(apply(identity, 0), 2), apply(apply(identity, 2), 0));  // U, R
}

TEST(PuzzleCube, TurnsMoveTheExpectedRows) {
  const Domain& cube = find_domain("cube3");
  auto colours = [&](int move) { return cube.factory(goal_state(cube))->next_state(move)->state_bytes(); };
  // U clockwise: the top rows go F -> L -> B -> R -> F.
  const Bytes u = colours(0);
  for (int col = 0; col < 3; ++col) {
    EXPECT_EQ(u[4 * 9 + col], 2);  // L top row shows F
    EXPECT_EQ(u[5 * 9 + col], 4);  // B top row shows L
    EXPECT_EQ(u[1 * 9 + col], 5);  // R top row shows B
    EXPECT_EQ(u[2 * 9 + col], 1);  // F top row shows R
  }
  // R clockwise: F's right column goes up to U, U's to B's left column.
  const Bytes r = colours(2);
  for (int row = 0; row < 3; ++row) {
    EXPECT_EQ(r[0 * 9 + row * 3 + 2], 2);
    EXPECT_EQ(r[5 * 9 + row * 3 + 0], 0);
    EXPECT_EQ(r[3 * 9 + row * 3 + 2], 5);
    EXPECT_EQ(r[2 * 9 + row * 3 + 2], 3);
  }
}

TEST(PuzzleInputs, OneHotLayout) {
  std::mt19937 rng(3);
  for (const Domain& domain : domains()) {
    SCOPED_TRACE(domain.name);
    auto env = walk(domain, 40, rng);
    const Bytes& state = env->state_bytes();
    const std::size_t values = domain.side > 0 ? state.size() : 6;
    ASSERT_EQ(env->input_size(), state.size() * values);
    std::vector<float> inputs(env->input_size() + 1, -1.0f);  // a sentinel past the end
    env->write_inputs(inputs.data());
    EXPECT_EQ(inputs.back(), -1.0f);
    inputs.pop_back();
    for (std::size_t pos = 0; pos < state.size(); ++pos) {
      for (std::size_t value = 0; value < values; ++value) {
        // Tiles: index tile * cells + position. Cube: index sticker * 6 + colour.
        const std::size_t index =
            domain.side > 0 ? value * state.size() + pos : pos * values + value;
        EXPECT_EQ(inputs[index], state[pos] == value ? 1.0f : 0.0f) << pos << "," << value;
      }
    }
  }
}

TEST(PuzzleFactories, RejectInvalidStatesNamingTheEnvironment) {
  Bytes cube_bad_count = goal_state(find_domain("cube3"));
  cube_bad_count[0] = 1;
  Bytes cube_bad_colour = goal_state(find_domain("cube3"));
  cube_bad_colour[53] = 6;
  struct Case {
    const char* env;
    Bytes state;
    const char* message;
  };
  const Case cases[] = {
      {"puzzle8", {1, 2, 3}, "puzzle8: state must have 9 bytes, got 3"},
      {"puzzle8", {}, "puzzle8: state must have 9 bytes, got 0"},
      {"puzzle8", {1, 2, 3, 4, 5, 6, 7, 8, 9}, "tile 9 at position 8 is outside 0..8"},
      {"puzzle8", {1, 1, 3, 4, 5, 6, 7, 8, 0}, "tile 1 appears more than once"},
      {"puzzle15", Bytes(9, 0), "puzzle15: state must have 16 bytes, got 9"},
      {"puzzle24", Bytes(25, 0), "puzzle24: tile 0 appears more than once"},
      {"cube3", Bytes(53, 0), "cube3: state must have 54 bytes, got 53"},
      {"cube3", cube_bad_count, "cube3: colour 0 appears 8 times"},
      {"cube3", cube_bad_colour, "cube3: colour 6 of sticker 53 is outside 0..5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    try {
      find_domain(c.env).factory(c.state);
      ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
}

TEST(PuzzleHelpers, ScrambleIsDeterministicAndNeverStalls) {
  for (const Domain& domain : domains()) {
    SCOPED_TRACE(domain.name);
    const Scramble a = scramble(domain, 60, 99), b = scramble(domain, 60, 99);
    EXPECT_EQ(a.state, b.state);
    EXPECT_EQ(a.moves, b.moves);
    EXPECT_NE(scramble(domain, 60, 100).moves, a.moves);
    ASSERT_EQ(a.moves.size(), 60u);
    auto env = domain.factory(goal_state(domain));
    for (std::size_t i = 0; i < a.moves.size(); ++i) {
      if (i > 0) EXPECT_NE(a.moves[i], a.moves[i - 1] ^ 1) << "undoes step " << i - 1;
      auto next = env->next_state(a.moves[i]);
      EXPECT_NE(next->state_bytes(), env->state_bytes()) << "no-op at step " << i;
      env = std::move(next);
    }
    EXPECT_EQ(env->state_bytes(), a.state);
    EXPECT_EQ(apply_moves(domain, goal_state(domain), a.moves), a.state);
    EXPECT_EQ(scramble(domain, 0, 1).state, goal_state(domain));
    EXPECT_THROW(scramble(domain, -1, 1), std::invalid_argument);
  }
}

TEST(PuzzleHelpers, OptimalSolutionLengthMatchesBreadthFirstDistance) {
  const Domain& domain = find_domain("puzzle8");
  // BFS distances from the goal; moves are reversible so they are distances to it.
  std::unordered_map<std::string, int> distance;
  std::vector<Bytes> frontier = {goal_state(domain)};
  distance[stateKey(frontier[0])] = 0;
  for (int depth = 1; depth <= 14; ++depth) {
    std::vector<Bytes> next;
    for (const Bytes& state : frontier)
      for (auto& child : domain.factory(state)->expand())
        if (distance.emplace(stateKey(child->state_bytes()), depth).second)
          next.push_back(child->state_bytes());
    frontier = std::move(next);
  }
  std::mt19937 rng(5);
  int within = 0, beyond = 0;
  for (int trial = 0; trial < 40; ++trial) {
    const Bytes state = walk(domain, trial % 2 == 1 ? 5 + trial / 2 : 80, rng)->state_bytes();
    const auto it = distance.find(stateKey(state));
    const std::optional<int> length = optimal_solution_length(domain, state, 14);
    if (it == distance.end()) {
      ++beyond;
      EXPECT_FALSE(length.has_value());
    } else {
      ++within;
      EXPECT_EQ(length, it->second);
    }
  }
  EXPECT_GE(within, 10);  // the sample must exercise both outcomes
  EXPECT_GE(beyond, 3);
  EXPECT_EQ(optimal_solution_length(domain, goal_state(domain), 0), 0);
  EXPECT_EQ(optimal_solution_length(domain, {1, 2, 3, 4, 5, 6, 7, 0, 8}, 0), std::nullopt);
  EXPECT_EQ(optimal_solution_length(domain, {1, 2, 3, 4, 5, 6, 7, 0, 8}, 1), 1);
  EXPECT_THROW(optimal_solution_length(domain, {2, 1, 3, 4, 5, 6, 7, 8, 0}, 30),
               std::invalid_argument);  // odd permutation
  EXPECT_THROW(optimal_solution_length(find_domain("cube3"), goal_state(find_domain("cube3")), 3),
               std::invalid_argument);
  EXPECT_THROW(optimal_solution_length(domain, goal_state(domain), -1), std::invalid_argument);
}

TEST(PuzzleThreads, ConcurrentExpandMatchesSequential) {
  std::mt19937 rng(11);
  std::vector<std::unique_ptr<quelmar::Environment>> envs;
  for (int i = 0; i < 8; ++i)
    for (const Domain& domain : domains()) envs.push_back(walk(domain, 30, rng));
  auto expandAll = [](const quelmar::Environment& env) {
    std::vector<Bytes> result;
    for (int round = 0; round < 200; ++round) {
      result.clear();
      for (const auto& child : env.expand()) result.push_back(child->state_bytes());
    }
    return result;
  };
  std::vector<std::vector<Bytes>> sequential, concurrent(envs.size());
  for (const auto& env : envs) sequential.push_back(expandAll(*env));
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (std::size_t i = t; i < envs.size(); i += 4) concurrent[i] = expandAll(*envs[i]);
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(concurrent, sequential);
}

}  // namespace
}  // namespace quelmar_puzzles
