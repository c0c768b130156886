#pragma once
// CLOSED set of the GPU search: takes a batch of key rows with their path
// costs and flags each row that is new or cheaper than every earlier path to
// its key. It runs three units in turn: key hashing, the batch-minimum rule
// and slot placement; their arrays are all tensors on the search device.
//
// Entries are never removed. Entry ids are dense (0, 1, 2, ... in insertion
// order) so that the search can index its own per-entry side arrays with them.
//
// Costs: a NaN cost carries no information. A NaN-cost row is never flagged
// and never lowers a stored cost; a new key seen only with NaN costs is
// stored with cost +inf. A +inf cost is never flagged either (nothing is
// strictly above it), and a new key seen only with +inf is stored with +inf.

#include <cstdint>
#include <string>

#include <ATen/Tensor.h>
#include <c10/core/Device.h>
#include <c10/core/ScalarType.h>

#include "gpu_search/key_hashing.h"
#include "gpu_search/slot_placement.h"

namespace quelmar {

class GpuClosedTable {
 public:
  struct InsertResult {
    at::Tensor flags;    // bool [B]: row is new or improves on the best known cost
    at::Tensor entries;  // int64 [B]: entry id of the row's key if flagged, else -1
  };

  // std::invalid_argument as ClosedSlots: an unknown algorithm, key_width < 1, an initial
  // capacity above 2^62.
  GpuClosedTable(int64_t key_width, c10::Device device, c10::ScalarType key_dtype,
                 c10::ScalarType cost_dtype, int64_t initial_capacity,
                 ClosedProbing probing, bool fixed);

  // Keys [B, W] or one row [W], costs B values (any shape); returns the flags, bool [B].
  // std::invalid_argument as KeyHasher::normalize, or "Costs must have one value per key row";
  // std::runtime_error when a fixed table is full (the table left as it was).
  at::Tensor insertOrImprove(const at::Tensor& keys, const at::Tensor& costs);
  // The same, with the entry id of every flagged row.
  InsertResult insertOrImproveWithEntries(const at::Tensor& keys, const at::Tensor& costs);

  const KeyHasher& hasher() const { return hasher_; }
  const ClosedSlots& slots() const { return slots_; }

 private:
  InsertResult insert(const at::Tensor& keys, const at::Tensor& costs, bool want_entries);

  // Declared first: its argument checks come before the hasher's.
  ClosedSlots slots_;
  KeyHasher hasher_;
  c10::Device device_;
  c10::ScalarType cost_dtype_;
};

}  // namespace quelmar
