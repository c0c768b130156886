#pragma once
// Per-operation timing totals and the printed lines of both searches.

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "config/search_result.h"

namespace quelmar {

// Adds one measured operation into a result entry. Negative misc
// differences (clock jitter) count as 0.
inline void addTiming(OperationTiming& entry, double total, double core, double misc,
                      uint64_t calls) {
  entry.total_seconds += total;
  entry.core_seconds += core;
  entry.misc_seconds += std::max(misc, 0.0);
  entry.call_count += calls;
}

inline double clampedDifference(double a, double b) { return std::max(a - b, 0.0); }

// Durations of one iteration, as the "Times - " line shows them.
struct IterationTimes {
  double pop = 0, expand = 0, is_solved = 0, check = 0, infer = 0, push = 0, iteration = 0;
};

// "Itr: ..." line for a batch of heuristic outputs and the depths of their nodes.
std::string iterationHeuristicLine(size_t iteration, const std::vector<float>& heuristics,
                                   const std::vector<double>& depths);
std::string iterationTimesLine(const IterationTimes& times);

// End-of-search lines (verbose only).
std::string finalReport(const SearchResult& result);

}  // namespace quelmar
