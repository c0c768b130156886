// Device-tensor CLOSED table of the GPU search, exercised on the CPU device.
#include <gtest/gtest.h>

#include <ATen/ATen.h>
#include <c10/core/InferenceMode.h>

#include <algorithm>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "gpu_search/closed_state_table.h"
#include "test_support.h"

namespace quelmar {
namespace {

using testing_support::messageOf;
using Rows = std::vector<std::vector<int64_t>>;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
const std::vector<std::string> kAlgorithms = {"linear_probing", "python_dict"};
const std::string kFull = "fixed CLOSED capacity exhausted at capacity=8";

std::vector<int64_t> toLongs(const at::Tensor& t) {
  const at::Tensor c = t.to(at::kLong).contiguous();
  return std::vector<int64_t>(c.data_ptr<int64_t>(), c.data_ptr<int64_t>() + c.numel());
}

std::vector<bool> toBools(const at::Tensor& t) {
  const std::vector<int64_t> v = toLongs(t);
  return std::vector<bool>(v.begin(), v.end());
}

std::vector<double> toDoubles(const at::Tensor& t) {
  const at::Tensor c = t.to(at::kDouble).contiguous();
  return std::vector<double>(c.data_ptr<double>(), c.data_ptr<double>() + c.numel());
}

at::Tensor longs(const std::vector<int64_t>& v) { return at::tensor(v, at::kLong); }
at::Tensor doubles(const std::vector<double>& v) { return at::tensor(v, at::kDouble); }

at::Tensor longKeys(const Rows& rows) {
  std::vector<int64_t> flat;
  for (const auto& row : rows) flat.insert(flat.end(), row.begin(), row.end());
  return longs(flat).reshape({static_cast<int64_t>(rows.size()), -1});
}

// Keys 0 .. n-1 (plus base) as rows of width 1.
at::Tensor distinct(int64_t n, int64_t base = 0) { return at::arange(base, base + n, at::kLong).reshape({n, 1}); }

GpuClosedTable makeTable(int64_t width, int64_t initial = 8, const std::string& algorithm = "linear_probing",
                         bool fixed = false, c10::ScalarType key_dtype = at::kLong,
                         c10::ScalarType cost_dtype = at::kFloat) {
  return GpuClosedTable(width, c10::Device(c10::kCPU), key_dtype, cost_dtype, initial, algorithm, fixed);
}

// Entry id and stored cost of each key row (-1 / NaN when absent).
std::pair<std::vector<int64_t>, std::vector<double>> lookup(const GpuClosedTable& table, const at::Tensor& keys) {
  const at::Tensor k = table.normalizeKeys(keys);
  const std::vector<int64_t> entries = toLongs(table.probe(k, table.hashKeys(k)).entry);
  const std::vector<double> stored = toDoubles(table.costs());
  std::vector<double> costs;
  for (int64_t e : entries) costs.push_back(e >= 0 ? stored[static_cast<size_t>(e)] : kNaN);
  return {entries, costs};
}

// Everything that an operation must leave alone when it fails.
struct Snapshot {
  int64_t capacity, size, filled;
  std::vector<int64_t> slots;
  std::vector<double> costs;
  explicit Snapshot(const GpuClosedTable& t)
      : capacity(t.capacity()), size(t.size()), filled(t.filledSlots()), slots(toLongs(t.slots())),
        costs(toDoubles(t.costs().narrow(0, 0, t.size()))) {}
  bool operator==(const Snapshot&) const = default;
};

// Catches: a capacity that is not the next power of two of at least 8, growth
// before or after the 2/3 load mark, a fixed table that grows, and a failed
// insertion that leaves keys, costs or slots changed.
TEST(GpuClosedTable, CapacityAndGrowthAtTwoThirds) {
  c10::InferenceMode guard;
  EXPECT_EQ(messageOf<std::invalid_argument>([] { makeTable(3, 8, "robin_hood"); }),
            "hashtable_algorithm must be 'linear_probing' or 'python_dict'");
  EXPECT_THROW(makeTable(0), std::invalid_argument);
  for (const auto& algorithm : kAlgorithms) {
    for (const auto& [initial, expected] : std::vector<std::pair<int64_t, int64_t>>{
             {-3, 8}, {0, 8}, {8, 8}, {9, 16}, {1000, 1024}}) {
      const GpuClosedTable t = makeTable(3, initial, algorithm, true);
      EXPECT_EQ(t.capacity(), expected) << initial;
      EXPECT_EQ(t.entryCapacity(), expected);
    }
    for (const auto& [needed, expected] : std::vector<std::pair<int64_t, int64_t>>{
             {0, 8}, {5, 8}, {6, 16}, {10, 16}, {11, 32}}) {
      GpuClosedTable t = makeTable(1, 8, algorithm);
      t.ensureSlotCapacity(needed);
      EXPECT_EQ(t.capacity(), expected) << needed;
    }
    GpuClosedTable fixed = makeTable(1, 8, algorithm, true);
    fixed.ensureSlotCapacity(5);
    EXPECT_EQ(messageOf<std::runtime_error>([&] { fixed.ensureSlotCapacity(6); }), kFull);
    EXPECT_EQ(messageOf<std::runtime_error>([&] { fixed.insertOrImprove(distinct(6), at::zeros({6})); }), kFull);
    EXPECT_EQ(fixed.size(), 0);
    // Through insertions: five keys stay at 8 slots, six reach 2/3 and double it.
    GpuClosedTable five = makeTable(1, 8, algorithm), six = makeTable(1, 8, algorithm);
    EXPECT_EQ(toBools(five.insertOrImprove(distinct(5), at::zeros({5}))), std::vector<bool>(5, true));
    six.insertOrImprove(distinct(6), at::zeros({6}));
    EXPECT_EQ(std::make_pair(five.capacity(), six.capacity()), std::make_pair(int64_t{8}, int64_t{16}));
    EXPECT_EQ(lookup(six, distinct(6)).first, (std::vector<int64_t>{0, 1, 2, 3, 4, 5}));
  }
  GpuClosedTable fixed = makeTable(1, 8, "linear_probing", true);
  fixed.insertOrImprove(distinct(3), at::full({3}, 7.0));
  const Snapshot before(fixed);
  // Two rows improve stored keys and three are new: 3 + 5 unique keys would reach 2/3.
  EXPECT_THROW(fixed.insertOrImprove(distinct(5, 1), at::zeros({5})), std::runtime_error);
  EXPECT_TRUE(Snapshot(fixed) == before);
}

// Catches: a fixed table whose entry rows overflow, or that loses the cost
// update made before the overflow was found; a stored key inserted again.
TEST(GpuClosedTable, FixedEntryCapacityFailsAfterCostUpdates) {
  c10::InferenceMode guard;
  GpuClosedTable t = makeTable(1, 8, "linear_probing", true);
  t.insertOrImprove(longs({100}), at::tensor({5.0}));
  // Direct upsert of nine new rows bypasses the slot check and exceeds the 8 entry rows.
  const at::Tensor keys = at::cat({longs({100}), at::arange(0, 9, at::kLong)}).reshape({10, 1});
  const auto p = t.probe(keys, t.hashKeys(keys));
  EXPECT_EQ(messageOf<std::runtime_error>(
                [&] { t.upsertEntries(keys, at::full({10}, 1.0), t.hashKeys(keys), p.found, p.slot, p.entry); }),
            "fixed CLOSED entry capacity exhausted at capacity=8");
  EXPECT_EQ(t.size(), 1);
  EXPECT_EQ(t.filledSlots(), 1);
  EXPECT_EQ(lookup(t, longs({100})).second, std::vector<double>{1.0});
  // Inserting a key that is already stored is refused without touching the slots.
  const Snapshot before(t);
  EXPECT_THROW(t.upsertEntries(longs({100}), at::tensor({0.0}), t.hashKeys(longKeys({{100}})),
                               at::zeros({1}, at::kBool), longs({-1}), longs({-1})),
               std::invalid_argument);
  EXPECT_TRUE(Snapshot(t) == before);
}

// Catches: a row flagged although an earlier row or the stored cost is as
// low; NaN or +inf costs flagged or stored as minima; a wrong entry id.
TEST(GpuClosedTable, DuplicateRowsFollowRowAndTableRules) {
  c10::InferenceMode guard;
  struct Case {
    std::vector<double> stored;  // empty: key is new
    std::vector<double> costs;
    std::vector<bool> flags;
    double after;
  };
  const Case cases[] = {
      {{}, {5, 3, 3}, {true, true, false}, 3},
      {{}, {9, 7, 8, 2}, {true, true, false, true}, 2},
      {{4}, {6, 4, 3, 3, 1}, {false, false, true, false, true}, 1},
      // NaN carries no information; +inf is never strictly below anything.
      {{}, {kNaN, 3}, {false, true}, 3}, {{}, {kNaN}, {false}, kInf}, {{}, {kNaN, kNaN}, {false, false}, kInf},
      {{}, {kInf}, {false}, kInf}, {{}, {kInf, kInf, 6}, {false, false, true}, 6},
      {{}, {-kInf, -kInf}, {true, false}, -kInf}, {{3}, {kNaN, 2, kNaN, 1}, {false, true, false, true}, 1},
      {{3}, {kNaN}, {false}, 3}, {{3}, {kNaN, kNaN}, {false, false}, 3}, {{kInf}, {5, kInf}, {true, false}, 5},
  };
  const std::vector<int64_t> key = {7, -2};
  for (const auto& algorithm : kAlgorithms) {
    for (c10::ScalarType cost_dtype : {at::kFloat, at::kDouble}) {
      for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.costs) + " " + algorithm);
        GpuClosedTable t = makeTable(2, 8, algorithm, false, at::kLong, cost_dtype);
        if (!c.stored.empty()) t.insertOrImprove(longKeys({key}), doubles(c.stored));
        const auto r = t.insertOrImproveWithEntries(longKeys(Rows(c.costs.size(), key)), doubles(c.costs));
        EXPECT_EQ(toBools(r.flags), c.flags);
        for (size_t i = 0; i < c.flags.size(); ++i) EXPECT_EQ(toLongs(r.entries)[i], c.flags[i] ? 0 : -1);
        EXPECT_EQ(t.size(), 1);
        EXPECT_EQ(lookup(t, longKeys({key})).second[0], c.after);
      }
    }
  }
}

