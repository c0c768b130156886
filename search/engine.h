#pragma once
// What the search engines share, written once: the driver loop, where a
// search stands (goal, budget, OPEN or the beam), the budget rule, the
// result's timing entries and the end of a search. Each engine keeps its own
// containers and phases; each step() lists what it measured into these.

#include <c10/core/InferenceMode.h>

#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

#include "config/search_result.h"
#include "profiling/profiler.h"

namespace quelmar {

// Runs an engine, constructed from `args` under an inference-mode guard:
// initialize(), then step() while it reports kSearching, then finish().
template <typename Engine, typename... Args>
SearchResult runSearch(Args&&... args) {
  c10::InferenceMode inference_mode;
  Engine search(std::forward<Args>(args)...);
  for (SearchStatus status = search.initialize(); status == SearchStatus::kSearching;)
    status = search.step();
  return search.finish();
}

// Where a search stands, and its counters.
class SearchProgress {
 public:
  explicit SearchProgress(int64_t search_budget) : budget_(search_budget) {}

  void goalFound() { solved_ = true; }
  void addGenerated(uint64_t nodes) { generated_ += nodes; }
  // At the end of an iteration that expanded nodes: a search without a goal
  // stops once it has generated at least the budget (0: no budget).
  void checkBudget() {
    if (!solved_ && budget_ > 0 && generated_ >= static_cast<uint64_t>(budget_))
      budget_exceeded_ = true;
  }
  // A budget counted in something else (the beam's steps) has run out.
  void exceedBudget() {
    if (!solved_) budget_exceeded_ = true;
  }
  void nextIteration() { ++iteration_; }

  SearchStatus status(bool open_empty) const {
    if (solved_) return SearchStatus::kSolved;
    if (budget_exceeded_) return SearchStatus::kBudgetExceeded;
    return open_empty ? SearchStatus::kExhausted : SearchStatus::kSearching;
  }
  bool solved() const { return solved_; }
  bool budgetExceeded() const { return budget_exceeded_; }
  uint64_t generated() const { return generated_; }
  size_t iteration() const { return iteration_; }

 private:
  int64_t budget_;
  bool solved_ = false;
  bool budget_exceeded_ = false;
  uint64_t generated_ = 0;
  size_t iteration_ = 0;
};

// The result's timing entries (config/search_result.h), one per operation.
enum class Operation : uint8_t { kPop, kIsSolved, kExpand, kCheck, kHeuristic, kPush, kIteration };

// One measured operation: total = core + misc seconds, and its call count.
struct OperationSample {
  double total = 0, core = 0, misc = 0;
  uint64_t calls = 0;
};

// The entry of `result` that `operation` adds into.
OperationTiming& timingEntry(SearchResult& result, Operation operation);

// Adds what an iteration (or the start) measured into the result's entries,
// each sample into its operation's entry (negative misc counts as 0). An
// engine lists only the operations it has; the others stay as they are.
void addOperationTimings(SearchResult& result,
                         std::initializer_list<std::pair<Operation, OperationSample>> samples);

// Ends a search: counters, flags and solve time (from `start` to now) into
// `result` (whose moves the engine has filled), the "<prefix>total" phase and
// the profiler's files; with `verbose`, the end-of-search lines.
SearchResult finishSearch(SearchResult result, const SearchProgress& progress, bool open_empty,
                          TimePoint start, Profiler& profiler, const char* total_phase,
                          bool operation_breakdown, bool verbose);

}  // namespace quelmar
