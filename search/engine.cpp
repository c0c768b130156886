#include "search/engine.h"

#include "profiling/phase_recorder.h"
#include "profiling/python_output.h"
#include "profiling/search_report.h"

namespace quelmar {

OperationTiming& timingEntry(SearchResult& result, Operation operation) {
  switch (operation) {
    case Operation::kPop: return result.pop;
    case Operation::kIsSolved: return result.is_solved;
    case Operation::kExpand: return result.expand;
    case Operation::kCheck: return result.check;
    case Operation::kHeuristic: return result.heuristic;
    case Operation::kPush: return result.push;
    case Operation::kIteration: break;
  }
  return result.iteration;
}

void addOperationTimings(SearchResult& result,
                         std::initializer_list<std::pair<Operation, OperationSample>> samples) {
  for (const auto& [operation, s] : samples)
    addTiming(timingEntry(result, operation), s.total, s.core, s.misc, s.calls);
}

SearchResult finishSearch(SearchResult result, const SearchProgress& progress, bool open_empty,
                          TimePoint start, Profiler& profiler, const char* total_phase,
                          bool operation_breakdown, bool verbose) {
  if (verbose && progress.status(open_empty) == SearchStatus::kExhausted)
    writeStdout("Open set exhausted without finding a solution.\n");
  result.nodes_generated = progress.generated();
  result.solved = progress.solved();
  result.search_budget_exceeded = progress.budgetExceeded();
  const TimePoint end = SystemClock::now();
  result.solve_time = PhaseRecorder::secondsBetween(start, end);
  result.has_operation_timings = operation_breakdown;
  if (verbose) writeStdout(finalReport(result));
  if (profiler.active()) {
    profiler.record_impl(total_phase, start, end);
    profiler.finalize_impl();
  }
  return result;
}

}  // namespace quelmar
