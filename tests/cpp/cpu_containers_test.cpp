// OPEN queue, CLOSED table, node store and path reconstruction of the CPU search.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "cpu_search/closed_state_table.h"
#include "cpu_search/node_store.h"
#include "cpu_search/open_queue.h"
#include "cpu_search/path_reconstruction.h"
#include "cpu_search/search_node.h"
#include "test_support.h"

namespace quelmar {
namespace {

using Node = SearchNode<float, float>;
using Bytes = std::vector<uint8_t>;
using testing_support::messageOf;

// A line of states with moves +1, -1 and +1 again (move 2 duplicates move 0).
class LineEnvironment : public Environment {
 public:
  explicit LineEnvironment(Bytes bytes, bool lying = false) : bytes_(std::move(bytes)), lying_(lying) {}
  std::unique_ptr<Environment> next_state(int move) const override {
    const int delta = lying_ ? 10 : move == 1 ? -1 : 1;  // a liar never gives what expand() gives
    return std::make_unique<LineEnvironment>(Bytes{static_cast<uint8_t>(bytes_[0] + delta)}, lying_);
  }
  std::vector<std::unique_ptr<Environment>> expand() const override {
    std::vector<std::unique_ptr<Environment>> out;
    for (int m = 0; m < 3; ++m) out.push_back(next_state(m));
    return out;
  }
  const Bytes& state_bytes() const override { return bytes_; }
  bool is_solved() const override { return bytes_[0] == 9; }
  int num_moves() const override { return 3; }
  size_t input_size() const override { return 1; }
  void write_inputs(float* dst) const override { dst[0] = bytes_[0]; }

