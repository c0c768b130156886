#include "gpu_search/batch_minimum.h"

#include <ATen/ATen.h>

#include <limits>
#include <stdexcept>
#include <tuple>

namespace quelmar {
namespace {

at::TensorOptions longOn(const c10::Device& device) {
  return at::TensorOptions().dtype(at::kLong).device(device);
}

at::TensorOptions boolOn(const c10::Device& device) {
  return at::TensorOptions().dtype(at::kBool).device(device);
}

at::Tensor stableArgsort(const at::Tensor& values) {
  return std::get<1>(at::sort(values, /*stable=*/true, /*dim=*/0, /*descending=*/false));
}

// x < +inf for floating costs (false for +inf and NaN); always true for
// integer costs, which have no infinity.
at::Tensor belowInfinity(const at::Tensor& x) {
  if (at::isFloatingType(x.scalar_type())) return x < std::numeric_limits<double>::infinity();
  return at::ones(x.sizes(), boolOn(x.device()));
}

}  // namespace

at::Tensor runStarts(const at::Tensor& sorted) {
  const int64_t n = sorted.size(0);
  at::Tensor first = at::ones({n}, boolOn(sorted.device()));
  if (n > 1) first.narrow(0, 1, n - 1).copy_(sorted.narrow(0, 1, n - 1) != sorted.narrow(0, 0, n - 1));
  return first;
}

KeyGroups groupEqualKeys(const at::Tensor& keys, const at::Tensor& hashes) {
  const auto device = keys.device();
  at::Tensor h = hashes.to(device, at::kLong).reshape({-1});
  const int64_t rows = keys.size(0);
  if (h.size(0) != rows) throw std::invalid_argument("groupEqualKeys: one hash per key row required");
  if (rows == 0) return {at::empty({0}, longOn(device)), h, keys};

  // Distinct hashes prove distinct keys; this is the common case and keeps row order.
  at::Tensor sorted_hashes = std::get<0>(at::sort(h));
  if (rows == 1 || runStarts(sorted_hashes).all().item<bool>())
    return {at::arange(rows, longOn(device)), h, keys};

  auto [unique_keys, inverse, counts] = at::unique_dim(keys, 0, /*sorted=*/true, /*return_inverse=*/true);
  (void)counts;
  inverse = inverse.reshape({-1});
  auto [sorted_inverse, order] = at::sort(inverse, /*stable=*/true, 0, false);
  at::Tensor first_rows = order.masked_select(runStarts(sorted_inverse));
  return {inverse, h.index_select(0, first_rows), unique_keys};
}

// The exclusive running minimum per group is computed exactly, without
// floating offsets: rows are stably sorted by group, costs are replaced by
// their integer rank, and one cummin over (reversed group) * (B + 1) + rank
// restarts at each group boundary because every later group's key lies
// below all earlier groups' keys.
BatchMinimum batchMinimum(const at::Tensor& cost, const at::Tensor& inverse, int64_t groups,
                          const at::Tensor& found, const at::Tensor& best) {
  const int64_t rows = cost.size(0);
  const auto device = cost.device();
  if (groups == rows) {
    // Every row is its own group.
    at::Tensor row_of_group = at::empty({groups}, longOn(device));
    row_of_group.index_put_({inverse}, at::arange(rows, longOn(device)));
    at::Tensor group_min = cost.index_select(0, row_of_group);
    at::Tensor flags = at::where(found.index_select(0, inverse),
                                 cost < best.index_select(0, inverse), belowInfinity(cost));
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

  at::Tensor stored = at::where(found.index_select(0, sorted_group),
                                sc < best.index_select(0, sorted_group), belowInfinity(sc));
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

at::Tensor select_min_cost_per_key(const at::Tensor& keys, const at::Tensor& costs) {
  const int64_t n = keys.size(0);
  if (n < 2) return at::arange(n, keys.options().dtype(at::kLong));
  const at::Tensor keys64 = keys.to(at::kLong);
  const at::Tensor by_cost = stableArgsort(costs);
  const at::Tensor by_key = stableArgsort(keys64.index_select(0, by_cost));
  // Ordered by key, then cost, then input position.
  const at::Tensor perm = by_cost.index_select(0, by_key);
  const at::Tensor chosen = perm.index({runStarts(keys64.index_select(0, perm))});
  return chosen.index_select(0, stableArgsort(chosen));
}

}  // namespace quelmar
