// The batch helpers' width check against a plug-in that reads wider rows. Their
// rows, walks and errors through the Python surface are in
// tests/python/test_batch_helpers.py.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "cpu_search/environment_batch.h"
#include "environments/registry.h"
#include "quelmar_puzzles/puzzles.h"
#include "test_support.h"

namespace quelmar {
namespace {

using Bytes = std::vector<uint8_t>;

// An 8-puzzle factory that accepts rows wider than its state, reading their first 9 bytes.
std::unique_ptr<Environment> makeLenient(const Bytes& state) {
  return quelmar_puzzles::make_puzzle8(Bytes(state.begin(), state.begin() + std::min<size_t>(state.size(), 9)));
}

// Catches: rows wider than the plug-in's state accepted when its factory does
// not refuse them (the extra bytes silently dropped).
TEST(EnvironmentBatch, RowWidthIsCheckedAgainstTheState) {
  register_cpu_environment("batch_test_lenient", &makeLenient);
  Bytes wide = quelmar_puzzles::goal_state(quelmar_puzzles::find_domain("puzzle8"));
  wide.push_back(0);
  EXPECT_EQ(testing_support::messageOf<std::invalid_argument>([&] { networkInputs("batch_test_lenient", wide, 10); }),
            "states have 10 bytes per row, but a 'batch_test_lenient' state has 9");
}

}  // namespace
}  // namespace quelmar
