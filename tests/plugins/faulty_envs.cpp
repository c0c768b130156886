// A test plug-in whose environments misbehave on purpose, to check that the
// solvers turn plug-in faults into Python exceptions instead of crashing.
// Each wraps an 8-puzzle environment and registers through the capsule.
#include <nanobind/nanobind.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "environments/registry.h"
#include "quelmar_puzzles/puzzles.h"

namespace nb = nanobind;
using quelmar::Environment;

namespace {

enum class Fault {
  ThrowInExpand, ThrowInChildIsSolved, NullSuccessor, WrongNextState, DeadEnd, Gate, VaryingInputSize
};

// The gate: the start node's expand() waits until Python opens the gate (or
// a long time has passed), so a test can act while a solve is surely running.
std::atomic<bool> gate_waiting{false}, gate_open{false}, gate_opened_in_time{false};

void waitAtGate() {
  gate_waiting = true;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!gate_open && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  gate_opened_in_time = gate_open.load();
  gate_waiting = false;
}

class FaultyEnvironment : public Environment {
 public:
  FaultyEnvironment(std::unique_ptr<Environment> inner, Fault fault, int depth)
      : inner_(std::move(inner)), fault_(fault), depth_(depth) {}

  std::unique_ptr<Environment> next_state(int move) const override {
    // WrongNextState disagrees with expand(): it stays put, so path inference must fail.
    if (fault_ == Fault::WrongNextState) return wrap(quelmar_puzzles::make_puzzle8(state_bytes()));
    return wrap(inner_->next_state(move));
  }
  std::vector<std::unique_ptr<Environment>> expand() const override {
    if (fault_ == Fault::ThrowInExpand) throw std::runtime_error("injected expand failure");
    if (fault_ == Fault::Gate && depth_ == 0) waitAtGate();
    std::vector<std::unique_ptr<Environment>> out;
    if (fault_ == Fault::DeadEnd) return out;
    for (auto& child : inner_->expand()) out.push_back(wrap(std::move(child)));
    if (fault_ == Fault::NullSuccessor) out[1].reset();
    return out;
  }
  const std::vector<uint8_t>& state_bytes() const override { return inner_->state_bytes(); }
  bool is_solved() const override {
    if (fault_ == Fault::ThrowInChildIsSolved && depth_ > 0)
      throw std::runtime_error("injected is_solved failure");
    return inner_->is_solved();
  }
  int num_moves() const override { return inner_->num_moves(); }
  // VaryingInputSize: 8 more inputs for generated states and states with the blank first,
  // all of them written, so a caller that sized its buffer by another state overruns it.
  size_t input_size() const override {
    const bool more = fault_ == Fault::VaryingInputSize && (depth_ > 0 || state_bytes()[0] == 0);
    return inner_->input_size() + (more ? 8 : 0);
  }
  void write_inputs(float* dst) const override {
    inner_->write_inputs(dst);
    std::fill(dst + inner_->input_size(), dst + input_size(), 0.0f);
  }

 private:
  std::unique_ptr<Environment> wrap(std::unique_ptr<Environment> inner) const {
    return std::make_unique<FaultyEnvironment>(std::move(inner), fault_, depth_ + 1);
  }
  std::unique_ptr<Environment> inner_;
  Fault fault_;
  int depth_;
};

template <Fault F>
std::unique_ptr<Environment> makeFaulty(const std::vector<uint8_t>& state) {
  return std::make_unique<FaultyEnvironment>(quelmar_puzzles::make_puzzle8(state), F, 0);
}

std::unique_ptr<Environment> makeNothing(const std::vector<uint8_t>&) { return nullptr; }

}  // namespace

NB_MODULE(_faulty_envs, m) {
  m.def("register", [](nb::capsule capsule) {
    if (std::string(capsule.name()) != quelmar::kEnvironmentRegistrarCapsuleName)
      throw std::invalid_argument("not an environment registrar capsule");
    const auto* registrar = static_cast<const quelmar::EnvironmentRegistrarV1*>(capsule.data());
    registrar->register_cpu_environment("faulty_expand", &makeFaulty<Fault::ThrowInExpand>);
    registrar->register_cpu_environment("faulty_is_solved", &makeFaulty<Fault::ThrowInChildIsSolved>);
    registrar->register_cpu_environment("null_successor", &makeFaulty<Fault::NullSuccessor>);
    registrar->register_cpu_environment("wrong_next_state", &makeFaulty<Fault::WrongNextState>);
    registrar->register_cpu_environment("dead_end", &makeFaulty<Fault::DeadEnd>);
    registrar->register_cpu_environment("null_factory", &makeNothing);
    registrar->register_cpu_environment("gated", &makeFaulty<Fault::Gate>);
    registrar->register_cpu_environment("varying_input", &makeFaulty<Fault::VaryingInputSize>);
  });
  // The gated environment's controls: close the gate, see whether a solve
  // waits at it, open it, and whether it was opened before the wait ran out.
  m.def("close_gate", [] { gate_open = false; gate_opened_in_time = false; });
  m.def("waiting_at_gate", [] { return gate_waiting.load(); });
  m.def("open_gate", [] { gate_open = true; });
  m.def("gate_opened_in_time", [] { return gate_opened_in_time.load(); });
}