// Catches: entry ids that are not dense, not in row order for new keys (in
// sorted key order when the batch repeats a key), or returned for unflagged rows.
TEST(GpuClosedTable, EntryIdsAreDenseAndReturnedForFlaggedRows) {
  c10::InferenceMode guard;
  for (const auto& algorithm : kAlgorithms) {
    GpuClosedTable t = makeTable(2, 8, algorithm);
    const auto first = t.insertOrImproveWithEntries(longKeys({{5, 5}, {1, 2}, {3, 3}, {0, 9}}), doubles({1, 1, 1, 1}));
    EXPECT_EQ(toLongs(first.entries), (std::vector<int64_t>{0, 1, 2, 3}));
    // [3, 3] improves, [5, 5] does not.
    const auto second = t.insertOrImproveWithEntries(longKeys({{8, 8}, {3, 3}, {5, 5}, {4, 4}}), doubles({1, 0, 2, 1}));
    EXPECT_EQ(toBools(second.flags), (std::vector<bool>{true, true, false, true}));
    EXPECT_EQ(toLongs(second.entries), (std::vector<int64_t>{4, 2, -1, 5}));
    const auto third = t.insertOrImproveWithEntries(longKeys({{9, 9}, {2, 0}, {9, 9}, {9, 9}, {1, 2}}),
                                                    doubles({3, 3, 2, 2, 0}));
    EXPECT_EQ(toBools(third.flags), (std::vector<bool>{true, true, true, false, true}));
    EXPECT_EQ(toLongs(third.entries), (std::vector<int64_t>{7, 6, 7, -1, 1}));
    EXPECT_EQ(t.size(), 8);
    EXPECT_EQ(lookup(t, longKeys({{9, 9}, {2, 0}, {1, 2}, {3, 3}})).second, (std::vector<double>{2, 3, 0, 0}));
  }
}

