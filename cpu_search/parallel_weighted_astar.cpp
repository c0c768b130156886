#include "cpu_search/parallel_weighted_astar.h"

#include "config/validation.h"
#include "cpu_search/search_instantiations.h"
#include "cpu_search/search_start.h"
#include "cpu_search/search_threads.h"

namespace quelmar {

QUELMAR_FOR_EACH_SEARCH_WIDTHS(QUELMAR_DECLARE_SEARCH)

namespace {

// Picks the search instantiation one float width at a time, in the order
// heuristic, total, open cost.
template <typename... Chosen>
SearchResult dispatch(std::unique_ptr<Environment>& start, const AOTIManifest& manifest,
                      const SolverSettings& settings) {
  constexpr size_t depth = sizeof...(Chosen);
  if constexpr (depth == 3) {
    return parallelWeightedAStarImpl<Chosen...>(std::move(start), manifest, settings);
  } else {
    const std::string* fields[] = {&settings.memory_dtype_heuristic,
                                   &settings.memory_dtype_total_cost,
                                   &settings.memory_dtype_open_cost};
    if (*fields[depth] == "float64") return dispatch<Chosen..., double>(start, manifest, settings);
    return dispatch<Chosen..., float>(start, manifest, settings);
  }
}

}  // namespace

SearchResult parallelWeightedAStar(std::unique_ptr<Environment> start,
                                   const AOTIManifest& manifest, const SolverSettings& settings) {
  validateMemoryDtypes(settings);
  const ScopedSearchThreads threads;
  return dispatch<>(start, manifest, settings);
}

SearchResult run_parallel_weighted_astar(const std::vector<uint8_t>& state, const std::string& env,
                                         const std::string& package_path,
                                         const SolverSettings& settings) {
  SearchStart start = openSearchStart(state, env, package_path, "C++ parallel weighted A*");
  return parallelWeightedAStar(std::move(start.environment), start.manifest, settings);
}

SearchResult run_parallel_weighted_astar(std::span<const uint8_t> state, const std::string& env,
                                         const std::string& package_path,
                                         const SolverSettings& settings) {
  return run_parallel_weighted_astar(std::vector<uint8_t>(state.begin(), state.end()), env,
                                     package_path, settings);
}

}  // namespace quelmar
