#pragma once
// What the two extension modules define, from the binding files.

#include <nanobind/nanobind.h>

#include <cstdint>
#include <string_view>

namespace quelmar::bindings {

// The extension module that defines a solver: the specified module keeps
// exactly its own functions; what the project adds lives in the second one.
enum class Module : uint8_t { kBackend, kResearch };

inline constexpr std::string_view moduleName(Module module) {
  return module == Module::kBackend ? "quelmar_cpp._backend_impl" : "quelmar_cpp._research_impl";
}

// The solver functions of `module`'s rows of the solver table.
void defineSolvers(nanobind::module_& m, Module module);
// _search_settings and _solvers: the settings and solver tables as Python data.
void defineSolverTables(nanobind::module_& m);
// random_walks, expand_states, goal_flags and network_inputs.
void defineEnvironmentBatch(nanobind::module_& m);

}  // namespace quelmar::bindings
