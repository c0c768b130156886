// run_torch_gpu_astar: the Python face of the GPU solver.
#include <nanobind/nanobind.h>

#include <string>

#include "bindings/bindings.h"
#include "bindings/solver_call.h"
#include "bindings/solver_doc.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace quelmar::bindings {

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
