// One table of search cases run against both solvers: the CPU solver and the
// tensor solver on the CPU device.
#include <gtest/gtest.h>

#include <c10/core/Device.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "cpu_search/parallel_weighted_astar.h"
#include "environments/registry.h"
#include "gpu_search/tensor_weighted_astar.h"
#include "quelmar_puzzles/puzzles.h"

namespace quelmar {
namespace {

const std::string kModel = std::string(QUELMAR_MODELS_DIR) + "/puzzle15_manhattan.pt2";

struct CpuSolver {
  using Settings = SolverSettings;
  // The start's goal test ends the search before anything is popped.
  static constexpr uint64_t kGoalStartExpanded = 0;
  static SearchResult solve(const std::vector<uint8_t>& state, const Settings& settings, int) {
    return run_parallel_weighted_astar(state, "puzzle15", kModel, settings);
  }
};

struct TensorSolver {
  using Settings = TorchAStarConfig;
  // The goal start is popped like any node, so expand_popped_batch expands it.
  static constexpr uint64_t kGoalStartExpanded = 4;
  static SearchResult solve(const std::vector<uint8_t>& state, Settings settings, int nnet_batch) {
    settings.device = "cpu";
    settings.nnet_batch_size = nnet_batch;
    return tensorAStarSearch(state, "puzzle15", kModel, settings, c10::Device(c10::kCPU));
  }
};

enum class Expect { kOptimal, kSolved, kGoalStart, kBudget };

struct Case {
  std::string label;
  int depth;  // of the 15-puzzle scramble; 0 is the goal
  uint64_t seed;
  Expect expect;
  std::function<void(SearchSettings&)> set;
  int nnet_batch = 0;  // the tensor solver's network batch; 0 is automatic
};

std::vector<Case> cases() {
  std::vector<Case> rows = {
      {"deeper scramble", 40, 100, Expect::kOptimal, [](SearchSettings&) {}},
      {"float64 heuristic", 30, 21, Expect::kOptimal, [](SearchSettings& s) { s.memory_dtype_heuristic = "float64"; }},
      {"float64 open and total costs", 30, 21, Expect::kOptimal,
       [](SearchSettings& s) { s.memory_dtype_open_cost = s.memory_dtype_total_cost = "float64"; }},
      {"float64 costs, wide keys and moves, network batches of 3", 30, 21, Expect::kOptimal,
       [](SearchSettings& s) {
         s.memory_dtype_path_cost = s.memory_dtype_heuristic = s.memory_dtype_total_cost = "float64";
         s.memory_dtype_open_cost = s.memory_dtype_closed_cost = "float64";
         s.memory_dtype_node_state = "int32";
         s.memory_dtype_closed_key = s.memory_dtype_parent_move = "int64";
       }, 3},
      {"goal start", 0, 0, Expect::kGoalStart, [](SearchSettings&) {}},
      {"goal start, expand popped batch", 0, 0, Expect::kGoalStart,
       [](SearchSettings& s) { s.goal_stop_mode = "expand_popped_batch"; }},
      {"budget of one node", 40, 4, Expect::kBudget,
       [](SearchSettings& s) { s.search_budget = 1; s.operation_breakdown = true; }},
  };
  // Every mode: optimal at weight 1 popping one node, and still a replaying
  // solution when a batch of 16 is popped at weight 0.8.
  for (const char* source : {"infer", "stored"})
    for (const char* duplicates : {"in_place", "new_slot"})
      for (const char* goal_stop : {"stop_before_goal", "expand_popped_batch"})
        for (const char* probing : {"linear_probing", "python_dict"})
          for (const bool batched : {false, true})
            rows.push_back({std::string(source) + "/" + duplicates + "/" + goal_stop + "/" + probing +
                                (batched ? ", batch 16 at weight 0.8" : ""),
                            30, 17, batched ? Expect::kSolved : Expect::kOptimal, [=](SearchSettings& s) {
                              s.solution_move_source = source; s.duplicate_update_mode = duplicates;
                              s.goal_stop_mode = goal_stop; s.hashtable_algorithm = probing;
                              s.batch_size = batched ? 16 : 1; s.weight = batched ? 0.8f : 1.0f;
                            }});
  return rows;
}

template <typename Solver>
class SolverCases : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    for (const auto& domain : quelmar_puzzles::domains()) {
      register_cpu_environment(domain.name, domain.factory);
      register_torch_environment(domain.name, domain.torch_factory);
    }
  }
};

using Solvers = ::testing::Types<CpuSolver, TensorSolver>;
TYPED_TEST_SUITE(SolverCases, Solvers);

// Catches: a solver or mode (duplicate update, goal stop, probing, move
// source, storage width, network batching) that returns a longer than optimal
// path or one that does not reach the goal; a goal start that searches; a
// budget that does not stop the search; wrong operation-timing counts.
TYPED_TEST(SolverCases, EveryRowSolvesAsExpected) {
  const auto& domain = quelmar_puzzles::find_domain("puzzle15");
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.label);
    typename TypeParam::Settings settings;
    c.set(settings);
    const std::vector<uint8_t> start = quelmar_puzzles::scramble(domain, c.depth, c.seed).state;
    const SearchResult r = TypeParam::solve(start, settings, c.nnet_batch);
    if (c.expect == Expect::kBudget) {
      EXPECT_TRUE(!r.solved && r.search_budget_exceeded && r.moves.empty());
      EXPECT_EQ(r.nodes_generated, 4u);  // the start's children
      ASSERT_TRUE(r.has_operation_timings);
      // One iteration; the start, then its children, goal-tested and scored.
      EXPECT_EQ(std::make_tuple(r.iteration.call_count, r.is_solved.call_count, r.heuristic.call_count),
                std::make_tuple(1u, 2u, 2u));
      continue;
    }
    EXPECT_TRUE(r.solved && !r.search_budget_exceeded);
    if (!r.solved) continue;
    const std::vector<int> moves(r.moves.begin(), r.moves.end());
    EXPECT_EQ(quelmar_puzzles::apply_moves(domain, start, moves), quelmar_puzzles::goal_state(domain));
    if (c.expect != Expect::kSolved)
      EXPECT_EQ(static_cast<int>(moves.size()), *quelmar_puzzles::optimal_solution_length(domain, start, 60));
    if (c.expect == Expect::kGoalStart)
      EXPECT_EQ(r.nodes_generated,
                settings.goal_stop_mode == "expand_popped_batch" ? TypeParam::kGoalStartExpanded : 0u);
  }
}

}  // namespace
}  // namespace quelmar
