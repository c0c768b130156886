#include "bindings/state_array.h"

#include <stdexcept>

namespace quelmar::bindings {

std::vector<uint8_t> checkedStateCopy(const StateArray& state, int32_t batch_size) {
  if (batch_size <= 0) throw std::invalid_argument("batch_size must be positive");
  return checkedStateCopy(state);
}

std::vector<uint8_t> checkedStateCopy(const StateArray& state) {
  const size_t length = state.shape(0);
  if (length == 0) throw std::invalid_argument("State payload must contain at least one entry");
  const uint8_t* data = state.data();
  return std::vector<uint8_t>(data, data + length);
}

}  // namespace quelmar::bindings
