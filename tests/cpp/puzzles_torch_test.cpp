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

namespace quelmar_puzzles {
namespace {

using Bytes = std::vector<uint8_t>;

const c10::Device kCpu(c10::kCPU);
const std::vector<at::ScalarType> kDtypes = {at::kByte, at::kInt, at::kLong};

// Random states of the domain: random walks of assorted lengths (the goal
// included), and for sliding tiles also the blank in every cell.
std::vector<Bytes> sampleStates(const Domain& domain, std::mt19937& rng) {
  std::vector<Bytes> states;
  for (int depth : {0, 1, 2, 3, 5, 8, 13, 21, 40, 100}) {
    for (int copy = 0; copy < 3; ++copy) {
      auto env = domain.factory(goal_state(domain));
      for (int i = 0; i < depth; ++i)
        env = env->next_state(static_cast<int>(rng() % domain.num_moves));
      states.push_back(env->state_bytes());
    }
  }
  if (domain.side > 0) {
    for (std::size_t blank = 0; blank < domain.state_size; ++blank) {
      Bytes tiles(domain.state_size);
      std::iota(tiles.begin(), tiles.end(), uint8_t{0});
      std::shuffle(tiles.begin(), tiles.end(), rng);
      std::swap(*std::find(tiles.begin(), tiles.end(), 0), tiles[blank]);
      states.push_back(tiles);
    }
  }
  return states;
}

at::Tensor toRows(const std::vector<Bytes>& states, at::ScalarType dtype) {
  std::vector<int64_t> flat;
  for (const Bytes& s : states) flat.insert(flat.end(), s.begin(), s.end());
  return at::tensor(flat, at::kLong)
      .reshape({static_cast<int64_t>(states.size()), static_cast<int64_t>(states.at(0).size())})
      .to(dtype);
}

Bytes rowBytes(const at::Tensor& row) {
  const at::Tensor values = row.to(at::kLong).contiguous();
  Bytes bytes;
  for (int64_t i = 0; i < values.numel(); ++i)
    bytes.push_back(static_cast<uint8_t>(values.data_ptr<int64_t>()[i]));
  return bytes;
}

std::unique_ptr<quelmar::TorchEnv> makeEnv(const Domain& domain, at::ScalarType dtype) {
  auto env = domain.torch_factory(kCpu, static_cast<int>(domain.state_size));
  env->state_dtype = dtype;
  return env;
}

TEST(PuzzlesTorch, FactoriesSetSizesAndValidateStateSize) {
  c10::InferenceMode guard;
  for (const Domain& domain : domains()) {
    SCOPED_TRACE(domain.name);
    ASSERT_NE(domain.torch_factory, nullptr);
    auto env = domain.torch_factory(kCpu, static_cast<int>(domain.state_size));
    ASSERT_NE(env, nullptr);
    EXPECT_EQ(env->num_moves, domain.num_moves);
    EXPECT_EQ(env->state_dim, static_cast<int64_t>(domain.state_size));
    for (int bad : {0, -1, static_cast<int>(domain.state_size) + 1,
                    static_cast<int>(domain.state_size) - 1}) {
      try {
        domain.torch_factory(kCpu, bad);
        ADD_FAILURE() << "state_size " << bad << " accepted";
      } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find(domain.name), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find(std::to_string(bad)), std::string::npos)
            << e.what();
      }
    }
  }
  EXPECT_EQ(&make_torch_puzzle8, domains()[0].torch_factory);
  EXPECT_EQ(&make_torch_cube3, find_domain("cube3").torch_factory);
}

TEST(PuzzlesTorch, ExpandMatchesCpuMoveByMove) {
  c10::InferenceMode guard;
  std::mt19937 rng(7);
  for (const Domain& domain : domains()) {
    const std::vector<Bytes> states = sampleStates(domain, rng);
    for (at::ScalarType dtype : kDtypes) {
      SCOPED_TRACE(std::string(domain.name) + " " + c10::toString(dtype));
      auto env = makeEnv(domain, dtype);
      const quelmar::TorchExpansion expansion = env->expand(toRows(states, dtype));
      const int64_t p = static_cast<int64_t>(states.size());
      ASSERT_EQ(expansion.children.sizes(),
                (std::vector<int64_t>{p, domain.num_moves, static_cast<int64_t>(domain.state_size)}));
      EXPECT_EQ(expansion.children.scalar_type(), dtype);
      EXPECT_EQ(expansion.children.device(), kCpu);
      ASSERT_EQ(expansion.move_costs.sizes(), (std::vector<int64_t>{p, domain.num_moves}));
      EXPECT_EQ(expansion.move_costs.scalar_type(), at::kFloat);
      EXPECT_TRUE(expansion.move_costs.eq(1.0f).all().item<bool>());
      int changed = 0;
      for (int64_t i = 0; i < p; ++i) {
        auto children = domain.factory(states[i])->expand();
        ASSERT_EQ(static_cast<int>(children.size()), domain.num_moves);
        for (int m = 0; m < domain.num_moves; ++m) {
          const Bytes got = rowBytes(expansion.children[i][m]);
          ASSERT_EQ(got, children[m]->state_bytes()) << "state " << i << " move " << m;
          changed += got != states[i];
        }
      }
      EXPECT_GT(changed, 0);  // the comparison saw real moves, not only copies
    }
  }
}

