#include "bindings/result_dict.h"

#include <utility>

namespace nb = nanobind;

namespace quelmar::bindings {
namespace {

nb::dict timingToDict(const OperationTiming& timing) {
  nb::dict entry;
  entry["total_seconds"] = timing.total_seconds;
  entry["core_seconds"] = timing.core_seconds;
  entry["misc_seconds"] = timing.misc_seconds;
  entry["call_count"] = timing.call_count;
  return entry;
}

}  // namespace

nb::dict resultToDict(const SearchResult& result) {
  nb::dict out;
  nb::list moves;
  for (const int32_t move : result.moves) moves.append(move);
  out["moves"] = moves;
  out["nodes_generated"] = result.nodes_generated;
  out["solve_time"] = result.solve_time;
  out["solved"] = result.solved;
  out["search_budget_exceeded"] = result.search_budget_exceeded;
  if (result.has_operation_timings) {
    const std::pair<const char*, const OperationTiming*> entries[] = {
        {"pop", &result.pop},           {"is_solved", &result.is_solved},
        {"expand", &result.expand},     {"check", &result.check},
        {"heuristic", &result.heuristic}, {"push", &result.push},
        {"iteration", &result.iteration}};
    nb::dict timings;
    for (const auto& [name, timing] : entries) timings[name] = timingToDict(*timing);
    out["operation_timings"] = timings;
  }
  return out;
}

}  // namespace quelmar::bindings
