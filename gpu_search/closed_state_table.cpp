#include "gpu_search/closed_state_table.h"

#include <ATen/ATen.h>

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "config/validation.h"
#include "gpu_search/capacity_growth.h"

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

uint64_t splitMix64Host(uint64_t x) {
  uint64_t z = x + kGolden;
  z = (z ^ (z >> 30)) * kMix1;
  z = (z ^ (z >> 27)) * kMix2;
  return z ^ (z >> 31);
}

at::TensorOptions longOn(const c10::Device& device) {
  return at::TensorOptions().dtype(at::kLong).device(device);
}

at::TensorOptions boolOn(const c10::Device& device) {
  return at::TensorOptions().dtype(at::kBool).device(device);
}

// Logical right shift of int64 values by r in [1, 31]. Tensor shifts are
// arithmetic, so the shift is assembled from the two 32-bit halves.
at::Tensor logicalShiftRight(const at::Tensor& x, int64_t r) {
  at::Tensor lo = at::bitwise_and(x, kLow32);
  at::Tensor hi = at::bitwise_and(at::bitwise_right_shift(x, 32), kLow32);
  at::Tensor new_lo = at::bitwise_or(
      at::bitwise_right_shift(lo, r), at::bitwise_and(at::bitwise_left_shift(hi, 32 - r), kLow32));
  at::Tensor new_hi = at::bitwise_right_shift(hi, r);
  return at::bitwise_or(at::bitwise_left_shift(new_hi, 32), new_lo);
}

at::Tensor splitMix64(const at::Tensor& x) {
  at::Tensor z = x + asSigned(kGolden);
  z = at::bitwise_xor(z, logicalShiftRight(z, 30)) * asSigned(kMix1);
  z = at::bitwise_xor(z, logicalShiftRight(z, 27)) * asSigned(kMix2);
  return at::bitwise_xor(z, logicalShiftRight(z, 31));
}

// x < +inf for floating costs (false for +inf and NaN); always true for
// integer costs, which have no infinity.
at::Tensor belowInfinity(const at::Tensor& x) {
  if (at::isFloatingType(x.scalar_type())) return x < std::numeric_limits<double>::infinity();
  return at::ones(x.sizes(), boolOn(x.device()));
}

// The first element of every run of equal values in a sorted 1-D tensor.
at::Tensor runStarts(const at::Tensor& sorted) {
  const int64_t n = sorted.size(0);
  at::Tensor first = at::ones({n}, boolOn(sorted.device()));
  if (n > 1) first.narrow(0, 1, n - 1).copy_(sorted.narrow(0, 1, n - 1) != sorted.narrow(0, 0, n - 1));
  return first;
}

struct RowRule {
  at::Tensor flags;      // bool [B]
  at::Tensor has_min;    // bool [U]: the group has a non-NaN cost
  at::Tensor group_min;  // [U]: minimum non-NaN cost of the group (valid where has_min)
};

// Row i is flagged when its cost is below the best stored cost of its key
// (if any) and below every earlier cost of the same key in the batch. NaN
// costs are ignored: never flagged, never part of a minimum.
//
// The exclusive running minimum per group is computed exactly, without
// floating offsets: rows are stably sorted by group, costs are replaced by
// their integer rank, and one cummin over (reversed group) * (B + 1) + rank
// restarts at each group boundary because every later group's key lies
// below all earlier groups' keys.
RowRule rowRule(const at::Tensor& cost, const at::Tensor& inverse, int64_t groups,
                const at::Tensor& found_u, const at::Tensor& best_u) {
  const int64_t rows = cost.size(0);
  const auto device = cost.device();
  if (groups == rows) {
    // Every row is its own group.
    at::Tensor row_of_group = at::empty({groups}, longOn(device));
    row_of_group.index_put_({inverse}, at::arange(rows, longOn(device)));
    at::Tensor group_min = cost.index_select(0, row_of_group);
    at::Tensor flags = at::where(found_u.index_select(0, inverse),
                                 cost < best_u.index_select(0, inverse), belowInfinity(cost));
    return {flags, at::logical_not(at::isnan(group_min)), group_min};
  }

  auto [sorted_group, order] = at::sort(inverse, /*stable=*/true, 0, false);
  at::Tensor sc = cost.index_select(0, order);
  auto [sorted_cost, cost_order] = at::sort(sc, /*stable=*/true, 0, false);  // NaN last
  at::Tensor rank = at::empty({rows}, longOn(device));
  rank.index_put_({cost_order}, at::arange(rows, longOn(device)));
  at::Tensor is_nan = at::isnan(sc);
  rank.masked_fill_(is_nan, rows);  // rank `rows` = "no cost"

  at::Tensor offset = (groups - 1 - sorted_group) * (rows + 1);
  at::Tensor inclusive = std::get<0>(at::cummin(offset + rank, 0)) - offset;

  at::Tensor group_start = runStarts(sorted_group);
  at::Tensor exclusive = at::full({rows}, rows, longOn(device));
  if (rows > 1) exclusive.narrow(0, 1, rows - 1).copy_(inclusive.narrow(0, 0, rows - 1));
  exclusive.masked_fill_(group_start, rows);
  at::Tensor has_earlier = exclusive < rows;
  at::Tensor earlier_min = sorted_cost.index_select(0, exclusive.clamp_max(rows - 1));

  at::Tensor stored = at::where(found_u.index_select(0, sorted_group),
                                sc < best_u.index_select(0, sorted_group), belowInfinity(sc));
  at::Tensor sorted_flags = at::logical_not(is_nan)
                                .logical_and_(at::logical_or(at::logical_not(has_earlier), sc < earlier_min))
                                .logical_and_(stored);
  at::Tensor flags = at::empty({rows}, boolOn(device));
  flags.index_put_({order}, sorted_flags);

  at::Tensor group_end = at::ones({rows}, boolOn(device));
  group_end.narrow(0, 0, rows - 1).copy_(group_start.narrow(0, 1, rows - 1));
  at::Tensor min_rank = inclusive.masked_select(group_end);  // group order 0 .. U-1
  at::Tensor group_min = sorted_cost.index_select(0, min_rank.clamp_max(rows - 1));
  return {flags, min_rank < rows, group_min};
}

}  // namespace

