#include "gpu_search/closed_node_index.h"

#include <ATen/ATen.h>

#include "gpu_search/capacity_growth.h"

namespace quelmar {

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
