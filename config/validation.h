#pragma once
// Settings validation and small sizing/formatting helpers shared by both
// solvers. Every validator throws std::invalid_argument with a message that
// names the offending setting.

#include <cstdint>
#include <string>

#include "config/solver_settings.h"

namespace quelmar {

bool isHashtableAlgorithm(const std::string& name);

// 1 for n < 2, else the smallest power of two >= n. n must not exceed 2^63.
uint64_t nextPowerOfTwo(uint64_t n);

// hint > 0: hint; hint == 0: fallback; hint < 0: throws "<name> must be non-negative".
int64_t capacityHintOrDefault(int64_t hint, uint64_t fallback, const char* name);

// CLOSED slots for a node-store hint: ceil(store_slots * factor) in single
// precision, at least 8, and 2^62 where the product is beyond that.
int64_t closedSlotsForNodeStore(int64_t store_slots, float factor);

void validateSolutionMoveSource(const std::string& value);
void validateDuplicateUpdateMode(const std::string& value);
void validateGoalStopMode(const std::string& value);
void validateHashCapacityFactor(float value);
void validateWeight(float value);
void validateCapacityMode(const std::string& value);
void validateHashtableAlgorithm(const std::string& value);

// The mode, factor, weight and budget checks both solvers make, in this
// order: move source, duplicate mode, goal stop mode, capacity factor,
// weight, capacity mode, probing, budget.
void validateSearchSettings(const SearchSettings& settings);

// CPU storage dtype names, checked in a fixed order: the three integer-class
// fields, the two signed-integer fields, then the five float fields.
void validateMemoryDtypes(const std::string& node_state, const std::string& open_index,
                          const std::string& open_cost, const std::string& closed_key,
                          const std::string& closed_cost, const std::string& parent_index,
                          const std::string& parent_move, const std::string& path_cost,
                          const std::string& heuristic, const std::string& total_cost);
void validateMemoryDtypes(const SolverSettings& settings);

// "%.2e" for non-zero magnitudes below 0.005, "%.2f" otherwise.
std::string formatSeconds(double seconds);

}  // namespace quelmar
