// The GPU search's CLOSED table and its units (key hashing, the batch-minimum
// rule, slot placement), exercised on the CPU device.
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

#include "gpu_search/batch_minimum.h"
#include "gpu_search/closed_state_table.h"
#include "gpu_search/key_hashing.h"
#include "gpu_search/slot_placement.h"
#include "test_support.h"

namespace quelmar {
namespace {

using testing_support::messageOf;
using Rows = std::vector<std::vector<int64_t>>;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
const c10::Device kCpu(c10::kCPU);
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
at::Tensor bools(size_t n, bool value) { return at::full({static_cast<int64_t>(n)}, value, at::kBool); }

at::Tensor longKeys(const Rows& rows) {
  std::vector<int64_t> flat;
  for (const auto& row : rows) flat.insert(flat.end(), row.begin(), row.end());
  return longs(flat).reshape({static_cast<int64_t>(rows.size()), -1});
}

// Keys 0 .. n-1 (plus base) as rows of width 1.
at::Tensor distinct(int64_t n, int64_t base = 0) { return at::arange(base, base + n, at::kLong).reshape({n, 1}); }

ClosedProbing probingOf(const std::string& name) {
  return name == "python_dict" ? ClosedProbing::kPythonDict : ClosedProbing::kLinearProbing;
}

GpuClosedTable makeTable(int64_t width, int64_t initial = 8, const std::string& algorithm = "linear_probing",
                         bool fixed = false, c10::ScalarType key_dtype = at::kLong,
                         c10::ScalarType cost_dtype = at::kFloat) {
  return GpuClosedTable(width, kCpu, key_dtype, cost_dtype, initial, probingOf(algorithm), fixed);
}

ClosedSlots makeSlots(const std::string& algorithm, bool fixed) {
  return ClosedSlots(1, kCpu, at::kLong, at::kDouble, 8, probingOf(algorithm), fixed);
}

// Inserts width-1 keys that are all new, with the given hashes and costs.
std::vector<int64_t> insertNew(ClosedSlots& slots, const at::Tensor& keys, const at::Tensor& hashes,
                               const at::Tensor& costs) {
  const int64_t n = keys.size(0);
  return toLongs(slots.upsert(keys, costs, hashes, bools(n, false), at::full({n}, -1, at::kLong)));
}

// Entry id and stored cost of each key row (-1 / NaN when absent).
std::pair<std::vector<int64_t>, std::vector<double>> lookup(const GpuClosedTable& table, const at::Tensor& keys) {
  const at::Tensor k = table.hasher().normalize(keys);
  const std::vector<int64_t> entries = toLongs(table.slots().probe(k, table.hasher().hash(k)).entry);
  const std::vector<double> stored = toDoubles(table.slots().costs());
  std::vector<double> costs;
  for (int64_t e : entries) costs.push_back(e >= 0 ? stored[static_cast<size_t>(e)] : kNaN);
  return {entries, costs};
}

// Everything that an operation must leave alone when it fails.
struct Snapshot {
  int64_t capacity, size, filled;
  std::vector<int64_t> slots;
  std::vector<double> costs;
  explicit Snapshot(const ClosedSlots& s)
      : capacity(s.capacity()), size(s.size()), filled(s.filledSlots()), slots(toLongs(s.slotEntries())),
        costs(toDoubles(s.costs().narrow(0, 0, s.size()))) {}
  bool operator==(const Snapshot&) const = default;
};

// Catches: a capacity that is not the next power of two of at least 8, growth
// before or after the 2/3 load mark, a fixed table that grows, and a failed
// insertion that leaves keys, costs or slots changed.
TEST(GpuClosedStateTable, CapacityAndGrowthAtTwoThirds) {
  c10::InferenceMode guard;
  EXPECT_EQ(messageOf<std::invalid_argument>([] { makeTable(0); }), "CLOSED key width must be positive");
  for (const auto& algorithm : kAlgorithms) {
    for (const auto& [initial, expected] : std::vector<std::pair<int64_t, int64_t>>{
             {-3, 8}, {0, 8}, {8, 8}, {9, 16}, {1000, 1024}}) {
      const GpuClosedTable t = makeTable(3, initial, algorithm, true);
      EXPECT_EQ(t.slots().capacity(), expected) << initial;
      EXPECT_EQ(t.slots().entryCapacity(), expected);
    }
    GpuClosedTable fixed = makeTable(1, 8, algorithm, true);
    fixed.insertOrImprove(distinct(3), at::full({3}, 7.0));
    const Snapshot before(fixed.slots());
    // Two rows improve stored keys and three are new: 3 + 5 unique keys would reach 2/3.
    EXPECT_EQ(messageOf<std::runtime_error>([&] { fixed.insertOrImprove(distinct(5, 1), at::zeros({5})); }), kFull);
    EXPECT_TRUE(Snapshot(fixed.slots()) == before);
    // Through insertions: five keys stay at 8 slots, six reach 2/3 and double it.
    GpuClosedTable five = makeTable(1, 8, algorithm), six = makeTable(1, 8, algorithm);
    EXPECT_EQ(toBools(five.insertOrImprove(distinct(5), at::zeros({5}))), std::vector<bool>(5, true));
    six.insertOrImprove(distinct(6), at::zeros({6}));
    EXPECT_EQ(std::make_pair(five.slots().capacity(), six.slots().capacity()),
              std::make_pair(int64_t{8}, int64_t{16}));
    EXPECT_EQ(lookup(six, distinct(6)).first, (std::vector<int64_t>{0, 1, 2, 3, 4, 5}));
  }
}

// Catches: entry ids that are not dense, not in row order for new keys (in
// sorted key order when the batch repeats a key), or returned for unflagged rows.
TEST(GpuClosedStateTable, EntryIdsAreDenseAndReturnedForFlaggedRows) {
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
class GpuClosedStateTableRandom : public ::testing::TestWithParam<RandomParam> {};

// Catches: flags or stored costs that differ from the plain model on batches
// with repeated keys, in any key and cost type (a row flagged although an
// earlier row or the stored cost is as low; NaN or +-inf costs flagged or
// stored wrongly; a key seen only with NaN not stored at +inf); groups that
// split equal keys or merge different ones; entry ids that change, repeat or
// leave gaps across the rebuilds of a growing table; an id in two slots.
TEST_P(GpuClosedStateTableRandom, MatchesReferenceOnBatchesWithDuplicates) {
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
      const uint64_t pick = rng() % 400;
      // Costs that float32 holds exactly: integers, wide spans, and a few specials
      // (-inf rarely: it settles its key for good).
      costs.push_back(pick < 10 ? kNaN : pick < 20 ? kInf : pick == 20 ? -kInf
                      : pick < 30 ? 1e7 + double(rng() % 3) : double(rng() % 6));
    }
    const std::vector<bool> expected = referenceInsert(reference, keys, costs);
    const auto r = table.insertOrImproveWithEntries(longKeys(keys).to(key_dtype), doubles(costs).to(cost_dtype));
    ASSERT_EQ(toBools(r.flags), expected) << "batch " << batch;
    const std::vector<int64_t> entries = toLongs(r.entries);
    for (size_t i = 0; i < keys.size(); ++i) {
      if (!expected[i]) EXPECT_EQ(entries[i], -1);
      else EXPECT_EQ(ids.emplace(keys[i], entries[i]).first->second, entries[i]) << "an entry id changed";
    }
    ASSERT_EQ(table.slots().size(), static_cast<int64_t>(reference.size()));
    ASSERT_EQ(table.slots().filledSlots(), table.slots().size());
    ASSERT_LT(3 * table.slots().filledSlots(), 2 * table.slots().capacity());
  }
  Rows all;
  std::vector<double> expected_costs;
  for (const auto& [key, cost] : reference) {
    all.push_back(key);
    expected_costs.push_back(cost);
  }
  const auto [entries, stored] = lookup(table, longKeys(all).to(key_dtype));
  EXPECT_EQ(stored, expected_costs);
  std::vector<int64_t> sorted_entries = entries, slots = toLongs(table.slots().slotEntries());
  std::sort(sorted_entries.begin(), sorted_entries.end());
  for (size_t i = 0; i < all.size(); ++i) {
    EXPECT_EQ(sorted_entries[i], static_cast<int64_t>(i));  // dense ids
    EXPECT_EQ(std::count(slots.begin(), slots.end(), static_cast<int64_t>(i)), 1);
    if (ids.count(all[i])) EXPECT_EQ(ids[all[i]], entries[i]);
  }
}

INSTANTIATE_TEST_SUITE_P(GpuClosedStateTable, GpuClosedStateTableRandom,
                         ::testing::Combine(::testing::ValuesIn(kAlgorithms),
                                            ::testing::Values(at::kLong, at::kInt, at::kByte),
                                            ::testing::Values(at::kFloat, at::kDouble)));

// Catches: a per-group minimum computed with float offsets, which loses the
// difference between 1e6 + 1 and 1e6 once there are many groups.
TEST(GpuClosedStateTable, SegmentedMinimumIsExactForManyGroupsAndWideSpans) {
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

// Catches: a one-row vector not treated as a batch of one, a key of the wrong
// shape or cost count accepted, an empty batch that fails or changes the table.
TEST(GpuClosedStateTable, KeyShapes) {
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
    EXPECT_EQ(messageOf<std::invalid_argument>([&] { t.hasher().normalize(keys); }), message);
    EXPECT_EQ(messageOf<std::invalid_argument>([&] { t.insertOrImprove(keys, at::zeros({1})); }), message);
  }
  EXPECT_EQ(messageOf<std::invalid_argument>([&] { t.insertOrImprove(longKeys({{1, 1, 1}, {2, 2, 2}}), at::zeros({3})); }),
            "Costs must have one value per key row");
  const auto empty = t.insertOrImproveWithEntries(at::zeros({0, 3}, at::kLong), at::zeros({0}));
  EXPECT_TRUE(empty.flags.numel() == 0 && empty.flags.scalar_type() == at::kBool && empty.entries.numel() == 0);
  EXPECT_EQ(t.slots().size(), 1);
}

// Catches: a hash that depends on how wide keys are split into column chunks
// or on the key's storage type, and one that ignores columns or values.
TEST(GpuKeyHashing, HashesDependOnValuesOnly) {
  c10::InferenceMode guard;
  std::mt19937_64 rng(7);
  // 60000 rows of 40 columns are hashed in column chunks; 5 rows in one pass.
  for (const auto& [width, rows] : std::vector<std::pair<int64_t, int64_t>>{{3, 257}, {17, 100}, {40, 60000}}) {
    const KeyHasher hasher(width, kCpu, at::kLong);
    at::Tensor keys = at::empty({rows, width}, at::kLong);
    int64_t* data = keys.data_ptr<int64_t>();
    for (int64_t i = 0; i < rows * width; ++i)  // full-range, small negative and small positive values
      data[i] = rng() % 3 == 0 ? static_cast<int64_t>(rng()) : int64_t(rng() % 200) - 100;
    const std::vector<int64_t> hashes = toLongs(hasher.hash(keys));
    EXPECT_EQ(toLongs(hasher.hash(keys.narrow(0, 0, 5))), std::vector<int64_t>(hashes.begin(), hashes.begin() + 5));
    EXPECT_EQ(std::set<int64_t>(hashes.begin(), hashes.end()).size(), static_cast<size_t>(rows)) << width;
    // Changing one value of a row changes its hash, whichever column it is in.
    for (int64_t col = 0; col < width; ++col) {
      at::Tensor changed = keys.narrow(0, 0, 1).clone();
      changed[0][col] += 1;
      EXPECT_NE(toLongs(hasher.hash(changed))[0], hashes[0]) << "column " << col;
    }
  }
  for (c10::ScalarType key_dtype : {at::kByte, at::kInt}) {
    GpuClosedTable t = makeTable(4, 8, "python_dict", false, key_dtype, at::kDouble);
    const at::Tensor keys = longKeys({{0, 255, 17, 3}, {1, 2, 3, 4}});
    EXPECT_EQ(toLongs(t.hasher().hash(t.hasher().normalize(keys))), toLongs(t.hasher().hash(keys)));
    t.insertOrImprove(keys, doubles({0.25, 1e300}));
    EXPECT_EQ(t.slots().keys().scalar_type(), key_dtype);
    EXPECT_EQ(lookup(t, keys).second, (std::vector<double>{0.25, 1e300}));
  }
}

// Catches: a cheapest-per-key choice that keeps a costlier row, a later one
// among equal costs, two rows of one key, or rows out of order. (The grouping
// and minimum rule under the CLOSED table are checked through the table.)
TEST(GpuBatchMinimum, CheapestRowPerKey) {
  c10::InferenceMode guard;
  std::mt19937_64 rng(99);
  for (int round = 0; round < 200; ++round) {
    const int64_t rows = 1 + static_cast<int64_t>(rng() % 40), spread = 1 + static_cast<int64_t>(rng() % 12);
    std::vector<int64_t> keys;
    std::vector<double> costs;
    std::map<int64_t, int64_t> pick;  // key -> position
    for (int64_t i = 0; i < rows; ++i) {
      keys.push_back(static_cast<int64_t>(rng() % spread));
      costs.push_back(double(rng() % 5));
      const auto [it, fresh] = pick.emplace(keys.back(), i);
      if (!fresh && costs.back() < costs[static_cast<size_t>(it->second)]) it->second = i;
    }
    std::vector<int64_t> expected;
    for (const auto& [key, position] : pick) expected.push_back(position);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(toLongs(select_min_cost_per_key(longs(keys), doubles(costs))), expected) << "round " << round;
  }
}

// Catches: a placed key that a probe does not find or finds under another id,
// an absent key reported found, an id in no slot or in two, and a fill count
// that drifts, whichever probe sequence and however the hashes collide.
TEST(GpuSlotPlacement, ProbesFindEveryPlacedKey) {
  c10::InferenceMode guard;
  const std::pair<const char*, at::Tensor (*)(const at::Tensor&)> hashings[] = {
      {"identity", [](const at::Tensor& k) { return k.reshape({-1}).clone(); }},
      {"three values", [](const at::Tensor& k) { return k.reshape({-1}).remainder(3); }},
      {"one value", [](const at::Tensor& k) { return at::full({k.size(0)}, int64_t{-7}, at::kLong); }},
      {"high bits", [](const at::Tensor& k) { return k.reshape({-1}) * (int64_t{1} << 40); }},
  };
  for (const auto& algorithm : kAlgorithms) {
    for (const auto& [name, hashing] : hashings) {
      SCOPED_TRACE(algorithm + " " + name);
      ClosedSlots slots = makeSlots(algorithm, false);
      int64_t stored = 0;
      for (int64_t batch : {1, 4, 9, 30, 2}) {
        const at::Tensor keys = distinct(batch, stored);
        slots.reserve(slots.filledSlots() + batch);
        EXPECT_EQ(insertNew(slots, keys, hashing(keys), at::zeros({batch})),
                  toLongs(at::arange(stored, stored + batch)));
        stored += batch;
        const at::Tensor all = distinct(stored + 5);  // five keys never stored
        const ClosedSlots::Probe p = slots.probe(all, hashing(all));
        std::vector<int64_t> expected = toLongs(at::arange(stored));
        expected.insert(expected.end(), 5, -1);
        ASSERT_EQ(toLongs(p.entry), expected);
        const std::vector<int64_t> layout = toLongs(slots.slotEntries());
        for (int64_t id = 0; id < stored; ++id) ASSERT_EQ(std::count(layout.begin(), layout.end(), id), 1);
        ASSERT_EQ(slots.filledSlots(), stored);
        ASSERT_EQ(slots.size(), stored);
      }
    }
  }
}

// Catches: a fixed table whose entry rows overflow, or that loses the cost
// update made before the overflow was found; a stored key inserted again.
TEST(GpuSlotPlacement, FixedEntryCapacityFailsAfterCostUpdates) {
  c10::InferenceMode guard;
  ClosedSlots slots = makeSlots("linear_probing", true);
  insertNew(slots, longKeys({{100}}), longs({100}), doubles({5.0}));
  // Nine new rows (not checked against the slots first) exceed the 8 entry rows.
  const at::Tensor keys = at::cat({longs({100}), at::arange(0, 9, at::kLong)}).reshape({10, 1});
  const auto p = slots.probe(keys, keys.reshape({-1}));
  EXPECT_EQ(messageOf<std::runtime_error>(
                [&] { slots.upsert(keys, at::full({10}, 1.0), keys.reshape({-1}), p.found, p.entry); }),
            "fixed CLOSED entry capacity exhausted at capacity=8");
  EXPECT_EQ(slots.size(), 1);
  EXPECT_EQ(slots.filledSlots(), 1);
  EXPECT_EQ(toDoubles(slots.costs().narrow(0, 0, 1)), std::vector<double>{1.0});
  // Inserting a key that is already stored is refused without touching the slots.
  const Snapshot before(slots);
  EXPECT_EQ(messageOf<std::invalid_argument>([&] { insertNew(slots, longKeys({{100}}), longs({100}), doubles({0.0})); }),
            "CLOSED keys to insert must be distinct and not yet stored");
  EXPECT_TRUE(Snapshot(slots) == before);
}

// Catches: python_dict placement that loops or fails in a growing table when
// the perturbed probe keeps revisiting full slots, and a fixed table that
// changes its slots before reporting it is full. This hash starts at slot 0
// and, with 3 bits of mask, adds 1 + 7 at every step.
TEST(GpuSlotPlacement, PythonDictPlacementWithoutFreeSlot) {
  c10::InferenceMode guard;
  uint64_t stuck = 0;
  for (int n = 1; n <= 12; ++n) stuck |= uint64_t{7} << (5 * n);
  const at::Tensor k0 = longKeys({{10}}), k1 = longKeys({{11}});
  const at::Tensor h0 = longs({0}), h1 = longs({static_cast<int64_t>(stuck)});
  for (bool fixed : {true, false}) {
    ClosedSlots slots = makeSlots("python_dict", fixed);
    insertNew(slots, k0, h0, doubles({1.0}));
    const auto p = slots.probe(k1, h1);
    ASSERT_EQ(toLongs(p.slot), std::vector<int64_t>{-1});  // no free slot within 8 steps
    EXPECT_EQ(toLongs(p.entry), std::vector<int64_t>{-1});
    const auto upsert = [&] { return insertNew(slots, k1, h1, doubles({2.0})); };
    if (fixed) {
      const Snapshot before(slots);
      EXPECT_EQ(messageOf<std::runtime_error>(upsert).rfind(kFull, 0), 0u);
      EXPECT_TRUE(Snapshot(slots) == before);
      continue;
    }
    EXPECT_EQ(upsert(), std::vector<int64_t>{1});
    EXPECT_EQ(slots.capacity(), 16);
    EXPECT_EQ(slots.filledSlots(), 2);
    EXPECT_EQ(toLongs(slots.probe(k0, h0).entry), std::vector<int64_t>{0});
    EXPECT_EQ(toLongs(slots.probe(k1, h1).entry), std::vector<int64_t>{1});
    const std::vector<int64_t> layout = toLongs(slots.slotEntries());
    EXPECT_EQ(std::count(layout.begin(), layout.end(), -1), 14);
  }
}

}  // namespace
}  // namespace quelmar
