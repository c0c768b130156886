#pragma once
// The body shared by the two solver functions: the binding checks, the
// settings record filled from the arguments, the detached native call and
// the result dictionary. The GPU function has one more argument,
// nnet_batch_size, passed as a one-element pack.

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>
#include <utility>
#include <vector>

#include "bindings/result_dict.h"
#include "bindings/state_array.h"
#include "config/solver_settings.h"
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

// Artifact prefix when profile_run_id is empty.
inline const char* defaultRunId(const SolverSettings&) { return "cpp_pwas"; }
inline const char* defaultRunId(const TorchAStarConfig&) { return "cpp_torch_gpu"; }

template <typename Settings, typename... NnetBatchSize>
nanobind::dict solve(
    const StateArray& state, const std::string& env, const std::string& package_path,
    float weight, int32_t batch_size, NnetBatchSize... nnet_batch_size, const std::string& device, bool print_internals,
    const std::string& solution_move_source, const std::string& duplicate_update_mode,
    const std::string& hashtable_algorithm, const std::string& goal_stop_mode,
    int64_t search_budget, float hash_capacity_factor, const std::string& capacity_mode,
    int64_t initial_open_size, int64_t initial_closed_size, int64_t initial_node_store_size,
    const std::string& profile_dir, bool profile_trace, bool profile_summary,
    const std::string& profile_run_id, bool operation_breakdown, bool cuda_sync_timing,
    const std::string& memory_dtype_node_state, const std::string& memory_dtype_open_index,
    const std::string& memory_dtype_open_cost, const std::string& memory_dtype_closed_key,
    const std::string& memory_dtype_closed_cost, const std::string& memory_dtype_parent_index,
    const std::string& memory_dtype_parent_move, const std::string& memory_dtype_path_cost,
    const std::string& memory_dtype_heuristic, const std::string& memory_dtype_total_cost) {
  const std::vector<uint8_t> bytes = checkedStateCopy(state, batch_size);

  Settings settings;
  settings.weight = weight;
  settings.batch_size = batch_size;
  if constexpr (sizeof...(NnetBatchSize) == 1) settings.nnet_batch_size = (nnet_batch_size, ...);
  settings.device = device;
  settings.print_internals = print_internals;
  settings.solution_move_source = solution_move_source;
  settings.duplicate_update_mode = duplicate_update_mode;
  settings.hashtable_algorithm = hashtable_algorithm;
  settings.goal_stop_mode = goal_stop_mode;
  settings.search_budget = search_budget;
  settings.hash_capacity_factor = hash_capacity_factor;
  settings.capacity_mode = capacity_mode;
  settings.initial_open_size = initial_open_size;
  settings.initial_closed_size = initial_closed_size;
  settings.initial_node_store_size = initial_node_store_size;
  settings.operation_breakdown = operation_breakdown;
  settings.cuda_sync_timing = cuda_sync_timing;
  settings.profiling.enabled = profile_trace || profile_summary;
  settings.profiling.output_dir = profile_dir;
  settings.profiling.run_id = profile_run_id.empty() ? defaultRunId(settings) : profile_run_id;
  settings.profiling.trace = profile_trace;
  settings.profiling.summary = profile_summary;
  settings.memory_dtype_node_state = memory_dtype_node_state;
  settings.memory_dtype_open_index = memory_dtype_open_index;
  settings.memory_dtype_open_cost = memory_dtype_open_cost;
  settings.memory_dtype_closed_key = memory_dtype_closed_key;
  settings.memory_dtype_closed_cost = memory_dtype_closed_cost;
  settings.memory_dtype_parent_index = memory_dtype_parent_index;
  settings.memory_dtype_parent_move = memory_dtype_parent_move;
  settings.memory_dtype_path_cost = memory_dtype_path_cost;
  settings.memory_dtype_heuristic = memory_dtype_heuristic;
  settings.memory_dtype_total_cost = memory_dtype_total_cost;

  SearchResult result;
  {
    nanobind::gil_scoped_release detached;
    result = runNative(bytes, env, package_path, settings);
  }
  return resultToDict(result);
}

// Registers a solver function with the arguments both solvers take, their
// defaults read from a default-constructed Settings record. `middle` are
// the arguments between batch_size and print_internals (the device, and the
// GPU solver's nnet_batch_size before it).
template <typename Settings, typename Function, typename... Middle>
void defineSolver(nanobind::module_& m, const char* name, Function function, const char* doc,
                  Middle&&... middle) {
  using namespace nanobind::literals;
  const Settings d;
  m.def(name, function, "state"_a.noconvert(), "env"_a, "package_path"_a, "weight"_a,
        "batch_size"_a, std::forward<Middle>(middle)...,
        "print_internals"_a = d.print_internals,
        "solution_move_source"_a = d.solution_move_source,
        "duplicate_update_mode"_a = d.duplicate_update_mode,
        "hashtable_algorithm"_a = d.hashtable_algorithm, "goal_stop_mode"_a = d.goal_stop_mode,
        "search_budget"_a = d.search_budget, "hash_capacity_factor"_a = d.hash_capacity_factor,
        "capacity_mode"_a = d.capacity_mode, "initial_open_size"_a = d.initial_open_size,
        "initial_closed_size"_a = d.initial_closed_size,
        "initial_node_store_size"_a = d.initial_node_store_size,
        "profile_dir"_a = d.profiling.output_dir, "profile_trace"_a = d.profiling.trace,
        "profile_summary"_a = d.profiling.summary, "profile_run_id"_a = d.profiling.run_id,
        "operation_breakdown"_a = d.operation_breakdown, "cuda_sync_timing"_a = d.cuda_sync_timing,
        "memory_dtype_node_state"_a = d.memory_dtype_node_state,
        "memory_dtype_open_index"_a = d.memory_dtype_open_index,
        "memory_dtype_open_cost"_a = d.memory_dtype_open_cost,
        "memory_dtype_closed_key"_a = d.memory_dtype_closed_key,
        "memory_dtype_closed_cost"_a = d.memory_dtype_closed_cost,
        "memory_dtype_parent_index"_a = d.memory_dtype_parent_index,
        "memory_dtype_parent_move"_a = d.memory_dtype_parent_move,
        "memory_dtype_path_cost"_a = d.memory_dtype_path_cost,
        "memory_dtype_heuristic"_a = d.memory_dtype_heuristic,
        "memory_dtype_total_cost"_a = d.memory_dtype_total_cost, doc);
}

}  // namespace quelmar::bindings
