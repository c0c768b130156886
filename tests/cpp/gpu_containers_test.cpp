// Growth of the GPU search's device arrays, exercised on the CPU device.
#include <gtest/gtest.h>

#include <ATen/ATen.h>
#include <c10/core/InferenceMode.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "gpu_search/capacity_growth.h"
#include "test_support.h"

namespace quelmar {
namespace {

using testing_support::messageOf;

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

// Catches: a grown column that loses or moves kept rows, has other trailing
// sizes or another dtype, or leaves new rows unfilled when a fill is given.
TEST(GpuCapacityGrowth, GrownColumnKeepsContents) {
  c10::InferenceMode guard;
  for (const at::Tensor& column : {at::arange(6, at::kLong), at::arange(12, at::kFloat).reshape({6, 2}),
                                   at::arange(6, at::kByte).reshape({6, 1})}) {
    for (int64_t kept : {0, 3, 6}) {
      for (const std::optional<at::Scalar>& fill : {std::optional<at::Scalar>(), std::optional<at::Scalar>(-1)}) {
        const at::Tensor grown = grownColumn(column, 10, kept, fill);
        EXPECT_EQ(grown.size(0), 10);
        EXPECT_EQ(grown.sizes().slice(1), column.sizes().slice(1));
        EXPECT_EQ(grown.scalar_type(), column.scalar_type());
        EXPECT_TRUE(at::equal(grown.narrow(0, 0, kept), column.narrow(0, 0, kept)));
        if (fill) EXPECT_TRUE(grown.narrow(0, kept, 10 - kept).eq(*fill).all().item<bool>());
      }
    }
  }
}

}  // namespace
}  // namespace quelmar