TEST(PuzzlesTorch, OffBoardMovesCopyTheParent) {
  c10::InferenceMode guard;
  const Domain& domain = find_domain("puzzle8");
  auto env = makeEnv(domain, at::kByte);
  // Blank in the top-left corner: up (0) and left (2) leave the board.
  const Bytes corner = {0, 1, 2, 3, 4, 5, 6, 7, 8};
  const at::Tensor children = env->expand(toRows({corner}, at::kByte)).children;
  EXPECT_EQ(rowBytes(children[0][0]), corner);
  EXPECT_EQ(rowBytes(children[0][2]), corner);
  EXPECT_EQ(rowBytes(children[0][1]), (Bytes{3, 1, 2, 0, 4, 5, 6, 7, 8}));
  EXPECT_EQ(rowBytes(children[0][3]), (Bytes{1, 0, 2, 3, 4, 5, 6, 7, 8}));
}

TEST(PuzzlesTorch, IsSolvedMatchesCpu) {
  c10::InferenceMode guard;
  std::mt19937 rng(11);
  for (const Domain& domain : domains()) {
    std::vector<Bytes> states = sampleStates(domain, rng);
    // One move from the goal and back again is solved; a single swap is not.
    Bytes near = goal_state(domain);
    std::swap(near[0], near[1]);
    states.push_back(near);
    for (at::ScalarType dtype : kDtypes) {
      SCOPED_TRACE(std::string(domain.name) + " " + c10::toString(dtype));
      auto env = makeEnv(domain, dtype);
      const at::Tensor solved = env->is_solved(toRows(states, dtype));
      ASSERT_EQ(solved.sizes(), (std::vector<int64_t>{static_cast<int64_t>(states.size())}));
      EXPECT_EQ(solved.scalar_type(), at::kBool);
      int count = 0;
      for (std::size_t i = 0; i < states.size(); ++i) {
        const bool expected = domain.factory(states[i])->is_solved();
        EXPECT_EQ(solved[static_cast<int64_t>(i)].item<bool>(), expected) << "state " << i;
        count += expected;
      }
      EXPECT_GE(count, 3);                            // the depth-0 walks
      EXPECT_LT(count, static_cast<int>(states.size()));
    }
  }
}

TEST(PuzzlesTorch, WriteInputsMatchesCpu) {
  c10::InferenceMode guard;
  std::mt19937 rng(13);
  for (const Domain& domain : domains()) {
    const std::vector<Bytes> states = sampleStates(domain, rng);
    for (at::ScalarType dtype : kDtypes) {
      SCOPED_TRACE(std::string(domain.name) + " " + c10::toString(dtype));
      auto env = makeEnv(domain, dtype);
      const std::vector<at::Tensor> inputs = env->write_inputs(toRows(states, dtype));
      ASSERT_EQ(inputs.size(), 1u);
      const at::Tensor& got = inputs[0];
      const auto cpu = domain.factory(states[0]);
      const int64_t width = static_cast<int64_t>(cpu->input_size());
      ASSERT_EQ(got.sizes(), (std::vector<int64_t>{static_cast<int64_t>(states.size()), width}));
      EXPECT_EQ(got.scalar_type(), at::kFloat);
      EXPECT_EQ(got.device(), kCpu);
      const at::Tensor dense = got.contiguous();
      for (std::size_t i = 0; i < states.size(); ++i) {
        std::vector<float> expected(width, -1.0f);
        domain.factory(states[i])->write_inputs(expected.data());
        const float* row = dense.data_ptr<float>() + i * width;
        ASSERT_TRUE(std::equal(expected.begin(), expected.end(), row)) << "state " << i;
      }
    }
  }
}

