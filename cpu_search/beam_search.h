#pragma once
// Native entry points of the beam search: a fixed number of states per step,
// ranked by the learned heuristic, with a CLOSED set over all steps.
//
// Each step expands every state of the beam in parallel, drops the children
// whose state was generated in an earlier step or earlier in this one (child
// order: parent order, then move order), stops at the first goal child,
// otherwise scores the rest with one network call and keeps the beam_width
// children with the lowest heuristic (ties: the earlier child), best first.
// The search ends unsolved when the beam runs empty (dead ends) or after
// max_steps steps, which sets search_budget_exceeded. The result does not
// depend on the thread count.

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
// manifest names another environment, and runs the search.
SearchResult run_beam_search(const std::vector<uint8_t>& state, const std::string& env,
                             const std::string& package_path, const BeamSearchSettings& settings);

// Validates the settings and runs the search on the search's thread count.
SearchResult beamSearch(std::unique_ptr<Environment> start, const AOTIManifest& manifest,
                        const BeamSearchSettings& settings);

// The Q-beam: the same search over a Q-network, whose output has one column
// per move (Q(s, a): the move's cost plus the cost to go from its child).
// Each step scores the beam's states, not their children, with one network
// call, and ranks each new child by its parent's Q for its move (ties: child
// order); everything else is the beam search's, so with Q(s, a) = 1 + h(child)
// it makes the beam search's moves over h with a twelfth of the network rows
// on the cube. A package of another width is refused (std::invalid_argument).
SearchResult run_q_beam_search(const std::vector<uint8_t>& state, const std::string& env,
                               const std::string& package_path, const BeamSearchSettings& settings);
SearchResult qBeamSearch(std::unique_ptr<Environment> start, const AOTIManifest& manifest,
                         const BeamSearchSettings& settings);

}  // namespace quelmar
