// The tensor search on the CPU device, its containers and its entry point.
#include <gtest/gtest.h>

#include <ATen/ATen.h>
#include <c10/core/InferenceMode.h>

#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "environments/registry.h"
#include "environments/torch_env.h"
#include "test_support.h"
#include "gpu_search/duplicate_selection.h"
#include "gpu_search/tensor_weighted_astar.h"
#include "gpu_search/node_store.h"
#include "gpu_search/open_queue.h"
#include "gpu_search/path_reconstruction.h"
#include "quelmar_puzzles/puzzles.h"

namespace quelmar {
namespace {

const c10::Device kCpu(c10::kCPU);

std::string model(const std::string& file) { return std::string(QUELMAR_MODELS_DIR) + "/" + file; }

using testing_support::messageOf;

class TensorSearch : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    for (const auto& domain : quelmar_puzzles::domains())
      register_torch_environment(domain.name, domain.torch_factory);
  }
  static SearchResult solve(const std::vector<uint8_t>& state, const std::string& env,
                            const TorchAStarConfig& config) {
    return tensorAStarSearch(state, env, model(env + "_manhattan.pt2"), config, kCpu);
  }
  static bool replaysToGoal(const std::string& env, const std::vector<uint8_t>& state,
                            const std::vector<int32_t>& moves) {
    const auto& domain = quelmar_puzzles::find_domain(env);
    const std::vector<int> as_int(moves.begin(), moves.end());
    return quelmar_puzzles::apply_moves(domain, state, as_int) ==
           quelmar_puzzles::goal_state(domain);
  }
};

TEST_F(TensorSearch, OptimalInEveryModeAndReplays) {
  const auto& domain = quelmar_puzzles::find_domain("puzzle15");
  const auto scrambled = quelmar_puzzles::scramble(domain, 30, 17).state;
  const int optimal = *quelmar_puzzles::optimal_solution_length(domain, scrambled, 40);
  for (const char* source : {"infer", "stored"})
    for (const char* duplicates : {"in_place", "new_slot"})
      for (const char* goal_stop : {"stop_before_goal", "expand_popped_batch"})
        for (const char* probing : {"linear_probing", "python_dict"}) {
          TorchAStarConfig config;
          config.device = "cpu";
          config.batch_size = 1;
          config.solution_move_source = source;
          config.duplicate_update_mode = duplicates;
          config.goal_stop_mode = goal_stop;
          config.hashtable_algorithm = probing;
          const SearchResult r = solve(scrambled, "puzzle15", config);
          const std::string label = std::string(source) + "/" + duplicates + "/" + goal_stop + "/" + probing;
          ASSERT_TRUE(r.solved) << label;
          EXPECT_EQ(static_cast<int>(r.moves.size()), optimal) << label;
          EXPECT_TRUE(replaysToGoal("puzzle15", scrambled, r.moves)) << label;
        }
}

TEST_F(TensorSearch, MatchesOptimalLengthsWithOtherStorageTypes) {
  const auto& domain = quelmar_puzzles::find_domain("puzzle8");
  TorchAStarConfig config;
  config.batch_size = 4;
  config.memory_dtype_node_state = "int32";
  config.memory_dtype_closed_key = "int64";
  config.memory_dtype_path_cost = "float64";
  config.memory_dtype_total_cost = "float64";
  config.memory_dtype_open_cost = "float64";
  config.memory_dtype_parent_move = "int64";
  config.nnet_batch_size = 3;  // many small network calls
  for (uint64_t seed = 0; seed < 6; ++seed) {
    const auto scrambled = quelmar_puzzles::scramble(domain, 25, seed).state;
    const SearchResult r = solve(scrambled, "puzzle8", config);
    ASSERT_TRUE(r.solved);
    EXPECT_EQ(static_cast<int>(r.moves.size()),
              *quelmar_puzzles::optimal_solution_length(domain, scrambled, 40));
    EXPECT_TRUE(replaysToGoal("puzzle8", scrambled, r.moves));
  }
}

TEST_F(TensorSearch, GoalStartBudgetAndOperationTimings) {
  const auto& domain = quelmar_puzzles::find_domain("puzzle8");
  TorchAStarConfig config;
  const auto goal = quelmar_puzzles::goal_state(domain);
  SearchResult r = solve(goal, "puzzle8", config);
  EXPECT_TRUE(r.solved);
  EXPECT_TRUE(r.moves.empty());
  EXPECT_EQ(r.nodes_generated, 0u);
  config.goal_stop_mode = "expand_popped_batch";
  r = solve(goal, "puzzle8", config);
  EXPECT_TRUE(r.solved);
  EXPECT_TRUE(r.moves.empty());
  EXPECT_EQ(r.nodes_generated, 4u);

  config = TorchAStarConfig{};
  config.search_budget = 1;
  config.operation_breakdown = true;
  const auto far = quelmar_puzzles::scramble(domain, 20, 4).state;
  r = solve(far, "puzzle8", config);
  EXPECT_FALSE(r.solved);
  EXPECT_TRUE(r.search_budget_exceeded);
  EXPECT_EQ(r.nodes_generated, 4u);
  EXPECT_TRUE(r.has_operation_timings);
  EXPECT_EQ(r.iteration.call_count, 1u);
  EXPECT_EQ(r.is_solved.call_count, 2u);
  EXPECT_EQ(r.heuristic.call_count, 2u);
}