 private:
  Bytes bytes_;
  bool lying_;
};

std::unique_ptr<Node> makeNode(Bytes state, float cost = 0) {
  auto node = std::make_unique<Node>();
  node->own(std::make_unique<LineEnvironment>(std::move(state)));
  node->open_cost = cost;
  return node;
}

// Catches: ties popped in another order than std::push_heap/std::pop_heap
// give, with pops interleaved with pushes.
TEST(OpenQueue, MatchesStandardHeapOrderIncludingTies) {
  std::mt19937 rng(7);
  std::vector<std::unique_ptr<Node>> nodes;
  for (int i = 0; i < 300; ++i) nodes.push_back(makeNode({}, static_cast<float>(rng() % 5)));
  OpenQueue<Node> queue(4, false);
  std::vector<Node*> reference, ours, theirs;
  const auto cmp = [](const Node* a, const Node* b) { return a->open_cost > b->open_cost; };
  const auto popBoth = [&] {
    ours.push_back(queue.pop());
    std::pop_heap(reference.begin(), reference.end(), cmp);
    theirs.push_back(reference.back());
    reference.pop_back();
  };
  for (size_t i = 0; i < nodes.size(); ++i) {
    queue.push(nodes[i].get());
    reference.push_back(nodes[i].get());
    std::push_heap(reference.begin(), reference.end(), cmp);
    if (i % 3 == 2) popBoth();
  }
  while (!queue.empty()) popBoth();
  EXPECT_EQ(ours, theirs);
}

// Catches: a key lowered while its node stands in the heap (a duplicate
// update) that hides other nodes and breaks the pop order.
TEST(OpenQueue, KeysLoweredInPlaceDoNotHideOtherNodes) {
  std::mt19937 rng(11);
  std::vector<std::unique_ptr<Node>> nodes;
  OpenQueue<Node> queue(0, false);
  for (int i = 0; i < 400; ++i) {
    nodes.push_back(makeNode({}, static_cast<float>(rng() % 1000)));
    queue.push(nodes.back().get());
  }
  std::set<const Node*> updated;
  for (int i = 0; i < 400; i += 7) {
    nodes[i]->open_cost -= 500;
    queue.push(nodes[i].get());
    updated.insert(nodes[i].get());
  }
  float previous = -1e9f;
  size_t popped = 0;
  for (; !queue.empty(); ++popped) {
    const Node* node = queue.pop();
    if (updated.count(node) && node->open_cost < previous) continue;  // the old entry of an updated node
    EXPECT_GE(node->open_cost, previous);
    previous = node->open_cost;
  }
  EXPECT_EQ(popped, 400u + updated.size());
}

// Catches: a fixed OPEN that grows or refuses too early, and a full queue that
// stays full after a pop. (Adaptive growth runs in every search of the solver
// table; the node store's fixed capacity is in tests/python/test_solvers.py.)
TEST(CpuContainers, FixedOpenCapacity) {
  auto a = makeNode({1}), b = makeNode({2});
  OpenQueue<Node> queue(1, true);
  queue.push(a.get());
  EXPECT_EQ(messageOf<std::runtime_error>([&] { queue.push(b.get()); }), "C++ OPEN queue reached fixed capacity");
  queue.pop();
  EXPECT_NO_THROW(queue.push(b.get()));
}

// Catches: a probe sequence that does not reach every slot (a growing table
// would then call itself full, a lookup could miss), and a state hash whose
// low bits, which pick the first slot, are not spread.
TEST(ClosedStateTable, ProbesReachEverySlotAndHashesSpread) {
  for (const bool python_dict : {false, true}) {
    for (const uint64_t hash : {uint64_t{7}, uint64_t{0xDEADBEEFCAFEF00Dull}, ~uint64_t{0}}) {
      ProbeSequence probe(hash, 1023, python_dict);
      std::set<uint64_t> seen = {probe.slot()};
      for (int step = 0; step < 2048; ++step, probe.next()) seen.insert(probe.slot());
      EXPECT_EQ(seen.size(), 1024u) << python_dict << " " << hash;
    }
  }
  std::vector<int> buckets(1024);
  for (int a = 0; a < 256; ++a)
    for (int b = 0; b < 256; ++b) ++buckets[hashStateBytes(Bytes{uint8_t(a), uint8_t(b)}) & 1023];
  EXPECT_GE(*std::min_element(buckets.begin(), buckets.end()), 32);  // 64 on average
  EXPECT_LE(*std::max_element(buckets.begin(), buckets.end()), 128);
}

// Catches: growth before or after the 2/3 load mark, a slot count that is not
// the next power of two, nodes lost in a rehash.
TEST(ClosedStateTable, SizingAndGrowthAtTwoThirds) {
  for (const ClosedProbing algorithm : {ClosedProbing::kLinearProbing, ClosedProbing::kPythonDict}) {
    ClosedStateTable<Node> table(algorithm, 1024, false);
    std::vector<std::unique_ptr<Node>> nodes;
    for (int i = 0; i < 683; ++i) {
      nodes.push_back(makeNode({static_cast<uint8_t>(i & 255), static_cast<uint8_t>(i >> 8)}));
      table.insert(nodes.back().get());
      EXPECT_EQ(table.slotCount(), i < 682 ? 1024u : 2048u) << i;
    }
    for (auto& node : nodes) EXPECT_EQ(table.find(node->state), node.get());
    EXPECT_EQ(table.find(Bytes{1, 2, 3}), nullptr);
    EXPECT_EQ(table.count(), 683u);
  }
  EXPECT_EQ(ClosedStateTable<Node>(ClosedProbing::kLinearProbing, 0, false).slotCount(), 1u);
  EXPECT_EQ(ClosedStateTable<Node>(ClosedProbing::kLinearProbing, 1000, false).slotCount(), 1024u);
}

// Catches: a growing table that calls itself full when perturbed probes in a
// small table meet no empty slot. Many small tables, since only the first few
// doublings are at risk.
TEST(ClosedStateTable, GrowingTableFromOneSlotNeverCallsItselfFull) {
  uint64_t x = 88172645463325252ull;
  for (const ClosedProbing algorithm : {ClosedProbing::kLinearProbing, ClosedProbing::kPythonDict}) {
    for (int table_index = 0; table_index < 300; ++table_index) {
      ClosedStateTable<Node> table(algorithm, 1, false);
      std::vector<std::unique_ptr<Node>> nodes;
      for (int i = 0; i < 40; ++i) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;  // xorshift: varied 9-byte states
        Bytes state(9, static_cast<uint8_t>(i));
        for (int b = 0; b < 8; ++b) state[b] = static_cast<uint8_t>(x >> (8 * b));
        nodes.push_back(makeNode(state));
        ASSERT_NO_THROW(table.insert(nodes.back().get())) << static_cast<int>(algorithm) << " table " << table_index;
      }
      for (auto& node : nodes) ASSERT_EQ(table.find(node->state), node.get()) << static_cast<int>(algorithm);
    }
  }
}

// Catches: a fixed table that drops the node it could not fit, an equal state
// stored twice instead of replaced, and states told apart only by length confused.
TEST(ClosedStateTable, FixedModeAndOverwrites) {
  auto a = makeNode({1}), b = makeNode({2}), a2 = makeNode({1});
  ClosedStateTable<Node> one_slot(ClosedProbing::kPythonDict, 1, true);
  EXPECT_EQ(messageOf<std::runtime_error>([&] { one_slot.insert(a.get()); }),
            "C++ CLOSED state table reached fixed capacity");
  EXPECT_EQ(one_slot.find(Bytes{1}), a.get());  // the node that failed stays stored
  ClosedStateTable<Node> table(ClosedProbing::kLinearProbing, 8, true);
  for (Node* node : {a.get(), b.get(), a2.get()}) table.insert(node);
  EXPECT_EQ(table.count(), 2u);
  EXPECT_EQ(table.find(Bytes{1}), a2.get());
  auto empty = makeNode({}), empty2 = makeNode({}), zero = makeNode({0}), zeros = makeNode({0, 0});
  ClosedStateTable<Node> t2(ClosedProbing::kPythonDict, 16, false);
  for (Node* node : {empty.get(), zero.get(), zeros.get(), empty2.get()}) t2.insert(node);
  EXPECT_EQ(t2.find(Bytes{}), empty2.get());
  EXPECT_EQ(t2.find(Bytes{0}), zero.get());
  EXPECT_EQ(t2.find(Bytes{0, 0}), zeros.get());
  EXPECT_EQ(t2.count(), 3u);
}

// Catches: stored moves returned out of order, inference that does not pick
// the lowest move reaching the same state, an environment whose moves cannot
// explain the path not reported, and a parent cycle walked forever.
TEST(PathReconstruction, StoredInferredAndFailures) {
  NodeStore<Node> store(0, false);
  Node* start = store.append(std::move(*makeNode({3})));
  EXPECT_TRUE(reconstructPath<Node>(nullptr, MoveSource::kStored).empty());
  EXPECT_TRUE(reconstructPath(start, MoveSource::kInfer).empty());
  Node* parent = start;
  for (int32_t move : {2, 0, 1}) {  // 3 -> 4 -> 5 -> 4
    auto child = makeNode({static_cast<uint8_t>(parent->state[0] + (move == 1 ? -1 : 1))});
    child->parent = parent;
    child->parent_move = move;
    parent = store.append(std::move(*child));
  }
  EXPECT_EQ(reconstructPath(parent, MoveSource::kStored), (std::vector<int32_t>{2, 0, 1}));
  EXPECT_EQ(reconstructPath(parent, MoveSource::kInfer), (std::vector<int32_t>{0, 0, 1}));
  start->own(std::make_unique<LineEnvironment>(Bytes{3}, /*lying=*/true));
  EXPECT_EQ(messageOf<std::runtime_error>([&] { reconstructPath(parent, MoveSource::kInfer); }),
            "Unable to infer a valid move between adjacent C++ path states");
  start->parent = parent;
  EXPECT_THROW(reconstructPath(parent, MoveSource::kStored, store.size()), std::runtime_error);
}

}  // namespace
}  // namespace quelmar
