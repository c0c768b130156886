// OPEN queue, CLOSED table, node store and path reconstruction of the CPU search.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "cpu_search/closed_state_table.h"
#include "cpu_search/node_store.h"
#include "cpu_search/open_queue.h"
#include "cpu_search/path_reconstruction.h"
#include "cpu_search/search_node.h"

namespace quelmar {
namespace {

using Node = SearchNode<float, float>;

// A line of states with moves +1, -1 and +1 again (move 2 duplicates move 0).
class LineEnvironment : public Environment {
 public:
  explicit LineEnvironment(std::vector<uint8_t> bytes, bool lying = false)
      : bytes_(std::move(bytes)), lying_(lying) {}
  std::unique_ptr<Environment> next_state(int move) const override {
    int delta = move == 1 ? -1 : 1;
    if (lying_) delta = 10;  // never the state expand() would give
    return std::make_unique<LineEnvironment>(
        std::vector<uint8_t>{static_cast<uint8_t>(bytes_[0] + delta)}, lying_);
  }
  std::vector<std::unique_ptr<Environment>> expand() const override {
    std::vector<std::unique_ptr<Environment>> out;
    for (int m = 0; m < 3; ++m) out.push_back(next_state(m));
    return out;
  }
  const std::vector<uint8_t>& state_bytes() const override { return bytes_; }
  bool is_solved() const override { return bytes_[0] == 9; }
  int num_moves() const override { return 3; }
  size_t input_size() const override { return 1; }
  void write_inputs(float* dst) const override { dst[0] = bytes_[0]; }

