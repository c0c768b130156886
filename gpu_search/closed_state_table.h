#pragma once
// CLOSED set of the GPU search: an open-addressing hash table whose arrays are
// all tensors on the search device. Every operation works on a whole batch of
// key rows; the host loops only over probe steps and placement passes.
//
// Entries are never removed. Entry ids are dense (0, 1, 2, ... in insertion
// order) so that the search can index its own per-entry side arrays with them.
//
// Costs: a NaN cost carries no information. A NaN-cost row is never flagged
// and never lowers a stored cost; a new key seen only with NaN costs is
// stored with cost +inf. A +inf cost is never flagged either (nothing is
// strictly above it), and a new key seen only with +inf is stored with +inf.

#include <cstdint>
#include <optional>
#include <string>

#include <ATen/Tensor.h>
#include <c10/core/Device.h>
#include <c10/core/ScalarType.h>

namespace quelmar {

class GpuClosedTable {
 public:
  struct DedupeResult {
    at::Tensor inverse;        // int64 [B]: group of each row
    at::Tensor unique_hashes;  // int64 [U]
    at::Tensor unique_keys;    // key_dtype [U, W]
  };

  struct ProbeResult {
    at::Tensor entry;  // int64 [N]: entry id, -1 when absent
    at::Tensor slot;   // int64 [N]: slot holding the key, else the first empty
                       // slot met; -1 when no probe step reached either
    at::Tensor found;  // bool [N]
  };

  struct InsertResult {
    at::Tensor flags;    // bool [B]: row is new or improves on the best known cost
    at::Tensor entries;  // int64 [B]: entry id of the row's key if flagged, else -1
  };

  // algorithm: "linear_probing" or "python_dict" (std::invalid_argument
  // otherwise). capacity = smallest power of two >= max(initial_capacity, 8).
  GpuClosedTable(int64_t key_width, c10::Device device, c10::ScalarType key_dtype,
                 c10::ScalarType cost_dtype, int64_t initial_capacity,
                 const std::string& algorithm, bool fixed);

  // [B, W] or one row [W] -> [B, W] on the table's device in key_dtype.
  at::Tensor normalizeKeys(const at::Tensor& keys) const;

  // [B, W] keys (any integer or floating type; values, not bits) -> int64 [B].
  at::Tensor hashKeys(const at::Tensor& keys) const;

  // Groups equal rows. When no two hashes coincide the rows are returned in
  // batch order; otherwise the unique rows come in lexicographic order.
  DedupeResult dedupeBatch(const at::Tensor& keys, const at::Tensor& hashes) const;

  ProbeResult probe(const at::Tensor& keys, const at::Tensor& hashes) const;

  // Grows (adaptive) or throws std::runtime_error (fixed) unless both the
  // current fill and `needed` stay below 2/3 of the capacity. Callers pass
  // filledSlots() + the number of keys about to be inserted.
  void ensureSlotCapacity(int64_t needed);

  // Writes costs of the rows selected by update_mask (default: found) and
  // inserts the rows with found == false as new entries. Returns the entry id
  // of every row. Keys to insert must be distinct and absent from the table
  // (std::invalid_argument otherwise; the slot layout is left untouched).
  at::Tensor upsertEntries(const at::Tensor& keys, const at::Tensor& costs,
                           const at::Tensor& hashes, const at::Tensor& found,
                           const at::Tensor& slot, const at::Tensor& entry,
                           const std::optional<at::Tensor>& update_mask = std::nullopt);

  // Puts stored entries `ids` (whose keys and hashes are given) into empty
  // slots. If a probe reaches no empty slot the table grows (adaptive) or
  // std::runtime_error is thrown (fixed) with the slot layout restored.
  void placeEntries(const at::Tensor& keys, const at::Tensor& hashes, const at::Tensor& ids);

  // costs: B values (any shape with B elements). Returns bool [B].
  at::Tensor insertOrImprove(const at::Tensor& keys, const at::Tensor& costs);
  InsertResult insertOrImproveWithEntries(const at::Tensor& keys, const at::Tensor& costs);

  int64_t keyWidth() const { return key_width_; }
  const c10::Device& device() const { return device_; }
  c10::ScalarType keyDtype() const { return key_dtype_; }
  c10::ScalarType costDtype() const { return cost_dtype_; }
  const std::string& algorithm() const { return algorithm_; }
  bool fixedCapacity() const { return fixed_capacity_; }
  int64_t capacity() const { return capacity_; }
  int64_t entryCapacity() const { return entry_capacity_; }
  int64_t size() const { return size_; }
  int64_t filledSlots() const { return filled_slots_; }

  // Only rows [0, size()) of keys, costs and hashes are meaningful.
  const at::Tensor& slots() const { return slots_; }
  const at::Tensor& keys() const { return keys_; }
  const at::Tensor& costs() const { return costs_; }
  const at::Tensor& hashes() const { return hashes_; }
  const at::Tensor& mask() const { return mask_; }
  const at::Tensor& seed() const { return seed_; }
  const at::Tensor& columnOffsets() const { return column_offsets_; }
  const at::Tensor& columnMultipliers() const { return column_multipliers_; }

 private:
  enum class PlaceStatus { kPlaced, kNoSlot, kAlreadyPresent };

  PlaceStatus tryPlace(const at::Tensor& keys, const at::Tensor& hashes, const at::Tensor& ids);
  void rebuildSlots(int64_t new_capacity);
  void growAfterFailedPlacement();
  InsertResult insertImpl(const at::Tensor& keys, const at::Tensor& costs, bool want_entries);

  int64_t key_width_;
  c10::Device device_;
  c10::ScalarType key_dtype_;
  c10::ScalarType cost_dtype_;
  std::string algorithm_;
  bool fixed_capacity_;
  int64_t capacity_;
  int64_t entry_capacity_;
  int64_t size_;
  int64_t filled_slots_;
  at::Tensor slots_;
  at::Tensor keys_;
  at::Tensor costs_;
  at::Tensor hashes_;
  at::Tensor mask_;
  at::Tensor seed_;
  at::Tensor column_offsets_;
  at::Tensor column_multipliers_;
};

}  // namespace quelmar
