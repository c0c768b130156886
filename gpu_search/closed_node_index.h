#pragma once
// In-place duplicate mode of the GPU search: the node row that currently
// represents each CLOSED entry, or -1.

#include <cstdint>

#include <ATen/Tensor.h>
#include <c10/core/Device.h>

namespace quelmar {

class ClosedNodeIndex {
 public:
  // Disabled (every operation a no-op) unless `enabled`.
  ClosedNodeIndex(bool enabled, int64_t initial_length, c10::Device device, bool fixed);

  // Grows (as grownRowCapacity with Doubling::kUntilEnough, new entries -1) so that at least
  // `required` entries exist; std::runtime_error "fixed CLOSED node-index capacity exhausted at
  // capacity=<length>" when fixed and too short.
  void ensure(int64_t required);

  at::Tensor& map() { return map_; }

 private:
  bool enabled_;
  bool fixed_;
  at::Tensor map_;
};

}  // namespace quelmar