TEST_F(TensorSearch, SettingsAndEnvironmentErrors) {
  const auto goal = quelmar_puzzles::goal_state(quelmar_puzzles::find_domain("puzzle8"));
  TorchAStarConfig config;
  config.solution_move_source = "x";
  config.capacity_mode = "y";
  EXPECT_EQ(messageOf<std::invalid_argument>([&] { solve(goal, "puzzle8", config); }),
            "solution_move_source must be 'infer' or 'stored'");
  config = TorchAStarConfig{};
  config.initial_open_size = -1;
  EXPECT_EQ(messageOf<std::invalid_argument>([&] { solve(goal, "puzzle8", config); }),
            "initial OPEN, CLOSED, and node-store sizes must be non-negative");
  config = TorchAStarConfig{};
  config.memory_dtype_open_cost = "float";
  EXPECT_EQ(messageOf<std::invalid_argument>([&] { solve(goal, "puzzle8", config); }),
            "Unsupported scalar type name: float");
  config = TorchAStarConfig{};
  config.capacity_mode = "fixed";
  config.initial_node_store_size = 2;
  const auto far = quelmar_puzzles::scramble(quelmar_puzzles::find_domain("puzzle8"), 20, 4).state;
  EXPECT_EQ(messageOf<std::runtime_error>([&] { solve(far, "puzzle8", config); }),
            "fixed node-store capacity exhausted at capacity=2");
  // The 15-puzzle model expects other inputs than the 8-puzzle environment writes.
  EXPECT_THROW(tensorAStarSearch(goal, "puzzle8", model("fixture_two_inputs.pt2"), TorchAStarConfig{}, kCpu),
               std::runtime_error);
}

// An 8-puzzle batch environment without moves: OPEN empties after the start.
class NoMovesTorchEnv : public TorchEnv {
 public:
  explicit NoMovesTorchEnv(std::unique_ptr<TorchEnv> inner) : inner_(std::move(inner)) {
    num_moves = 0;
    state_dim = inner_->state_dim;
  }
  at::Tensor encode_state(const std::vector<uint8_t>& s) override { return inner_->encode_state(s); }
  std::vector<uint8_t> decode_state(const at::Tensor& s) override { return inner_->decode_state(s); }
  at::Tensor is_solved(const at::Tensor& states) override {
    inner_->state_dtype = state_dtype;
    return inner_->is_solved(states);
  }
  TorchExpansion expand(const at::Tensor& states) override {
    return {states.new_empty({states.size(0), 0, states.size(1)}), at::empty({states.size(0), 0})};
  }
  std::vector<at::Tensor> write_inputs(const at::Tensor& states) override {
    inner_->state_dtype = state_dtype;
    return inner_->write_inputs(states);
  }

 private:
  std::unique_ptr<TorchEnv> inner_;
};

std::unique_ptr<TorchEnv> makeNoMoves(const c10::Device& device, int state_size) {
  return std::make_unique<NoMovesTorchEnv>(quelmar_puzzles::make_torch_puzzle8(device, state_size));
}

TEST_F(TensorSearch, NoMovesNonFiniteWeightAndAbsurdSizes) {
  register_torch_environment("puzzle8_no_moves", &makeNoMoves);
  const auto far = quelmar_puzzles::scramble(quelmar_puzzles::find_domain("puzzle8"), 20, 4).state;
  const SearchResult stuck =
      tensorAStarSearch(far, "puzzle8_no_moves", model("puzzle8_manhattan.pt2"), {}, kCpu);
  EXPECT_FALSE(stuck.solved);
  EXPECT_EQ(stuck.nodes_generated, 0u);

  TorchAStarConfig config;
  config.weight = std::nanf("");
  EXPECT_EQ(messageOf<std::invalid_argument>([&] { solve(far, "puzzle8", config); }),
            "weight must be finite, got nan");
  config = TorchAStarConfig{};
  config.initial_closed_size = int64_t{1} << 62;  // can never be allocated
  EXPECT_ANY_THROW(solve(far, "puzzle8", config));
}

TEST_F(TensorSearch, EntryPointRequiresCuda) {
  const auto goal = quelmar_puzzles::goal_state(quelmar_puzzles::find_domain("puzzle8"));
  TorchAStarConfig config;
  config.device = "cpu";
  EXPECT_EQ(messageOf<std::runtime_error>(
                [&] { run_torch_gpu_astar(goal, "puzzle8", model("puzzle8_manhattan.pt2"), config); }),
            "CUDA is not available. Torch GPU A* requires a CUDA/ROCm device.");
}