// Plain model of the row and table rules: a row is flagged when its cost is
// below the lowest earlier cost of its key, stored or in the batch; NaN is
// ignored and an absent key stands at +inf.
std::vector<bool> referenceInsert(std::map<std::vector<int64_t>, double>& best, const Rows& keys,
                                  const std::vector<double>& costs) {
  std::vector<bool> flags;
  for (size_t i = 0; i < keys.size(); ++i) {
    const auto it = best.emplace(keys[i], kInf).first;
    flags.push_back(costs[i] < it->second);
    if (costs[i] < it->second) it->second = costs[i];
  }
  return flags;
}

using RandomParam = std::tuple<std::string, c10::ScalarType, c10::ScalarType>;
class GpuClosedTableRandom : public ::testing::TestWithParam<RandomParam> {};

// Catches: flags or stored costs that differ from the plain model on batches
// with repeated keys, in any key and cost type; entry ids that change, repeat
// or leave gaps across the rebuilds of a growing table; an id in two slots.
TEST_P(GpuClosedTableRandom, MatchesReferenceOnBatchesWithDuplicates) {
  c10::InferenceMode guard;
  const auto& [algorithm, key_dtype, cost_dtype] = GetParam();
  std::mt19937_64 rng(12345);
  GpuClosedTable table = makeTable(3, 0, algorithm, false, key_dtype, cost_dtype);
  std::map<std::vector<int64_t>, double> reference;
  std::map<std::vector<int64_t>, int64_t> ids;
  for (int batch = 0; batch < 60; ++batch) {
    Rows keys;
    std::vector<double> costs;
    for (size_t i = 0, rows = 1 + rng() % 80; i < rows; ++i) {
      keys.push_back({int64_t(rng() % 5), int64_t(rng() % 5), int64_t(rng() % 4)});
      const uint64_t pick = rng() % 40;
      // Costs that float32 holds exactly: integers, wide spans, and a few specials.
      costs.push_back(pick == 0 ? kNaN : pick == 1 ? kInf : pick == 2 ? 1e7 + double(rng() % 3) : double(rng() % 6));
    }
    const std::vector<bool> expected = referenceInsert(reference, keys, costs);
    const auto r = table.insertOrImproveWithEntries(longKeys(keys).to(key_dtype), doubles(costs).to(cost_dtype));
    ASSERT_EQ(toBools(r.flags), expected) << "batch " << batch;
    const std::vector<int64_t> entries = toLongs(r.entries);
    for (size_t i = 0; i < keys.size(); ++i) {
      if (!expected[i]) EXPECT_EQ(entries[i], -1);
      else EXPECT_EQ(ids.emplace(keys[i], entries[i]).first->second, entries[i]) << "an entry id changed";
    }
    ASSERT_EQ(table.size(), static_cast<int64_t>(reference.size()));
    ASSERT_EQ(table.filledSlots(), table.size());
    ASSERT_LT(3 * table.filledSlots(), 2 * table.capacity());
  }
  Rows all;
  std::vector<double> expected_costs;
  for (const auto& [key, cost] : reference) {
    all.push_back(key);
    expected_costs.push_back(cost);
  }
  const auto [entries, stored] = lookup(table, longKeys(all).to(key_dtype));
  EXPECT_EQ(stored, expected_costs);
  std::vector<int64_t> sorted_entries = entries, slots = toLongs(table.slots());
  std::sort(sorted_entries.begin(), sorted_entries.end());
  for (size_t i = 0; i < all.size(); ++i) {
    EXPECT_EQ(sorted_entries[i], static_cast<int64_t>(i));  // dense ids
    EXPECT_EQ(std::count(slots.begin(), slots.end(), static_cast<int64_t>(i)), 1);
    if (ids.count(all[i])) EXPECT_EQ(ids[all[i]], entries[i]);
  }
}

