#include "cpu_search/parallel_weighted_astar.h"

#include <algorithm>
#include <cctype>

#include "config/validation.h"
#include "cpu_search/search_instantiations.h"
#include "cpu_search/search_threads.h"
#include "environments/registry.h"
#include "profiling/python_output.h"

namespace quelmar {

QUELMAR_FOR_EACH_SEARCH_WIDTHS(QUELMAR_DECLARE_SEARCH)

namespace {

std::string lowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

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
  const ScopedSearchThreads threads(defaultSearchThreads());
  return dispatch<>(start, manifest, settings);
}

SearchResult run_parallel_weighted_astar(const std::vector<uint8_t>& state, const std::string& env,
                                         const std::string& package_path,
                                         const SolverSettings& settings) {
  const std::string requested = lowerCase(env);
  std::unique_ptr<Environment> start = make_cpu_environment(requested, state);
  const AOTIManifest manifest = loadAOTIManifest(package_path);
  if (!manifest.env.empty() && lowerCase(manifest.env) != requested)
    writeStderr(formatText("[WARN] AOTI manifest env '%s' differs from requested '%s'\n",
                           manifest.env.c_str(), env.c_str()));
  return parallelWeightedAStar(std::move(start), manifest, settings);
}

SearchResult run_parallel_weighted_astar(std::span<const uint8_t> state, const std::string& env,
                                         const std::string& package_path,
                                         const SolverSettings& settings) {
  return run_parallel_weighted_astar(std::vector<uint8_t>(state.begin(), state.end()), env,
                                     package_path, settings);
}

}  // namespace quelmar
