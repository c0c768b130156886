#pragma once
// Docstrings of the solver functions: one layout; the argument lines
// come from the settings table.

#include <string>

#include "config/settings_table.h"

namespace quelmar::bindings {

// Summary, "Args:" (a line per argument: state, env, package_path, then the
// solver's settings), "Returns:" and "Raises:" with the given RuntimeError
// line, indented as the functions show them.
std::string solverDocstring(settings::Solver solver, const std::string& summary,
                            const std::string& runtime_error);

}  // namespace quelmar::bindings
