#include "gpu_search/closed_state_table.h"

#include <ATen/ATen.h>

#include <limits>
#include <stdexcept>

#include "gpu_search/batch_minimum.h"

namespace quelmar {

GpuClosedTable::GpuClosedTable(int64_t key_width, c10::Device device, c10::ScalarType key_dtype,
                               c10::ScalarType cost_dtype, int64_t initial_capacity,
                               ClosedProbing probing, bool fixed)
    : slots_(key_width, device, key_dtype, cost_dtype, initial_capacity, probing, fixed),
      hasher_(key_width, device, key_dtype),
      device_(device),
      cost_dtype_(cost_dtype) {}

GpuClosedTable::InsertResult GpuClosedTable::insert(const at::Tensor& keys, const at::Tensor& costs,
                                                    bool want_entries) {
  const auto on = [this](c10::ScalarType type) { return at::TensorOptions().dtype(type).device(device_); };
  at::Tensor k = hasher_.normalize(keys);
  const int64_t rows = k.size(0);
  if (!costs.defined() || costs.numel() != rows)
    throw std::invalid_argument("Costs must have one value per key row");
  if (rows == 0) return {at::empty({0}, on(at::kBool)), at::empty({0}, on(at::kLong))};
  at::Tensor c = costs.to(device_, cost_dtype_).reshape({rows});

  KeyGroups g = groupEqualKeys(k, hasher_.hash(k));
  const int64_t groups = g.unique_hashes.size(0);
  slots_.reserve(slots_.filledSlots() + groups);
  ClosedSlots::Probe p = slots_.probe(g.unique_keys, g.unique_hashes);
  // Rows of new keys read an arbitrary stored cost here; `found` masks it out.
  at::Tensor best = slots_.costs().index_select(0, p.entry.clamp_min(0));

  BatchMinimum rule = batchMinimum(c, g.inverse, groups, p.found, best);
  at::Tensor update = at::logical_and(p.found, rule.has_min).logical_and_(rule.group_min < best);
  at::Tensor new_key_cost = rule.group_min;
  if (at::isFloatingType(cost_dtype_))
    new_key_cost = new_key_cost.masked_fill(at::logical_not(rule.has_min),
                                            std::numeric_limits<double>::infinity());
  at::Tensor new_cost = at::where(p.found, at::where(update, rule.group_min, best), new_key_cost);

  at::Tensor group_entry = slots_.upsert(g.unique_keys, new_cost, g.unique_hashes, p.found, p.entry, update);
  at::Tensor entries;
  if (want_entries)
    entries = at::where(rule.flags, group_entry.index_select(0, g.inverse), at::full({}, -1, on(at::kLong)));
  return {rule.flags, entries};
}

at::Tensor GpuClosedTable::insertOrImprove(const at::Tensor& keys, const at::Tensor& costs) {
  return insert(keys, costs, false).flags;
}

GpuClosedTable::InsertResult GpuClosedTable::insertOrImproveWithEntries(const at::Tensor& keys,
                                                                         const at::Tensor& costs) {
  return insert(keys, costs, true);
}

}  // namespace quelmar