TEST(TensorContainers, SelectMinCostPerKeyAndOpenOrder) {
  c10::InferenceMode guard;
  const at::Tensor chosen = select_min_cost_per_key(at::tensor({5, 3, 5, 3}, at::kLong),
                                                    at::tensor({2.0f, 1.0f, 1.0f, 1.0f}));
  EXPECT_TRUE(at::equal(chosen, at::tensor({1, 2}, at::kLong)));
  EXPECT_EQ(select_min_cost_per_key(at::tensor({7}, at::kLong), at::tensor({1.0f})).size(0), 1);

  TorchOpenList open(at::kLong, at::kFloat, kCpu, false);
  open.initialize(at::tensor({10}, at::kLong), at::tensor({1.0f}), 4);
  EXPECT_TRUE(open.buffered());
  open.push(at::tensor({11, 12, 13, 14}, at::kLong), at::tensor({0.5f, 1.0f, 0.5f, 2.0f}));
  EXPECT_EQ(open.bufferCapacity(), 8);
  const auto popped = open.pop_batch(3);
  EXPECT_TRUE(at::equal(popped.rows, at::tensor({11, 13, 10}, at::kLong)));
  EXPECT_TRUE(at::equal(open.index(), at::tensor({12, 14}, at::kLong)));

  TorchOpenList small(at::kLong, at::kFloat, kCpu, false);
  small.initialize(at::tensor({0}, at::kLong), at::tensor({1.0f}), 1);
  EXPECT_FALSE(small.buffered());
  small.push(at::tensor({1}, at::kLong), at::tensor({0.0f}));
  EXPECT_EQ(small.size(), 2);

  TorchOpenList fixed(at::kLong, at::kFloat, kCpu, true);
  fixed.initialize(at::tensor({0}, at::kLong), at::tensor({1.0f}), 1);
  EXPECT_EQ(messageOf<std::runtime_error>(
                [&] { fixed.push(at::tensor({1}, at::kLong), at::tensor({0.0f})); }),
            "fixed OPEN capacity exhausted at capacity=1");

  ClosedNodeIndex index(true, 3, kCpu, false);
  index.ensure(9);
  EXPECT_EQ(index.map().size(0), 12);
  ClosedNodeIndex fixed_index(true, 3, kCpu, true);
  EXPECT_EQ(messageOf<std::runtime_error>([&] { fixed_index.ensure(4); }),
            "fixed CLOSED node-index capacity exhausted at capacity=3");
}

TEST(TensorContainers, NodeStoreGrowthAndPathWalk) {
  c10::InferenceMode guard;
  TorchAStarConfig config;
  TorchNodeStore store(2, kCpu, config, 1, false);
  const auto append = [&](std::vector<int64_t> parents) {
    const int64_t n = static_cast<int64_t>(parents.size());
    return store.append(at::zeros({n, 2}), at::zeros({n}), at::zeros({n}), at::zeros({n}),
                        at::zeros({n}), at::zeros({n}, at::kBool), at::tensor(parents, at::kLong),
                        at::zeros({n}));
  };
  EXPECT_EQ(append({}).size(0), 0);
  append({-1});
  append({0, 1, 2});  // grows from 1 to exactly 4 rows
  EXPECT_EQ(store.capacity(), 4);
  EXPECT_EQ(store.size(), 4);
  EXPECT_EQ(messageOf<std::invalid_argument>([&] {
              store.write_rows(at::tensor({1, 2}, at::kLong), at::zeros({1, 2}), at::zeros({1}),
                               at::zeros({1}), at::zeros({1}), at::zeros({1}),
                               at::zeros({1}, at::kBool), at::zeros({1}), at::zeros({1}));
            }),
            "indices and node rows must contain the same number of rows");

  TorchNodeStore fixed(2, kCpu, config, 1, true);
  EXPECT_EQ(messageOf<std::runtime_error>([&] {
              fixed.append(at::zeros({2, 2}), at::zeros({2}), at::zeros({2}), at::zeros({2}),
                           at::zeros({2}), at::zeros({2}, at::kBool), at::zeros({2}), at::zeros({2}));
            }),
            "fixed node-store capacity exhausted at capacity=1");

  // Parent links that form a cycle end in an error instead of an endless walk.
  store.write_rows(at::tensor({0}, at::kLong), at::zeros({1, 2}), at::zeros({1}), at::zeros({1}),
                   at::zeros({1}), at::zeros({1}), at::zeros({1}, at::kBool),
                   at::tensor({3}, at::kLong), at::zeros({1}));
  auto env = quelmar_puzzles::make_torch_puzzle8(kCpu, 9);
  EXPECT_THROW(reconstructTorchPath(store, *env, 3, "stored"), std::runtime_error);
}

}  // namespace
}  // namespace quelmar
