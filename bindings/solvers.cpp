// run_weighted_astar and run_torch_gpu_astar: the Python faces of the two
// solvers, one argument list and one docstring builder for both.
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

void defineGpuSolver(nb::module_& m) {
  static const std::string doc = solverDocstring(
      "Solve a single puzzle state using the LibTorch GPU-only A* searcher.", gpuArgumentTexts(),
      "RuntimeError: If the C++ GPU searcher cannot initialize or complete.");
  const TorchAStarConfig defaults;
  defineSolver<TorchAStarConfig>(m, "run_torch_gpu_astar", &solve<TorchAStarConfig, int32_t>,
                                 doc.c_str(), "nnet_batch_size"_a = defaults.nnet_batch_size,
                                 "device"_a = defaults.device);
}

}  // namespace quelmar::bindings
