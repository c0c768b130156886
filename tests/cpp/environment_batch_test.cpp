// The batch helpers against the plug-in's own per-state functions.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "cpu_search/environment_batch.h"
#include "environments/registry.h"
#include "quelmar_puzzles/puzzles.h"
#include "test_support.h"

namespace quelmar {
namespace {

using Bytes = std::vector<uint8_t>;
using testing_support::messageOf;

// An 8-puzzle that misbehaves in one way: it accepts rows wider than its
// state (reading their first 9 bytes), or its expand() drops the last child.
class OddPuzzle : public Environment {
 public:
  OddPuzzle(std::unique_ptr<Environment> inner, bool short_expand)
      : inner_(std::move(inner)), short_expand_(short_expand) {}
  std::unique_ptr<Environment> next_state(int move) const override { return inner_->next_state(move); }
  std::vector<std::unique_ptr<Environment>> expand() const override {
    auto children = inner_->expand();
    if (short_expand_) children.pop_back();
    return children;
  }
  const Bytes& state_bytes() const override { return inner_->state_bytes(); }
  bool is_solved() const override { return inner_->is_solved(); }
  int num_moves() const override { return inner_->num_moves(); }
  size_t input_size() const override { return inner_->input_size(); }
  void write_inputs(float* dst) const override { inner_->write_inputs(dst); }

 private:
  std::unique_ptr<Environment> inner_;
  bool short_expand_;
};

std::unique_ptr<Environment> makeLenient(const Bytes& state) {
  return std::make_unique<OddPuzzle>(
      quelmar_puzzles::make_puzzle8(Bytes(state.begin(), state.begin() + std::min<size_t>(state.size(), 9))),
      false);
}
std::unique_ptr<Environment> makeShortExpand(const Bytes& state) {
  return std::make_unique<OddPuzzle>(quelmar_puzzles::make_puzzle8(state), true);
}

class EnvironmentBatch : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    for (const auto& domain : quelmar_puzzles::domains()) register_cpu_environment(domain.name, domain.factory);
    register_cpu_environment("batch_test_lenient", &makeLenient);
    register_cpu_environment("batch_test_short_expand", &makeShortExpand);
  }
};

const quelmar_puzzles::Domain& domain(const char* name) { return quelmar_puzzles::find_domain(name); }

// Catches: rows, children or inputs written at another row's offset, a move
// order other than expand()'s, flags or inputs of the wrong state, the goal
// row missed.
TEST_F(EnvironmentBatch, RowsMatchThePerStateFunctions) {
  for (const auto& d : quelmar_puzzles::domains()) {
    SCOPED_TRACE(d.name);
    const size_t width = d.state_size;
    const WalkBatch walks = randomWalks(d.name, quelmar_puzzles::goal_state(d), 37, 12, 5);
    Bytes states = quelmar_puzzles::goal_state(d);  // row 0: the goal
    states.insert(states.end(), walks.states.begin(), walks.states.end());
    const size_t rows = states.size() / width;
    const ChildBatch children = expandStates(d.name, states, width);
    const auto flags = goalFlags(d.name, states, width);
    const InputBatch inputs = networkInputs(d.name, states, width);
    ASSERT_EQ(children.num_moves, static_cast<size_t>(d.num_moves));
    ASSERT_EQ(children.children.size(), rows * d.num_moves * width);
    ASSERT_EQ(flags.size(), rows);
    EXPECT_EQ(flags[0], 1);
    for (size_t i = 0; i < rows; ++i) {
      const auto env = d.factory(Bytes(states.begin() + i * width, states.begin() + (i + 1) * width));
      EXPECT_EQ(flags[i], env->is_solved() ? 1 : 0) << "row " << i;
      std::vector<float> expected(env->input_size());
      env->write_inputs(expected.data());
      ASSERT_EQ(inputs.input_size, expected.size());
      EXPECT_TRUE(std::equal(expected.begin(), expected.end(), inputs.inputs.begin() + i * expected.size()))
          << "row " << i;
      const auto successors = env->expand();
      for (size_t m = 0; m < successors.size(); ++m) {
        const auto at = children.children.begin() + (i * d.num_moves + m) * width;
        EXPECT_EQ(Bytes(at, at + width), successors[m]->state_bytes()) << "row " << i << " move " << m;
      }
    }
  }
}

