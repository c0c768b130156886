#pragma once
// Every solver function, written once: a row per solver. The Python
// functions, their docstrings, the per-solver entries of the settings table
// (_search_settings) and the command's --solver choices (_solvers) all come
// from these rows; a new solver is a row here and an engine file.

#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "bindings/bindings.h"
#include "config/search_result.h"
#include "config/settings_table.h"
#include "config/solver_settings.h"
#include "cpu_search/beam_search.h"
#include "cpu_search/parallel_weighted_astar.h"
#include "cpu_search/q_star_search.h"
#include "gpu_search/tensor_weighted_astar.h"

namespace quelmar::bindings {

template <typename Settings>
using NativeEntry = SearchResult (*)(const std::vector<uint8_t>& state, const std::string& env,
                                     const std::string& package_path, const Settings& settings);

template <typename Settings>
struct SolverRow {
  using SettingsRecord = Settings;
  std::string_view name;      // the command's --solver value and the settings table's key
  std::string_view function;  // the Python function
  Module module;
  settings::Solver record;    // the settings rows it takes (config/settings_table.h)
  NativeEntry<Settings> entry;
  std::string_view run_id;    // profile_run_id when the caller leaves it empty
  std::string_view summary;   // the docstring's first line
  std::string_view raises;    // the docstring's RuntimeError line
};

inline constexpr auto kSolvers = std::make_tuple(
    SolverRow<SolverSettings>{"cpu", "run_weighted_astar", Module::kBackend,
                              settings::Solver::kCpu, &run_parallel_weighted_astar, "cpp_pwas",
                              "Solve a single puzzle state via weighted A* search.",
                              "RuntimeError: If the C++ solver cannot initialize or complete."},
    SolverRow<TorchAStarConfig>{
        "gpu", "run_torch_gpu_astar", Module::kBackend, settings::Solver::kGpu,
        &run_torch_gpu_astar, "cpp_torch_gpu",
        "Solve a single puzzle state using the LibTorch GPU-only A* searcher.",
        "RuntimeError: If the C++ GPU searcher cannot initialize or complete."},
    SolverRow<BeamSearchSettings>{
        "beam", "run_beam_search", Module::kResearch, settings::Solver::kBeam, &run_beam_search,
        "cpp_beam", "Solve a single puzzle state via beam search guided by the heuristic network.",
        "RuntimeError: If the C++ beam search cannot initialize or complete."},
    SolverRow<BeamSearchSettings>{
        "qbeam", "run_q_beam_search", Module::kResearch, settings::Solver::kBeam,
        &run_q_beam_search, "cpp_qbeam",
        "Solve a single puzzle state via beam search guided by a Q-network (one output per move).",
        "RuntimeError: If the C++ Q-beam search cannot initialize or complete."},
    SolverRow<SolverSettings>{
        "qstar", "run_q_star_search", Module::kResearch, settings::Solver::kCpu,
        &run_q_star_search, "cpp_qstar",
        "Solve a single puzzle state via Q* search: weighted A* over a Q-network's (state, move) "
        "entries.",
        "RuntimeError: If the C++ Q* search cannot initialize or complete."});

inline constexpr size_t kSolverCount = std::tuple_size_v<decltype(kSolvers)>;

// Calls f(row) for every solver, in table order.
template <typename F>
void forEachSolver(F&& f) {
  std::apply([&](const auto&... row) { (f(row), ...); }, kSolvers);
}

// Calls f(std::integral_constant<size_t, S>) for every solver index S, in
// table order: the row is then a constant expression (std::get<S>(kSolvers)).
template <typename F>
void forEachSolverIndex(F&& f) {
  [&]<size_t... S>(std::index_sequence<S...>) {
    (f(std::integral_constant<size_t, S>{}), ...);
  }(std::make_index_sequence<kSolverCount>{});
}

}  // namespace quelmar::bindings
