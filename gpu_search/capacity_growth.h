#pragma once
// Growth of the GPU search's device arrays: the size an array grows to and
// the grown copy of a column. OPEN, the node store, CLOSED's entries and
// slots, and the CLOSED-entry -> node-row map all grow through these.

#include <cstdint>
#include <optional>
#include <string>

#include <ATen/Tensor.h>
#include <c10/core/Scalar.h>

namespace quelmar {

// Beyond this a doubling would overflow; no device holds such an array anyway.
constexpr int64_t kMaxCapacity = int64_t{1} << 62;

// How a row array grows once it is too small.
enum class Doubling {
  kOnceOrToRequired,  // to twice its rows, or to the rows required if that is more
  kUntilEnough,       // doubled (from at least one row) until the rows required fit
};

// Twice `capacity`; std::runtime_error "<what> capacity cannot grow beyond 2^62" at kMaxCapacity.
int64_t doubledCapacity(int64_t capacity, const std::string& what);

// Rows for an array of `capacity` rows that must hold `required`: `capacity` when it does, else
// grown by `doubling`; std::runtime_error "fixed <what> capacity exhausted at capacity=<capacity>"
// when it must grow and `fixed`, and as doubledCapacity past kMaxCapacity.
int64_t grownRowCapacity(int64_t capacity, int64_t required, bool fixed, const std::string& what,
                         Doubling doubling);

// Slots for a hash table of `capacity` slots, `filled` of them used, about to hold `needed`:
// `capacity` while both stay below 2/3 of it, else the first doubling where they do;
// std::runtime_error "fixed CLOSED capacity exhausted at capacity=<capacity>" when it must grow
// and `fixed`, and as doubledCapacity past kMaxCapacity.
int64_t grownSlotCapacity(int64_t capacity, int64_t filled, int64_t needed, bool fixed);

// `column` with `rows` rows (its trailing sizes, dtype and device), the first `kept` of them
// copied from it and the rest `fill` (left uninitialised without one). Throws only LibTorch's errors.
at::Tensor grownColumn(const at::Tensor& column, int64_t rows, int64_t kept,
                       const std::optional<at::Scalar>& fill = std::nullopt);

}  // namespace quelmar
