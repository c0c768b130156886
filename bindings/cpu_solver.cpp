// run_weighted_astar: the Python face of the CPU solver.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>
#include <utility>

#include "bindings/bindings.h"
#include "bindings/solver_call.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace quelmar::bindings {
namespace {

constexpr const char* kDoc = R"doc(
        Solve a single puzzle state via weighted A* search.

        Args:
            state: Contiguous CPU uint8 tensor with shape `(state_dim,)`.
            env: Logical environment name registered by an installed environment plugin.
            package_path: Path to the AOTInductor package (e.g., model.pt2).
            weight: Weighted A* path-cost coefficient.
            batch_size: Maximum C++ CPU expansion and inference work per step.
            device: Torch device string for running the heuristic network.
            print_internals: If True, emit per-iteration search internals.
            solution_move_source: Either "infer" or "stored" for final path move reconstruction.
            duplicate_update_mode: Either "in_place" or "new_slot" for accepted lower-cost duplicates.
            hashtable_algorithm: Either "linear_probing" or "python_dict" for CLOSED probing.
            goal_stop_mode: Either "stop_before_goal" or "expand_popped_batch" for selected frontier handling.
            search_budget: Generated-node cap, or 0 for no cap.
            hash_capacity_factor: CLOSED capacity multiplier used with node-store sizing.
            capacity_mode: Either "adaptive" or "fixed" for capacity growth.
            initial_open_size: Initial OPEN capacity hint, or 0 to use the C++ default.
            initial_closed_size: Initial CLOSED capacity hint, or 0 to use the C++ default.
            initial_node_store_size: Initial node-store capacity hint, or 0 to use the C++ default.
            profile_dir: Directory for C++ profiling artifacts.
            profile_trace: Whether to emit a Chrome trace when profiling is enabled.
            profile_summary: Whether to emit a C++ timing summary when profiling is enabled.
            profile_run_id: Run identifier embedded in profiling artifact names.
            operation_breakdown: Whether to collect per-operation timing totals.
            cuda_sync_timing: Whether CUDA timing synchronizes measured regions.
            memory_dtype_node_state: C++ node-state storage dtype name.
            memory_dtype_open_index: C++ OPEN index storage dtype name.
            memory_dtype_open_cost: C++ OPEN cost storage dtype name.
            memory_dtype_closed_key: C++ CLOSED key storage dtype name.
            memory_dtype_closed_cost: C++ CLOSED cost storage dtype name.
            memory_dtype_parent_index: C++ parent-index storage dtype name.
            memory_dtype_parent_move: C++ parent-move storage dtype name.
            memory_dtype_path_cost: C++ path-cost storage dtype name.
            memory_dtype_heuristic: C++ heuristic storage dtype name.
            memory_dtype_total_cost: C++ total-cost storage dtype name.

        Returns:
            Dict with keys `moves`, `nodes_generated`, `solve_time`, `solved`,
            `search_budget_exceeded`, and optionally `operation_timings` when requested.

        Raises:
            ValueError: If `state` is empty or `batch_size <= 0`.
            RuntimeError: If the C++ solver cannot initialize or complete.
      )doc";

}  // namespace

void defineCpuSolver(nb::module_& m) {
  m.def("run_weighted_astar", &solve<SolverSettings>, "state"_a.noconvert(), "env"_a,
        "package_path"_a, "weight"_a, "batch_size"_a, "device"_a, "print_internals"_a = false,
        "solution_move_source"_a = "infer", "duplicate_update_mode"_a = "in_place",
        "hashtable_algorithm"_a = "python_dict", "goal_stop_mode"_a = "stop_before_goal",
        "search_budget"_a = 0, "hash_capacity_factor"_a = 4.0f, "capacity_mode"_a = "adaptive",
        "initial_open_size"_a = 0, "initial_closed_size"_a = 0,
        "initial_node_store_size"_a = 0, "profile_dir"_a = "", "profile_trace"_a = false,
        "profile_summary"_a = false, "profile_run_id"_a = "", "operation_breakdown"_a = false,
        "cuda_sync_timing"_a = false, "memory_dtype_node_state"_a = "int64",
        "memory_dtype_open_index"_a = "int64", "memory_dtype_open_cost"_a = "float32",
        "memory_dtype_closed_key"_a = "int64", "memory_dtype_closed_cost"_a = "float32",
        "memory_dtype_parent_index"_a = "int64", "memory_dtype_parent_move"_a = "int64",
        "memory_dtype_path_cost"_a = "float32", "memory_dtype_heuristic"_a = "float32",
        "memory_dtype_total_cost"_a = "float32", kDoc);
}

}  // namespace quelmar::bindings
