// run_weighted_astar: the Python face of the CPU solver.
#include <nanobind/nanobind.h>

#include <string>

#include "bindings/bindings.h"
#include "bindings/solver_call.h"
#include "bindings/solver_doc.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace quelmar::bindings {

void defineCpuSolver(nb::module_& m) {
  static const std::string doc = solverDocstring(
      "Solve a single puzzle state via weighted A* search.", cpuArgumentTexts(),
      "RuntimeError: If the C++ solver cannot initialize or complete.");
  // The CPU solver's device has no default.
  defineSolver<SolverSettings>(m, "run_weighted_astar", &solve<SolverSettings>, doc.c_str(),
                               "device"_a);
}

}  // namespace quelmar::bindings
