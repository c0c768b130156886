#pragma once
// Slot placement of the GPU CLOSED table: dense entries (key, cost and hash
// rows, ids 0, 1, 2, ... in insertion order, never removed) and the
// open-addressing slots that index them, all tensors on one device. Every
// operation works on a whole batch of rows; the host loops only over probe
// steps and placement passes.

#include <cstdint>
#include <optional>
#include <string>

#include <ATen/Tensor.h>
#include <c10/core/Device.h>
#include <c10/core/ScalarType.h>

#include "config/search_modes.h"

namespace quelmar {

class ClosedSlots {
 public:
  struct Probe {
    at::Tensor entry;  // int64 [N]: entry id, -1 when absent
    at::Tensor slot;   // int64 [N]: slot holding the key, else the first empty
                       // slot met; -1 when no probe step reached either
    at::Tensor found;  // bool [N]
  };

  // Slots and entry rows: the smallest power of two >= max(initial_capacity, 8). std::invalid_argument
  // for an algorithm other than "linear_probing" or "python_dict", key_width < 1 or an initial capacity above 2^62.
  ClosedSlots(int64_t key_width, c10::Device device, c10::ScalarType key_dtype,
              c10::ScalarType cost_dtype, int64_t initial_capacity, ClosedProbing probing,
              bool fixed);

  // Looks up keys [N, W] with their int64 hashes [N]; std::invalid_argument for another key shape
  // or hash count.
  Probe probe(const at::Tensor& keys, const at::Tensor& hashes) const;

  // Grows the slots unless the fill and `needed` (fill plus the keys about to be inserted) stay
  // below 2/3 of them; std::runtime_error as grownSlotCapacity.
  void reserve(int64_t needed);

  // Writes the costs of the rows update selects (default: found) over their entries and inserts the
  // rows with found false as new entries; returns every row's entry id. std::invalid_argument for
  // another key shape or value count, or a key to insert that is stored or repeated (slots left as
  // they were); std::runtime_error when fixed and out of entry rows or of free slots (slots left as
  // they were, the cost writes kept).
  at::Tensor upsert(const at::Tensor& keys, const at::Tensor& costs, const at::Tensor& hashes,
                    const at::Tensor& found, const at::Tensor& entry,
                    const std::optional<at::Tensor>& update = std::nullopt);

  int64_t capacity() const { return capacity_; }
  int64_t entryCapacity() const { return keys_.size(0); }
  int64_t size() const { return size_; }
  int64_t filledSlots() const { return filled_slots_; }
  // The entry id in each slot, -1 for an empty one.
  const at::Tensor& slotEntries() const { return slots_; }
  // Only rows [0, size()) of keys and costs are meaningful.
  const at::Tensor& keys() const { return keys_; }
  const at::Tensor& costs() const { return costs_; }

 private:
  enum class PlaceStatus { kPlaced, kNoSlot, kAlreadyPresent };

  void place(const at::Tensor& keys, const at::Tensor& hashes, const at::Tensor& ids);
  PlaceStatus tryPlace(const at::Tensor& keys, const at::Tensor& hashes, const at::Tensor& ids);
  // Empties `capacity` slots and places the entries `ids` into them again.
  void rebuild(int64_t capacity, const at::Tensor& ids);
  void checkKeys(const at::Tensor& keys) const;

  int64_t key_width_;
  c10::Device device_;
  c10::ScalarType key_dtype_;
  c10::ScalarType cost_dtype_;
  bool python_dict_;
  bool fixed_;
  int64_t capacity_ = 0;
  int64_t size_ = 0;
  int64_t filled_slots_ = 0;
  at::Tensor slots_;
  at::Tensor mask_;
  at::Tensor keys_;
  at::Tensor costs_;
  at::Tensor hashes_;
};

}  // namespace quelmar
