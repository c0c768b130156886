#include "config/validation.h"

#include "config/search_modes.h"
#include "config/settings_table.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <span>
#include <stdexcept>
#include <string_view>

namespace quelmar {
namespace {

constexpr std::array<std::string_view, 8> kIntegerNames = {
    "int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64"};
constexpr std::array<std::string_view, 4> kSignedNames = {"int8", "int16", "int32", "int64"};
constexpr std::array<std::string_view, 2> kFloatNames = {"float32", "float64"};

template <size_t N>
bool contains(const std::array<std::string_view, N>& names, const std::string& value) {
  for (auto name : names)
    if (name == value) return true;
  return false;
}

template <size_t N>
void checkDtype(const std::array<std::string_view, N>& names, const char* prefix,
                const char* field, const std::string& value) {
  if (!contains(names, value))
    throw std::invalid_argument(std::string(prefix) + field + ", received '" + value + "'");
}

constexpr const char* kIntegerPrefix = "C++ CPU A* supports canonical integer dtype names for ";
constexpr const char* kSignedPrefix = "C++ CPU A* requires a signed integer dtype for ";
constexpr const char* kFloatPrefix = "C++ CPU A* supports float32 and float64 for ";

}  // namespace

bool isHashtableAlgorithm(const std::string& name) {
  for (std::string_view choice : settings::kHashtableAlgorithms)
    if (choice == name) return true;
  return false;
}

uint64_t nextPowerOfTwo(uint64_t n) {
  if (n < 2) return 1;
  uint64_t p = 1;
  while (p < n) p <<= 1;
  return p;
}

int64_t capacityHintOrDefault(int64_t hint, uint64_t fallback, const char* name) {
  if (hint < 0) throw std::invalid_argument(std::string(name) + " must be non-negative");
  if (hint == 0) return static_cast<int64_t>(fallback);
  return hint;
}

int64_t closedSlotsForNodeStore(int64_t store_slots, float factor) {
  const float product = std::ceil(static_cast<float>(store_slots) * factor);
  // Beyond 2^62 no table can be allocated anyway; avoid an undefined conversion.
  const float limit = 4.6116860184273879e18f;
  const int64_t slots = product < limit ? static_cast<int64_t>(product) : (int64_t{1} << 62);
  return std::max<int64_t>(slots, 8);
}

namespace {

// The position of `value` among a mode's choices as the mode's enum; throws
// the mode's message for any other value.
template <typename Mode>
Mode parseChoice(std::string_view name, std::span<const std::string_view> choices,
                 const std::string& value) {
  for (size_t i = 0; i < choices.size(); ++i)
    if (choices[i] == value) return static_cast<Mode>(i);
  throw std::invalid_argument(settings::choiceMessage(name, choices));
}

}  // namespace

std::string settings::choiceMessage(std::string_view name,
                                    std::span<const std::string_view> choices) {
  std::string message = std::string(name) + " must be ";
  for (size_t i = 0; i < choices.size(); ++i) {
    if (i > 0) message += i + 1 == choices.size() ? " or " : ", ";
    message += "'" + std::string(choices[i]) + "'";
  }
  return message;
}

SearchModes parseSearchModes(const SearchSettings& settings) {
  SearchModes modes;
  modes.move_source = parseChoice<MoveSource>("solution_move_source", settings::kMoveSources,
                                              settings.solution_move_source);
  modes.duplicate_update = parseChoice<DuplicateUpdate>(
      "duplicate_update_mode", settings::kDuplicateUpdateModes, settings.duplicate_update_mode);
  modes.goal_stop =
      parseChoice<GoalStop>("goal_stop_mode", settings::kGoalStopModes, settings.goal_stop_mode);
  validateHashCapacityFactor(settings.hash_capacity_factor);
  validateWeight(settings.weight);
  modes.capacity =
      parseChoice<CapacityMode>("capacity_mode", settings::kCapacityModes, settings.capacity_mode);
  modes.probing = parseChoice<ClosedProbing>("hashtable_algorithm", settings::kHashtableAlgorithms,
                                             settings.hashtable_algorithm);
  if (settings.search_budget < 0) throw std::invalid_argument("search_budget must be non-negative");
  return modes;
}

SearchModes parseBeamSearchModes(const BeamSearchSettings& settings) {
  if (settings.beam_width <= 0) throw std::invalid_argument("beam_width must be positive");
  if (settings.max_steps < 0) throw std::invalid_argument("max_steps must be non-negative");
  SearchModes modes;
  modes.move_source = parseChoice<MoveSource>("solution_move_source", settings::kMoveSources,
                                              settings.solution_move_source);
  modes.probing = parseChoice<ClosedProbing>("hashtable_algorithm", settings::kHashtableAlgorithms,
                                             settings.hashtable_algorithm);
  return modes;
}

void validateSearchSettings(const SearchSettings& settings) { (void)parseSearchModes(settings); }

void validateSolutionMoveSource(const std::string& value) {
  parseChoice<MoveSource>("solution_move_source", settings::kMoveSources, value);
}

void validateDuplicateUpdateMode(const std::string& value) {
  parseChoice<DuplicateUpdate>("duplicate_update_mode", settings::kDuplicateUpdateModes, value);
}

void validateGoalStopMode(const std::string& value) {
  parseChoice<GoalStop>("goal_stop_mode", settings::kGoalStopModes, value);
}

void validateHashCapacityFactor(float value) {
  // Written so that NaN fails too.
  if (!(value > 1.0f)) throw std::invalid_argument("hash_capacity_factor must be greater than 1.0");
  // An infinite factor would size CLOSED at 2^62 slots.
  if (!std::isfinite(value))
    throw std::invalid_argument("hash_capacity_factor must be finite, got " + std::to_string(value));
}

void validateWeight(float value) {
  // NaN keys would break OPEN's order without any error.
  if (!std::isfinite(value))
    throw std::invalid_argument("weight must be finite, got " + std::to_string(value));
}

void validateCapacityMode(const std::string& value) {
  parseChoice<CapacityMode>("capacity_mode", settings::kCapacityModes, value);
}

void validateHashtableAlgorithm(const std::string& value) {
  parseChoice<ClosedProbing>("hashtable_algorithm", settings::kHashtableAlgorithms, value);
}

void validateMemoryDtypes(const std::string& node_state, const std::string& open_index,
                          const std::string& open_cost, const std::string& closed_key,
                          const std::string& closed_cost, const std::string& parent_index,
                          const std::string& parent_move, const std::string& path_cost,
                          const std::string& heuristic, const std::string& total_cost) {
  checkDtype(kIntegerNames, kIntegerPrefix, "memory_dtype_node_state", node_state);
  checkDtype(kIntegerNames, kIntegerPrefix, "memory_dtype_open_index", open_index);
  checkDtype(kIntegerNames, kIntegerPrefix, "memory_dtype_closed_key", closed_key);
  checkDtype(kSignedNames, kSignedPrefix, "memory_dtype_parent_index", parent_index);
  checkDtype(kSignedNames, kSignedPrefix, "memory_dtype_parent_move", parent_move);
  checkDtype(kFloatNames, kFloatPrefix, "memory_dtype_path_cost", path_cost);
  checkDtype(kFloatNames, kFloatPrefix, "memory_dtype_heuristic", heuristic);
  checkDtype(kFloatNames, kFloatPrefix, "memory_dtype_total_cost", total_cost);
  checkDtype(kFloatNames, kFloatPrefix, "memory_dtype_open_cost", open_cost);
  checkDtype(kFloatNames, kFloatPrefix, "memory_dtype_closed_cost", closed_cost);
}

void validateMemoryDtypes(const SolverSettings& s) {
  validateMemoryDtypes(s.memory_dtype_node_state, s.memory_dtype_open_index,
                       s.memory_dtype_open_cost, s.memory_dtype_closed_key,
                       s.memory_dtype_closed_cost, s.memory_dtype_parent_index,
                       s.memory_dtype_parent_move, s.memory_dtype_path_cost,
                       s.memory_dtype_heuristic, s.memory_dtype_total_cost);
}

std::string formatSeconds(double seconds) {
  char buffer[64];
  const double magnitude = std::fabs(seconds);
  const char* format = (seconds != 0.0 && magnitude < 0.005) ? "%.2e" : "%.2f";
  std::snprintf(buffer, sizeof buffer, format, seconds);
  return buffer;
}

}  // namespace quelmar
