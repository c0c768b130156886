// Private extension behind the quelmar_puzzles package. It reaches the
// solver's registry only through the versioned registrar capsule, so it does
// not link the solver core; it links LibTorch for its batched environments.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>
#include <nanobind/stl/vector.h>

#include <cstring>
#include <string>

#include "environments/registry.h"
#include "quelmar_puzzles/puzzles.h"

namespace nb = nanobind;
using namespace quelmar_puzzles;

namespace {

std::vector<uint8_t> toVector(const nb::bytes& bytes) {
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  return std::vector<uint8_t>(data, data + bytes.size());
}

nb::bytes toBytes(const std::vector<uint8_t>& state) {
  return nb::bytes(reinterpret_cast<const char*>(state.data()), state.size());
}

std::vector<std::string> registerEnvironments(nb::handle capsule) {
  PyObject* object = capsule.ptr();
  if (!PyCapsule_CheckExact(object))
    throw nb::type_error(("register() expects the PyCapsule from "
                          "quelmar_cpp.environment_registrar_capsule(), got an object of type " +
                          std::string(nb::type_name(capsule.type()).c_str()))
                             .c_str());
  const char* name = PyCapsule_GetName(object);
  if (name == nullptr && PyErr_Occurred()) throw nb::python_error();
  if (name == nullptr || std::strcmp(name, quelmar::kEnvironmentRegistrarCapsuleName) != 0)
    throw nb::value_error((std::string("register() expects a capsule named '") +
                           quelmar::kEnvironmentRegistrarCapsuleName + "', got one named " +
                           (name ? "'" + std::string(name) + "'" : std::string("None")))
                              .c_str());
  if (!PyCapsule_IsValid(object, quelmar::kEnvironmentRegistrarCapsuleName))
    throw nb::value_error("register(): the registrar capsule holds no pointer");
  auto* registrar = static_cast<const quelmar::EnvironmentRegistrarV1*>(
      PyCapsule_GetPointer(object, quelmar::kEnvironmentRegistrarCapsuleName));
  if (registrar == nullptr) throw nb::python_error();
  if (registrar->version != quelmar::kEnvironmentRegistrarVersion)
    throw std::runtime_error("register(): the solver's environment registrar has version " +
                             std::to_string(registrar->version) + ", this plug-in needs version " +
                             std::to_string(quelmar::kEnvironmentRegistrarVersion));
  // Checked up front so that a bad registrar registers nothing at all.
  if (registrar->register_cpu_environment == nullptr)
    throw std::runtime_error("register(): the registrar has no register_cpu_environment");
  if (registrar->register_torch_environment == nullptr)
    throw std::runtime_error("register(): the registrar has no register_torch_environment");
  std::vector<std::string> names;
  for (const Domain& domain : domains()) {
    registrar->register_cpu_environment(domain.name, domain.factory);
    registrar->register_torch_environment(domain.name, domain.torch_factory);
    names.emplace_back(domain.name);
  }
  return names;
}

std::optional<int> optimalSolutionLength(std::string_view env, const nb::bytes& state,
                                         int max_depth) {
  const Domain& domain = find_domain(env);
  const std::vector<uint8_t> tiles = toVector(state);
  struct Interrupted {};
  std::optional<int> length;
  bool interrupted = false;
  {
    // Long searches run without the GIL but still answer Ctrl-C.
    nb::gil_scoped_release release;
    try {
      length = optimal_solution_length(domain, tiles, max_depth, [] {
        nb::gil_scoped_acquire acquire;
        if (PyErr_CheckSignals() != 0) throw Interrupted{};
      });
    } catch (const Interrupted&) {
      interrupted = true;
    }
  }
  if (interrupted) throw nb::python_error();
  return length;
}

}  // namespace

NB_MODULE(_puzzles_impl, m) {
  m.doc() = "Private C++ part of quelmar_puzzles; use the quelmar_puzzles package.";
  m.def("register_environments", &registerEnvironments, nb::arg("capsule"));
  m.def("environment_names", [] {
    std::vector<std::string> names;
    for (const Domain& domain : domains()) names.emplace_back(domain.name);
    return names;
  });
  m.def("goal_state", [](std::string_view env) { return toBytes(goal_state(find_domain(env))); },
        nb::arg("env"));
  m.def("num_moves", [](std::string_view env) { return find_domain(env).num_moves; },
        nb::arg("env"));
  m.def("inverse_move",
        [](std::string_view env, int move) { return inverse_move(find_domain(env), move); },
        nb::arg("env"), nb::arg("move"));
  m.def("apply_moves",
        [](std::string_view env, const nb::bytes& state, const std::vector<int>& moves) {
          return toBytes(apply_moves(find_domain(env), toVector(state), moves));
        },
        nb::arg("env"), nb::arg("state"), nb::arg("moves"));
  m.def("is_solved",
        [](std::string_view env, const nb::bytes& state) {
          return find_domain(env).factory(toVector(state))->is_solved();
        },
        nb::arg("env"), nb::arg("state"));
  m.def("scramble",
        [](std::string_view env, int depth, uint64_t seed) {
          Scramble result = scramble(find_domain(env), depth, seed);
          return std::make_pair(toBytes(result.state), result.moves);
        },
        nb::arg("env"), nb::arg("depth"), nb::arg("seed"));
  m.def("optimal_solution_length", &optimalSolutionLength, nb::arg("env"), nb::arg("state"),
        nb::arg("max_depth"));
}
