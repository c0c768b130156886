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

class TorchNodeStore {
 public:
  // Column types come from the config's memory_dtype_* names.
  TorchNodeStore(int64_t state_dim, c10::Device device, const TorchAStarConfig& config,
                 int64_t capacity, bool fixed);

  // Appends n rows (every argument has n rows; states [n, D]); returns the
  // new row numbers as int64. Grows by doubling unless fixed.
  at::Tensor append(const at::Tensor& states, const at::Tensor& depth, const at::Tensor& path_cost,
                    const at::Tensor& heuristic, const at::Tensor& total_cost,
                    const at::Tensor& solved, const at::Tensor& parent_index,
                    const at::Tensor& parent_move);

  // Overwrites the given rows (any integer type and shape).
  void write_rows(const at::Tensor& rows, const at::Tensor& states, const at::Tensor& depth,
                  const at::Tensor& path_cost, const at::Tensor& heuristic,
                  const at::Tensor& total_cost, const at::Tensor& solved,
                  const at::Tensor& parent_index, const at::Tensor& parent_move);

  uint64_t state_dim() const { return state_dim_; }
  const c10::Device& device() const { return device_; }
  int64_t capacity() const { return capacity_; }
  int64_t size() const { return size_; }
  bool fixed() const { return fixed_; }

  // Columns; only rows [0, size) are meaningful.
  const at::Tensor& states() const { return states_; }
  const at::Tensor& depth() const { return depth_; }
  const at::Tensor& path_cost() const { return path_cost_; }
  const at::Tensor& heuristic() const { return heuristic_; }
  const at::Tensor& total_cost() const { return total_cost_; }
  const at::Tensor& solved() const { return solved_; }
  const at::Tensor& parent_index() const { return parent_index_; }
  const at::Tensor& parent_move() const { return parent_move_; }

  c10::ScalarType node_state_type() const { return types_.node_state; }
  c10::ScalarType path_cost_type() const { return types_.path_cost; }
  c10::ScalarType heuristic_type() const { return types_.heuristic; }
  c10::ScalarType total_cost_type() const { return types_.total_cost; }
  c10::ScalarType parent_index_type() const { return types_.parent_index; }
  c10::ScalarType parent_move_type() const { return types_.parent_move; }

 private:
  // Grows every column to `capacity` rows, keeping the stored ones.
  void allocate(int64_t capacity);
  void copyRows(const at::Tensor& rows, const at::Tensor& states, const at::Tensor& depth,
                const at::Tensor& path_cost, const at::Tensor& heuristic,
                const at::Tensor& total_cost, const at::Tensor& solved,
                const at::Tensor& parent_index, const at::Tensor& parent_move);

  uint64_t state_dim_;
  c10::Device device_;
  int64_t capacity_ = 0;
  int64_t size_ = 0;
  at::Tensor states_, depth_, path_cost_, heuristic_, total_cost_, solved_, parent_index_,
      parent_move_;
  TensorStorageTypes types_;
  bool fixed_;
};

}  // namespace quelmar
