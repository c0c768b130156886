// run_weighted_astar, run_torch_gpu_astar and run_beam_search: the Python
// faces of the solvers, and _search_settings, the settings table as Python data.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>

#include "bindings/bindings.h"
#include "bindings/solver_call.h"
#include "bindings/solver_doc.h"
#include "config/settings_table.h"

namespace nb = nanobind;

namespace quelmar::bindings {
namespace {

template <typename Settings>
void defineSolver(nb::module_& m, const char* name, const std::string& summary,
                  const std::string& runtime_error) {
  static const std::string doc =
      solverDocstring(settings::solverOf<Settings>(), summary, runtime_error);
  SolverFunctionOf<Settings>::define(m, name, doc.c_str());
}

const char* typeName(bool) { return "bool"; }
const char* typeName(int32_t) { return "int"; }
const char* typeName(int64_t) { return "int"; }
const char* typeName(float) { return "float"; }
const char* typeName(const std::string&) { return "str"; }

// {"default": value or None, "doc": text} of a row for one solver.
template <typename Settings, typename Row>
nb::dict solverEntry(const Row& row) {
  constexpr settings::Solver solver = settings::solverOf<Settings>();
  const Settings defaults;
  nb::dict entry;
  if (settings::requiredInPython(row.name, solver))
    entry["default"] = nb::none();
  else
    entry["default"] = typename Row::Type(row.field(defaults));
  entry["doc"] = std::string(row.docFor(solver));
  return entry;
}

// One dict per setting, in argument order: name, type, choices (or None) and
// per solver that takes it ("cpu", "gpu", "beam"), its Python default (None:
// required) and doc.
nb::list searchSettings() {
  nb::list table;
  std::apply(
      [&](const auto&... row) {
        const auto add = [&](const auto& r) {
          using Row = std::remove_cvref_t<decltype(r)>;
          nb::dict solvers;
          if constexpr (settings::takes(Row::solvers, settings::Solver::kCpu))
            solvers["cpu"] = solverEntry<SolverSettings>(r);
          if constexpr (settings::takes(Row::solvers, settings::Solver::kGpu))
            solvers["gpu"] = solverEntry<TorchAStarConfig>(r);
          if constexpr (settings::takes(Row::solvers, settings::Solver::kBeam))
            solvers["beam"] = solverEntry<BeamSearchSettings>(r);
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

}  // namespace

void defineCpuSolver(nb::module_& m) {
  defineSolver<SolverSettings>(m, "run_weighted_astar",
                               "Solve a single puzzle state via weighted A* search.",
                               "RuntimeError: If the C++ solver cannot initialize or complete.");
}

void defineGpuSolver(nb::module_& m) {
  defineSolver<TorchAStarConfig>(
      m, "run_torch_gpu_astar",
      "Solve a single puzzle state using the LibTorch GPU-only A* searcher.",
      "RuntimeError: If the C++ GPU searcher cannot initialize or complete.");
}

void defineBeamSearch(nb::module_& m) {
  defineSolver<BeamSearchSettings>(
      m, "run_beam_search",
      "Solve a single puzzle state via beam search guided by the heuristic network.",
      "RuntimeError: If the C++ beam search cannot initialize or complete.");
}

void defineSettingsTable(nb::module_& m) {
  m.def("_search_settings", &searchSettings,
        "The solvers' settings: one dict per setting with name, type, choices and, per solver "
        "taking it, its default (None: required) and doc.");
}

}  // namespace quelmar::bindings
