#pragma once
// Every search setting of the solvers, written once: its Python argument
// name, the record field it fills, which solvers take it, its allowed values
// and its one-line documentation. The Python signatures and docstrings, the
// mode validators' messages and parsing, and the command line's options all
// come from this table; a setting's default is its record's default member
// value (config/solver_settings.h), read through the row's field.
//
// Rows are in the Python argument order (after state, env, package_path).

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>

#include "config/solver_settings.h"

namespace quelmar::settings {

// A bit per settings record: the weighted A* solvers' on the CPU and the GPU,
// and the beam search's. A row's value says which records take it; a solver
// (bindings/solver_table.h) takes the rows of its record.
enum class Solver : uint8_t { kCpu = 1, kGpu = 2, kBoth = 3, kBeam = 4, kAll = 7 };

constexpr bool takes(Solver row, Solver solver) {
  return (static_cast<uint8_t>(row) & static_cast<uint8_t>(solver)) != 0;
}

// One row. T is the field's type; Field maps a record to a reference to the
// field (a generic lambda, so GPU-only rows name GPU-only fields, beam-only
// rows beam-only fields).
template <typename T, Solver S, typename Field>
struct Setting {
  using Type = T;
  static constexpr Solver solvers = S;
  std::string_view name;
  std::string_view doc;      // the CPU and beam solvers' text, and the GPU's unless gpu_doc is set
  std::string_view gpu_doc;  // the GPU solver's text where it differs
  std::span<const std::string_view> choices;  // allowed values, in enum order; empty: any
  Field field;

