#pragma once
// OPEN of the GPU search: node rows and their OPEN costs in insertion order
// (not a heap). The cheapest entries are selected with a stable sort, so
// equal costs leave in push order.
//
// Two forms, chosen once at initialisation: buffered (preallocated buffers
// whose prefixes hold the entries; pushes copy into them) and unbuffered
// (plain tensors; pushes concatenate).

#include <cstdint>

#include <ATen/Tensor.h>
#include <c10/core/Device.h>
#include <c10/core/ScalarType.h>

namespace quelmar {

class TorchOpenList {
 public:
  struct Popped {
    at::Tensor positions;  // positions in OPEN before the pop, ascending cost
    at::Tensor rows;       // node rows, OPEN index type
    at::Tensor costs;      // OPEN costs, OPEN cost type
  };

  TorchOpenList(c10::ScalarType index_type, c10::ScalarType cost_type, c10::Device device,
                bool fixed);

  // OPEN holds the start node only; buffers are allocated when fixed or when
  // `initial_capacity` exceeds one entry.
  void initialize(const at::Tensor& start_row, const at::Tensor& start_cost,
                  int64_t initial_capacity);

  // Replaces every entry; pushes append. Both std::runtime_error "fixed OPEN capacity exhausted
  // at capacity=<capacity>" when a fixed buffer is full.
  void replace(const at::Tensor& new_index, const at::Tensor& new_cost);
  void push(const at::Tensor& new_index, const at::Tensor& new_cost);
  // Removes and returns the k cheapest entries (k <= size).
  Popped pop_batch(int64_t k);

  int64_t size() const { return size_; }
  bool buffered() const { return index_buffer_.defined(); }
  int64_t bufferCapacity() const { return buffered() ? index_buffer_.size(0) : 0; }
  const at::Tensor& index() const { return index_; }
  const at::Tensor& cost() const { return cost_; }

 private:
  // Grows the buffers as grownRowCapacity (Doubling::kOnceOrToRequired) to hold `required` entries.
  void reserve(int64_t required);
  void allocate(int64_t length);
  void slice();

  at::Tensor index_buffer_, cost_buffer_;
  at::Tensor index_, cost_;
  int64_t size_ = 0;
  c10::ScalarType index_type_, cost_type_;
  c10::Device device_;
  bool fixed_;
};

}  // namespace quelmar
