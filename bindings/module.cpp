// The _backend_impl extension module: the registrar capsule and its solver
// functions, nothing more. Everything the project adds lives in
// _research_impl (research_module.cpp); both reach one copy of the solver
// core, so they share its registry, model cache and thread counts.
#include <nanobind/nanobind.h>

#include "bindings/bindings.h"
#include "environments/registry.h"

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
  quelmar::bindings::defineSolvers(m, quelmar::bindings::Module::kBackend);
}
