#pragma once
// The body shared by the solver functions, generated from the solver and
// settings tables: one typed parameter per settings row the solver takes, the
// record filled through the rows' fields, the detached native call and the
// result dictionary.

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>
#include <utility>
#include <vector>

#include "bindings/result_dict.h"
#include "bindings/state_array.h"
#include "bindings/solver_table.h"
#include "config/settings_table.h"
#include "config/solver_settings.h"

namespace quelmar::bindings {

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

template <size_t SolverIndex, typename Indices>
struct SolverFunction;

// The function of solver row SolverIndex (bindings/solver_table.h) with the
// settings rows I... it takes.
template <size_t SolverIndex, size_t... I>
struct SolverFunction<SolverIndex, std::index_sequence<I...>> {
  static constexpr const auto& solver = std::get<SolverIndex>(kSolvers);
  using Settings = typename std::remove_cvref_t<decltype(solver)>::SettingsRecord;

  static nanobind::dict call(const StateArray& state, const std::string& env,
                             const std::string& package_path,
                             Parameter<typename Row<I>::Type>... values) {
    Settings settings;
    ((std::get<I>(settings::kSearchSettings).field(settings) = values), ...);
    const std::vector<uint8_t> bytes = stateBytes(state, settings);
    settings.profiling.enabled = settings.profiling.trace || settings.profiling.summary;
    if (settings.profiling.run_id.empty()) settings.profiling.run_id = solver.run_id;
    SearchResult result;
    {
      nanobind::gil_scoped_release detached;
      result = solver.entry(bytes, env, package_path, settings);
    }
    return resultToDict(result);
  }

  // The Python argument of row Index: its name, and its record default
  // unless the caller must give it.
  template <size_t Index>
  static auto pythonArgument(const Settings& defaults) {
    const auto& row = std::get<Index>(settings::kSearchSettings);
    using T = typename Row<Index>::Type;
    static_assert(std::is_same_v<std::remove_cvref_t<decltype(row.field(std::declval<Settings&>()))>, T>,
                  "a settings row's type differs from its record field");
    if constexpr (settings::requiredInPython(std::get<Index>(settings::kSearchSettings).name,
                                             solver.record))
      return nanobind::arg(row.name.data());
    else
      return nanobind::arg(row.name.data()) = T(row.field(defaults));
  }

  // Defines the solver's function on `m` with the state, env and package
  // path first, then one argument per settings row it takes.
  static void define(nanobind::module_& m, const char* doc) {
    using namespace nanobind::literals;
    const Settings defaults;
    m.def(solver.function.data(), &call, "state"_a.noconvert(), "env"_a,
          "package_path"_a, pythonArgument<I>(defaults)..., doc);
  }
};

template <size_t SolverIndex>
using SolverFunctionOf = decltype([]<size_t... J>(std::index_sequence<J...>) {
  constexpr settings::Solver record = std::get<SolverIndex>(kSolvers).record;
  constexpr auto indices = settings::settingIndices<record>();
  return SolverFunction<SolverIndex, std::index_sequence<indices[J]...>>{};
}(std::make_index_sequence<settings::takenCount<std::get<SolverIndex>(kSolvers).record>()>{}));

}  // namespace quelmar::bindings
