#pragma once
// Settings records of the solvers. The Python entry points fill every
// field; the defaults below serve native callers that fill only a few.

#include <cstdint>
#include <string>

namespace quelmar {

struct ProfilingOptions {
  bool enabled = false;     // record phases at all
  std::string output_dir;   // empty: "profile" relative to the working directory
  std::string run_id;       // artifact file prefix; empty: the solver's default
  bool trace = false;       // write <run_id>_trace.json at finalisation
  bool summary = false;     // write <run_id>_summary.txt at finalisation
};

// What both solvers take, with the CPU solver's defaults. The Python
// functions take their argument defaults from these records.
struct SearchSettings {
  float weight = 1.0f;
  int32_t batch_size = 1;
  std::string device = "cpu";
  bool print_internals = false;
  std::string solution_move_source = "infer";
  std::string duplicate_update_mode = "in_place";
  std::string hashtable_algorithm = "python_dict";
  std::string goal_stop_mode = "stop_before_goal";
  int64_t search_budget = 0;
  float hash_capacity_factor = 4.0f;
  std::string capacity_mode = "adaptive";
  int64_t initial_open_size = 0;
  int64_t initial_closed_size = 0;
  int64_t initial_node_store_size = 0;
  bool operation_breakdown = false;
  bool cuda_sync_timing = false;
  ProfilingOptions profiling;
  std::string memory_dtype_node_state = "int64";
  std::string memory_dtype_open_index = "int64";
  std::string memory_dtype_open_cost = "float32";
  std::string memory_dtype_closed_key = "int64";
  std::string memory_dtype_closed_cost = "float32";
  std::string memory_dtype_parent_index = "int64";
  std::string memory_dtype_parent_move = "int64";
  std::string memory_dtype_path_cost = "float32";
  std::string memory_dtype_heuristic = "float32";
  std::string memory_dtype_total_cost = "float32";
};

// CPU solver settings (parallel weighted A*).
struct SolverSettings : SearchSettings {
  bool verbose = false;  // end-of-search lines; not a Python argument
};

// GPU solver settings (tensor A*): a device, narrower storage by default,
// and the network's own batch size.
struct TorchAStarConfig : SearchSettings {
  TorchAStarConfig() {
    device = "cuda:0";
    memory_dtype_node_state = "uint8";
    memory_dtype_closed_key = "uint8";
    memory_dtype_parent_move = "int8";
  }
  int32_t nnet_batch_size = 0;  // <= 0: automatic
};

// Beam search settings: the beam's own two, and those of the search-wide
// rows it shares with the A* solvers (names and meanings as there).
struct BeamSearchSettings {
  int32_t beam_width = 1;   // states kept per step; must be positive
  int64_t max_steps = 0;    // steps allowed; must be non-negative (0: only the start's goal test)
  std::string device = "cpu";
  bool print_internals = false;
  std::string solution_move_source = "infer";
  std::string hashtable_algorithm = "python_dict";
  bool operation_breakdown = false;
  bool cuda_sync_timing = false;
  ProfilingOptions profiling;
  bool verbose = false;  // end-of-search lines; not a Python argument
};

}  // namespace quelmar
