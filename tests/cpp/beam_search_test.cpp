// The beam search through its native entry point. Its cases against the
// reference models, replayed through the plug-in, are in
// tests/python/test_beam_search.py.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "cpu_search/beam_search.h"
#include "environments/registry.h"
#include "quelmar_puzzles/puzzles.h"
#include "test_support.h"

namespace quelmar {
namespace {

using testing_support::messageOf;

const std::string kModel = std::string(QUELMAR_MODELS_DIR) + "/puzzle8_manhattan.pt2";

class BeamSearchNative : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    for (const auto& domain : quelmar_puzzles::domains()) register_cpu_environment(domain.name, domain.factory);
  }
};

// Catches: settings checked only by the Python binding (native callers
// unprotected), in another order, or with other messages.
TEST_F(BeamSearchNative, SettingsAreCheckedInsideTheSolver) {
  const auto& p8 = quelmar_puzzles::find_domain("puzzle8");
  const std::vector<uint8_t> start = quelmar_puzzles::scramble(p8, 10, 1).state;
  const std::vector<std::pair<std::function<void(BeamSearchSettings&)>, std::string>> cases = {
      {[](BeamSearchSettings& s) { s.beam_width = 0; }, "beam_width must be positive"},
      {[](BeamSearchSettings& s) { s.beam_width = -1; s.max_steps = -1; }, "beam_width must be positive"},
      {[](BeamSearchSettings& s) { s.max_steps = -5; }, "max_steps must be non-negative"},
      {[](BeamSearchSettings& s) { s.solution_move_source = "Infer"; s.hashtable_algorithm = "x"; },
       "solution_move_source must be 'infer' or 'stored'"},
      {[](BeamSearchSettings& s) { s.hashtable_algorithm = "x"; },
       "hashtable_algorithm must be 'linear_probing' or 'python_dict'"},
  };
  for (const auto& [set, message] : cases) {
    BeamSearchSettings settings;
    set(settings);
    EXPECT_EQ(messageOf<std::invalid_argument>([&] { run_beam_search(start, "puzzle8", kModel, settings); }),
              message);
  }
  // A native caller's defaults: width 1 and no steps, so only the start's goal test.
  const SearchResult none = run_beam_search(start, "puzzle8", kModel, BeamSearchSettings{});
  EXPECT_TRUE(!none.solved && none.search_budget_exceeded && none.nodes_generated == 0);
  const SearchResult goal =
      run_beam_search(quelmar_puzzles::goal_state(p8), "puzzle8", kModel, BeamSearchSettings{});
  EXPECT_TRUE(goal.solved && !goal.search_budget_exceeded && goal.moves.empty());
}

}  // namespace
}  // namespace quelmar
