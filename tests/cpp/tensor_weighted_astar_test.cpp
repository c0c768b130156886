// The tensor search on the CPU device and its entry point.
#include <gtest/gtest.h>

#include <ATen/ATen.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "environments/registry.h"
#include "environments/torch_env.h"
#include "gpu_search/tensor_weighted_astar.h"
#include "quelmar_puzzles/puzzles.h"
#include "test_support.h"

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
  static SearchResult solve(const std::vector<uint8_t>& state, const TorchAStarConfig& config) {
    return tensorAStarSearch(state, "puzzle8", model("puzzle8_manhattan.pt2"), config, kCpu);
  }
};

// Catches: a bad setting that runs instead of being refused with its message,
// the move source checked after the capacity mode, a fixed capacity that grows,
// an absurd size or a model for other inputs that does not end in an error.
TEST_F(TensorSearch, BadSettingsAndModelsAreRefused) {
  const auto far = quelmar_puzzles::scramble(quelmar_puzzles::find_domain("puzzle8"), 20, 4).state;
  const std::pair<void (*)(TorchAStarConfig&), const char*> invalid[] = {
      {[](TorchAStarConfig& c) { c.solution_move_source = "x"; c.capacity_mode = "y"; },
       "solution_move_source must be 'infer' or 'stored'"},
      {[](TorchAStarConfig& c) { c.initial_open_size = -1; },
       "initial OPEN, CLOSED, and node-store sizes must be non-negative"},
      {[](TorchAStarConfig& c) { c.memory_dtype_open_cost = "float"; }, "Unsupported scalar type name: float"},
  };
  for (const auto& [set, message] : invalid) {
    TorchAStarConfig config;
    set(config);
    EXPECT_EQ(messageOf<std::invalid_argument>([&] { solve(far, config); }), message);
  }
  TorchAStarConfig config;
  config.capacity_mode = "fixed";
  config.initial_node_store_size = 2;
  EXPECT_EQ(messageOf<std::runtime_error>([&] { solve(far, config); }),
            "fixed node-store capacity exhausted at capacity=2");
  config = TorchAStarConfig{};
  config.initial_closed_size = int64_t{1} << 62;  // can never be allocated
  EXPECT_ANY_THROW(solve(far, config));
  // The two-input fixture expects other inputs than the 8-puzzle environment writes.
  EXPECT_THROW(tensorAStarSearch(far, "puzzle8", model("fixture_two_inputs.pt2"), {}, kCpu), std::runtime_error);
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

// Catches: an environment without moves that loops or reports a solution.
TEST_F(TensorSearch, EnvironmentWithoutMovesEndsUnsolved) {
  register_torch_environment("puzzle8_no_moves", &makeNoMoves);
  const auto far = quelmar_puzzles::scramble(quelmar_puzzles::find_domain("puzzle8"), 20, 4).state;
  const SearchResult stuck = tensorAStarSearch(far, "puzzle8_no_moves", model("puzzle8_manhattan.pt2"), {}, kCpu);
  EXPECT_FALSE(stuck.solved);
  EXPECT_EQ(stuck.nodes_generated, 0u);
}

}  // namespace
}  // namespace quelmar
