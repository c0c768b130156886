// The _backend_impl extension module. A thin layer: argument conversion and
// the result dictionaries live in the per-solver binding files.
#include <nanobind/nanobind.h>

#include "bindings/bindings.h"
#include "cpu_search/search_threads.h"
#include "environments/registry.h"
#include "heuristic/model_package.h"

namespace nb = nanobind;

namespace {

constexpr const char* kRegistrarCapsuleDoc = R"doc(
        Return the versioned environment registrar as a PyCapsule.

        Environment plugin extensions extract the registrar pointer from the
        capsule and register C++ environment factories by name. The solver
        entry points resolve environments through that registry.

        Returns:
            PyCapsule named ``quelmar_cpp.environment_registrar_v1``.
      )doc";

nb::capsule environmentRegistrarCapsule() {
  // The record is static: the capsule borrows it and owns nothing.
  return nb::capsule(quelmar::environment_registrar_v1(),
                     quelmar::kEnvironmentRegistrarCapsuleName);
}

}  // namespace

NB_MODULE(_backend_impl, m) {
  m.doc() = "Quelmar C++ backend bindings";
  m.def("environment_registrar_capsule", &environmentRegistrarCapsule, kRegistrarCapsuleDoc);
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
  quelmar::bindings::defineCpuSolver(m);
  quelmar::bindings::defineGpuSolver(m);
  quelmar::bindings::defineBeamSearch(m);
  quelmar::bindings::defineSettingsTable(m);
  quelmar::bindings::defineEnvironmentBatch(m);
}
