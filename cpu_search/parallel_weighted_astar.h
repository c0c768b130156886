#pragma once
// Native entry points of the CPU solver: batched weighted A* over plug-in
// environments with a learned heuristic evaluated once per batch.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "config/search_result.h"
#include "config/solver_settings.h"
#include "environments/environment.h"
#include "heuristic/aoti_manifest.h"

namespace quelmar {

// Creates the start environment by (case-insensitive) name, loads the model
// manifest (package_path + ".json"), warns on standard error when the
// manifest names another environment, and runs the search.
SearchResult run_parallel_weighted_astar(std::span<const uint8_t> state, const std::string& env,
                                         const std::string& package_path,
                                         const SolverSettings& settings);
SearchResult run_parallel_weighted_astar(const std::vector<uint8_t>& state, const std::string& env,
                                         const std::string& package_path,
                                         const SolverSettings& settings);

// Validates the storage dtype names and runs the search instantiation chosen
// by the heuristic, total-cost and open-cost widths. The path-cost and
// closed-cost widths are validated but change nothing: path costs are whole
// depths and CLOSED compares depths, exact in either width.
SearchResult parallelWeightedAStar(std::unique_ptr<Environment> start,
                                   const AOTIManifest& manifest, const SolverSettings& settings);

// The search itself, one instantiation per combination of those three widths.
template <typename Heuristic, typename TotalCost, typename OpenCost>
SearchResult parallelWeightedAStarImpl(std::unique_ptr<Environment> start,
                                       const AOTIManifest& manifest,
                                       const SolverSettings& settings);

}  // namespace quelmar