INSTANTIATE_TEST_SUITE_P(GpuClosedTable, GpuClosedTableRandom,
                         ::testing::Combine(::testing::ValuesIn(kAlgorithms),
                                            ::testing::Values(at::kLong, at::kInt, at::kByte),
                                            ::testing::Values(at::kFloat, at::kDouble)));

// Catches: a per-group minimum computed with float offsets, which loses the
// difference between 1e6 + 1 and 1e6 once there are many groups.
TEST(GpuClosedTable, SegmentedMinimumIsExactForManyGroupsAndWideSpans) {
  c10::InferenceMode guard;
  const int64_t groups = 3000;
  Rows keys;
  std::vector<double> costs;
  std::vector<bool> expected;
  for (int64_t g = 0; g < groups; ++g) {
    const double base = g % 2 ? 1e6 : 0.5;
    keys.insert(keys.end(), 3, {g});
    costs.insert(costs.end(), {base + 1, base, base});
    expected.insert(expected.end(), {true, true, false});
  }
  keys.push_back({groups});
  costs.push_back(-1e6);
  expected.push_back(true);
  for (const auto& algorithm : kAlgorithms) {
    GpuClosedTable t = makeTable(1, 8, algorithm);
    EXPECT_EQ(toBools(t.insertOrImprove(longKeys(keys), doubles(costs))), expected);
    const std::vector<double> stored = lookup(t, distinct(groups)).second;
    for (int64_t g = 0; g < groups; ++g) ASSERT_EQ(stored[static_cast<size_t>(g)], g % 2 ? 1e6 : 0.5);
  }
}

