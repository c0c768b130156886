#pragma once
// GPU puzzle-domain interface. One object per search; every operation works
// on whole batches of state rows held in tensors on the environment's device.
//
// The virtual slot order and the data members below are part of the binary
// interface with separately compiled plug-ins: never reorder or insert.

#include <cstdint>
#include <vector>

#include <ATen/Tensor.h>
#include <c10/core/ScalarType.h>

namespace quelmar {

struct TorchExpansion {
  at::Tensor children;    // [P, M, D]: children[p][m] is row p moved by m
  at::Tensor move_costs;  // [P, M], any numeric type
};

class TorchEnv {
 public:
  virtual ~TorchEnv() = default;

  // The start state's bytes as a tensor of state_dim elements.
  virtual at::Tensor encode_state(const std::vector<uint8_t>& state) = 0;

  // Inverse of encode_state for one row; never called by the solver.
  virtual std::vector<uint8_t> decode_state(const at::Tensor& state) = 0;

  // states [N, D] in state_dtype -> bool [N].
  virtual at::Tensor is_solved(const at::Tensor& states) = 0;

  // states [P, D] -> children [P, M, D] and move costs [P, M].
  virtual TorchExpansion expand(const at::Tensor& states) = 0;

  // states [N, D] -> one float32 tensor per manifest input, rows first.
  virtual std::vector<at::Tensor> write_inputs(const at::Tensor& states) = 0;

  int64_t num_moves = 0;   // every state has moves 0 .. num_moves-1
  int64_t state_dim = 0;   // elements of one state row
  int16_t plugin_reserved = 0;  // the plug-in's own; the solver never reads it
  c10::ScalarType state_dtype = c10::ScalarType::Byte;  // set by the solver after creation
};

}  // namespace quelmar
