// Batched versions of the puzzle domains. Every operation is a handful of
// whole-tensor ops, so the same code runs on any device without host loops.
#include <ATen/ATen.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "environments/torch_env.h"
#include "quelmar_puzzles/puzzles.h"

namespace quelmar_puzzles {
namespace {

at::TensorOptions longOn(const c10::Device& device) {
  return at::TensorOptions().dtype(at::kLong).device(device);
}

at::Tensor tableTensor(const std::vector<int64_t>& values, std::vector<int64_t> shape,
                       const c10::Device& device) {
  return at::tensor(values, at::TensorOptions().dtype(at::kLong)).reshape(shape).to(device);
}

class PuzzleTorchEnv : public quelmar::TorchEnv {
 public:
  PuzzleTorchEnv(const Domain& domain, const c10::Device& device)
      : domain_(domain), device_(device) {
    num_moves = domain.num_moves;
    state_dim = static_cast<int64_t>(domain.state_size);
    const std::vector<uint8_t> goal = goal_state(domain);
    goal_ = tableTensor(std::vector<int64_t>(goal.begin(), goal.end()), {state_dim}, device_);
  }

  at::Tensor encode_state(const std::vector<uint8_t>& state) override {
    domain_.factory(state);  // the CPU factory's validation and messages
    std::vector<int64_t> values(state.begin(), state.end());
    return tableTensor(values, {state_dim}, device_).to(state_dtype);
  }

  std::vector<uint8_t> decode_state(const at::Tensor& state) override {
    if (!state.defined() || state.numel() != state_dim ||
        at::isFloatingType(state.scalar_type()) || at::isComplexType(state.scalar_type()))
      throw std::invalid_argument(name() + ": decode_state expects one integer row of " +
                                  std::to_string(state_dim) + " elements");
    const at::Tensor values = state.reshape({state_dim}).to(at::kCPU, at::kLong).contiguous();
    const int64_t* data = values.data_ptr<int64_t>();
    std::vector<uint8_t> bytes(state_dim);
    for (int64_t i = 0; i < state_dim; ++i) {
      if (data[i] < 0 || data[i] > 255)
        throw std::invalid_argument(name() + ": decode_state: element " + std::to_string(i) +
                                    " is " + std::to_string(data[i]) + ", not a byte value");
      bytes[i] = static_cast<uint8_t>(data[i]);
    }
    return bytes;
  }

  at::Tensor is_solved(const at::Tensor& states) override {
    const at::Tensor rows = checkRows(states, "is_solved");
    return rows.eq(goal_.unsqueeze(0)).all(1);
  }

  quelmar::TorchExpansion expand(const at::Tensor& states) override {
    const at::Tensor rows = checkRows(states, "expand");
    at::Tensor children = children_of(rows);
    at::Tensor costs = at::ones({rows.size(0), num_moves},
                                at::TensorOptions().dtype(at::kFloat).device(device_));
    return {std::move(children), std::move(costs)};
  }

  std::vector<at::Tensor> write_inputs(const at::Tensor& states) override {
    const at::Tensor rows = checkRows(states, "write_inputs");
    return {one_hot(rows)};
  }

 protected:
  // rows [P, D] on the device -> [P, M, D] in the rows' dtype.
  virtual at::Tensor children_of(const at::Tensor& rows) const = 0;
  // rows [N, D] on the device -> float32 [N, input_size].
  virtual at::Tensor one_hot(const at::Tensor& rows) const = 0;

  std::string name() const { return domain_.name; }

  const Domain& domain_;
  c10::Device device_;
  at::Tensor goal_;  // [D] int64

 private:
  at::Tensor checkRows(const at::Tensor& states, const char* op) const {
    if (!states.defined())
      throw std::invalid_argument(name() + ": " + op + " got an undefined tensor");
    const auto type = states.scalar_type();
    if (!at::isIntegralType(type, /*includeBool=*/false))
      throw std::invalid_argument(name() + ": " + op + " expects integer state rows, got " +
                                  std::string(c10::toString(type)));
    if (states.dim() != 2 || states.size(1) != state_dim)
      throw std::invalid_argument(name() + ": " + op + " expects states of shape [N, " +
                                  std::to_string(state_dim) + "], got " +
                                  c10::str(states.sizes()));
    // A no-op for rows already on the device; results always live there.
    return states.to(device_);
  }
};

class SlidingTileTorchEnv final : public PuzzleTorchEnv {
 public:
  SlidingTileTorchEnv(const Domain& domain, const c10::Device& device)
      : PuzzleTorchEnv(domain, device), side_(domain.side), cells_(side_ * side_) {
    // Where the blank goes for each (blank, move); a move off the board keeps
    // the blank in place, which the swap below turns into a plain copy.
    std::vector<int64_t> targets;
    targets.reserve(cells_ * 4);
    for (int blank = 0; blank < cells_; ++blank)
      for (int move = 0; move < 4; ++move) {
        const int target = blank_target(side_, blank, move);
        targets.push_back(target >= 0 ? target : blank);
      }
    targets_ = tableTensor(targets, {cells_, 4}, device_);
    tiles_ = at::arange(cells_, longOn(device_));
  }