 private:
  std::vector<uint8_t> bytes_;
  bool lying_;
};

using Bytes = std::vector<uint8_t>;

std::unique_ptr<Node> makeNode(std::vector<uint8_t> state, float cost = 0, int32_t depth = 0) {
  auto node = std::make_unique<Node>();
  node->own(std::make_unique<LineEnvironment>(std::move(state)));
  node->open_cost = cost;
  node->depth = depth;
  return node;
}

template <typename F>
std::string runtimeErrorMessage(F&& f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "<no std::runtime_error>";
}

// The queue must order ties exactly as std::push_heap/std::pop_heap do.
TEST(OpenQueue, MatchesStandardHeapOrderIncludingTies) {
  std::mt19937 rng(7);
  std::vector<std::unique_ptr<Node>> nodes;
  for (int i = 0; i < 300; ++i) nodes.push_back(makeNode({}, static_cast<float>(rng() % 5)));

  OpenQueue<Node> queue(4, false);
  std::vector<Node*> reference;
  const auto cmp = [](const Node* a, const Node* b) { return a->open_cost > b->open_cost; };
  std::vector<Node*> ours, theirs;
  for (size_t i = 0; i < nodes.size(); ++i) {
    queue.push(nodes[i].get());
    reference.push_back(nodes[i].get());
    std::push_heap(reference.begin(), reference.end(), cmp);
    if (i % 3 == 2) {  // interleave pops with pushes
      ours.push_back(queue.pop());
      std::pop_heap(reference.begin(), reference.end(), cmp);
      theirs.push_back(reference.back());
      reference.pop_back();
    }
  }
  while (!queue.empty()) {
    ours.push_back(queue.pop());
    std::pop_heap(reference.begin(), reference.end(), cmp);
    theirs.push_back(reference.back());
    reference.pop_back();
  }
  EXPECT_EQ(ours, theirs);
}

// Duplicate updates lower a node's key while it stands in the heap and push
// it again: every other node must still come out in key order.
TEST(OpenQueue, KeysLoweredInPlaceDoNotHideOtherNodes) {
  std::mt19937 rng(11);
  std::vector<std::unique_ptr<Node>> nodes;
  OpenQueue<Node> queue(0, false);
  for (int i = 0; i < 400; ++i) {
    nodes.push_back(makeNode({}, static_cast<float>(rng() % 1000)));
    queue.push(nodes.back().get());
  }
  std::vector<const Node*> updated;
  for (int i = 0; i < 400; i += 7) {
    nodes[i]->open_cost -= 500;
    queue.push(nodes[i].get());
    updated.push_back(nodes[i].get());
  }
  float previous = -1e9f;
  size_t popped = 0;
  while (!queue.empty()) {
    const Node* node = queue.pop();
    ++popped;
    const bool is_updated = std::find(updated.begin(), updated.end(), node) != updated.end();
    if (is_updated && node->open_cost < previous) continue;  // the old entry of an updated node
    EXPECT_GE(node->open_cost, previous);
    previous = node->open_cost;
  }
  EXPECT_EQ(popped, 400u + updated.size());
}

TEST(OpenQueue, FixedCapacity) {
  auto a = makeNode({1}), b = makeNode({2});
  OpenQueue<Node> queue(1, true);
  queue.push(a.get());
  EXPECT_EQ(runtimeErrorMessage([&] { queue.push(b.get()); }), "C++ OPEN queue reached fixed capacity");
  queue.pop();
  EXPECT_NO_THROW(queue.push(b.get()));

  OpenQueue<Node> adaptive(1, false);
  adaptive.push(a.get());
  EXPECT_NO_THROW(adaptive.push(b.get()));
}

TEST(NodeStore, FixedCapacity) {
  NodeStore<Node> store(1, true);
  store.append(std::move(*makeNode({1})));
  EXPECT_EQ(runtimeErrorMessage([&] { store.append(std::move(*makeNode({2}))); }),
            "C++ node store reached fixed capacity");
  NodeStore<Node> adaptive(1, false);
  adaptive.append(std::move(*makeNode({1})));
  adaptive.append(std::move(*makeNode({2})));
  EXPECT_EQ(adaptive.size(), 2u);
}

TEST(ClosedStateTable, HashFormula) {
  EXPECT_EQ(hashStateBytes(Bytes{}), 0u);
  // One byte by hand: h = 1; h ^= b + golden + (1 << 6) + (1 >> 2).
  const uint64_t one = 1ull ^ (7 + 0x9e3779b97f4a7c15ull + 64 + 0);
  EXPECT_EQ(hashStateBytes(Bytes{7}), one);
  uint64_t two = 2;  // h starts at the length
  two ^= (7 + 0x9e3779b97f4a7c15ull + (two << 6) + (two >> 2));
  two ^= (200 + 0x9e3779b97f4a7c15ull + (two << 6) + (two >> 2));
  EXPECT_EQ(hashStateBytes(Bytes{7, 200}), two);
}

TEST(ClosedStateTable, ProbeSequences) {
  ProbeSequence linear(7, 7, false);
  linear.next();
  EXPECT_EQ(linear.slot(), 0u);  // wraps from the last slot to slot 0

  const uint64_t h = 0xDEADBEEFCAFEF00Dull, mask = 1023;
  ProbeSequence dict(h, mask, true);
  const uint64_t first = h & mask;
  EXPECT_EQ(dict.slot(), first);
  dict.next();
  EXPECT_EQ(dict.slot(), (5 * first + (h >> 5) + 1) & mask);
  dict.next();
  EXPECT_EQ(dict.slot(), (5 * ((5 * first + (h >> 5) + 1) & mask) + (h >> 10) + 1) & mask);
}

TEST(ClosedStateTable, SizingAndGrowthAtTwoThirds) {
  for (const char* algorithm : {"linear_probing", "python_dict"}) {
    ClosedStateTable<Node> table(algorithm, 1024, false);
    EXPECT_EQ(table.slotCount(), 1024u);
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
  EXPECT_EQ(ClosedStateTable<Node>("linear_probing", 0, false).slotCount(), 1u);
  EXPECT_EQ(ClosedStateTable<Node>("linear_probing", 1000, false).slotCount(), 1024u);
  EXPECT_THROW(ClosedStateTable<Node>("Linear_Probing", 8, false), std::invalid_argument);
}

TEST(ClosedStateTable, GrowingTableFromOneSlotNeverCallsItselfFull) {
  // Perturbed probes revisit slots in small tables; a growing table must
  // grow when they meet no empty slot, not report "full". Many small tables,
  // since only the first few doublings are at risk.
  uint64_t x = 88172645463325252ull;
  for (const char* algorithm : {"linear_probing", "python_dict"}) {
    for (int table_index = 0; table_index < 300; ++table_index) {
      ClosedStateTable<Node> table(algorithm, 1, false);
      std::vector<std::unique_ptr<Node>> nodes;
      for (int i = 0; i < 40; ++i) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;  // xorshift: varied 9-byte states
        std::vector<uint8_t> state(9);
        for (int b = 0; b < 8; ++b) state[b] = static_cast<uint8_t>(x >> (8 * b));
        state[8] = static_cast<uint8_t>(i);
        nodes.push_back(makeNode(state));
        ASSERT_NO_THROW(table.insert(nodes.back().get())) << algorithm << " table " << table_index;
      }
      for (auto& node : nodes) ASSERT_EQ(table.find(node->state), node.get()) << algorithm;
      EXPECT_EQ(table.count(), nodes.size());
    }
  }
}

TEST(ClosedStateTable, FixedModeAndOverwrites) {
  auto a = makeNode({1}), b = makeNode({2}), a2 = makeNode({1});
  ClosedStateTable<Node> one_slot("python_dict", 1, true);
  EXPECT_EQ(runtimeErrorMessage([&] { one_slot.insert(a.get()); }),
            "C++ CLOSED state table reached fixed capacity");
  EXPECT_EQ(one_slot.find(Bytes{1}), a.get());  // the node that failed stays stored

  ClosedStateTable<Node> table("linear_probing", 8, true);
  table.insert(a.get());
  table.insert(b.get());
  table.insert(a2.get());  // same state: overwrites, count unchanged
  EXPECT_EQ(table.count(), 2u);
  EXPECT_EQ(table.find(Bytes{1}), a2.get());

  // Empty states and states that differ only in length.
  auto empty = makeNode({}), empty2 = makeNode({}), zero = makeNode({0}), zeros = makeNode({0, 0});
  ClosedStateTable<Node> t2("python_dict", 16, false);
  t2.insert(empty.get());
  t2.insert(zero.get());
  t2.insert(zeros.get());
  EXPECT_EQ(t2.find(Bytes{}), empty.get());
  t2.insert(empty2.get());
  EXPECT_EQ(t2.find(Bytes{}), empty2.get());
  EXPECT_EQ(t2.find(Bytes{0}), zero.get());
  EXPECT_EQ(t2.find(Bytes{0, 0}), zeros.get());
  EXPECT_EQ(t2.count(), 3u);
}

TEST(PathReconstruction, StoredInferredAndFailures) {
  NodeStore<Node> store(0, false);
  Node* start = store.append(std::move(*makeNode({3})));
  EXPECT_TRUE(reconstructPath<Node>(nullptr, "stored").empty());
  EXPECT_TRUE(reconstructPath(start, "infer").empty());

  Node* parent = start;
  // Moves 2, 0, 1: 3 -> 4 -> 5 -> 4
  for (int32_t move : {2, 0, 1}) {
    auto child = makeNode({static_cast<uint8_t>(parent->state[0] + (move == 1 ? -1 : 1))});
    child->parent = parent;
    child->parent_move = move;
    parent = store.append(std::move(*child));
  }
  EXPECT_EQ(reconstructPath(parent, "stored"), (std::vector<int32_t>{2, 0, 1}));
  // Inference reports the lowest move that reaches the same state.
  EXPECT_EQ(reconstructPath(parent, "infer"), (std::vector<int32_t>{0, 0, 1}));

  start->own(std::make_unique<LineEnvironment>(Bytes{3}, /*lying=*/true));
  EXPECT_EQ(runtimeErrorMessage([&] { reconstructPath(parent, "infer"); }),
            "Unable to infer a valid move between adjacent C++ path states");

  // Parent links that loop are reported instead of walked forever.
  start->parent = parent;
  EXPECT_THROW(reconstructPath(parent, "stored", store.size()), std::runtime_error);
}

}  // namespace
}  // namespace quelmar
