#include "gpu_search/slot_placement.h"

#include <ATen/ATen.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "config/validation.h"
#include "gpu_search/batch_minimum.h"
#include "gpu_search/capacity_growth.h"
#include "gpu_search/key_hashing.h"

namespace quelmar {
namespace {

constexpr int64_t kLow32 = 0xFFFFFFFFLL;

at::TensorOptions longOn(const c10::Device& device) {
  return at::TensorOptions().dtype(at::kLong).device(device);
}

}  // namespace

ClosedSlots::ClosedSlots(int64_t key_width, c10::Device device, c10::ScalarType key_dtype,
                         c10::ScalarType cost_dtype, int64_t initial_capacity,
                         ClosedProbing probing, bool fixed)
    : key_width_(key_width),
      device_(device),
      key_dtype_(key_dtype),
      cost_dtype_(cost_dtype),
      python_dict_(probing == ClosedProbing::kPythonDict),
      fixed_(fixed) {
  if (key_width < 1) throw std::invalid_argument("CLOSED key width must be positive");
  if (initial_capacity > kMaxCapacity)
    throw std::invalid_argument("initial CLOSED capacity is too large: " +
                                std::to_string(initial_capacity));
  const int64_t capacity = static_cast<int64_t>(
      nextPowerOfTwo(static_cast<uint64_t>(std::max<int64_t>(initial_capacity, 8))));
  rebuild(capacity, at::empty({0}, longOn(device_)));
  keys_ = at::empty({capacity, key_width_}, at::TensorOptions().dtype(key_dtype_).device(device_));
  costs_ = at::empty({capacity}, at::TensorOptions().dtype(cost_dtype_).device(device_));
  hashes_ = at::empty({capacity}, longOn(device_));
}

void ClosedSlots::checkKeys(const at::Tensor& keys) const {
  if (!keys.defined() || keys.dim() != 2 || keys.size(1) != key_width_)
    throw std::invalid_argument("Keys must have shape (B, key_width)");
}

ClosedSlots::Probe ClosedSlots::probe(const at::Tensor& keys, const at::Tensor& hashes) const {
  checkKeys(keys);
  at::Tensor k = keys.to(device_, key_dtype_);
  at::Tensor h = hashes.to(device_, at::kLong).reshape({-1});
  const int64_t rows = k.size(0);
  if (h.size(0) != rows) throw std::invalid_argument("probe: one hash per key row required");

  at::Tensor entry = at::full({rows}, -1, longOn(device_));
  at::Tensor slot_out = at::full({rows}, -1, longOn(device_));
  at::Tensor found = at::zeros({rows}, at::TensorOptions().dtype(at::kBool).device(device_));
  if (rows == 0) return {entry, slot_out, found};

  // Only unresolved rows are carried from step to step.
  at::Tensor active = at::arange(rows, longOn(device_));
  at::Tensor slot = at::bitwise_and(h, mask_);
  at::Tensor perturb = h;
  at::Tensor active_keys = k;
  for (int64_t step = 0; step < capacity_; ++step) {
    at::Tensor e = slots_.index_select(0, slot);
    at::Tensor occupied = e >= 0;
    at::Tensor stored = keys_.index_select(0, e.clamp_min(0));
    at::Tensor match = at::logical_and(occupied, (stored == active_keys).all(1));
    at::Tensor resolved = at::logical_or(match, at::logical_not(occupied));
    entry.index_put_({active}, e.masked_fill(at::logical_not(match), -1));
    slot_out.index_put_({active}, slot.masked_fill(at::logical_not(resolved), -1));
    found.index_put_({active}, match);

    at::Tensor keep = at::logical_not(resolved).nonzero().reshape({-1});
    const int64_t left = keep.size(0);
    if (left == 0) break;
    if (left < active.size(0)) {
      active = active.index_select(0, keep);
      slot = slot.index_select(0, keep);
      perturb = perturb.index_select(0, keep);
      active_keys = active_keys.index_select(0, keep);
    }
    if (python_dict_) {
      perturb = logicalShiftRight(perturb, 5);
      slot = at::bitwise_and(slot * 5 + 1 + perturb, mask_);
    } else {
      slot = at::bitwise_and(slot + 1, mask_);
    }
  }
  return {entry, slot_out, found};
}

void ClosedSlots::reserve(int64_t needed) {
  const int64_t capacity = grownSlotCapacity(capacity_, filled_slots_, needed, fixed_);
  if (capacity != capacity_) rebuild(capacity, at::arange(size_, longOn(device_)));
}

void ClosedSlots::rebuild(int64_t capacity, const at::Tensor& ids) {
  capacity_ = capacity;
  mask_ = at::full({1}, capacity_ - 1, longOn(device_));
  slots_ = at::full({capacity_}, -1, longOn(device_));
  filled_slots_ = 0;
  if (ids.size(0) > 0) place(keys_.index_select(0, ids), hashes_.index_select(0, ids), ids);
}

ClosedSlots::PlaceStatus ClosedSlots::tryPlace(const at::Tensor& keys, const at::Tensor& hashes,
                                               const at::Tensor& ids) {
  std::vector<at::Tensor> claimed;
  int64_t claimed_count = 0;
  // Removing only this call's ids restores the previous layout exactly:
  // every earlier entry was placed before them, so no probe chain of an
  // earlier entry runs through a slot claimed here.
  const auto undo = [&] {
    for (const at::Tensor& s : claimed) slots_.index_fill_(0, s, -1);
    filled_slots_ -= claimed_count;
  };

  at::Tensor pending = at::arange(ids.size(0), longOn(device_));
  while (pending.size(0) > 0) {
    at::Tensor pending_ids = ids.index_select(0, pending);
    Probe pr = probe(keys.index_select(0, pending), hashes.index_select(0, pending));
    at::Tensor problems = at::stack({(pr.slot < 0).any(), pr.found.any()}).cpu();
    const bool no_slot = problems[0].item<bool>();
    const bool present = problems[1].item<bool>();
    if (present || no_slot) {
      undo();
      return present ? PlaceStatus::kAlreadyPresent : PlaceStatus::kNoSlot;
    }

    // Per claimed slot the smallest id wins; the others probe again next pass.
    at::Tensor composite = at::bitwise_or(at::bitwise_left_shift(pr.slot, 32),
                                          at::bitwise_and(pending_ids, kLow32));
    at::Tensor order = std::get<1>(at::sort(composite, /*stable=*/true, 0, false));
    at::Tensor winner = runStarts(pr.slot.index_select(0, order));
    at::Tensor winners = order.masked_select(winner);
    at::Tensor losers = order.masked_select(at::logical_not(winner));
    at::Tensor won_slots = pr.slot.index_select(0, winners);
    slots_.index_put_({won_slots}, pending_ids.index_select(0, winners));
    claimed.push_back(won_slots);
    claimed_count += won_slots.size(0);
    filled_slots_ += won_slots.size(0);
    pending = pending.index_select(0, losers);
  }
  return PlaceStatus::kPlaced;
}

// A probe sequence can meet no empty slot within `capacity` steps. With
// python_dict this is possible only while the perturbation is still non-zero
// (at most 13 steps for 64-bit hashes; afterwards the recurrence cycles
// through every slot), so it happens only in small tables and doubling ends it.
void ClosedSlots::place(const at::Tensor& keys, const at::Tensor& hashes, const at::Tensor& ids) {
  while (true) {
    switch (tryPlace(keys, hashes, ids)) {
      case PlaceStatus::kPlaced:
        return;
      case PlaceStatus::kAlreadyPresent:
        throw std::invalid_argument("CLOSED keys to insert must be distinct and not yet stored");
      case PlaceStatus::kNoSlot: {
        if (fixed_)
          throw std::runtime_error("fixed CLOSED capacity exhausted at capacity=" +
                                   std::to_string(capacity_) + ": no free slot within " +
                                   std::to_string(capacity_) + " probe steps");
        const int64_t doubled = doubledCapacity(capacity_, "CLOSED");
        rebuild(doubled, std::get<0>(at::sort(slots_.masked_select(slots_ >= 0))));
        break;
      }
    }
  }
}

at::Tensor ClosedSlots::upsert(const at::Tensor& keys, const at::Tensor& costs,
                               const at::Tensor& hashes, const at::Tensor& found,
                               const at::Tensor& entry, const std::optional<at::Tensor>& update) {
  checkKeys(keys);
  at::Tensor k = keys.to(device_, key_dtype_);
  const int64_t rows = k.size(0);
  const auto flat = [&](const at::Tensor& t, c10::ScalarType type) {
    if (!t.defined() || t.numel() != rows)
      throw std::invalid_argument("CLOSED upsert: every argument needs one value per key row");
    return t.to(device_, type).reshape({rows});
  };
  at::Tensor c = flat(costs, cost_dtype_);
  at::Tensor h = flat(hashes, at::kLong);
  at::Tensor is_found = flat(found, at::kBool);
  at::Tensor result = flat(entry, at::kLong).clone();

  const bool has_update = update.has_value() && update->defined();
  at::Tensor selected = has_update ? flat(*update, at::kBool) : is_found;
  // Rows without an entry get their cost when inserted below; -1 is never an index.
  selected = at::logical_and(selected, result >= 0);
  costs_.index_put_({result.masked_select(selected)}, c.masked_select(selected));

  at::Tensor new_rows = at::logical_not(is_found).nonzero().reshape({-1});
  const int64_t n = new_rows.size(0);
  if (n == 0) return result;

  const int64_t entry_rows =
      grownRowCapacity(entryCapacity(), size_ + n, fixed_, "CLOSED entry", Doubling::kUntilEnough);
  if (entry_rows != entryCapacity()) {
    keys_ = grownColumn(keys_, entry_rows, size_);
    costs_ = grownColumn(costs_, entry_rows, size_);
    hashes_ = grownColumn(hashes_, entry_rows, size_);
  }

  at::Tensor ids = at::arange(size_, size_ + n, longOn(device_));
  at::Tensor new_keys = k.index_select(0, new_rows);
  at::Tensor new_hashes = h.index_select(0, new_rows);
  keys_.narrow(0, size_, n).copy_(new_keys);
  costs_.narrow(0, size_, n).copy_(c.index_select(0, new_rows));
  hashes_.narrow(0, size_, n).copy_(new_hashes);
  place(new_keys, new_hashes, ids);
  result.index_put_({new_rows}, ids);
  size_ += n;
  return result;
}

}  // namespace quelmar
