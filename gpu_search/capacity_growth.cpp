#include "gpu_search/capacity_growth.h"

#include <ATen/ATen.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace quelmar {
namespace {

[[noreturn]] void throwExhausted(const std::string& what, int64_t capacity) {
  throw std::runtime_error("fixed " + what + " capacity exhausted at capacity=" + std::to_string(capacity));
}

// 3n < 2 * capacity, without overflow.
bool belowTwoThirds(int64_t n, int64_t capacity) {
  return static_cast<__int128>(3) * n < static_cast<__int128>(2) * capacity;
}

}  // namespace

int64_t doubledCapacity(int64_t capacity, const std::string& what) {
  if (capacity >= kMaxCapacity)
    throw std::runtime_error(what + " capacity cannot grow beyond " + std::to_string(kMaxCapacity));
  return 2 * capacity;
}

int64_t grownRowCapacity(int64_t capacity, int64_t required, bool fixed, const std::string& what,
                         Doubling doubling) {
  if (required <= capacity) return capacity;
  if (fixed) throwExhausted(what, capacity);
  if (doubling == Doubling::kOnceOrToRequired) return std::max(doubledCapacity(capacity, what), required);
  int64_t rows = std::max<int64_t>(capacity, 1);
  while (rows < required) rows = doubledCapacity(rows, what);
  return rows;
}

int64_t grownSlotCapacity(int64_t capacity, int64_t filled, int64_t needed, bool fixed) {
  if (belowTwoThirds(filled, capacity) && belowTwoThirds(needed, capacity)) return capacity;
  if (fixed) throwExhausted("CLOSED", capacity);
  const int64_t target = std::max(needed, filled);
  int64_t slots = capacity;
  while (!belowTwoThirds(target, slots)) slots = doubledCapacity(slots, "CLOSED");
  return slots;
}

at::Tensor grownColumn(const at::Tensor& column, int64_t rows, int64_t kept,
                       const std::optional<at::Scalar>& fill) {
  std::vector<int64_t> sizes = column.sizes().vec();
  sizes[0] = rows;
  at::Tensor grown = fill ? at::full(sizes, *fill, column.options()) : at::empty(sizes, column.options());
  if (kept > 0) grown.narrow(0, 0, kept).copy_(column.narrow(0, 0, kept));
  return grown;
}

}  // namespace quelmar
