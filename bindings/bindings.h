#pragma once
// The Python functions the module defines beside the registrar capsule.

#include <nanobind/nanobind.h>

namespace quelmar::bindings {

void defineCpuSolver(nanobind::module_& m);
void defineGpuSolver(nanobind::module_& m);
void defineBeamSearch(nanobind::module_& m);
void defineSettingsTable(nanobind::module_& m);
void defineEnvironmentBatch(nanobind::module_& m);

}  // namespace quelmar::bindings
