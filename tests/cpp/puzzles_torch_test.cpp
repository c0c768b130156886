#include <gtest/gtest.h>

#include <ATen/ATen.h>
#include <c10/core/InferenceMode.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "environments/torch_env.h"
#include "quelmar_puzzles/puzzles.h"
#include "test_support.h"

namespace quelmar_puzzles {
namespace {

using Bytes = std::vector<uint8_t>;
using quelmar::testing_support::messageOf;

const c10::Device kCpu(c10::kCPU);
const std::vector<at::ScalarType> kDtypes = {at::kByte, at::kInt, at::kLong};

// Random states of the domain: random walks of assorted lengths (the goal
// included), and for sliding tiles also the blank in every cell.
std::vector<Bytes> sampleStates(const Domain& domain, std::mt19937& rng) {
  std::vector<Bytes> states;
  for (int depth : {0, 1, 2, 3, 5, 8, 13, 21, 40, 100}) {
    for (int copy = 0; copy < 3; ++copy) {
      auto env = domain.factory(goal_state(domain));
      for (int i = 0; i < depth; ++i) env = env->next_state(static_cast<int>(rng() % domain.num_moves));
      states.push_back(env->state_bytes());
    }
  }
  for (std::size_t blank = 0; domain.side > 0 && blank < domain.state_size; ++blank) {
    Bytes tiles(domain.state_size);
    std::iota(tiles.begin(), tiles.end(), uint8_t{0});
    std::shuffle(tiles.begin(), tiles.end(), rng);
    std::swap(*std::find(tiles.begin(), tiles.end(), 0), tiles[blank]);
    states.push_back(tiles);
  }
  return states;
}

at::Tensor toRows(const std::vector<Bytes>& states, at::ScalarType dtype) {
  std::vector<int64_t> flat;
  for (const Bytes& s : states) flat.insert(flat.end(), s.begin(), s.end());
  return at::tensor(flat, at::kLong).reshape({static_cast<int64_t>(states.size()), -1}).to(dtype);
}

Bytes rowBytes(const at::Tensor& row) {
  const at::Tensor values = row.to(at::kLong).contiguous();
  return Bytes(values.data_ptr<int64_t>(), values.data_ptr<int64_t>() + values.numel());
}

std::unique_ptr<quelmar::TorchEnv> makeEnv(const Domain& domain, at::ScalarType dtype) {
  auto env = domain.torch_factory(kCpu, static_cast<int>(domain.state_size));
  env->state_dtype = dtype;
  return env;
}

// Catches: a batch environment with the wrong sizes or built for another
// state size without an error naming both; batch children, goal flags or
// network inputs that differ from the CPU environment's for any state, move
// or storage type, or come back with the wrong shape or type.
TEST(PuzzlesTorch, BatchOperationsMatchCpu) {
  c10::InferenceMode guard;
  std::mt19937 rng(7);
  for (const Domain& domain : domains()) {
    const int size = static_cast<int>(domain.state_size);
    EXPECT_EQ(domain.torch_factory(kCpu, size)->num_moves, domain.num_moves);
    EXPECT_EQ(domain.torch_factory(kCpu, size)->state_dim, size);
    for (int bad : {0, -1, size + 1, size - 1}) {
      const std::string message = messageOf<std::invalid_argument>([&] { domain.torch_factory(kCpu, bad); });
      EXPECT_NE(message.find(domain.name), std::string::npos) << message;
      EXPECT_NE(message.find(std::to_string(bad)), std::string::npos) << message;
    }
    std::vector<Bytes> states = sampleStates(domain, rng);
    Bytes swapped = goal_state(domain);  // a single swap is not solved
    std::swap(swapped[0], swapped[1]);
    states.push_back(swapped);
    const int64_t p = static_cast<int64_t>(states.size()), d = static_cast<int64_t>(domain.state_size);
    const int64_t width = static_cast<int64_t>(domain.factory(states[0])->input_size());
    for (at::ScalarType dtype : kDtypes) {
      SCOPED_TRACE(std::string(domain.name) + " " + c10::toString(dtype));
      auto env = makeEnv(domain, dtype);
      const at::Tensor rows = toRows(states, dtype);
      const quelmar::TorchExpansion expansion = env->expand(rows);
      const at::Tensor solved = env->is_solved(rows);
      const std::vector<at::Tensor> inputs = env->write_inputs(rows);
      ASSERT_EQ(expansion.children.sizes(), (std::vector<int64_t>{p, domain.num_moves, d}));
      EXPECT_EQ(expansion.children.scalar_type(), dtype);
      ASSERT_EQ(expansion.move_costs.sizes(), (std::vector<int64_t>{p, domain.num_moves}));
      EXPECT_TRUE(expansion.move_costs.eq(1.0f).all().item<bool>());
      EXPECT_EQ(solved.scalar_type(), at::kBool);
      ASSERT_EQ(inputs.size(), 1u);
      ASSERT_EQ(inputs[0].sizes(), (std::vector<int64_t>{p, width}));
      EXPECT_EQ(inputs[0].scalar_type(), at::kFloat);
      const at::Tensor dense = inputs[0].contiguous();
      int changed = 0, goals = 0;
      for (int64_t i = 0; i < p; ++i) {
        const auto cpu = domain.factory(states[i]);
        const auto children = cpu->expand();
        for (int m = 0; m < domain.num_moves; ++m) {
          const Bytes got = rowBytes(expansion.children[i][m]);
          ASSERT_EQ(got, children[m]->state_bytes()) << "state " << i << " move " << m;
          changed += got != states[i];
        }
        EXPECT_EQ(solved[i].item<bool>(), cpu->is_solved()) << "state " << i;
        goals += cpu->is_solved();
        std::vector<float> expected(width, -1.0f);
        cpu->write_inputs(expected.data());
        ASSERT_TRUE(std::equal(expected.begin(), expected.end(), dense.data_ptr<float>() + i * width)) << i;
      }
      EXPECT_GT(changed, 0);  // the comparison saw real moves, not only copies
      EXPECT_GE(goals, 3);    // the depth-0 walks
    }
  }
}

// Catches: a one-row batch squeezed to the wrong shape, an empty batch that
// fails, and malformed batches (width, rank, element type, undefined) accepted.
TEST(PuzzlesTorch, SingleRowEmptyAndMalformedBatches) {
  c10::InferenceMode guard;
  for (const Domain& domain : domains()) {
    SCOPED_TRACE(domain.name);
    const int64_t d = static_cast<int64_t>(domain.state_size);
    auto env = makeEnv(domain, at::kByte);
    const quelmar::TorchExpansion one = env->expand(toRows({goal_state(domain)}, at::kByte));
    EXPECT_EQ(one.children.sizes(), (std::vector<int64_t>{1, domain.num_moves, d}));
    EXPECT_EQ(one.move_costs.sizes(), (std::vector<int64_t>{1, domain.num_moves}));
    const at::Tensor empty = at::empty({0, d}, at::kByte);
    EXPECT_EQ(env->expand(empty).children.sizes(), (std::vector<int64_t>{0, domain.num_moves, d}));
    EXPECT_EQ(env->expand(empty).move_costs.sizes(), (std::vector<int64_t>{0, domain.num_moves}));
    EXPECT_EQ(env->is_solved(empty).sizes(), (std::vector<int64_t>{0}));
    EXPECT_EQ(env->write_inputs(empty).at(0).size(0), 0);
    for (const at::Tensor& states : {at::zeros({2, d + 1}, at::kByte), at::zeros({d}, at::kByte),
                                     at::zeros({2, 1, d}, at::kByte), at::zeros({2, d}, at::kFloat),
                                     at::zeros({2, d}, at::kBool), at::Tensor()}) {
      EXPECT_THROW(env->expand(states), std::invalid_argument);
      EXPECT_THROW(env->is_solved(states), std::invalid_argument);
      EXPECT_THROW(env->write_inputs(states), std::invalid_argument);
    }
  }
}

// Catches: encode/decode that do not round-trip in every storage type, and
// invalid states or rows (wrong size, values beyond a byte) accepted.
TEST(PuzzlesTorch, EncodeDecodeRoundTripAndValidate) {
  c10::InferenceMode guard;
  std::mt19937 rng(17);
  for (const Domain& domain : domains()) {
    SCOPED_TRACE(domain.name);
    for (at::ScalarType dtype : kDtypes) {
      auto env = makeEnv(domain, dtype);
      for (const Bytes& state : sampleStates(domain, rng)) {
        const at::Tensor row = env->encode_state(state);
        ASSERT_EQ(row.numel(), env->state_dim);
        EXPECT_EQ(row.scalar_type(), dtype);
        EXPECT_EQ(rowBytes(row), state);
        EXPECT_EQ(env->decode_state(row), state);
        EXPECT_EQ(env->decode_state(row.unsqueeze(0)), state);  // a [1, D] row too
      }
    }
    auto env = makeEnv(domain, at::kByte);
    Bytes bad = goal_state(domain);
    bad[0] = bad.back();  // a duplicate tile / a colour appearing ten times
    for (const Bytes& state : {bad, Bytes(domain.state_size - 1, 0), Bytes{}})
      EXPECT_NE(messageOf<std::invalid_argument>([&] { env->encode_state(state); }).find(domain.name),
                std::string::npos);
    const int64_t d = env->state_dim;  // a row too long, and values beyond a byte
    for (const at::Tensor& row :
         {at::zeros({d + 1}, at::kByte), at::full({d}, 300, at::kLong), at::full({d}, -1, at::kInt)})
      EXPECT_THROW(env->decode_state(row), std::invalid_argument);
  }
}

// Catches: a corrupt row without a blank (rows are not validated on the
// device) that indexes out of range instead of giving permutations of itself.
TEST(PuzzlesTorch, RowsWithoutABlankDoNotFault) {
  c10::InferenceMode guard;
  auto env = makeEnv(find_domain("puzzle15"), at::kLong);
  const at::Tensor rows = at::arange(1, 17, at::kLong).reshape({1, 16});
  const at::Tensor children = env->expand(rows).children;
  ASSERT_EQ(children.sizes(), (std::vector<int64_t>{1, 4, 16}));
  for (int m = 0; m < 4; ++m) EXPECT_TRUE(std::get<0>(children[0][m].sort()).equal(rows[0])) << "move " << m;
  EXPECT_FALSE(env->is_solved(rows)[0].item<bool>());
}

}  // namespace
}  // namespace quelmar_puzzles