GpuClosedTable::GpuClosedTable(int64_t key_width, c10::Device device, c10::ScalarType key_dtype,
                               c10::ScalarType cost_dtype, int64_t initial_capacity,
                               const std::string& algorithm, bool fixed)
    : key_width_(key_width),
      device_(device),
      key_dtype_(key_dtype),
      cost_dtype_(cost_dtype),
      algorithm_(algorithm),
      fixed_capacity_(fixed),
      capacity_(0),
      entry_capacity_(0),
      size_(0),
      filled_slots_(0) {
  if (!isHashtableAlgorithm(algorithm))
    throw std::invalid_argument("hashtable_algorithm must be 'linear_probing' or 'python_dict'");
  if (key_width < 1) throw std::invalid_argument("CLOSED key width must be positive");
  if (initial_capacity > kMaxCapacity)
    throw std::invalid_argument("initial CLOSED capacity is too large: " +
                                std::to_string(initial_capacity));

  capacity_ = static_cast<int64_t>(
      nextPowerOfTwo(static_cast<uint64_t>(std::max<int64_t>(initial_capacity, 8))));
  mask_ = at::full({1}, capacity_ - 1, longOn(device_));
  slots_ = at::full({capacity_}, -1, longOn(device_));

  entry_capacity_ = capacity_;
  keys_ = at::empty({entry_capacity_, key_width_}, at::TensorOptions().dtype(key_dtype_).device(device_));
  costs_ = at::empty({entry_capacity_}, at::TensorOptions().dtype(cost_dtype_).device(device_));
  hashes_ = at::empty({entry_capacity_}, longOn(device_));

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

at::Tensor GpuClosedTable::normalizeKeys(const at::Tensor& keys) const {
  if (!keys.defined()) throw std::invalid_argument("Keys must have shape (B, key_width)");
  if (keys.dim() == 1) {
    if (keys.size(0) != key_width_) throw std::invalid_argument("Key width mismatch");
    return keys.reshape({1, key_width_}).to(device_, key_dtype_);
  }
  if (keys.dim() != 2 || keys.size(1) != key_width_)
    throw std::invalid_argument("Keys must have shape (B, key_width)");
  return keys.to(device_, key_dtype_);
}

at::Tensor GpuClosedTable::hashKeys(const at::Tensor& keys) const {
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

GpuClosedTable::DedupeResult GpuClosedTable::dedupeBatch(const at::Tensor& keys,
                                                         const at::Tensor& hashes) const {
  at::Tensor k = keys.to(device_, key_dtype_);
  at::Tensor h = hashes.to(device_, at::kLong).reshape({-1});
  const int64_t rows = k.size(0);
  if (h.size(0) != rows) throw std::invalid_argument("dedupeBatch: one hash per key row required");
  if (rows == 0) return {at::empty({0}, longOn(device_)), h, k};

  // Distinct hashes prove distinct keys; this is the common case and keeps row order.
  at::Tensor sorted_hashes = std::get<0>(at::sort(h));
  if (rows == 1 || runStarts(sorted_hashes).all().item<bool>())
    return {at::arange(rows, longOn(device_)), h, k};

  auto [unique_keys, inverse, counts] = at::unique_dim(k, 0, /*sorted=*/true, /*return_inverse=*/true);
  (void)counts;
  inverse = inverse.reshape({-1});
  auto [sorted_inverse, order] = at::sort(inverse, /*stable=*/true, 0, false);
  at::Tensor first_rows = order.masked_select(runStarts(sorted_inverse));
  return {inverse, h.index_select(0, first_rows), unique_keys};
}

GpuClosedTable::ProbeResult GpuClosedTable::probe(const at::Tensor& keys,
                                                  const at::Tensor& hashes) const {
  at::Tensor k = keys.to(device_, key_dtype_);
  at::Tensor h = hashes.to(device_, at::kLong).reshape({-1});
  const int64_t rows = k.size(0);
  if (k.dim() != 2 || k.size(1) != key_width_)
    throw std::invalid_argument("Keys must have shape (B, key_width)");
  if (h.size(0) != rows) throw std::invalid_argument("probe: one hash per key row required");

  at::Tensor entry = at::full({rows}, -1, longOn(device_));
  at::Tensor slot_out = at::full({rows}, -1, longOn(device_));
  at::Tensor found = at::zeros({rows}, boolOn(device_));
  if (rows == 0) return {entry, slot_out, found};

  const bool python_dict = algorithm_ == "python_dict";
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
    if (python_dict) {
      perturb = logicalShiftRight(perturb, 5);
      slot = at::bitwise_and(slot * 5 + 1 + perturb, mask_);
    } else {
      slot = at::bitwise_and(slot + 1, mask_);
    }
  }
  return {entry, slot_out, found};
}

void GpuClosedTable::ensureSlotCapacity(int64_t needed) {
  const int64_t new_capacity = grownSlotCapacity(capacity_, filled_slots_, needed, fixed_capacity_);
  if (new_capacity != capacity_) rebuildSlots(new_capacity);
}

void GpuClosedTable::rebuildSlots(int64_t new_capacity) {
  capacity_ = new_capacity;
  mask_ = at::full({1}, capacity_ - 1, longOn(device_));
  slots_ = at::full({capacity_}, -1, longOn(device_));
  filled_slots_ = 0;
  if (size_ > 0)
    placeEntries(keys_.narrow(0, 0, size_), hashes_.narrow(0, 0, size_),
                 at::arange(size_, longOn(device_)));
}

// A probe sequence that meets no empty slot within `capacity` steps. With
// python_dict this is possible only while the perturbation is still non-zero
// (at most 13 steps for 64-bit hashes; afterwards the recurrence cycles
// through every slot), so it happens only in small tables and doubling ends it.
void GpuClosedTable::growAfterFailedPlacement() {
  const int64_t doubled = doubledCapacity(capacity_, "CLOSED");
  at::Tensor present = std::get<0>(at::sort(slots_.masked_select(slots_ >= 0)));
  capacity_ = doubled;
  mask_ = at::full({1}, capacity_ - 1, longOn(device_));
  slots_ = at::full({capacity_}, -1, longOn(device_));
  filled_slots_ = 0;
  if (present.size(0) > 0)
    placeEntries(keys_.index_select(0, present), hashes_.index_select(0, present), present);
}

GpuClosedTable::PlaceStatus GpuClosedTable::tryPlace(const at::Tensor& keys, const at::Tensor& hashes,
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
    ProbeResult pr = probe(keys.index_select(0, pending), hashes.index_select(0, pending));
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

void GpuClosedTable::placeEntries(const at::Tensor& keys, const at::Tensor& hashes,
                                  const at::Tensor& ids) {
  at::Tensor k = keys.to(device_, key_dtype_);
  at::Tensor h = hashes.to(device_, at::kLong).reshape({-1});
  at::Tensor id = ids.to(device_, at::kLong).reshape({-1});
  if (k.dim() != 2 || k.size(1) != key_width_)
    throw std::invalid_argument("Keys must have shape (B, key_width)");
  if (h.size(0) != k.size(0) || id.size(0) != k.size(0))
    throw std::invalid_argument("placeEntries: keys, hashes and ids must have the same number of rows");
  if (id.size(0) == 0) return;
  while (true) {
    switch (tryPlace(k, h, id)) {
      case PlaceStatus::kPlaced:
        return;
      case PlaceStatus::kAlreadyPresent:
        throw std::invalid_argument("CLOSED keys to insert must be distinct and not yet stored");
      case PlaceStatus::kNoSlot:
        if (fixed_capacity_)
          throw std::runtime_error("fixed CLOSED capacity exhausted at capacity=" +
                                   std::to_string(capacity_) + ": no free slot within " +
                                   std::to_string(capacity_) + " probe steps");
        growAfterFailedPlacement();
        break;
    }
  }
}

at::Tensor GpuClosedTable::upsertEntries(const at::Tensor& keys, const at::Tensor& costs,
                                         const at::Tensor& hashes, const at::Tensor& found,
                                         const at::Tensor& slot, const at::Tensor& entry,
                                         const std::optional<at::Tensor>& update_mask) {
  // `slot` is accepted for the direct insertion sequence but not used for
  // writing: earlier new rows of the same call may claim it, so placement
  // probes again.
  (void)slot;
  at::Tensor k = normalizeKeys(keys);
  const int64_t rows = k.size(0);
  const auto flat = [&](const at::Tensor& t, c10::ScalarType type) {
    if (!t.defined() || t.numel() != rows)
      throw std::invalid_argument("upsertEntries: every argument needs one value per key row");
    return t.to(device_, type).reshape({rows});
  };
  at::Tensor c = flat(costs, cost_dtype_);
  at::Tensor h = flat(hashes, at::kLong);
  at::Tensor is_found = flat(found, at::kBool);
  at::Tensor result = flat(entry, at::kLong).clone();

  const bool has_mask = update_mask.has_value() && update_mask->defined();
  at::Tensor selected = has_mask ? flat(*update_mask, at::kBool) : is_found;
  // Rows without an entry get their cost when inserted below; -1 is never an index.
  selected = at::logical_and(selected, result >= 0);
  costs_.index_put_({result.masked_select(selected)}, c.masked_select(selected));

  at::Tensor new_rows = at::logical_not(is_found).nonzero().reshape({-1});
  const int64_t n = new_rows.size(0);
  if (n == 0) return result;

  const int64_t new_capacity = grownRowCapacity(entry_capacity_, size_ + n, fixed_capacity_,
                                                "CLOSED entry", Doubling::kUntilEnough);
  if (new_capacity != entry_capacity_) {
    keys_ = grownColumn(keys_, new_capacity, size_);
    costs_ = grownColumn(costs_, new_capacity, size_);
    hashes_ = grownColumn(hashes_, new_capacity, size_);
    entry_capacity_ = new_capacity;
  }

  at::Tensor ids = at::arange(size_, size_ + n, longOn(device_));
  at::Tensor new_keys = k.index_select(0, new_rows);
  at::Tensor new_hashes = h.index_select(0, new_rows);
  keys_.narrow(0, size_, n).copy_(new_keys);
  costs_.narrow(0, size_, n).copy_(c.index_select(0, new_rows));
  hashes_.narrow(0, size_, n).copy_(new_hashes);
  placeEntries(new_keys, new_hashes, ids);
  result.index_put_({new_rows}, ids);
  size_ += n;
  return result;
}

GpuClosedTable::InsertResult GpuClosedTable::insertImpl(const at::Tensor& keys, const at::Tensor& costs,
                                                        bool want_entries) {
  at::Tensor k = normalizeKeys(keys);
  const int64_t rows = k.size(0);
  if (!costs.defined() || costs.numel() != rows)
    throw std::invalid_argument("Costs must have one value per key row");
  if (rows == 0) return {at::empty({0}, boolOn(device_)), at::empty({0}, longOn(device_))};
  at::Tensor c = costs.to(device_, cost_dtype_).reshape({rows});

  at::Tensor h = hashKeys(k);
  DedupeResult d = dedupeBatch(k, h);
  const int64_t groups = d.unique_hashes.size(0);
  ensureSlotCapacity(filled_slots_ + groups);
  ProbeResult p = probe(d.unique_keys, d.unique_hashes);
  // Rows of new keys read an arbitrary stored cost here; `found` masks it out.
  at::Tensor best = costs_.index_select(0, p.entry.clamp_min(0));

  RowRule rule = rowRule(c, d.inverse, groups, p.found, best);
  at::Tensor update = at::logical_and(p.found, rule.has_min).logical_and_(rule.group_min < best);
  at::Tensor new_key_cost = rule.group_min;
  if (at::isFloatingType(cost_dtype_))
    new_key_cost = new_key_cost.masked_fill(at::logical_not(rule.has_min),
                                            std::numeric_limits<double>::infinity());
  at::Tensor new_cost = at::where(p.found, at::where(update, rule.group_min, best), new_key_cost);

  at::Tensor group_entry =
      upsertEntries(d.unique_keys, new_cost, d.unique_hashes, p.found, p.slot, p.entry, update);
  at::Tensor entries;
  if (want_entries)
    entries = at::where(rule.flags, group_entry.index_select(0, d.inverse),
                        at::full({}, -1, longOn(device_)));
  return {rule.flags, entries};
}

at::Tensor GpuClosedTable::insertOrImprove(const at::Tensor& keys, const at::Tensor& costs) {
  return insertImpl(keys, costs, false).flags;
}

GpuClosedTable::InsertResult GpuClosedTable::insertOrImproveWithEntries(const at::Tensor& keys,
                                                                         const at::Tensor& costs) {
  return insertImpl(keys, costs, true);
}

}  // namespace quelmar