// Catches: a hash that depends on how wide keys are split into column chunks
// or on the key's storage type, and one that ignores columns or values.
TEST(GpuClosedTable, HashesDependOnValuesOnly) {
  c10::InferenceMode guard;
  std::mt19937_64 rng(7);
  // 60000 rows of 40 columns are hashed in column chunks; 5 rows in one pass.
  for (const auto& [width, rows] : std::vector<std::pair<int64_t, int64_t>>{{3, 257}, {17, 100}, {40, 60000}}) {
    const GpuClosedTable t = makeTable(width);
    at::Tensor keys = at::empty({rows, width}, at::kLong);
    int64_t* data = keys.data_ptr<int64_t>();
    for (int64_t i = 0; i < rows * width; ++i)  // full-range, small negative and small positive values
      data[i] = rng() % 3 == 0 ? static_cast<int64_t>(rng()) : int64_t(rng() % 200) - 100;
    const std::vector<int64_t> hashes = toLongs(t.hashKeys(keys));
    EXPECT_EQ(toLongs(t.hashKeys(keys.narrow(0, 0, 5))), std::vector<int64_t>(hashes.begin(), hashes.begin() + 5));
    EXPECT_EQ(std::set<int64_t>(hashes.begin(), hashes.end()).size(), static_cast<size_t>(rows)) << width;
    // Changing one value of a row changes its hash, whichever column it is in.
    for (int64_t col = 0; col < width; ++col) {
      at::Tensor changed = keys.narrow(0, 0, 1).clone();
      changed[0][col] += 1;
      EXPECT_NE(toLongs(t.hashKeys(changed))[0], hashes[0]) << "column " << col;
    }
  }
  for (c10::ScalarType key_dtype : {at::kByte, at::kInt}) {
    GpuClosedTable t = makeTable(4, 8, "python_dict", false, key_dtype, at::kDouble);
    const at::Tensor keys = longKeys({{0, 255, 17, 3}, {1, 2, 3, 4}});
    EXPECT_EQ(toLongs(t.hashKeys(t.normalizeKeys(keys))), toLongs(t.hashKeys(keys)));
    t.insertOrImprove(keys, doubles({0.25, 1e300}));
    EXPECT_EQ(t.keys().scalar_type(), key_dtype);
    EXPECT_EQ(lookup(t, keys).second, (std::vector<double>{0.25, 1e300}));
  }
}

