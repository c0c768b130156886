#pragma once
// In-place duplicate mode of the GPU search: the CLOSED-entry -> node-row map
// and the choice of one child per CLOSED entry within a batch.

#include <cstdint>

#include <ATen/Tensor.h>
#include <c10/core/Device.h>

namespace quelmar {

// Positions (ascending) that keep exactly one element per distinct key: the
// cheapest, the earliest among equal costs. Survivors keep their input order.
at::Tensor select_min_cost_per_key(const at::Tensor& keys, const at::Tensor& costs);

// Node row that currently represents each CLOSED entry, or -1.
class ClosedNodeIndex {
 public:
  // Disabled (every operation a no-op) unless `enabled`.
  ClosedNodeIndex(bool enabled, int64_t initial_length, c10::Device device, bool fixed);

  // Grows (doubling, filled with -1) so that at least `required` entries exist.
  void ensure(int64_t required);

  bool enabled() const { return enabled_; }
  at::Tensor& map() { return map_; }
  const at::Tensor& map() const { return map_; }

 private:
  bool enabled_;
  bool fixed_;
  at::Tensor map_;
};

}  // namespace quelmar