TEST(PuzzlesTorch, SingleRowAndEmptyBatches) {
  c10::InferenceMode guard;
  for (const Domain& domain : domains()) {
    SCOPED_TRACE(domain.name);
    const int64_t d = static_cast<int64_t>(domain.state_size);
    auto env = makeEnv(domain, at::kByte);
    const Bytes goal = goal_state(domain);
    const quelmar::TorchExpansion one = env->expand(toRows({goal}, at::kByte));
    EXPECT_EQ(one.children.sizes(), (std::vector<int64_t>{1, domain.num_moves, d}));
    EXPECT_EQ(one.move_costs.sizes(), (std::vector<int64_t>{1, domain.num_moves}));
    auto cpu_children = domain.factory(goal)->expand();
    for (int m = 0; m < domain.num_moves; ++m)
      EXPECT_EQ(rowBytes(one.children[0][m]), cpu_children[m]->state_bytes()) << "move " << m;

    const at::Tensor empty = at::empty({0, d}, at::kByte);
    const quelmar::TorchExpansion none = env->expand(empty);
    EXPECT_EQ(none.children.sizes(), (std::vector<int64_t>{0, domain.num_moves, d}));
    EXPECT_EQ(none.move_costs.sizes(), (std::vector<int64_t>{0, domain.num_moves}));
    EXPECT_EQ(env->is_solved(empty).sizes(), (std::vector<int64_t>{0}));
    EXPECT_EQ(env->write_inputs(empty).at(0).size(0), 0);
  }
}

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
        EXPECT_EQ(row.device(), kCpu);
        EXPECT_EQ(rowBytes(row), state);
        EXPECT_EQ(env->decode_state(row), state);
        EXPECT_EQ(env->decode_state(row.unsqueeze(0)), state);  // a [1, D] row too
      }
    }
    auto env = makeEnv(domain, at::kByte);
    Bytes bad = goal_state(domain);
    bad[0] = bad.back();  // a duplicate tile / a colour appearing ten times
    for (const Bytes& state : {bad, Bytes(domain.state_size - 1, 0), Bytes{}}) {
      try {
        env->encode_state(state);
        ADD_FAILURE() << "invalid state accepted";
      } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find(domain.name), std::string::npos) << e.what();
      }
    }
    EXPECT_THROW(env->decode_state(at::zeros({env->state_dim + 1}, at::kByte)),
                 std::invalid_argument);
    EXPECT_THROW(env->decode_state(at::full({env->state_dim}, 300, at::kLong)),
                 std::invalid_argument);
    EXPECT_THROW(env->decode_state(at::full({env->state_dim}, -1, at::kInt)),
                 std::invalid_argument);
  }
}

TEST(PuzzlesTorch, RejectsMalformedBatches) {
  c10::InferenceMode guard;
  for (const Domain& domain : domains()) {
    SCOPED_TRACE(domain.name);
    const int64_t d = static_cast<int64_t>(domain.state_size);
    auto env = makeEnv(domain, at::kByte);
    const std::vector<at::Tensor> bad = {at::zeros({2, d + 1}, at::kByte),
                                         at::zeros({d}, at::kByte),
                                         at::zeros({2, 1, d}, at::kByte),
                                         at::zeros({2, d}, at::kFloat),
                                         at::zeros({2, d}, at::kBool), at::Tensor()};
    for (const at::Tensor& states : bad) {
      EXPECT_THROW(env->expand(states), std::invalid_argument);
      EXPECT_THROW(env->is_solved(states), std::invalid_argument);
      EXPECT_THROW(env->write_inputs(states), std::invalid_argument);
    }
  }
}

TEST(PuzzlesTorch, RowsWithoutABlankDoNotFault) {
  // Rows are not validated on the device; a corrupt one must still give
  // in-range indices, so every child is a permutation of its parent.
  c10::InferenceMode guard;
  auto env = makeEnv(find_domain("puzzle15"), at::kLong);
  const at::Tensor rows = at::arange(1, 17, at::kLong).reshape({1, 16});
  const at::Tensor children = env->expand(rows).children;
  ASSERT_EQ(children.sizes(), (std::vector<int64_t>{1, 4, 16}));
  for (int m = 0; m < 4; ++m)
    EXPECT_TRUE(std::get<0>(children[0][m].sort()).equal(rows[0])) << "move " << m;
  EXPECT_FALSE(env->is_solved(rows)[0].item<bool>());
}

}  // namespace
}  // namespace quelmar_puzzles
