// random_walks, expand_states, goal_flags and network_inputs: the batch
// helpers over registered environments, NumPy arrays in and out. The arrays
// they return own the C++ buffers the helpers filled (no copy).
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>

#include <initializer_list>
#include <stdexcept>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "bindings/bindings.h"
#include "bindings/state_array.h"
#include "cpu_search/environment_batch.h"

namespace nb = nanobind;

namespace quelmar::bindings {
namespace {

// States in: rows of bytes, C order, on the CPU; anything else is refused
// rather than converted.
using StateRows = nb::ndarray<const uint8_t, nb::ndim<2>, nb::c_contig, nb::device::cpu>;

std::span<const uint8_t> bytesOf(const StateRows& states) {
  return {states.data(), states.shape(0) * states.shape(1)};
}

template <typename Scalar>
using Array = nb::ndarray<nb::numpy, Scalar>;

// A NumPy array of `Scalar` over `values`, which it takes over.
template <typename Scalar, typename Value>
Array<Scalar> ownedArray(std::vector<Value>&& values, std::initializer_list<size_t> shape) {
  size_t elements = 1;
  for (const size_t extent : shape) elements *= extent;
  // The array must never claim more than the buffer holds.
  if (elements != values.size()) throw std::logic_error("batch helper returned a buffer of the wrong size");
  auto* owner = new std::vector<Value>(std::move(values));
  // An empty vector may have no storage; arrays want an address all the same.
  if (owner->empty()) owner->reserve(1);
  nb::capsule deleter(owner, [](void* p) noexcept { delete static_cast<std::vector<Value>*>(p); });
  return Array<Scalar>(owner->data(), shape, deleter);
}

std::pair<Array<uint8_t>, Array<int64_t>> randomWalks(const std::string& env, const StateArray& state, int64_t count,
                      int64_t max_length, int64_t seed, int64_t min_length, bool no_return) {
  const std::span<const uint8_t> start(state.data(), state.shape(0));
  WalkBatch walks;
  {
    nb::gil_scoped_release detached;
    walks = quelmar::randomWalks(env, start, count, max_length, static_cast<uint64_t>(seed),
                                 min_length, no_return);
  }
  const size_t rows = walks.lengths.size();
  return {ownedArray<uint8_t>(std::move(walks.states), {rows, start.size()}),
          ownedArray<int64_t>(std::move(walks.lengths), {rows})};
}

Array<uint8_t> expandStates(const std::string& env, const StateRows& states) {
  ChildBatch children;
  {
    nb::gil_scoped_release detached;
    children = quelmar::expandStates(env, bytesOf(states), states.shape(1));
  }
  return ownedArray<uint8_t>(std::move(children.children),
                             {states.shape(0), children.num_moves, states.shape(1)});
}

Array<bool> goalFlags(const std::string& env, const StateRows& states) {
  std::vector<uint8_t> flags;
  {
    nb::gil_scoped_release detached;
    flags = quelmar::goalFlags(env, bytesOf(states), states.shape(1));
  }
  // The flags are 0 or 1, one byte each: NumPy's bool layout.
  return ownedArray<bool>(std::move(flags), {states.shape(0)});
}

Array<float> networkInputs(const std::string& env, const StateRows& states) {
  InputBatch inputs;
  {
    nb::gil_scoped_release detached;
    inputs = quelmar::networkInputs(env, bytesOf(states), states.shape(1));
  }
  return ownedArray<float>(std::move(inputs.inputs), {states.shape(0), inputs.input_size});
}

constexpr const char* kStatesNote =
    "``states`` is a C-contiguous ``numpy.uint8`` array of shape ``(N, D)``, one state per row,\n"
    "D the environment's state width; other dtypes, layouts and lists are refused (TypeError),\n"
    "not converted. Each row is validated by the environment's factory (ValueError naming\n"
    "the row). An empty batch gives arrays with no rows; with no state to create an\n"
    "environment from, its move count and input size are reported as 0 there.";

}  // namespace

void defineEnvironmentBatch(nb::module_& m) {
  using namespace nb::literals;
  static const std::string walks_doc = std::string(R"doc(Random walks from one state of ``env``.

Walk ``i`` draws its length uniformly from ``[min_length, max_length]``, then that
many moves uniformly from ``[0, num_moves)``, from its own generator keyed by
``(seed, i)``: the arrays depend on the arguments only, not on the thread count.
With ``no_return``, a move that leads to the current state or to the one the walk
just left is drawn again (up to 64 tries), so no move of the walk is wasted.
Runs on the OpenMP threads without the GIL.

Args:
    env: Registered environment name.
    state: Start state, a C-contiguous ``numpy.uint8`` array of shape ``(D,)``.
    count: Number of walks (>= 0).
    max_length: Longest walk (>= 0).
    seed: Any 64-bit signed integer.
    min_length: Shortest walk (0 <= min_length <= max_length).
    no_return: Never stand still or step straight back (default False).

Returns:
    ``(states, lengths)``: ``uint8[count, D]``, where each walk ends, and
    ``int64[count]``, its number of moves.

Raises:
    ValueError: Unknown environment, invalid start state, negative count or
        lengths, ``min_length > max_length``.
    RuntimeError: The environment misbehaves (no moves, a null state).
)doc");
  m.def("random_walks", &randomWalks, "env"_a, "state"_a.noconvert(), "count"_a, "max_length"_a,
        "seed"_a, "min_length"_a = 0, "no_return"_a = false, walks_doc.c_str());
  static const std::string expand_doc =
      std::string("Children of each state of ``env``, in the move order of ``expand()``.\n\n") +
      kStatesNote +
      "\n\nReturns:\n    ``uint8[N, num_moves, D]``.\n\nRaises:\n    ValueError: Unknown "
      "environment, invalid state, wrong state width.\n    RuntimeError: ``expand()`` gives "
      "another number of children than ``num_moves()``, or a null child.\n";
  m.def("expand_states", &expandStates, "env"_a, "states"_a.noconvert(), expand_doc.c_str());
  static const std::string goal_doc =
      std::string("Whether each state of ``env`` is a goal (``is_solved()``).\n\n") + kStatesNote +
      "\n\nReturns:\n    ``bool[N]``.\n\nRaises:\n    ValueError: Unknown environment, invalid "
      "state, wrong state width.\n";
  m.def("goal_flags", &goalFlags, "env"_a, "states"_a.noconvert(), goal_doc.c_str());
  static const std::string inputs_doc =
      std::string("Network inputs of each state of ``env``, as ``write_inputs()`` writes them.\n\n") +
      kStatesNote +
      "\n\nReturns:\n    ``float32[N, input_size]``.\n\nRaises:\n    ValueError: Unknown "
      "environment, invalid state, wrong state width.\n";
  m.def("network_inputs", &networkInputs, "env"_a, "states"_a.noconvert(), inputs_doc.c_str());
}

}  // namespace quelmar::bindings
