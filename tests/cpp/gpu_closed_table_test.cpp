// Device-tensor CLOSED table of the GPU search, exercised on the CPU device.
#include <gtest/gtest.h>

#include <ATen/ATen.h>
#include <c10/core/InferenceMode.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "gpu_search/closed_state_table.h"

namespace quelmar {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
const c10::Device kCpu(c10::kCPU);
const std::vector<std::string> kAlgorithms = {"linear_probing", "python_dict"};

uint64_t refSplitMix64(uint64_t x) {
  uint64_t z = x + 0x9E3779B97F4A7C15ULL;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

uint64_t refHash(const std::vector<int64_t>& key, uint64_t seed) {
  uint64_t sum = 0;
  for (size_t j = 0; j < key.size(); ++j) {
    const uint64_t a = (j + 1) * 0x9E3779B97F4A7C15ULL;
    const uint64_t b = refSplitMix64(a ^ 0xBF58476D1CE4E5B9ULL);
    sum += refSplitMix64((static_cast<uint64_t>(key[j]) ^ seed) + a) * b;
  }
  return refSplitMix64(seed ^ sum);
}

std::vector<int64_t> toLongs(const at::Tensor& t) {
  at::Tensor c = t.to(at::kLong).contiguous().cpu();
  return std::vector<int64_t>(c.data_ptr<int64_t>(), c.data_ptr<int64_t>() + c.numel());
}

std::vector<bool> toBools(const at::Tensor& t) {
  std::vector<bool> out;
  for (int64_t v : toLongs(t)) out.push_back(v != 0);
  return out;
}

std::vector<double> toDoubles(const at::Tensor& t) {
  at::Tensor c = t.to(at::kDouble).contiguous().cpu();
  return std::vector<double>(c.data_ptr<double>(), c.data_ptr<double>() + c.numel());
}

at::Tensor longKeys(const std::vector<std::vector<int64_t>>& rows) {
  const int64_t width = rows.empty() ? 0 : static_cast<int64_t>(rows[0].size());
  at::Tensor t = at::empty({static_cast<int64_t>(rows.size()), width}, at::kLong);
  for (size_t i = 0; i < rows.size(); ++i)
    for (int64_t j = 0; j < width; ++j) t[static_cast<int64_t>(i)][j] = rows[i][static_cast<size_t>(j)];
  return t;
}

at::Tensor longs(const std::vector<int64_t>& v) {
  return at::tensor(at::ArrayRef<int64_t>(v), at::TensorOptions().dtype(at::kLong));
}

at::Tensor doubles(const std::vector<double>& v) {
  return at::tensor(at::ArrayRef<double>(v), at::TensorOptions().dtype(at::kDouble));
}

GpuClosedTable makeTable(int64_t width, int64_t initial = 8, const std::string& algorithm = "linear_probing",
                         bool fixed = false, c10::ScalarType key_dtype = at::kLong,
                         c10::ScalarType cost_dtype = at::kFloat) {
  return GpuClosedTable(width, kCpu, key_dtype, cost_dtype, initial, algorithm, fixed);
}

// Entry id and stored cost of each key row (-1 / NaN when absent).
std::pair<std::vector<int64_t>, std::vector<double>> lookup(const GpuClosedTable& table, const at::Tensor& keys) {
  at::Tensor k = table.normalizeKeys(keys);
  GpuClosedTable::ProbeResult p = table.probe(k, table.hashKeys(k));
  std::vector<int64_t> entries = toLongs(p.entry);
  std::vector<double> costs;
  std::vector<double> stored = toDoubles(table.costs());
  for (int64_t e : entries) costs.push_back(e >= 0 ? stored[static_cast<size_t>(e)] : kNaN);
  return {entries, costs};
}

template <typename E, typename F>
std::string errorMessage(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "<no exception of the expected type>";
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

TEST(GpuClosedTable, CapacityIsPowerOfTwoAtLeastEight) {
  c10::InferenceMode guard;
  const std::vector<std::pair<int64_t, int64_t>> cases = {{-3, 8}, {0, 8}, {5, 8}, {8, 8}, {9, 16}, {1000, 1024}};
  for (const auto& algorithm : kAlgorithms) {
    for (const auto& [initial, expected] : cases) {
      GpuClosedTable t = makeTable(3, initial, algorithm, true);
      EXPECT_EQ(t.capacity(), expected) << initial;
      EXPECT_EQ(t.entryCapacity(), expected);
      EXPECT_EQ(t.size(), 0);
      EXPECT_EQ(t.filledSlots(), 0);
      EXPECT_EQ(toLongs(t.mask()), std::vector<int64_t>{expected - 1});
      EXPECT_EQ(toLongs(t.slots()), std::vector<int64_t>(static_cast<size_t>(expected), -1));
      EXPECT_EQ(t.seed().dim(), 0);
      EXPECT_EQ(t.seed().scalar_type(), at::kLong);
    }
  }
}

TEST(GpuClosedTable, RejectsBadConstructionArguments) {
  c10::InferenceMode guard;
  EXPECT_EQ(errorMessage<std::invalid_argument>([] { makeTable(3, 8, "robin_hood"); }),
            "hashtable_algorithm must be 'linear_probing' or 'python_dict'");
  EXPECT_THROW(makeTable(0), std::invalid_argument);
}

TEST(GpuClosedTable, GrowsOnlyWhenLoadWouldReachTwoThirds) {
  c10::InferenceMode guard;
  const auto distinct = [](int64_t n, int64_t base) { return at::arange(base, base + n, at::kLong).reshape({n, 1}); };
  const std::vector<std::pair<int64_t, int64_t>> needed_to_capacity = {{0, 8}, {5, 8}, {6, 16}, {10, 16}, {11, 32}};
  for (const auto& algorithm : kAlgorithms) {
    for (const auto& [needed, expected] : needed_to_capacity) {
      GpuClosedTable t = makeTable(1, 8, algorithm);
      t.ensureSlotCapacity(needed);
      EXPECT_EQ(t.capacity(), expected) << needed;
      EXPECT_EQ(toLongs(t.mask()), std::vector<int64_t>{expected - 1});
      EXPECT_EQ(t.slots().numel(), expected);
    }
    GpuClosedTable fixed = makeTable(1, 8, algorithm, true);
    fixed.ensureSlotCapacity(5);
    EXPECT_EQ(errorMessage<std::runtime_error>([&] { fixed.ensureSlotCapacity(6); }),
              "fixed CLOSED capacity exhausted at capacity=8");
    EXPECT_EQ(errorMessage<std::runtime_error>([&] { fixed.insertOrImprove(distinct(6, 0), at::zeros({6})); }),
              "fixed CLOSED capacity exhausted at capacity=8");
    EXPECT_EQ(fixed.size(), 0);
    EXPECT_EQ(fixed.capacity(), 8);
  }

  // Through insertions. Linear probing always reaches a free slot below 2/3
  // load, so only the load rule decides the capacity.
  GpuClosedTable five = makeTable(1, 8);
  EXPECT_EQ(toBools(five.insertOrImprove(distinct(5, 0), at::zeros({5}))), std::vector<bool>(5, true));
  EXPECT_EQ(five.capacity(), 8);
  EXPECT_EQ(five.filledSlots(), 5);

  GpuClosedTable six = makeTable(1, 8);
  six.insertOrImprove(distinct(6, 0), at::zeros({6}));
  EXPECT_EQ(six.capacity(), 16);
  EXPECT_EQ(six.size(), 6);
  EXPECT_EQ(six.filledSlots(), 6);
  EXPECT_EQ(lookup(six, distinct(6, 0)).first, (std::vector<int64_t>{0, 1, 2, 3, 4, 5}));

  // A failed insertion leaves stored keys, costs and slots as they were.
  GpuClosedTable fixed = makeTable(1, 8, "linear_probing", true);
  fixed.insertOrImprove(distinct(3, 0), at::full({3}, 7.0));
  const Snapshot before(fixed);
  // Two rows improve stored keys and three are new: 3 + 5 unique keys would reach 2/3.
  EXPECT_THROW(fixed.insertOrImprove(distinct(5, 1), at::zeros({5})), std::runtime_error);
  EXPECT_TRUE(Snapshot(fixed) == before);
  EXPECT_EQ(lookup(fixed, distinct(3, 0)).second, std::vector<double>(3, 7.0));
}

TEST(GpuClosedTable, FixedEntryCapacityFailsAfterCostUpdates) {
  c10::InferenceMode guard;
  GpuClosedTable t = makeTable(1, 8, "linear_probing", true);
  t.insertOrImprove(longs({100}), at::tensor({5.0}));
  // Direct upsert of nine new rows bypasses the slot check and exceeds the 8 entry rows.
  at::Tensor keys = at::cat({longs({100}), at::arange(0, 9, at::kLong)}).reshape({10, 1});
  GpuClosedTable::ProbeResult p = t.probe(keys, t.hashKeys(keys));
  EXPECT_EQ(errorMessage<std::runtime_error>([&] {
              t.upsertEntries(keys, at::full({10}, 1.0), t.hashKeys(keys), p.found, p.slot, p.entry);
            }),
            "fixed CLOSED entry capacity exhausted at capacity=8");
  EXPECT_EQ(t.size(), 1);
  EXPECT_EQ(t.filledSlots(), 1);
  EXPECT_EQ(lookup(t, longs({100})).second, std::vector<double>{1.0});
}

TEST(GpuClosedTable, DuplicateRowsFollowRowAndTableRules) {
  c10::InferenceMode guard;
  struct Case {
    std::vector<double> stored;  // empty: key is new
    std::vector<double> costs;
    std::vector<bool> flags;
    double after;
  };
  const std::vector<Case> cases = {
      {{}, {5, 3, 3}, {true, true, false}, 3},
      {{}, {3, 5, 3}, {true, false, false}, 3},
      {{}, {4, 4, 4}, {true, false, false}, 4},
      {{}, {9, 7, 8, 2}, {true, true, false, true}, 2},
      {{4}, {4}, {false}, 4},
      {{4}, {2}, {true}, 2},
      {{4}, {7}, {false}, 4},
      {{4}, {6, 4, 3, 3, 1}, {false, false, true, false, true}, 1},
      // NaN carries no information; +inf is never strictly below anything.
      {{}, {kNaN, 3}, {false, true}, 3},
      {{}, {kNaN}, {false}, kInf},
      {{}, {kNaN, kNaN}, {false, false}, kInf},
      {{}, {kInf}, {false}, kInf},
      {{}, {kInf, kInf, 6}, {false, false, true}, 6},
      {{}, {-kInf, -kInf}, {true, false}, -kInf},
      {{3}, {kNaN, 2, kNaN, 1}, {false, true, false, true}, 1},
      {{3}, {kNaN}, {false}, 3},
      {{3}, {kNaN, kNaN}, {false, false}, 3},
      {{kInf}, {5, kInf}, {true, false}, 5},
  };
  const std::vector<int64_t> key = {7, -2};
  for (const auto& algorithm : kAlgorithms) {
    for (c10::ScalarType cost_dtype : {at::kFloat, at::kDouble}) {
      for (size_t n = 0; n < cases.size(); ++n) {
        const Case& c = cases[n];
        GpuClosedTable t = makeTable(2, 8, algorithm, false, at::kLong, cost_dtype);
        if (!c.stored.empty()) t.insertOrImprove(longKeys({key}), doubles(c.stored));
        const at::Tensor keys = longKeys(std::vector<std::vector<int64_t>>(c.costs.size(), key));
        GpuClosedTable::InsertResult r = t.insertOrImproveWithEntries(keys, doubles(c.costs));
        EXPECT_EQ(toBools(r.flags), c.flags) << "case " << n << " " << algorithm;
        std::vector<int64_t> entries;
        for (bool f : c.flags) entries.push_back(f ? 0 : -1);
        EXPECT_EQ(toLongs(r.entries), entries) << "case " << n;
        EXPECT_EQ(t.size(), 1) << "case " << n;
        const double stored = lookup(t, longKeys({key})).second[0];
        EXPECT_EQ(stored, c.after) << "case " << n;
      }
    }
  }
}

TEST(GpuClosedTable, EntryIdsAreDenseAndReturnedForFlaggedRows) {
  c10::InferenceMode guard;
  for (const auto& algorithm : kAlgorithms) {
    GpuClosedTable t = makeTable(2, 8, algorithm);
    GpuClosedTable::InsertResult first =
        t.insertOrImproveWithEntries(longKeys({{5, 5}, {1, 2}, {3, 3}, {0, 9}}), doubles({1, 1, 1, 1}));
    EXPECT_EQ(toLongs(first.entries), (std::vector<int64_t>{0, 1, 2, 3}));

    // No duplicates: new keys take ids in row order; [3, 3] improves, [5, 5] does not.
    GpuClosedTable::InsertResult second =
        t.insertOrImproveWithEntries(longKeys({{8, 8}, {3, 3}, {5, 5}, {4, 4}}), doubles({1, 0, 2, 1}));
    EXPECT_EQ(toBools(second.flags), (std::vector<bool>{true, true, false, true}));
    EXPECT_EQ(toLongs(second.entries), (std::vector<int64_t>{4, 2, -1, 5}));

    // With duplicates the new keys take ids in sorted key order: [2, 0] before [9, 9].
    GpuClosedTable::InsertResult third = t.insertOrImproveWithEntries(
        longKeys({{9, 9}, {2, 0}, {9, 9}, {9, 9}, {1, 2}}), doubles({3, 3, 2, 2, 0}));
    EXPECT_EQ(toBools(third.flags), (std::vector<bool>{true, true, true, false, true}));
    EXPECT_EQ(toLongs(third.entries), (std::vector<int64_t>{7, 6, 7, -1, 1}));
    EXPECT_EQ(t.size(), 8);
    EXPECT_EQ(t.filledSlots(), 8);
    EXPECT_EQ(lookup(t, longKeys({{9, 9}, {2, 0}, {1, 2}, {3, 3}})).second, (std::vector<double>{2, 3, 0, 0}));
  }
}

// Plain reference of the row rule and the table rule (NaN ignored, absent = +inf).
struct ReferenceTable {
  std::map<std::vector<int64_t>, double> best;

  std::vector<bool> insert(const std::vector<std::vector<int64_t>>& keys, const std::vector<double>& costs) {
    std::vector<bool> flags(keys.size(), false);
    std::map<std::vector<int64_t>, double> earlier;  // minimum non-NaN cost so far in this batch
    for (size_t i = 0; i < keys.size(); ++i) {
      const double c = costs[i];
      auto stored = best.find(keys[i]);
      const double bound = std::min(stored == best.end() ? kInf : stored->second,
                                    earlier.count(keys[i]) ? earlier[keys[i]] : kInf);
      flags[i] = c < bound;
      if (!std::isnan(c)) earlier[keys[i]] = earlier.count(keys[i]) ? std::min(earlier[keys[i]], c) : c;
    }
    for (size_t i = 0; i < keys.size(); ++i) {
      auto stored = best.find(keys[i]);
      const double batch_min = earlier.count(keys[i]) ? earlier[keys[i]] : kInf;
      best[keys[i]] = stored == best.end() ? batch_min : std::min(stored->second, batch_min);
    }
    return flags;
  }
};

using RandomParam = std::tuple<std::string, c10::ScalarType, c10::ScalarType>;
class GpuClosedTableRandom : public ::testing::TestWithParam<RandomParam> {};

TEST_P(GpuClosedTableRandom, MatchesReferenceOnBatchesWithDuplicates) {
  c10::InferenceMode guard;
  const auto& [algorithm, key_dtype, cost_dtype] = GetParam();
  std::mt19937_64 rng(12345);
  GpuClosedTable table = makeTable(3, 0, algorithm, false, key_dtype, cost_dtype);
  ReferenceTable reference;
  std::map<std::vector<int64_t>, int64_t> ids;
  for (int batch = 0; batch < 60; ++batch) {
    const size_t rows = 1 + rng() % 80;
    std::vector<std::vector<int64_t>> keys;
    std::vector<double> costs;
    for (size_t i = 0; i < rows; ++i) {
      keys.push_back({int64_t(rng() % 5), int64_t(rng() % 5), int64_t(rng() % 4)});
      const uint64_t pick = rng() % 40;
      // Costs that float32 holds exactly: integers, wide spans, and a few specials.
      costs.push_back(pick == 0 ? kNaN : pick == 1 ? kInf : pick == 2 ? 1e7 + double(rng() % 3) : double(rng() % 6));
    }
    const std::vector<bool> expected = reference.insert(keys, costs);
    GpuClosedTable::InsertResult r =
        table.insertOrImproveWithEntries(longKeys(keys).to(key_dtype), doubles(costs).to(cost_dtype));
    ASSERT_EQ(toBools(r.flags), expected) << "batch " << batch;
    const std::vector<int64_t> entries = toLongs(r.entries);
    for (size_t i = 0; i < rows; ++i) {
      if (!expected[i]) {
        EXPECT_EQ(entries[i], -1);
        continue;
      }
      auto [it, inserted] = ids.emplace(keys[i], entries[i]);
      EXPECT_EQ(it->second, entries[i]) << "an entry id changed";
    }
    ASSERT_EQ(table.size(), static_cast<int64_t>(reference.best.size()));
    ASSERT_EQ(table.filledSlots(), table.size());
    ASSERT_LT(3 * table.filledSlots(), 2 * table.capacity());
  }
  std::vector<std::vector<int64_t>> all;
  std::vector<double> expected_costs;
  for (const auto& [key, cost] : reference.best) {
    all.push_back(key);
    expected_costs.push_back(cost);
  }
  auto [entries, stored] = lookup(table, longKeys(all).to(key_dtype));
  EXPECT_EQ(stored, expected_costs);
  EXPECT_EQ(std::set<int64_t>(entries.begin(), entries.end()).size(), all.size());
  EXPECT_EQ(*std::min_element(entries.begin(), entries.end()), 0);
  EXPECT_EQ(*std::max_element(entries.begin(), entries.end()), static_cast<int64_t>(all.size()) - 1);
  for (size_t i = 0; i < all.size(); ++i)
    if (ids.count(all[i])) EXPECT_EQ(ids[all[i]], entries[i]);
}

INSTANTIATE_TEST_SUITE_P(GpuClosedTable, GpuClosedTableRandom,
                         ::testing::Combine(::testing::ValuesIn(kAlgorithms),
                                            ::testing::Values(at::kLong, at::kInt, at::kByte),
                                            ::testing::Values(at::kFloat, at::kDouble)));

// A float offset per group loses the difference between 1e6 + 1 and 1e6 once
// there are many groups; the flags must not.
TEST(GpuClosedTable, SegmentedMinimumIsExactForManyGroupsAndWideSpans) {
  c10::InferenceMode guard;
  const int64_t groups = 3000;
  std::vector<std::vector<int64_t>> keys;
  std::vector<double> costs;
  std::vector<bool> expected;
  for (int64_t g = 0; g < groups; ++g) {
    const double base = g % 2 ? 1e6 : 0.5;
    for (double c : {base + 1, base, base}) {
      keys.push_back({g});
      costs.push_back(c);
    }
    expected.insert(expected.end(), {true, true, false});
  }
  keys.push_back({groups});
  costs.push_back(-1e6);
  expected.push_back(true);
  for (const auto& algorithm : kAlgorithms) {
    GpuClosedTable t = makeTable(1, 8, algorithm);
    EXPECT_EQ(toBools(t.insertOrImprove(longKeys(keys), doubles(costs))), expected);
    EXPECT_EQ(t.size(), groups + 1);
    std::vector<double> stored = lookup(t, at::arange(groups, at::kLong).reshape({groups, 1})).second;
    for (int64_t g = 0; g < groups; ++g) ASSERT_EQ(stored[static_cast<size_t>(g)], g % 2 ? 1e6 : 0.5);
  }
}

TEST(GpuClosedTable, RebuildsKeepEntryIdsAndCosts) {
  c10::InferenceMode guard;
  for (const auto& algorithm : kAlgorithms) {
    GpuClosedTable t = makeTable(2, 0, algorithm);
    const int64_t batches = 30, per_batch = 97;
    std::vector<int64_t> first_ids;
    for (int64_t b = 0; b < batches; ++b) {
      at::Tensor keys = at::stack({at::arange(b * per_batch, (b + 1) * per_batch, at::kLong) * 7919,
                                   at::full({per_batch}, -b, at::kLong)}, 1);
      GpuClosedTable::InsertResult r = t.insertOrImproveWithEntries(keys, at::full({per_batch}, double(b)));
      std::vector<int64_t> ids = toLongs(r.entries);
      first_ids.insert(first_ids.end(), ids.begin(), ids.end());
    }
    const int64_t total = batches * per_batch;
    EXPECT_EQ(t.size(), total);
    EXPECT_EQ(t.filledSlots(), total);
    EXPECT_EQ(t.capacity(), 8192);  // smallest power of two p with 3 * 2910 < 2p
    EXPECT_GE(t.entryCapacity(), total);
    std::vector<int64_t> dense(static_cast<size_t>(total));
    for (int64_t i = 0; i < total; ++i) dense[static_cast<size_t>(i)] = i;
    EXPECT_EQ(first_ids, dense);
    for (int64_t b = 0; b < batches; ++b) {
      at::Tensor keys = at::stack({at::arange(b * per_batch, (b + 1) * per_batch, at::kLong) * 7919,
                                   at::full({per_batch}, -b, at::kLong)}, 1);
      auto [entries, costs] = lookup(t, keys);
      EXPECT_EQ(entries, std::vector<int64_t>(dense.begin() + b * per_batch, dense.begin() + (b + 1) * per_batch));
      EXPECT_EQ(costs, std::vector<double>(static_cast<size_t>(per_batch), double(b)));
    }
    // Each id sits in exactly one slot.
    std::vector<int64_t> slots = toLongs(t.slots());
    std::multiset<int64_t> held(slots.begin(), slots.end());
    for (int64_t i = 0; i < total; ++i) ASSERT_EQ(held.count(i), 1u);
  }
}

TEST(GpuClosedTable, HashMatchesPlain64BitFormula) {
  c10::InferenceMode guard;
  EXPECT_EQ(refSplitMix64(0), 0xE220A8397B1DCDAFULL);
  std::mt19937_64 rng(7);
  struct Case {
    int64_t width, rows;
  };
  // 60000 rows of 40 columns are hashed in chunks of 34 + 6 columns.
  for (const Case& c : {Case{1, 50}, Case{3, 257}, Case{16, 300}, Case{17, 100}, Case{40, 60000}}) {
    GpuClosedTable t = makeTable(c.width);
    const uint64_t seed = static_cast<uint64_t>(t.seed().item<int64_t>());
    for (int64_t j = 0; j < c.width; ++j) {
      const uint64_t a = static_cast<uint64_t>(j + 1) * 0x9E3779B97F4A7C15ULL;
      ASSERT_EQ(static_cast<uint64_t>(t.columnOffsets()[j].item<int64_t>()), a);
      ASSERT_EQ(static_cast<uint64_t>(t.columnMultipliers()[j].item<int64_t>()),
                refSplitMix64(a ^ 0xBF58476D1CE4E5B9ULL));
    }
    at::Tensor keys = at::empty({c.rows, c.width}, at::kLong);
    int64_t* data = keys.data_ptr<int64_t>();
    for (int64_t i = 0; i < c.rows * c.width; ++i) {
      const uint64_t kind = rng() % 3;  // full-range, small negative and small positive values
      data[i] = kind == 0 ? static_cast<int64_t>(rng()) : kind == 1 ? -int64_t(rng() % 100) : int64_t(rng() % 100);
    }
    std::vector<int64_t> hashes = toLongs(t.hashKeys(keys));
    for (int64_t i = 0; i < c.rows; ++i) {
      std::vector<int64_t> key(data + i * c.width, data + (i + 1) * c.width);
      ASSERT_EQ(static_cast<uint64_t>(hashes[static_cast<size_t>(i)]), refHash(key, seed))
          << "width " << c.width << " row " << i;
    }
    // A small batch hashes whole rows at once and must agree with the chunked result.
    std::vector<int64_t> few = toLongs(t.hashKeys(keys.narrow(0, 0, 5)));
    EXPECT_EQ(few, std::vector<int64_t>(hashes.begin(), hashes.begin() + 5));
  }
}

TEST(GpuClosedTable, KeyDtypesAreHashedByValue) {
  c10::InferenceMode guard;
  for (c10::ScalarType key_dtype : {at::kByte, at::kInt}) {
    GpuClosedTable t = makeTable(4, 8, "python_dict", false, key_dtype, at::kDouble);
    at::Tensor keys = longKeys({{0, 255, 17, 3}, {1, 2, 3, 4}});
    EXPECT_EQ(toLongs(t.hashKeys(t.normalizeKeys(keys))), toLongs(t.hashKeys(keys)));
    EXPECT_EQ(t.normalizeKeys(keys).scalar_type(), key_dtype);
    const uint64_t seed = static_cast<uint64_t>(t.seed().item<int64_t>());
    EXPECT_EQ(static_cast<uint64_t>(toLongs(t.hashKeys(keys))[0]), refHash({0, 255, 17, 3}, seed));
    t.insertOrImprove(keys, doubles({0.25, 1e300}));
    EXPECT_EQ(t.keys().scalar_type(), key_dtype);
    EXPECT_EQ(t.costs().scalar_type(), at::kDouble);
    EXPECT_EQ(lookup(t, keys).second, (std::vector<double>{0.25, 1e300}));
  }
}

TEST(GpuClosedTable, KeyShapes) {
  c10::InferenceMode guard;
  GpuClosedTable t = makeTable(3);
  // One row given as a vector behaves like a batch of one.
  EXPECT_EQ(toBools(t.insertOrImprove(longs({1, 2, 3}), at::tensor({4.0}))), std::vector<bool>{true});
  EXPECT_EQ(toBools(t.insertOrImprove(longKeys({{1, 2, 3}}), at::tensor({4.0}))), std::vector<bool>{false});
  EXPECT_EQ(toBools(t.insertOrImprove(longs({1, 2, 3}), at::tensor(3.0))), std::vector<bool>{true});
  EXPECT_EQ(t.size(), 1);

  const std::string shape = "Keys must have shape (B, key_width)";
  const std::vector<std::pair<at::Tensor, std::string>> bad = {
      {at::zeros({4}, at::kLong), "Key width mismatch"},
      {at::zeros({2}, at::kLong), "Key width mismatch"},
      {at::zeros({2, 4}, at::kLong), shape},
      {at::zeros({0, 2}, at::kLong), shape},
      {at::zeros({1, 1, 3}, at::kLong), shape},
      {at::zeros({}, at::kLong), shape},
      {at::Tensor(), shape},
  };
  for (const auto& [keys, message] : bad) {
    EXPECT_EQ(errorMessage<std::invalid_argument>([&] { t.normalizeKeys(keys); }), message);
    EXPECT_EQ(errorMessage<std::invalid_argument>([&] { t.insertOrImprove(keys, at::zeros({1})); }), message);
  }
  EXPECT_THROW(t.insertOrImprove(longKeys({{1, 1, 1}, {2, 2, 2}}), at::zeros({3})), std::invalid_argument);

  GpuClosedTable::InsertResult empty = t.insertOrImproveWithEntries(at::zeros({0, 3}, at::kLong), at::zeros({0}));
  EXPECT_EQ(empty.flags.numel(), 0);
  EXPECT_EQ(empty.flags.scalar_type(), at::kBool);
  EXPECT_EQ(empty.entries.numel(), 0);
  EXPECT_EQ(t.size(), 1);
}

TEST(GpuClosedTable, DirectInsertionSequence) {
  c10::InferenceMode guard;
  for (const auto& algorithm : kAlgorithms) {
    GpuClosedTable t = makeTable(2, 8, algorithm);
    at::Tensor start = t.normalizeKeys(longs({4, 4}));
    t.ensureSlotCapacity(t.filledSlots() + 1);
    at::Tensor hashes = t.hashKeys(start);
    GpuClosedTable::ProbeResult p = t.probe(start, hashes);
    EXPECT_EQ(toBools(p.found), std::vector<bool>{false});
    EXPECT_EQ(toLongs(p.entry), std::vector<int64_t>{-1});
    EXPECT_GE(toLongs(p.slot)[0], 0);
    at::Tensor ids = t.upsertEntries(start, at::tensor({0.0}), hashes, p.found, p.slot, p.entry);
    EXPECT_EQ(toLongs(ids), std::vector<int64_t>{0});
    EXPECT_EQ(toBools(t.insertOrImprove(start, at::tensor({1.0}))), std::vector<bool>{false});
    GpuClosedTable::ProbeResult again = t.probe(start, hashes);
    EXPECT_EQ(toBools(again.found), std::vector<bool>{true});
    EXPECT_EQ(toLongs(again.slot), toLongs(p.slot));
    // Inserting a key that is already stored is refused without touching the slots.
    const Snapshot before(t);
    EXPECT_THROW(t.upsertEntries(start, at::tensor({0.0}), hashes, at::zeros({1}, at::kBool), p.slot, p.entry),
                 std::invalid_argument);
    EXPECT_TRUE(Snapshot(t) == before);
  }
}

// With a tiny table python_dict can keep revisiting full slots while its
// perturbation is non-zero. This hash starts at slot 0 and, with 3 bits of
// mask, adds 1 + 7 at every step, so it never leaves slot 0.
TEST(GpuClosedTable, PythonDictPlacementWithoutFreeSlot) {
  c10::InferenceMode guard;
  uint64_t stuck = 0;
  for (int n = 1; n <= 12; ++n) stuck |= uint64_t{7} << (5 * n);
  {
    uint64_t slot = stuck & 7, perturb = stuck;
    for (int step = 0; step < 8; ++step) {
      ASSERT_EQ(slot, 0u);
      perturb >>= 5;
      slot = (5 * slot + 1 + perturb) & 7;
    }
  }
  const at::Tensor k0 = longKeys({{10}}), k1 = longKeys({{11}});
  const at::Tensor h0 = longs({0}), h1 = longs({static_cast<int64_t>(stuck)});
  for (bool fixed : {true, false}) {
    GpuClosedTable t = makeTable(1, 8, "python_dict", fixed);
    t.upsertEntries(k0, at::tensor({1.0}), h0, at::zeros({1}, at::kBool), longs({-1}),
                    longs({-1}));
    ASSERT_EQ(toLongs(t.slots())[0], 0);

    GpuClosedTable::ProbeResult p = t.probe(k1, h1);
    EXPECT_EQ(toLongs(p.slot), std::vector<int64_t>{-1});
    EXPECT_EQ(toLongs(p.entry), std::vector<int64_t>{-1});
    EXPECT_EQ(toBools(p.found), std::vector<bool>{false});

    if (fixed) {
      const Snapshot before(t);
      const std::string message = errorMessage<std::runtime_error>(
          [&] { t.upsertEntries(k1, at::tensor({2.0}), h1, p.found, p.slot, p.entry); });
      EXPECT_EQ(message.rfind("fixed CLOSED capacity exhausted at capacity=8", 0), 0u) << message;
      EXPECT_TRUE(Snapshot(t) == before);
    } else {
      EXPECT_EQ(toLongs(t.upsertEntries(k1, at::tensor({2.0}), h1, p.found, p.slot, p.entry)),
                std::vector<int64_t>{1});
      EXPECT_EQ(t.capacity(), 16);
      EXPECT_EQ(t.size(), 2);
      EXPECT_EQ(t.filledSlots(), 2);
      EXPECT_EQ(toLongs(t.probe(k0, h0).entry), std::vector<int64_t>{0});
      EXPECT_EQ(toLongs(t.probe(k1, h1).entry), std::vector<int64_t>{1});
      std::vector<int64_t> slots = toLongs(t.slots());
      EXPECT_EQ(std::count(slots.begin(), slots.end(), -1), 14);
    }
  }
}

}  // namespace
}  // namespace quelmar
