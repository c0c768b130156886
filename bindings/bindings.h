#pragma once
// Each solver's Python function is defined in its own translation unit.

#include <nanobind/nanobind.h>

namespace quelmar::bindings {

void defineCpuSolver(nanobind::module_& m);
void defineGpuSolver(nanobind::module_& m);

}  // namespace quelmar::bindings
