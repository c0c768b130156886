#pragma once
// Keys of the GPU CLOSED table: their one normal form, and 64-bit hashes
// that depend on a key's values alone (not on its storage type), seeded
// afresh for every table.

#include <cstdint>

#include <ATen/Tensor.h>
#include <c10/core/Device.h>
#include <c10/core/ScalarType.h>

namespace quelmar {

class KeyHasher {
 public:
  // Draws the seed. std::invalid_argument "CLOSED key width must be positive" when key_width < 1.
  KeyHasher(int64_t key_width, c10::Device device, c10::ScalarType key_dtype);

  // [B, W] keys or one row [W] -> [B, W] on the device in the key dtype; std::invalid_argument
  // "Key width mismatch" for a row of another width, "Keys must have shape (B, key_width)" otherwise.
  at::Tensor normalize(const at::Tensor& keys) const;

  // [B, W] keys of any integer or floating type -> int64 [B]; std::invalid_argument
  // "Keys must have shape (B, key_width)" for any other shape.
  at::Tensor hash(const at::Tensor& keys) const;

 private:
  int64_t key_width_;
  c10::Device device_;
  c10::ScalarType key_dtype_;
  at::Tensor seed_;
  at::Tensor column_offsets_;
  at::Tensor column_multipliers_;
};

// Logical right shift of int64 values by r in [1, 31]; tensor shifts are arithmetic. Throws nothing.
at::Tensor logicalShiftRight(const at::Tensor& x, int64_t r);

}  // namespace quelmar
