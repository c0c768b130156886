#include "profiling/search_engine.h"

#include "profiling/phase_recorder.h"
#include "profiling/python_output.h"
#include "profiling/search_report.h"

namespace quelmar {

void addIterationTimings(SearchResult& result, const IterationTimings& t) {
  const auto add = [](OperationTiming& entry, const OperationSample& s) {
    addTiming(entry, s.total, s.core, s.misc, s.calls);
  };
  add(result.pop, t.pop);
  add(result.is_solved, t.is_solved);
  add(result.expand, t.expand);
  add(result.check, t.check);
  add(result.heuristic, t.heuristic);
  add(result.push, t.push);
  add(result.iteration, t.iteration);
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
