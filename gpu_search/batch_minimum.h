#pragma once
// The batch-minimum rule of the GPU search: within one batch of rows, which
// row of each key is the cheapest. NaN costs carry no information: a NaN row
// is never flagged, chosen over a number, or part of a minimum.

#include <cstdint>

#include <ATen/Tensor.h>

namespace quelmar {

struct KeyGroups {
  at::Tensor inverse;        // int64 [B]: group of each row
  at::Tensor unique_hashes;  // int64 [U]
  at::Tensor unique_keys;    // [U, W], the keys' dtype
};

struct BatchMinimum {
  at::Tensor flags;      // bool [B]: the row is below every earlier cost of its key, stored or in the batch
  at::Tensor has_min;    // bool [U]: the group has a non-NaN cost
  at::Tensor group_min;  // [U]: the group's lowest non-NaN cost (meaningful where has_min)
};

// Groups equal key rows ([B, W], one int64 hash each): groups in row order when no two hashes
// coincide, else in lexicographic key order; std::invalid_argument unless there is one hash per row.
KeyGroups groupEqualKeys(const at::Tensor& keys, const at::Tensor& hashes);

// Flags and group minima of costs [B] in groups `inverse` (of `groups`), against each group's
// stored cost best [U] where found [U]; a group not found stands at +inf. Throws only LibTorch's errors.
BatchMinimum batchMinimum(const at::Tensor& cost, const at::Tensor& inverse, int64_t groups,
                          const at::Tensor& found, const at::Tensor& best);

// Ascending positions that keep one row per distinct key [N]: the cheapest, the earliest among
// equal costs. Throws only LibTorch's errors.
at::Tensor select_min_cost_per_key(const at::Tensor& keys, const at::Tensor& costs);

// The first element of every run of equal values in a sorted 1-D tensor, as bool. Throws only LibTorch's errors.
at::Tensor runStarts(const at::Tensor& sorted);

}  // namespace quelmar
