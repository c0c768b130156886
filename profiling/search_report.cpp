#include "profiling/search_report.h"

#include "config/validation.h"
#include "profiling/python_output.h"

namespace quelmar {

std::string iterationHeuristicLine(size_t iteration, const std::vector<float>& heuristics,
                                   const std::vector<double>& depths) {
  if (heuristics.empty()) return {};
  // minmax_element: first of equal minima, last of equal maxima.
  const auto [lo, hi] = std::minmax_element(heuristics.begin(), heuristics.end());
  const size_t i_min = static_cast<size_t>(lo - heuristics.begin());
  const size_t i_max = static_cast<size_t>(hi - heuristics.begin());
  return formatText("Itr: %zu, Added to OPEN - Min/Max Heur(PathCost): %.2f(%.2f)/%.2f(%.2f) \n",
                    iteration, static_cast<double>(*lo), depths[i_min], static_cast<double>(*hi),
                    depths[i_max]);
}

std::string iterationTimesLine(const IterationTimes& t) {
  return formatText(
      "Times - pop: %s, expand: %s, is_solved: %s, check: %s, heuristic: %s, push: %s, "
      "iteration: %s\n\n",
      formatSeconds(t.pop).c_str(), formatSeconds(t.expand).c_str(),
      formatSeconds(t.is_solved).c_str(), formatSeconds(t.check).c_str(),
      formatSeconds(t.infer).c_str(), formatSeconds(t.push).c_str(),
      formatSeconds(t.iteration).c_str());
}

std::string finalReport(const SearchResult& result) {
  std::string text;
  if (result.solved) {
    text += "SOLVED!\n";
    text += "Move nums:\n";
    for (const int32_t move : result.moves) text += formatText("%i ", move);
    text += "\n";
  } else {
    text += "Search terminated without discovering a solution.\n";
  }
  text += formatText("Nodes Generated:\n%llu\n",
                     static_cast<unsigned long long>(result.nodes_generated));
  text += formatText("Total time:\n%f\n", result.solve_time);
  return text;
}

}  // namespace quelmar
