#include "gpu_search/node_store.h"

#include <ATen/ATen.h>

#include <stdexcept>
#include <vector>

#include "config/scalar_type.h"
#include "gpu_search/capacity_growth.h"

namespace quelmar {

TensorStorageTypes::TensorStorageTypes(const TorchAStarConfig& c)
    : node_state(scalarTypeFromName(c.memory_dtype_node_state)),
      open_index(scalarTypeFromName(c.memory_dtype_open_index)),
      open_cost(scalarTypeFromName(c.memory_dtype_open_cost)),
      closed_key(scalarTypeFromName(c.memory_dtype_closed_key)),
      closed_cost(scalarTypeFromName(c.memory_dtype_closed_cost)),
      parent_index(scalarTypeFromName(c.memory_dtype_parent_index)),
      parent_move(scalarTypeFromName(c.memory_dtype_parent_move)),
      path_cost(scalarTypeFromName(c.memory_dtype_path_cost)),
      heuristic(scalarTypeFromName(c.memory_dtype_heuristic)),
      total_cost(scalarTypeFromName(c.memory_dtype_total_cost)) {}

NodeRows NodeRows::select(const at::Tensor& positions) const {
  NodeRows out;
  for (auto column : kNodeColumns)
    if ((this->*column).defined()) out.*column = (this->*column).index_select(0, positions);
  return out;
}

TorchNodeStore::TorchNodeStore(int64_t state_dim, c10::Device device,
                               const TorchAStarConfig& config, int64_t capacity, bool fixed)
    : device_(device), fixed_(fixed), capacity_(capacity) {
  const TensorStorageTypes types(config);
  const auto column = [&](std::vector<int64_t> sizes, c10::ScalarType type) {
    return at::empty(sizes, at::TensorOptions().device(device_).dtype(type));
  };
  columns_ = {column({capacity, state_dim}, types.node_state), column({capacity}, at::kLong),
              column({capacity}, types.path_cost),             column({capacity}, types.heuristic),
              column({capacity}, types.total_cost),            column({capacity}, at::kBool),
              column({capacity}, types.parent_index),          column({capacity}, types.parent_move)};
}

// Every column converted to the store's type and shaped as its rows.
void TorchNodeStore::copyRows(const at::Tensor& indices, const NodeRows& rows) {
  for (auto column : kNodeColumns) {
    at::Tensor& to = columns_.*column;
    std::vector<int64_t> shape = to.sizes().vec();
    shape[0] = -1;
    to.index_copy_(0, indices, (rows.*column).to(device_, to.scalar_type()).reshape(shape));
  }
}

at::Tensor TorchNodeStore::append(const NodeRows& rows) {
  const int64_t n = rows.size();
  const auto int64_on_device = at::TensorOptions().device(device_).dtype(at::kLong);
  if (n == 0) return at::empty({0}, int64_on_device);
  const int64_t capacity =
      grownRowCapacity(capacity_, size_ + n, fixed_, "node-store", Doubling::kOnceOrToRequired);
  if (capacity != capacity_) {
    for (auto column : kNodeColumns) columns_.*column = grownColumn(columns_.*column, capacity, size_);
    capacity_ = capacity;
  }
  at::Tensor indices = at::arange(size_, size_ + n, int64_on_device);
  copyRows(indices, rows);
  size_ += n;
  return indices;
}

void TorchNodeStore::write_rows(const at::Tensor& indices, const NodeRows& rows) {
  if (rows.size() == 0) return;
  const at::Tensor flat = indices.to(device_, at::kLong).reshape({-1});
  if (flat.size(0) != rows.size())
    throw std::invalid_argument("indices and node rows must contain the same number of rows");
  copyRows(flat, rows);
}

}  // namespace quelmar
