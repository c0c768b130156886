#pragma once
// The body shared by the solver functions, generated from the settings
// table: one typed parameter per row the solver takes, the record filled
// through the rows' fields, the detached native call and the result dictionary.

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>
#include <utility>
#include <vector>

#include "bindings/result_dict.h"
#include "bindings/state_array.h"
#include "config/settings_table.h"
#include "config/solver_settings.h"
#include "cpu_search/beam_search.h"
#include "cpu_search/parallel_weighted_astar.h"
#include "gpu_search/tensor_weighted_astar.h"

namespace quelmar::bindings {

inline SearchResult runNative(const std::vector<uint8_t>& state, const std::string& env,
                              const std::string& package_path, const SolverSettings& settings) {
  return run_parallel_weighted_astar(state, env, package_path, settings);
}
inline SearchResult runNative(const std::vector<uint8_t>& state, const std::string& env,
                              const std::string& package_path, const TorchAStarConfig& settings) {
  return run_torch_gpu_astar(state, env, package_path, settings);
}
inline SearchResult runNative(const std::vector<uint8_t>& state, const std::string& env,
                              const std::string& package_path, const BeamSearchSettings& settings) {
  return run_beam_search(state, env, package_path, settings);
}

// The state's bytes; the A* solvers check their batch size first. The beam
// search checks its settings itself, so native callers get the same checks.
inline std::vector<uint8_t> stateBytes(const StateArray& state, const SearchSettings& settings) {
  return checkedStateCopy(state, settings.batch_size);
}
inline std::vector<uint8_t> stateBytes(const StateArray& state, const BeamSearchSettings&) {
  return checkedStateCopy(state);
}

template <size_t I>
using Row = std::remove_cvref_t<std::tuple_element_t<I, decltype(settings::kSearchSettings)>>;

// Strings by constant reference, numbers and flags by value.
template <typename T>
using Parameter = std::conditional_t<std::is_same_v<T, std::string>, const std::string&, T>;

template <typename Settings, typename Indices>
struct SolverFunction;

template <typename Settings, size_t... I>
struct SolverFunction<Settings, std::index_sequence<I...>> {
  static nanobind::dict call(const StateArray& state, const std::string& env,
                             const std::string& package_path,
                             Parameter<typename Row<I>::Type>... values) {
    Settings settings;
    ((std::get<I>(settings::kSearchSettings).field(settings) = values), ...);
    const std::vector<uint8_t> bytes = stateBytes(state, settings);
    settings.profiling.enabled = settings.profiling.trace || settings.profiling.summary;
    if (settings.profiling.run_id.empty())
      settings.profiling.run_id = settings::pythonRunId(settings::solverOf<Settings>());
    SearchResult result;
    {
      nanobind::gil_scoped_release detached;
      result = runNative(bytes, env, package_path, settings);
    }
    return resultToDict(result);
  }

  // The Python argument of row I: its name, and its record default unless
  // the caller must give it.
  template <size_t Index>
  static nanobind::arg_v argument(const Settings& defaults) {
    const auto& row = std::get<Index>(settings::kSearchSettings);
    using T = typename Row<Index>::Type;
    static_assert(std::is_same_v<std::remove_cvref_t<decltype(row.field(std::declval<Settings&>()))>, T>,
                  "a settings row's type differs from its record field");
    return nanobind::arg(row.name.data()) = T(row.field(defaults));
  }

  template <size_t Index>
  static constexpr bool required() {
    return settings::requiredInPython(std::get<Index>(settings::kSearchSettings).name,
                                      settings::solverOf<Settings>());
  }

  template <size_t Index>
  static auto pythonArgument(const Settings& defaults) {
    if constexpr (required<Index>())
      return nanobind::arg(std::get<Index>(settings::kSearchSettings).name.data());
    else
      return argument<Index>(defaults);
  }

  // Defines the function `name` on `m` with the state, env and package
  // path first, then one argument per row.
  static void define(nanobind::module_& m, const char* name, const char* doc) {
    using namespace nanobind::literals;
    const Settings defaults;
    m.def(name, &call, "state"_a.noconvert(), "env"_a, "package_path"_a,
          pythonArgument<I>(defaults)..., doc);
  }
};

template <typename Settings>
using SolverFunctionOf = decltype([]<size_t... J>(std::index_sequence<J...>) {
  constexpr auto indices = settings::settingIndices<settings::solverOf<Settings>()>();
  return SolverFunction<Settings, std::index_sequence<indices[J]...>>{};
}(std::make_index_sequence<settings::takenCount<settings::solverOf<Settings>()>()>{}));

}  // namespace quelmar::bindings