  std::string_view docFor(Solver solver) const {
    return solver == Solver::kGpu && !gpu_doc.empty() ? gpu_doc : doc;
  }
};

template <typename T, Solver S = Solver::kBoth, typename Field>
constexpr Setting<T, S, Field> setting(std::string_view name, std::string_view doc,
                                       std::string_view gpu_doc,
                                       std::span<const std::string_view> choices, Field field) {
  return {name, doc, gpu_doc, choices, field};
}

// Allowed values of the modes. The order is the order of the enums in
// config/search_modes.h.
inline constexpr std::array<std::string_view, 2> kMoveSources = {"infer", "stored"};
inline constexpr std::array<std::string_view, 2> kDuplicateUpdateModes = {"in_place", "new_slot"};
inline constexpr std::array<std::string_view, 2> kHashtableAlgorithms = {"linear_probing",
                                                                          "python_dict"};
inline constexpr std::array<std::string_view, 2> kGoalStopModes = {"stop_before_goal",
                                                                    "expand_popped_batch"};
inline constexpr std::array<std::string_view, 2> kCapacityModes = {"adaptive", "fixed"};

inline constexpr std::span<const std::string_view> kAny{};

#define QUELMAR_FIELD(path) [](auto& s) -> auto& { return s.path; }

inline constexpr auto kSearchSettings = std::make_tuple(
    setting<float>("weight", "Weighted A* path-cost coefficient.", "Weighted A* heuristic weight.",
                   kAny, QUELMAR_FIELD(weight)),
    setting<int32_t>("batch_size", "Maximum C++ CPU expansion and inference work per step.",
                     "Maximum nodes popped from OPEN per iteration.", kAny,
                     QUELMAR_FIELD(batch_size)),
    setting<int32_t, Solver::kBeam>(
        "beam_width", "States kept after each step: the children with the lowest heuristic.", "",
        kAny, QUELMAR_FIELD(beam_width)),
    setting<int64_t, Solver::kBeam>(
        "max_steps",
        "Maximum number of steps; running out of them unsolved sets search_budget_exceeded.", "",
        kAny, QUELMAR_FIELD(max_steps)),
    setting<int32_t, Solver::kGpu>("nnet_batch_size", "",
                                   "Maximum batch size for heuristic inference (0 = auto).", kAny,
                                   QUELMAR_FIELD(nnet_batch_size)),
    setting<std::string, Solver::kAll>(
        "device", "Torch device string for running the heuristic network.",
        "Torch device string (must be CUDA/ROCm).", kAny, QUELMAR_FIELD(device)),
    setting<bool, Solver::kAll>("print_internals", "If True, emit per-iteration search internals.",
                                "If True, emit per-iteration timing statistics.", kAny,
                                QUELMAR_FIELD(print_internals)),
    setting<std::string, Solver::kAll>(
        "solution_move_source",
        "Either \"infer\" or \"stored\" for final path move reconstruction.", "", kMoveSources,
        QUELMAR_FIELD(solution_move_source)),
    setting<std::string>("duplicate_update_mode",
                         "Either \"in_place\" or \"new_slot\" for accepted lower-cost duplicates.",
                         "", kDuplicateUpdateModes, QUELMAR_FIELD(duplicate_update_mode)),
    setting<std::string, Solver::kAll>(
        "hashtable_algorithm", "Either \"linear_probing\" or \"python_dict\" for CLOSED probing.",
        "", kHashtableAlgorithms, QUELMAR_FIELD(hashtable_algorithm)),
    setting<std::string>(
        "goal_stop_mode",
        "Either \"stop_before_goal\" or \"expand_popped_batch\" for selected frontier handling.",
        "", kGoalStopModes, QUELMAR_FIELD(goal_stop_mode)),
    setting<int64_t>("search_budget", "Generated-node cap, or 0 for no cap.", "", kAny,
                     QUELMAR_FIELD(search_budget)),
    setting<float>("hash_capacity_factor", "CLOSED capacity multiplier used with node-store sizing.",
                   "", kAny, QUELMAR_FIELD(hash_capacity_factor)),
    setting<std::string>("capacity_mode", "Either \"adaptive\" or \"fixed\" for capacity growth.",
                         "", kCapacityModes, QUELMAR_FIELD(capacity_mode)),
    setting<int64_t>("initial_open_size", "Initial OPEN capacity hint, or 0 to use the C++ default.",
                     "Initial OPEN capacity hint, or 0 to derive from the workload.", kAny,
                     QUELMAR_FIELD(initial_open_size)),
    setting<int64_t>("initial_closed_size",
                     "Initial CLOSED capacity hint, or 0 to use the C++ default.",
                     "Initial CLOSED capacity hint, or 0 to derive from the workload.", kAny,
                     QUELMAR_FIELD(initial_closed_size)),
    setting<int64_t>("initial_node_store_size",
                     "Initial node-store capacity hint, or 0 to use the C++ default.",
                     "Initial node-store capacity hint, or 0 to derive from the workload.", kAny,
                     QUELMAR_FIELD(initial_node_store_size)),
    setting<std::string, Solver::kAll>("profile_dir", "Directory for C++ profiling artifacts.", "",
                                       kAny, QUELMAR_FIELD(profiling.output_dir)),
    setting<bool, Solver::kAll>("profile_trace",
                                "Whether to emit a Chrome trace when profiling is enabled.", "",
                                kAny, QUELMAR_FIELD(profiling.trace)),
    setting<bool, Solver::kAll>("profile_summary",
                                "Whether to emit a C++ timing summary when profiling is enabled.",
                                "", kAny, QUELMAR_FIELD(profiling.summary)),
    setting<std::string, Solver::kAll>("profile_run_id",
                                       "Run identifier embedded in profiling artifact names.", "",
                                       kAny, QUELMAR_FIELD(profiling.run_id)),
    setting<bool, Solver::kAll>("operation_breakdown",
                                "Whether to collect per-operation timing totals.", "", kAny,
                                QUELMAR_FIELD(operation_breakdown)),
    setting<bool, Solver::kAll>("cuda_sync_timing",
                                "Whether CUDA timing synchronizes measured regions.", "", kAny,
                                QUELMAR_FIELD(cuda_sync_timing)),
    setting<std::string>("memory_dtype_node_state", "C++ node-state storage dtype name.", "", kAny,
                         QUELMAR_FIELD(memory_dtype_node_state)),
    setting<std::string>("memory_dtype_open_index", "C++ OPEN index storage dtype name.", "", kAny,
                         QUELMAR_FIELD(memory_dtype_open_index)),
    setting<std::string>("memory_dtype_open_cost", "C++ OPEN cost storage dtype name.", "", kAny,
                         QUELMAR_FIELD(memory_dtype_open_cost)),
    setting<std::string>("memory_dtype_closed_key", "C++ CLOSED key storage dtype name.", "", kAny,
                         QUELMAR_FIELD(memory_dtype_closed_key)),
    setting<std::string>("memory_dtype_closed_cost", "C++ CLOSED cost storage dtype name.", "",
                         kAny, QUELMAR_FIELD(memory_dtype_closed_cost)),
    setting<std::string>("memory_dtype_parent_index", "C++ parent-index storage dtype name.", "",
                         kAny, QUELMAR_FIELD(memory_dtype_parent_index)),
    setting<std::string>("memory_dtype_parent_move", "C++ parent-move storage dtype name.", "",
                         kAny, QUELMAR_FIELD(memory_dtype_parent_move)),
    setting<std::string>("memory_dtype_path_cost", "C++ path-cost storage dtype name.", "", kAny,
                         QUELMAR_FIELD(memory_dtype_path_cost)),
    setting<std::string>("memory_dtype_heuristic", "C++ heuristic storage dtype name.", "", kAny,
                         QUELMAR_FIELD(memory_dtype_heuristic)),
    setting<std::string>("memory_dtype_total_cost", "C++ total-cost storage dtype name.", "", kAny,
                         QUELMAR_FIELD(memory_dtype_total_cost)));

#undef QUELMAR_FIELD

inline constexpr size_t kSettingCount = std::tuple_size_v<decltype(kSearchSettings)>;

// Settings without a default in Python: the caller must give them. The CPU
// solver's device is one of them (its record default serves native callers).
constexpr bool requiredInPython(std::string_view name, Solver solver) {
  return name == "weight" || name == "batch_size" || name == "beam_width" || name == "max_steps" ||
         (name == "device" && solver == Solver::kCpu);
}

// Calls f(row) for every row the solver takes, in argument order.
template <typename F>
void forEachSetting(Solver solver, F&& f) {
  std::apply([&](const auto&... row) { ((takes(row.solvers, solver) ? f(row) : void()), ...); },
             kSearchSettings);
}

// Which rows a solver takes, and their indices as an array (for argument packs).
template <Solver S>
constexpr std::array<bool, kSettingCount> takenRows() {
  std::array<bool, kSettingCount> take{};
  std::apply(
      [&](const auto&... row) {
        size_t i = 0;
        ((take[i++] = takes(std::remove_cvref_t<decltype(row)>::solvers, S)), ...);
      },
      kSearchSettings);
  return take;
}

template <Solver S>
constexpr size_t takenCount() {
  size_t n = 0;
  for (bool t : takenRows<S>()) n += t ? 1 : 0;
  return n;
}

template <Solver S>
constexpr std::array<size_t, takenCount<S>()> settingIndices() {
  std::array<size_t, takenCount<S>()> indices{};
  const std::array<bool, kSettingCount> take = takenRows<S>();
  for (size_t i = 0, k = 0; i < kSettingCount; ++i)
    if (take[i]) indices[k++] = i;
  return indices;
}

// "<name> must be 'a' or 'b'": the message of a mode with a value outside its choices.
std::string choiceMessage(std::string_view name, std::span<const std::string_view> choices);

}  // namespace quelmar::settings
