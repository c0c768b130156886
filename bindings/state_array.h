#pragma once
// The `state` argument of the solver functions and its copy.

#include <cstdint>
#include <vector>

#include <nanobind/ndarray.h>

namespace quelmar::bindings {

using StateArray =
    nanobind::ndarray<uint8_t, nanobind::shape<-1>, nanobind::c_contig, nanobind::device::cpu>;

// Rejects a non-positive batch size first, then an empty state; copies the
// bytes from the array's data pointer (which already includes any offset).
std::vector<uint8_t> checkedStateCopy(const StateArray& state, int32_t batch_size);
// The same without a batch size.
std::vector<uint8_t> checkedStateCopy(const StateArray& state);

}  // namespace quelmar::bindings
