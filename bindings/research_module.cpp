// The _research_impl extension module: what the project adds beside the
// backend's own functions (the beam search and the solvers to come, the
// batch helpers, the solver and settings tables), and private hooks for the
// command, the trainer and the benchmarks. quelmar_cpp re-exports its public
// names beside _backend_impl's.
#include <nanobind/nanobind.h>

#include "bindings/bindings.h"
#include "cpu_search/search_start.h"
#include "cpu_search/search_threads.h"
#include "heuristic/network_rows.h"
#include "heuristic/model_package.h"

namespace nb = nanobind;

NB_MODULE(_research_impl, m) {
  m.doc() = "Quelmar C++ research additions: more solvers and the batch helpers";
  quelmar::bindings::defineSolvers(m, quelmar::bindings::Module::kResearch);
  quelmar::bindings::defineEnvironmentBatch(m);
  quelmar::bindings::defineSolverTables(m);
  // Loaded model packages are cached for the process (one load per file).
  m.def("_release_model_packages", [] {
    nb::gil_scoped_release detached;
    return quelmar::releaseUnusedModelPackages();
  }, "Unload the cached model packages no running search uses; returns how many.");
  m.def("_cached_model_packages", &quelmar::cachedModelPackageCount,
        "Number of model packages currently loaded and cached.");
  // The thread-count rule and the parallel loops' counters, for the trainer
  // and the benchmarks (private: not part of the solvers' interface).
  // One call: the trainer asks between steps, and the count must not halve whenever its
  // background batch thread happens to be inside a helper.
  m.def("_search_threads", [] { return quelmar::searchThreads(1); },
        "OpenMP threads a CPU search would run on as this process's only CPU call (QUELMAR_THREADS "
        "or OMP_NUM_THREADS when set, else the CPUs this process may use that other processes "
        "leave free).");
  m.def("_network_rows", [](bool reset) {
    const uint64_t rows = quelmar::networkRowsScored();
    if (reset) quelmar::resetNetworkRowsScored();
    return rows;
  }, nb::arg("reset") = false,
        "Network rows the CPU solvers of this process have scored since the last reset.");
  m.def("_native_bfloat16", &quelmar::cpuHasNativeBfloat16,
        "Whether this CPU computes in bfloat16 natively (AVX512-BF16 or AMX): where it does not, "
        "bfloat16 packages are emulated and many times slower than float32.");
  m.def("_parallel_stats", [](bool reset) {
    const quelmar::ParallelStats stats = quelmar::parallelStats();
    if (reset) quelmar::resetParallelStats();
    nb::dict out;
    out["regions"] = stats.regions;
    out["serial"] = stats.serial;
    out["join_wait_seconds"] = stats.join_wait_seconds;
    return out;
  }, nb::arg("reset") = false,
        "Parallel loops run since the last reset: regions opened, loops run serially, and the "
        "seconds the calling threads waited at the regions' joins.");
}
