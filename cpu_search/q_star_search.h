#pragma once
// Native entry points of Q* search: batched weighted A* over a Q-network,
// whose OPEN holds (state, move) entries instead of nodes.
//
// A state is scored once, when it is accepted into CLOSED: one network row
// gives Q(s, a) for all its moves (the move's cost plus the cost to go from
// the child), and each move becomes an entry with the priority its child
// would get in weighted A* if the child's heuristic were Q(s, a) - cost(a):
// weight * (g(s) + 1) + Q(s, a) - 1 (unit move costs). Each step pops up to
// batch_size entries, makes their children in parallel (a child exists only
// once its entry is popped), goal-tests them, filters them through CLOSED as
// the weighted A* engine does (new states and strictly shallower duplicates
// survive, in pop order) and scores the survivors with one network call. The
// first surviving goal child in pop order ends the search after the step
// (with "stop_before_goal" that step scores nothing more; with
// "expand_popped_batch" it scores its other survivors).
//
// Takes the weighted A* solver's settings and checks them as it does; costs
// are kept in float32 whatever the storage widths name. nodes_generated
// counts the children made.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "config/search_result.h"
#include "config/solver_settings.h"
#include "environments/environment.h"
#include "heuristic/aoti_manifest.h"

namespace quelmar {

// Creates the start environment by (case-insensitive) name, loads the model
// manifest (package_path + ".json"), warns on standard error when the
// manifest names another environment, and runs the search. A package whose
// output is not one column per move of the environment is refused
// (std::invalid_argument).
SearchResult run_q_star_search(const std::vector<uint8_t>& state, const std::string& env,
                               const std::string& package_path, const SolverSettings& settings);

// Validates the settings and runs the search on the search's thread count.
SearchResult qStarSearch(std::unique_ptr<Environment> start, const AOTIManifest& manifest,
                         const SolverSettings& settings);

}  // namespace quelmar
