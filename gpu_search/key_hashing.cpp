#include "gpu_search/key_hashing.h"

#include <ATen/ATen.h>

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <vector>

namespace quelmar {
namespace {

constexpr uint64_t kGolden = 0x9E3779B97F4A7C15ULL;
constexpr uint64_t kMix1 = 0xBF58476D1CE4E5B9ULL;
constexpr uint64_t kMix2 = 0x94D049BB133111EBULL;
constexpr int64_t kLow32 = 0xFFFFFFFFLL;
// Wide keys are hashed in column chunks so that temporaries stay near 2^21 elements.
constexpr int64_t kHashChunkElements = 2097152;
constexpr int64_t kHashMinChunkColumns = 16;

int64_t asSigned(uint64_t v) { return static_cast<int64_t>(v); }

at::TensorOptions longOn(const c10::Device& device) {
  return at::TensorOptions().dtype(at::kLong).device(device);
}

uint64_t splitMix64Host(uint64_t x) {
  uint64_t z = x + kGolden;
  z = (z ^ (z >> 30)) * kMix1;
  z = (z ^ (z >> 27)) * kMix2;
  return z ^ (z >> 31);
}

at::Tensor splitMix64(const at::Tensor& x) {
  at::Tensor z = x + asSigned(kGolden);
  z = at::bitwise_xor(z, logicalShiftRight(z, 30)) * asSigned(kMix1);
  z = at::bitwise_xor(z, logicalShiftRight(z, 27)) * asSigned(kMix2);
  return at::bitwise_xor(z, logicalShiftRight(z, 31));
}

}  // namespace

// The shift is assembled from the two 32-bit halves.
at::Tensor logicalShiftRight(const at::Tensor& x, int64_t r) {
  at::Tensor lo = at::bitwise_and(x, kLow32);
  at::Tensor hi = at::bitwise_and(at::bitwise_right_shift(x, 32), kLow32);
  at::Tensor new_lo = at::bitwise_or(
      at::bitwise_right_shift(lo, r), at::bitwise_and(at::bitwise_left_shift(hi, 32 - r), kLow32));
  at::Tensor new_hi = at::bitwise_right_shift(hi, r);
  return at::bitwise_or(at::bitwise_left_shift(new_hi, 32), new_lo);
}

KeyHasher::KeyHasher(int64_t key_width, c10::Device device, c10::ScalarType key_dtype)
    : key_width_(key_width), device_(device), key_dtype_(key_dtype) {
  if (key_width < 1) throw std::invalid_argument("CLOSED key width must be positive");
  seed_ = at::randint(std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max(),
                      at::IntArrayRef{}, longOn(device_));
  std::vector<int64_t> offsets(static_cast<size_t>(key_width_));
  std::vector<int64_t> multipliers(static_cast<size_t>(key_width_));
  for (int64_t j = 0; j < key_width_; ++j) {
    const uint64_t a = static_cast<uint64_t>(j + 1) * kGolden;
    offsets[static_cast<size_t>(j)] = asSigned(a);
    multipliers[static_cast<size_t>(j)] = asSigned(splitMix64Host(a ^ kMix1));
  }
  column_offsets_ = at::tensor(at::ArrayRef<int64_t>(offsets), at::TensorOptions().dtype(at::kLong)).to(device_);
  column_multipliers_ =
      at::tensor(at::ArrayRef<int64_t>(multipliers), at::TensorOptions().dtype(at::kLong)).to(device_);
}

at::Tensor KeyHasher::normalize(const at::Tensor& keys) const {
  if (!keys.defined()) throw std::invalid_argument("Keys must have shape (B, key_width)");
  if (keys.dim() == 1) {
    if (keys.size(0) != key_width_) throw std::invalid_argument("Key width mismatch");
    return keys.reshape({1, key_width_}).to(device_, key_dtype_);
  }
  if (keys.dim() != 2 || keys.size(1) != key_width_)
    throw std::invalid_argument("Keys must have shape (B, key_width)");
  return keys.to(device_, key_dtype_);
}

at::Tensor KeyHasher::hash(const at::Tensor& keys) const {
  if (!keys.defined() || keys.dim() != 2 || keys.size(1) != key_width_)
    throw std::invalid_argument("Keys must have shape (B, key_width)");
  at::Tensor k = keys.to(device_, at::kLong);
  const int64_t rows = k.size(0);
  int64_t chunk = key_width_;
  if (key_width_ > kHashMinChunkColumns)
    chunk = std::min(key_width_, std::max(kHashMinChunkColumns,
                                          kHashChunkElements / std::max<int64_t>(rows, 1)));
  at::Tensor acc = at::zeros({rows}, longOn(device_));
  for (int64_t c0 = 0; c0 < key_width_; c0 += chunk) {
    const int64_t width = std::min(chunk, key_width_ - c0);
    at::Tensor mixed = splitMix64(at::bitwise_xor(k.narrow(1, c0, width), seed_) +
                                  column_offsets_.narrow(0, c0, width));
    acc += (mixed * column_multipliers_.narrow(0, c0, width)).sum(1);
  }
  return splitMix64(at::bitwise_xor(acc, seed_));
}

}  // namespace quelmar
