#pragma once
// Device-resident node store of the GPU search: one row per accepted node in
// eight column tensors. Rows are never freed; in in-place duplicate mode a
// row may be overwritten with a cheaper path to the same state.

#include <cstdint>

#include <ATen/Tensor.h>
#include <c10/core/Device.h>
#include <c10/core/ScalarType.h>

#include "config/solver_settings.h"

namespace quelmar {

// The storage dtypes that the settings' memory_dtype_* names select.
struct TensorStorageTypes {
  explicit TensorStorageTypes(const TorchAStarConfig& config);
  c10::ScalarType node_state, open_index, open_cost, closed_key, closed_cost, parent_index,
      parent_move, path_cost, heuristic, total_cost;
};

// A batch of node rows, one tensor per node-store column, all with the same
// number of rows (states [n, D], the others [n]).
struct NodeRows {
  at::Tensor states, depth, path_cost, heuristic, total_cost, solved, parent_index, parent_move;

  int64_t size() const { return states.size(0); }
  // The rows at `positions` (int64) of every column that is set; throws only LibTorch's errors.
  NodeRows select(const at::Tensor& positions) const;
};

// Every column of NodeRows, for code that treats them alike.
inline constexpr at::Tensor NodeRows::*kNodeColumns[] = {
    &NodeRows::states,     &NodeRows::depth,  &NodeRows::path_cost,    &NodeRows::heuristic,
    &NodeRows::total_cost, &NodeRows::solved, &NodeRows::parent_index, &NodeRows::parent_move};

class TorchNodeStore {
 public:
  // Column types come from the config's memory_dtype_* names.
  TorchNodeStore(int64_t state_dim, c10::Device device, const TorchAStarConfig& config,
                 int64_t capacity, bool fixed);

  // Appends the rows (every column set, converted to the store's types); returns their row
  // numbers as int64. Grows as grownRowCapacity (Doubling::kOnceOrToRequired); std::runtime_error
  // "fixed node-store capacity exhausted at capacity=<capacity>" when fixed and full.
  at::Tensor append(const NodeRows& rows);

  // Overwrites the store rows `indices` (any integer type and shape) with `rows`;
  // std::invalid_argument "indices and node rows must contain the same number of rows" when the
  // counts differ.
  void write_rows(const at::Tensor& indices, const NodeRows& rows);

  int64_t capacity() const { return capacity_; }
  int64_t size() const { return size_; }

  // Columns; only rows [0, size) are meaningful.
  const at::Tensor& states() const { return columns_.states; }
  const at::Tensor& depth() const { return columns_.depth; }
  const at::Tensor& path_cost() const { return columns_.path_cost; }
  const at::Tensor& solved() const { return columns_.solved; }
  const at::Tensor& parent_index() const { return columns_.parent_index; }
  const at::Tensor& parent_move() const { return columns_.parent_move; }

 private:
  void copyRows(const at::Tensor& indices, const NodeRows& rows);

  c10::Device device_;
  bool fixed_;
  int64_t capacity_ = 0;
  int64_t size_ = 0;
  NodeRows columns_;
};

}  // namespace quelmar
