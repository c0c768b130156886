#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <tuple>

#include "config/scalar_type.h"
#include "config/validation.h"
#include "test_support.h"

namespace quelmar {
namespace {

using testing_support::messageOf;

// Catches: a string setting that accepts another spelling (case, blanks, a
// prefix, empty) or refuses one of its two choices.
TEST(Validation, StringSettingsAcceptExactlyTheirChoices) {
  struct Case {
    void (*validate)(const std::string&);
    std::string good1, good2, message;
  };
  const Case cases[] = {
      {validateSolutionMoveSource, "infer", "stored", "solution_move_source must be 'infer' or 'stored'"},
      {validateDuplicateUpdateMode, "in_place", "new_slot", "duplicate_update_mode must be 'in_place' or 'new_slot'"},
      {validateGoalStopMode, "stop_before_goal", "expand_popped_batch",
       "goal_stop_mode must be 'stop_before_goal' or 'expand_popped_batch'"},
      {validateCapacityMode, "adaptive", "fixed", "capacity_mode must be 'adaptive' or 'fixed'"},
      {validateHashtableAlgorithm, "linear_probing", "python_dict",
       "hashtable_algorithm must be 'linear_probing' or 'python_dict'"},
  };
  for (const Case& c : cases) {
    EXPECT_NO_THROW(c.validate(c.good1));
    EXPECT_NO_THROW(c.validate(c.good2));
    std::string upper = c.good1;
    for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    for (const std::string& bad : {std::string(), upper, c.good1 + " ", c.good1.substr(1)})
      EXPECT_EQ(messageOf<std::invalid_argument>([&] { c.validate(bad); }), c.message) << bad;
  }
  // Its refusals (1.0, NaN, inf) are in tests/python/test_solvers.py.
  EXPECT_NO_THROW(validateHashCapacityFactor(1.0000001f));
}

// Catches: a storage type outside its class accepted (non-canonical or float
// integer names, imprecise cost names), a message without the field, or the
// fields checked in another order. (Unsigned moves and half-precision costs
// through the solver: tests/python/test_solvers.py.)
TEST(Validation, MemoryDtypesAreCheckedInFixedOrderWithTheirClassMessage) {
  EXPECT_NO_THROW(validateMemoryDtypes(SolverSettings{}));
  const std::string integer = "C++ CPU A* supports canonical integer dtype names for ";
  const std::string floats = "C++ CPU A* supports float32 and float64 for ";
  const struct {
    std::string SolverSettings::*field;
    std::string value, message;
  } cases[] = {
      {&SolverSettings::memory_dtype_node_state, "INT64", integer + "memory_dtype_node_state, received 'INT64'"},
      {&SolverSettings::memory_dtype_closed_key, "float32", integer + "memory_dtype_closed_key, received 'float32'"},
      {&SolverSettings::memory_dtype_heuristic, "float", floats + "memory_dtype_heuristic, received 'float'"},
  };
  for (const auto& c : cases) {
    SolverSettings s;
    s.*(c.field) = c.value;
    EXPECT_EQ(messageOf<std::invalid_argument>([&] { validateMemoryDtypes(s); }), c.message);
  }
  // Order: integer fields, signed fields, then path, heuristic, total, open, closed costs.
  SolverSettings s;
  s.memory_dtype_closed_cost = "x";
  s.memory_dtype_open_cost = "y";
  for (const auto& [field, value, expected] :
       {std::tuple{&SolverSettings::memory_dtype_total_cost, "z", "memory_dtype_total_cost"},
        std::tuple{&SolverSettings::memory_dtype_parent_index, "uint64", "parent_index"},
        std::tuple{&SolverSettings::memory_dtype_open_index, "bool", "open_index"}}) {
    s.*field = value;
    EXPECT_NE(messageOf<std::invalid_argument>([&] { validateMemoryDtypes(s); }).find(expected), std::string::npos);
  }
}

// Catches: powers of two rounded wrongly at the edges, a zero capacity hint
// not replaced by the default, a negative one accepted, seconds formatted
// unlike the printed lines expect, unknown scalar type names accepted.
TEST(Validation, SizingFormattingAndTypeNames) {
  const std::pair<uint64_t, uint64_t> powers[] = {{0, 1},       {1, 1},       {2, 2},
                                                  {3, 4},       {1024, 1024}, {1025, 2048},
                                                  {(1ull << 63), (1ull << 63)}};
  for (auto [n, expected] : powers) EXPECT_EQ(nextPowerOfTwo(n), expected) << n;
  EXPECT_EQ(capacityHintOrDefault(0, 1024, "initial_open_size"), 1024);
  EXPECT_EQ(capacityHintOrDefault(5, 1024, "initial_open_size"), 5);
  EXPECT_EQ(messageOf<std::invalid_argument>([] { capacityHintOrDefault(-1, 1024, "initial_open_size"); }),
            "initial_open_size must be non-negative");
  const std::pair<double, const char*> seconds[] = {{0.0, "0.00"},        {0.001, "1.00e-03"}, {0.005, "0.01"},
                                                    {12.345, "12.35"},    {-0.001, "-1.00e-03"},
                                                    {0.0049, "4.90e-03"}, {3.0, "3.00"}};
  for (auto [value, text] : seconds) EXPECT_EQ(formatSeconds(value), text) << value;
  using T = c10::ScalarType;
  for (const auto& [name, type] : {std::pair{"bool", T::Bool}, {"uint8", T::Byte}, {"int8", T::Char},
                                   {"bfloat16", T::BFloat16}, {"float64", T::Double}})
    EXPECT_EQ(scalarTypeFromName(name), type) << name;
  for (const char* bad : {"float", "uint16", "Float32", ""})
    EXPECT_EQ(messageOf<std::invalid_argument>([&] { scalarTypeFromName(bad); }),
              std::string("Unsupported scalar type name: ") + bad);
}

}  // namespace
}  // namespace quelmar
