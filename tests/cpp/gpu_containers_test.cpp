// Growth, OPEN, node store, CLOSED node index and path reconstruction of the
// GPU search, exercised on the CPU device.
#include <gtest/gtest.h>

#include <ATen/ATen.h>
#include <c10/core/InferenceMode.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "gpu_search/capacity_growth.h"
#include "gpu_search/closed_node_index.h"
#include "gpu_search/node_store.h"
#include "gpu_search/open_queue.h"
#include "gpu_search/path_reconstruction.h"
#include "quelmar_puzzles/puzzles.h"
#include "test_support.h"

namespace quelmar {
namespace {

using testing_support::messageOf;

const c10::Device kCpu(c10::kCPU);
const std::string kBeyond = "capacity cannot grow beyond 4611686018427387904";

// Catches: an array grown short of what is required or further than its
// policy says, a slot table that grows before or after the 2/3 load mark, a
// fixed array that grows instead of failing with its message, a doubling
// that overflows instead of failing.
TEST(GpuCapacityGrowth, RowAndSlotPolicies) {
  struct RowCase {
    int64_t capacity, required;
    Doubling doubling;
    int64_t expected;
  };
  const RowCase rows[] = {
      {4, 4, Doubling::kOnceOrToRequired, 4},  {4, 5, Doubling::kOnceOrToRequired, 8},
      {4, 9, Doubling::kOnceOrToRequired, 9},  {1, 4, Doubling::kOnceOrToRequired, 4},
      {3, 3, Doubling::kUntilEnough, 3},       {3, 4, Doubling::kUntilEnough, 6},
      {3, 9, Doubling::kUntilEnough, 12},      {0, 5, Doubling::kUntilEnough, 8},
  };
  for (const RowCase& c : rows) {
    EXPECT_EQ(grownRowCapacity(c.capacity, c.required, false, "OPEN", c.doubling), c.expected)
        << c.capacity << " -> " << c.required;
    const auto fixed = [&] { return grownRowCapacity(c.capacity, c.required, true, "OPEN", c.doubling); };
    if (c.required <= c.capacity) EXPECT_EQ(fixed(), c.capacity);
    else EXPECT_EQ(messageOf<std::runtime_error>(fixed), "fixed OPEN capacity exhausted at capacity=" + std::to_string(c.capacity));
  }
  struct SlotCase {
    int64_t filled, needed, expected;
  };
  for (const SlotCase& c : {SlotCase{0, 0, 8}, {0, 5, 8}, {0, 6, 16}, {0, 10, 16}, {0, 11, 32}, {6, 0, 16}, {5, 5, 8}}) {
    EXPECT_EQ(grownSlotCapacity(8, c.filled, c.needed, false), c.expected) << c.filled << " " << c.needed;
    if (c.expected > 8)
      EXPECT_EQ(messageOf<std::runtime_error>([&] { grownSlotCapacity(8, c.filled, c.needed, true); }),
                "fixed CLOSED capacity exhausted at capacity=8");
  }
  EXPECT_EQ(messageOf<std::runtime_error>(
                [] { grownRowCapacity(kMaxCapacity, kMaxCapacity + 1, false, "CLOSED entry", Doubling::kUntilEnough); }),
            "CLOSED entry " + kBeyond);
  EXPECT_EQ(messageOf<std::runtime_error>([] { grownSlotCapacity(kMaxCapacity, kMaxCapacity, 0, false); }),
            "CLOSED " + kBeyond);
}

// Catches: OPEN popping out of cost order or growing its buffer wrongly;
// fixed OPEN or node-index capacities that grow; a grown node index that
// loses its rows or does not mark new entries -1.
TEST(GpuContainers, OpenOrderAndNodeIndexGrowth) {
  c10::InferenceMode guard;
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
  EXPECT_EQ(messageOf<std::runtime_error>([&] { fixed.push(at::tensor({1}, at::kLong), at::tensor({0.0f})); }),
            "fixed OPEN capacity exhausted at capacity=1");

  ClosedNodeIndex index(true, 3, kCpu, false);
  index.map().copy_(at::tensor({4, 5, 6}, at::kLong));
  index.ensure(9);
  EXPECT_TRUE(at::equal(index.map(), at::tensor({4, 5, 6, -1, -1, -1, -1, -1, -1, -1, -1, -1}, at::kLong)));
  ClosedNodeIndex fixed_index(true, 3, kCpu, true);
  EXPECT_EQ(messageOf<std::runtime_error>([&] { fixed_index.ensure(4); }),
            "fixed CLOSED node-index capacity exhausted at capacity=3");
}

// Rows with the given parents; every other column holds the row's parent + 1.
NodeRows nodeRows(const std::vector<int64_t>& parents) {
  const int64_t n = static_cast<int64_t>(parents.size());
  const at::Tensor p = at::tensor(parents, at::kLong), v = (p + 1).to(at::kFloat);
  return {v.unsqueeze(1).expand({n, 2}), p + 1, v, v, v, at::zeros({n}, at::kBool), p, p + 1};
}

// Catches: node-store growth past or short of what is needed or losing the
// rows stored before it, mismatched row counts accepted, a fixed store that
// grows, a cyclic parent walk that hangs.
TEST(GpuContainers, NodeStoreGrowthAndPathWalk) {
  c10::InferenceMode guard;
  TorchNodeStore store(2, kCpu, TorchAStarConfig{}, 1, false), fixed(2, kCpu, TorchAStarConfig{}, 1, true);
  EXPECT_EQ(store.append(nodeRows({})).size(0), 0);
  store.append(nodeRows({-1}));
  store.append(nodeRows({0, 1, 2}));  // grows from 1 to exactly 4 rows
  EXPECT_EQ(store.capacity(), 4);
  EXPECT_EQ(store.size(), 4);
  EXPECT_TRUE(at::equal(store.parent_index(), at::tensor({-1, 0, 1, 2}, at::kLong)));
  EXPECT_TRUE(at::equal(store.states().select(1, 1), at::tensor({0, 1, 2, 3}, at::kByte)));
  EXPECT_EQ(messageOf<std::invalid_argument>([&] { store.write_rows(at::tensor({1, 2}, at::kLong), nodeRows({0})); }),
            "indices and node rows must contain the same number of rows");
  EXPECT_EQ(messageOf<std::runtime_error>([&] { fixed.append(nodeRows({-1, 0})); }),
            "fixed node-store capacity exhausted at capacity=1");
  // Parent links that form a cycle end in an error instead of an endless walk.
  store.write_rows(at::tensor({0}, at::kLong), nodeRows({3}));
  EXPECT_THROW(reconstructTorchPath(store, *quelmar_puzzles::make_torch_puzzle8(kCpu, 9), 3, MoveSource::kStored),
               std::runtime_error);
}

}  // namespace
}  // namespace quelmar
