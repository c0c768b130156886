#include "gpu_search/duplicate_selection.h"

#include <ATen/ATen.h>

#include <algorithm>

#include "gpu_search/capacity_growth.h"

namespace quelmar {
namespace {

at::Tensor stableArgsort(const at::Tensor& values) {
  return std::get<1>(at::sort(values, /*stable=*/true, /*dim=*/0, /*descending=*/false));
}

}  // namespace

at::Tensor select_min_cost_per_key(const at::Tensor& keys, const at::Tensor& costs) {
  const int64_t n = keys.size(0);
  if (n < 2) return at::arange(n, keys.options().dtype(at::kLong));
  const at::Tensor keys64 = keys.to(at::kLong);
  const at::Tensor by_cost = stableArgsort(costs);
  const at::Tensor by_key = stableArgsort(keys64.index_select(0, by_cost));
  // Ordered by key, then cost, then input position.
  const at::Tensor perm = by_cost.index_select(0, by_key);
  const at::Tensor sorted_keys = keys64.index_select(0, perm);
  at::Tensor first = at::ones({n}, keys64.options().dtype(at::kBool));
  first.narrow(0, 1, n - 1).copy_(sorted_keys.narrow(0, 1, n - 1) != sorted_keys.narrow(0, 0, n - 1));
  const at::Tensor chosen = perm.index({first});
  return chosen.index_select(0, stableArgsort(chosen));
}

ClosedNodeIndex::ClosedNodeIndex(bool enabled, int64_t initial_length, c10::Device device,
                                 bool fixed)
    : enabled_(enabled), fixed_(fixed) {
  if (enabled_)
    map_ = at::full({initial_length}, -1, at::TensorOptions().device(device).dtype(at::kLong));
}

void ClosedNodeIndex::ensure(int64_t required) {
  if (!enabled_) return;
  const int64_t current = map_.size(0);
  const int64_t length =
      grownRowCapacity(current, required, fixed_, "CLOSED node-index", Doubling::kUntilEnough);
  if (length != current) map_ = grownColumn(map_, length, current, -1);
}

}  // namespace quelmar