// Catches: a one-row vector not treated as a batch of one, a key of the wrong
// shape or cost count accepted, an empty batch that fails or changes the table.
TEST(GpuClosedTable, KeyShapes) {
  c10::InferenceMode guard;
  GpuClosedTable t = makeTable(3);
  EXPECT_EQ(toBools(t.insertOrImprove(longs({1, 2, 3}), at::tensor({4.0}))), std::vector<bool>{true});
  EXPECT_EQ(toBools(t.insertOrImprove(longKeys({{1, 2, 3}}), at::tensor({4.0}))), std::vector<bool>{false});
  EXPECT_EQ(toBools(t.insertOrImprove(longs({1, 2, 3}), at::tensor(3.0))), std::vector<bool>{true});
  const std::string shape = "Keys must have shape (B, key_width)";
  const std::pair<at::Tensor, std::string> bad[] = {
      {at::zeros({4}, at::kLong), "Key width mismatch"}, {at::zeros({2, 4}, at::kLong), shape},
      {at::zeros({0, 2}, at::kLong), shape},             {at::zeros({1, 1, 3}, at::kLong), shape},
      {at::zeros({}, at::kLong), shape},                 {at::Tensor(), shape},
  };
  for (const auto& [keys, message] : bad) {
    EXPECT_EQ(messageOf<std::invalid_argument>([&] { t.normalizeKeys(keys); }), message);
    EXPECT_EQ(messageOf<std::invalid_argument>([&] { t.insertOrImprove(keys, at::zeros({1})); }), message);
  }
  EXPECT_THROW(t.insertOrImprove(longKeys({{1, 1, 1}, {2, 2, 2}}), at::zeros({3})), std::invalid_argument);
  const auto empty = t.insertOrImproveWithEntries(at::zeros({0, 3}, at::kLong), at::zeros({0}));
  EXPECT_TRUE(empty.flags.numel() == 0 && empty.flags.scalar_type() == at::kBool && empty.entries.numel() == 0);
  EXPECT_EQ(t.size(), 1);
}

// Catches: python_dict placement that loops or fails in a growing table when
// the perturbed probe keeps revisiting full slots, and a fixed table that
// changes its slots before reporting it is full. This hash starts at slot 0
// and, with 3 bits of mask, adds 1 + 7 at every step.
TEST(GpuClosedTable, PythonDictPlacementWithoutFreeSlot) {
  c10::InferenceMode guard;
  uint64_t stuck = 0;
  for (int n = 1; n <= 12; ++n) stuck |= uint64_t{7} << (5 * n);
  const at::Tensor k0 = longKeys({{10}}), k1 = longKeys({{11}});
  const at::Tensor h0 = longs({0}), h1 = longs({static_cast<int64_t>(stuck)});
  for (bool fixed : {true, false}) {
    GpuClosedTable t = makeTable(1, 8, "python_dict", fixed);
    t.upsertEntries(k0, at::tensor({1.0}), h0, at::zeros({1}, at::kBool), longs({-1}), longs({-1}));
    const auto p = t.probe(k1, h1);
    ASSERT_EQ(toLongs(p.slot), std::vector<int64_t>{-1});  // no free slot within 8 steps
    EXPECT_EQ(toLongs(p.entry), std::vector<int64_t>{-1});
    const auto upsert = [&] { return toLongs(t.upsertEntries(k1, at::tensor({2.0}), h1, p.found, p.slot, p.entry)); };
    if (fixed) {
      const Snapshot before(t);
      EXPECT_EQ(messageOf<std::runtime_error>(upsert).rfind(kFull, 0), 0u);
      EXPECT_TRUE(Snapshot(t) == before);
      continue;
    }
    EXPECT_EQ(upsert(), std::vector<int64_t>{1});
    EXPECT_EQ(t.capacity(), 16);
    EXPECT_EQ(t.filledSlots(), 2);
    EXPECT_EQ(toLongs(t.probe(k0, h0).entry), std::vector<int64_t>{0});
    EXPECT_EQ(toLongs(t.probe(k1, h1).entry), std::vector<int64_t>{1});
    const std::vector<int64_t> slots = toLongs(t.slots());
    EXPECT_EQ(std::count(slots.begin(), slots.end(), -1), 14);
  }
}

}  // namespace
}  // namespace quelmar
