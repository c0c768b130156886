#pragma once
// The string modes of a search, parsed once into enums. Engines and
// containers take these, never the strings.

#include <cstdint>

#include "config/solver_settings.h"

namespace quelmar {

// Enumerator order is the order of the choices in config/settings_table.h.
enum class MoveSource : uint8_t { kInfer, kStored };
enum class DuplicateUpdate : uint8_t { kInPlace, kNewSlot };
enum class ClosedProbing : uint8_t { kLinearProbing, kPythonDict };
enum class GoalStop : uint8_t { kStopBeforeGoal, kExpandPoppedBatch };
enum class CapacityMode : uint8_t { kAdaptive, kFixed };

struct SearchModes {
  MoveSource move_source = MoveSource::kInfer;
  DuplicateUpdate duplicate_update = DuplicateUpdate::kInPlace;
  ClosedProbing probing = ClosedProbing::kPythonDict;
  GoalStop goal_stop = GoalStop::kStopBeforeGoal;
  CapacityMode capacity = CapacityMode::kAdaptive;

  bool inPlace() const { return duplicate_update == DuplicateUpdate::kInPlace; }
  bool stopBeforeGoal() const { return goal_stop == GoalStop::kStopBeforeGoal; }
  bool fixedCapacity() const { return capacity == CapacityMode::kFixed; }
};

// Validates the checks both solvers make, in this order: move source,
// duplicate mode, goal stop mode, capacity factor, weight, capacity mode,
// probing, budget; returns the parsed modes. Throws std::invalid_argument
// naming the first offending setting.
SearchModes parseSearchModes(const SearchSettings& settings);

// The beam search's checks, in this order: beam width, step count, move
// source, probing; returns the parsed modes (the others keep their defaults).
SearchModes parseBeamSearchModes(const BeamSearchSettings& settings);

}  // namespace quelmar
