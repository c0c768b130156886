#pragma once
// What both solvers return.

#include <cstdint>
#include <vector>

namespace quelmar {

// Where a search stands after initialize() or one step().
enum class SearchStatus { kSearching, kSolved, kExhausted, kBudgetExceeded };

struct OperationTiming {
  double total_seconds = 0.0;
  double core_seconds = 0.0;
  double misc_seconds = 0.0;
  uint64_t call_count = 0;
};

struct SearchResult {
  std::vector<int32_t> moves;  // solution path from the start state; empty unless solved
  double solve_time = 0.0;     // seconds
  uint64_t nodes_generated = 0;
  bool solved = false;
  bool search_budget_exceeded = false;
  OperationTiming pop;
  OperationTiming is_solved;
  OperationTiming expand;
  OperationTiming check;
  OperationTiming heuristic;
  OperationTiming push;
  OperationTiming iteration;
  bool has_operation_timings = false;  // the seven entries above are meaningful
};

}  // namespace quelmar
