#include "gpu_search/node_store.h"

#include <ATen/ATen.h>

#include <stdexcept>

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

TorchNodeStore::TorchNodeStore(int64_t state_dim, c10::Device device,
                               const TorchAStarConfig& config, int64_t capacity, bool fixed)
    : state_dim_(static_cast<uint64_t>(state_dim)),
      device_(device),
      types_(config),
      fixed_(fixed) {
  const auto on = [this](c10::ScalarType type) { return at::TensorOptions().device(device_).dtype(type); };
  states_ = at::empty({capacity, state_dim}, on(types_.node_state));
  depth_ = at::empty({capacity}, on(at::kLong));
  path_cost_ = at::empty({capacity}, on(types_.path_cost));
  heuristic_ = at::empty({capacity}, on(types_.heuristic));
  total_cost_ = at::empty({capacity}, on(types_.total_cost));
  solved_ = at::empty({capacity}, on(at::kBool));
  parent_index_ = at::empty({capacity}, on(types_.parent_index));
  parent_move_ = at::empty({capacity}, on(types_.parent_move));
  capacity_ = capacity;
}

void TorchNodeStore::allocate(int64_t capacity) {
  for (at::Tensor* column : {&states_, &depth_, &path_cost_, &heuristic_, &total_cost_, &solved_,
                             &parent_index_, &parent_move_})
    *column = grownColumn(*column, capacity, size_);
  capacity_ = capacity;
}

void TorchNodeStore::copyRows(const at::Tensor& rows, const at::Tensor& states,
                              const at::Tensor& depth, const at::Tensor& path_cost,
                              const at::Tensor& heuristic, const at::Tensor& total_cost,
                              const at::Tensor& solved, const at::Tensor& parent_index,
                              const at::Tensor& parent_move) {
  const auto column = [this](const at::Tensor& value, c10::ScalarType type) {
    return value.to(device_, type).reshape({-1});
  };
  states_.index_copy_(0, rows,
                      states.to(device_, types_.node_state).reshape({-1, static_cast<int64_t>(state_dim_)}));
  depth_.index_copy_(0, rows, column(depth, at::kLong));
  path_cost_.index_copy_(0, rows, column(path_cost, types_.path_cost));
  heuristic_.index_copy_(0, rows, column(heuristic, types_.heuristic));
  total_cost_.index_copy_(0, rows, column(total_cost, types_.total_cost));
  solved_.index_copy_(0, rows, column(solved, at::kBool));
  parent_index_.index_copy_(0, rows, column(parent_index, types_.parent_index));
  parent_move_.index_copy_(0, rows, column(parent_move, types_.parent_move));
}

at::Tensor TorchNodeStore::append(const at::Tensor& states, const at::Tensor& depth,
                                  const at::Tensor& path_cost, const at::Tensor& heuristic,
                                  const at::Tensor& total_cost, const at::Tensor& solved,
                                  const at::Tensor& parent_index, const at::Tensor& parent_move) {
  const int64_t n = states.size(0);
  const auto int64_on_device = at::TensorOptions().device(device_).dtype(at::kLong);
  if (n == 0) return at::empty({0}, int64_on_device);
  const int64_t capacity =
      grownRowCapacity(capacity_, size_ + n, fixed_, "node-store", Doubling::kOnceOrToRequired);
  if (capacity != capacity_) allocate(capacity);
  at::Tensor rows = at::arange(size_, size_ + n, int64_on_device);
  copyRows(rows, states, depth, path_cost, heuristic, total_cost, solved, parent_index,
           parent_move);
  size_ += n;
  return rows;
}

void TorchNodeStore::write_rows(const at::Tensor& rows, const at::Tensor& states,
                                const at::Tensor& depth, const at::Tensor& path_cost,
                                const at::Tensor& heuristic, const at::Tensor& total_cost,
                                const at::Tensor& solved, const at::Tensor& parent_index,
                                const at::Tensor& parent_move) {
  if (states.size(0) == 0) return;
  const at::Tensor flat = rows.to(device_, at::kLong).reshape({-1});
  if (flat.size(0) != states.size(0))
    throw std::invalid_argument("indices and node rows must contain the same number of rows");
  copyRows(flat, states, depth, path_cost, heuristic, total_cost, solved, parent_index,
           parent_move);
}

}  // namespace quelmar