 protected:
  at::Tensor children_of(const at::Tensor& rows) const override {
    const int64_t p = rows.size(0);
    // argmax picks the first blank; a row without one still gets a valid index.
    const at::Tensor blank = rows.eq(0).to(at::kByte).argmax(1);        // [P]
    const at::Tensor target = targets_.index_select(0, blank);          // [P, 4]
    const at::Tensor blank_idx = blank.unsqueeze(1).expand({p, 4});     // [P, 4]
    const at::Tensor moved = rows.gather(1, target);                    // tile entering the blank
    const at::Tensor emptied = rows.gather(1, blank_idx);               // the blank's own value
    at::Tensor children = rows.unsqueeze(1).expand({p, 4, state_dim}).clone();
    // Swap blank and target; for an off-board move both are the blank.
    children.scatter_(2, blank_idx.unsqueeze(2).contiguous(), moved.unsqueeze(2));
    children.scatter_(2, target.unsqueeze(2), emptied.unsqueeze(2));
    return children;
  }

  at::Tensor one_hot(const at::Tensor& rows) const override {
    // [N, position, tile] -> [N, tile, position] flattened: tile*cells + position.
    const at::Tensor hits = rows.unsqueeze(2).eq(tiles_.view({1, 1, cells_}));
    return hits.transpose(1, 2).to(at::kFloat).reshape({rows.size(0), int64_t{cells_} * cells_});
  }

 private:
  int side_, cells_;
  at::Tensor targets_;  // [cells, 4] int64
  at::Tensor tiles_;    // [cells] int64: 0 .. cells-1
};

class Cube3TorchEnv final : public PuzzleTorchEnv {
 public:
  static constexpr int kStickers = 54;
  static constexpr int kColours = 6;

  Cube3TorchEnv(const Domain& domain, const c10::Device& device)
      : PuzzleTorchEnv(domain, device) {
    std::vector<int64_t> perms;
    perms.reserve(domain.num_moves * kStickers);
    for (const auto& perm : cube_move_table()) perms.insert(perms.end(), perm.begin(), perm.end());
    perms_ = tableTensor(perms, {domain.num_moves, kStickers}, device_);
    colours_ = at::arange(kColours, longOn(device_));
  }

 protected:
  at::Tensor children_of(const at::Tensor& rows) const override {
    const int64_t p = rows.size(0);
    // Both operands are broadcast views: only the children are materialised.
    return rows.unsqueeze(1)
        .expand({p, num_moves, state_dim})
        .gather(2, perms_.unsqueeze(0).expand({p, num_moves, state_dim}));
  }

  at::Tensor one_hot(const at::Tensor& rows) const override {
    const at::Tensor hits = rows.unsqueeze(2).eq(colours_.view({1, 1, kColours}));
    return hits.to(at::kFloat).reshape({rows.size(0), int64_t{kStickers} * kColours});
  }

 private:
  at::Tensor perms_;    // [12, 54] int64, cube_move_table()
  at::Tensor colours_;  // [6] int64
};

void checkStateSize(const Domain& domain, int state_size) {
  if (state_size != static_cast<int>(domain.state_size))
    throw std::invalid_argument(std::string(domain.name) + ": state_size must be " +
                                std::to_string(domain.state_size) + ", got " +
                                std::to_string(state_size));
}

std::unique_ptr<quelmar::TorchEnv> makeTorch(const char* name, const c10::Device& device,
                                             int state_size) {
  const Domain& domain = find_domain(name);
  checkStateSize(domain, state_size);
  if (domain.side > 0) return std::make_unique<SlidingTileTorchEnv>(domain, device);
  return std::make_unique<Cube3TorchEnv>(domain, device);
}

}  // namespace

std::unique_ptr<quelmar::TorchEnv> make_torch_puzzle8(const c10::Device& device, int state_size) {
  return makeTorch("puzzle8", device, state_size);
}

std::unique_ptr<quelmar::TorchEnv> make_torch_puzzle15(const c10::Device& device,
                                                       int state_size) {
  return makeTorch("puzzle15", device, state_size);
}

std::unique_ptr<quelmar::TorchEnv> make_torch_puzzle24(const c10::Device& device,
                                                       int state_size) {
  return makeTorch("puzzle24", device, state_size);
}

std::unique_ptr<quelmar::TorchEnv> make_torch_cube3(const c10::Device& device, int state_size) {
  return makeTorch("cube3", device, state_size);
}

}  // namespace quelmar_puzzles
