// The solver functions of either module, from the solver table, and the two
// tables as Python data: _search_settings (the settings) and _solvers.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>
#include <utility>

#include "bindings/bindings.h"
#include "bindings/solver_call.h"
#include "bindings/solver_doc.h"
#include "bindings/solver_table.h"
#include "config/settings_table.h"

namespace nb = nanobind;

namespace quelmar::bindings {
namespace {

template <size_t SolverIndex>
void defineSolver(nb::module_& m) {
  constexpr const auto& solver = std::get<SolverIndex>(kSolvers);
  // The module keeps a pointer to the text: one string per solver, for the process.
  static const std::string doc =
      solverDocstring(solver.record, std::string(solver.summary), std::string(solver.raises));
  SolverFunctionOf<SolverIndex>::define(m, doc.c_str());
}

const char* typeName(bool) { return "bool"; }
const char* typeName(int32_t) { return "int"; }
const char* typeName(int64_t) { return "int"; }
const char* typeName(float) { return "float"; }
const char* typeName(const std::string&) { return "str"; }

// {"default": value or None, "doc": text} of a settings row for one solver.
template <typename Solver, typename Row>
nb::dict solverEntry(const Solver& solver, const Row& row) {
  const typename Solver::SettingsRecord defaults;
  nb::dict entry;
  if (settings::requiredInPython(row.name, solver.record))
    entry["default"] = nb::none();
  else
    entry["default"] = typename Row::Type(row.field(defaults));
  entry["doc"] = std::string(row.docFor(solver.record));
  return entry;
}

// One dict per setting, in argument order: name, type, choices (or None)
// and, per solver taking it (by its table name), its Python default (None:
// required) and doc.
nb::list searchSettings() {
  nb::list table;
  std::apply(
      [&](const auto&... row) {
        const auto add = [&](const auto& r) {
          using Row = std::remove_cvref_t<decltype(r)>;
          nb::dict solvers;
          forEachSolverIndex([&](auto index) {
            constexpr const auto& solver = std::get<decltype(index)::value>(kSolvers);
            if constexpr (settings::takes(Row::solvers, solver.record))
              solvers[std::string(solver.name).c_str()] = solverEntry(solver, r);
          });
          nb::dict entry;
          entry["name"] = std::string(r.name);
          entry["type"] = typeName(typename Row::Type{});
          if (r.choices.empty()) {
            entry["choices"] = nb::none();
          } else {
            nb::list choices;
            for (std::string_view c : r.choices) choices.append(std::string(c));
            entry["choices"] = choices;
          }
          entry["solvers"] = solvers;
          table.append(entry);
        };
        (add(row), ...);
      },
      settings::kSearchSettings);
  return table;
}

// One dict per solver, in table order: its name, function, module and summary.
nb::list solverList() {
  nb::list solvers;
  forEachSolver([&](const auto& solver) {
    nb::dict entry;
    entry["name"] = std::string(solver.name);
    entry["function"] = std::string(solver.function);
    entry["module"] = std::string(moduleName(solver.module));
    entry["summary"] = std::string(solver.summary);
    solvers.append(entry);
  });
  return solvers;
}

}  // namespace

void defineSolvers(nb::module_& m, Module module) {
  forEachSolverIndex([&](auto index) {
    if (std::get<decltype(index)::value>(kSolvers).module == module)
      defineSolver<decltype(index)::value>(m);
  });
}

void defineSolverTables(nb::module_& m) {
  m.def("_search_settings", &searchSettings,
        "The solvers' settings: one dict per setting with name, type, choices and, per solver "
        "taking it, its default (None: required) and doc.");
  m.def("_solvers", &solverList,
        "The solvers: one dict per solver with its name (the key of its settings), function, "
        "module and one-line summary.");
}

}  // namespace quelmar::bindings