// Catches: lengths outside [min_length, max_length] or crowded on a few
// values, walks that make another number of moves than their length, a
// generator shared between walks or ignoring the seed.
TEST_F(EnvironmentBatch, WalksHaveTheirLengthsAndFollowTheSeed) {
  const auto& p8 = domain("puzzle8");
  const Bytes goal = quelmar_puzzles::goal_state(p8);
  // States reachable in exactly L moves (edge moves stay put, so shorter walks are among them).
  std::vector<std::set<Bytes>> exactly = {{goal}};
  for (int length = 1; length <= 3; ++length) {
    std::set<Bytes> next;
    for (const Bytes& s : exactly.back())
      for (int m = 0; m < p8.num_moves; ++m) next.insert(quelmar_puzzles::apply_moves(p8, s, {m}));
    exactly.push_back(next);
  }
  for (int length = 0; length <= 3; ++length) {
    const WalkBatch walks = randomWalks("puzzle8", goal, 2000, length, 11, length);
    std::set<Bytes> reached;
    for (size_t i = 0; i < 2000; ++i) {
      EXPECT_EQ(walks.lengths[i], length);
      const Bytes row(walks.states.begin() + i * 9, walks.states.begin() + (i + 1) * 9);
      EXPECT_TRUE(exactly[length].count(row)) << "walk " << i << " of length " << length;
      reached.insert(row);
    }
    // 2000 uniform walks reach every state of these small sets.
    EXPECT_EQ(reached, exactly[length]) << "length " << length;
  }
  const WalkBatch spread = randomWalks("cube3", quelmar_puzzles::goal_state(domain("cube3")), 6000, 7, 3, 2);
  std::map<int64_t, int> counts;
  for (const int64_t length : spread.lengths) ++counts[length];
  ASSERT_EQ(counts.size(), 6u);
  EXPECT_EQ(counts.begin()->first, 2);
  for (const auto& [length, count] : counts) EXPECT_NEAR(count, 1000, 150) << "length " << length;
  const WalkBatch again = randomWalks("cube3", quelmar_puzzles::goal_state(domain("cube3")), 6000, 7, 3, 2);
  EXPECT_EQ(again.states, spread.states);
  EXPECT_EQ(again.lengths, spread.lengths);
  const WalkBatch other = randomWalks("cube3", quelmar_puzzles::goal_state(domain("cube3")), 6000, 7, 4, 2);
  EXPECT_NE(other.states, spread.states);
  EXPECT_NE(other.lengths, spread.lengths);
}

// Catches: bad arguments crashing or accepted, errors that do not name the
// bad row or width, a plug-in whose expand() disagrees with num_moves() read
// out of bounds, an empty batch failing.
TEST_F(EnvironmentBatch, BadInputIsRefusedWithItsReason) {
  const Bytes goal = quelmar_puzzles::goal_state(domain("puzzle8"));
  Bytes bad_row = goal;
  bad_row.insert(bad_row.end(), goal.begin(), goal.end());
  bad_row.insert(bad_row.end(), goal.begin(), goal.end());
  bad_row[9 + 4] = 9;
  Bytes wide_row = goal;  // the goal and one byte more
  wide_row.push_back(0);
  Bytes wide = wide_row;
  wide.insert(wide.end(), wide_row.begin(), wide_row.end());
  using Call = std::function<void()>;
  const std::vector<std::pair<Call, std::string>> invalid = {
      {[&] { goalFlags("no_such_env", goal, 9); }, "Unknown environment 'no_such_env'"},
      {[&] { goalFlags("no_such_env", {}, 9); }, "Unknown environment 'no_such_env'"},
      {[&] { randomWalks("puzzle8", goal, -1, 3, 0); }, "count must be non-negative"},
      {[&] { randomWalks("puzzle8", goal, 1, -1, 0); }, "max_length must be non-negative"},
      {[&] { randomWalks("puzzle8", goal, 1, 3, 0, -1); }, "min_length must be non-negative"},
      {[&] { randomWalks("puzzle8", goal, 1, 3, 0, 4); }, "min_length must not exceed max_length, got 4 > 3"},
      {[&] { randomWalks("puzzle8", {}, 1, 3, 0); }, "State payload must contain at least one entry"},
      {[&] { expandStates("puzzle8", bad_row, 9); }, "states row 1: puzzle8: "},
      {[&] { networkInputs("puzzle8", wide, 10); }, "states row 0: puzzle8: state must have 9"},
      {[&] { networkInputs("batch_test_lenient", wide, 10); },
       "states have 10 bytes per row, but a 'batch_test_lenient' state has 9"},
      {[&] { goalFlags("puzzle8", goal, 0); }, "states must have at least one byte per row"},
  };
  for (const auto& [call, message] : invalid)
    EXPECT_EQ(messageOf<std::invalid_argument>(call).rfind(message, 0), 0u) << messageOf<std::invalid_argument>(call);
  EXPECT_EQ(messageOf<std::runtime_error>([&] { expandStates("batch_test_short_expand", goal, 9); }),
            "Environment expand() returned 3 successors for states row 0 instead of 4 (its num_moves())");
  const ChildBatch none = expandStates("puzzle8", {}, 9);
  EXPECT_TRUE(none.children.empty() && none.num_moves == 0);
  EXPECT_TRUE(randomWalks("puzzle8", goal, 0, 3, 0).states.empty());
}

}  // namespace
}  // namespace quelmar
