#include "gpu_search/open_queue.h"

#include <ATen/ATen.h>

#include <algorithm>
#include <stdexcept>

#include "gpu_search/capacity_growth.h"

namespace quelmar {

TorchOpenList::TorchOpenList(c10::ScalarType index_type, c10::ScalarType cost_type,
                             c10::Device device, bool fixed)
    : index_type_(index_type), cost_type_(cost_type), device_(device), fixed_(fixed) {}

void TorchOpenList::slice() {
  index_ = index_buffer_.narrow(0, 0, size_);
  cost_ = cost_buffer_.narrow(0, 0, size_);
}

void TorchOpenList::allocate(int64_t length) {
  index_buffer_ = grownColumn(index_, length, size_);
  cost_buffer_ = grownColumn(cost_, length, size_);
  slice();
}

void TorchOpenList::initialize(const at::Tensor& start_row, const at::Tensor& start_cost,
                               int64_t initial_capacity) {
  index_ = start_row.reshape({-1}).to(device_, index_type_).clone();
  cost_ = start_cost.reshape({-1}).to(device_, cost_type_).clone();
  size_ = index_.size(0);
  if (fixed_) {
    if (initial_capacity < size_)
      throw std::invalid_argument("fixed OPEN capacity is smaller than the initial OPEN size");
    allocate(initial_capacity);
  } else if (initial_capacity > size_) {
    allocate(initial_capacity);
  }
}

void TorchOpenList::reserve(int64_t required) {
  if (!buffered()) return;
  const int64_t length =
      grownRowCapacity(bufferCapacity(), required, fixed_, "OPEN", Doubling::kOnceOrToRequired);
  if (length != bufferCapacity()) allocate(length);
}

void TorchOpenList::replace(const at::Tensor& new_index, const at::Tensor& new_cost) {
  if (!buffered()) {
    index_ = new_index.to(device_, index_type_);
    cost_ = new_cost.to(device_, cost_type_);
    size_ = index_.size(0);
    return;
  }
  const int64_t n = new_index.size(0);
  reserve(n);
  size_ = n;
  if (n > 0) {
    index_buffer_.narrow(0, 0, n).copy_(new_index.to(device_, index_type_));
    cost_buffer_.narrow(0, 0, n).copy_(new_cost.to(device_, cost_type_));
  }
  slice();
}

void TorchOpenList::push(const at::Tensor& new_index, const at::Tensor& new_cost) {
  const int64_t n = new_index.size(0);
  if (n == 0) return;
  if (!buffered()) {
    index_ = at::cat({index_, new_index.to(device_, index_type_)}, 0);
    cost_ = at::cat({cost_, new_cost.to(device_, cost_type_)}, 0);
    size_ = index_.size(0);
    return;
  }
  const int64_t old = size_;
  reserve(old + n);
  size_ = old + n;
  index_buffer_.narrow(0, old, n).copy_(new_index.to(device_, index_type_));
  cost_buffer_.narrow(0, old, n).copy_(new_cost.to(device_, cost_type_));
  slice();
}

TorchOpenList::Popped TorchOpenList::pop_batch(int64_t k) {
  const at::Tensor order = std::get<1>(at::sort(cost_, /*stable=*/true, /*dim=*/0, /*descending=*/false));
  Popped popped;
  popped.positions = order.narrow(0, 0, std::min(k, size_));
  popped.rows = index_.index_select(0, popped.positions);
  popped.costs = cost_.index_select(0, popped.positions);
  at::Tensor keep = at::ones_like(index_, at::TensorOptions().dtype(at::kBool));
  keep.index_fill_(0, popped.positions, false);
  replace(index_.index({keep}), cost_.index({keep}));
  return popped;
}

}  // namespace quelmar
