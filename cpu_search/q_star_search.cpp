#include "cpu_search/q_star_search.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>

#include "config/search_modes.h"
#include "config/validation.h"
#include "cpu_search/engine_parts.h"
#include "cpu_search/open_queue.h"
#include "cpu_search/parallel_for.h"
#include "cpu_search/search_context.h"
#include "cpu_search/search_node.h"
#include "cpu_search/search_start.h"
#include "cpu_search/search_threads.h"
#include "cpu_search/sharded_closed.h"
#include "profiling/phase_recorder.h"
#include "profiling/python_output.h"
#include "profiling/search_report.h"
#include "search/engine.h"

namespace quelmar {
namespace {

class QStarSearch {
 public:
  using Node = SearchNode<float, float>;
  using Context = CpuSearchContext<Node>;

  QStarSearch(std::unique_ptr<Environment> start, const AOTIManifest& manifest,
              const SolverSettings& settings);

  SearchStatus initialize();
  SearchStatus step();
  SearchResult finish();

 private:
  // An OPEN entry: the move `move` of the stored state `node`.
  struct MoveEntry {
    Node* node;
    int32_t move;
  };
  struct Seconds {
    double pop = 0, expand = 0, is_solved = 0, check = 0, heuristic = 0, infer = 0, push = 0;
    double iteration = 0;
    bool scored = false;
  };

  void makeChildren();
  void filterThroughClosed();
  // Scores `nodes` with one call and pushes an entry per move of each.
  void scoreAndPush(std::span<Node* const> nodes, Seconds& seconds);
  void recordIteration(const Seconds& seconds, bool reached_push);
  SearchStatus status() const { return progress_.status(open_.empty()); }

  const SolverSettings& settings_;
  const SearchModes modes_;
  Context context_;
  const PhaseRecorder& phases_;
  SearchProgress& progress_;
  KeyedHeap<float, MoveEntry> open_;
  ShardedClosed<Node> closed_;
  const size_t k_max_;
  Node* goal_ = nullptr;

  // Per-step buffers, kept across steps to reuse their memory.
  std::vector<MoveEntry> popped_;
  std::vector<Node> children_;
  std::vector<Node*> accepted_;
  std::vector<float> keys_;
};

QStarSearch::QStarSearch(std::unique_ptr<Environment> start, const AOTIManifest& manifest,
                         const SolverSettings& settings)
    : settings_(settings),
      modes_(parseSearchModes(settings)),
      context_(std::move(start), manifest, settings, "cpp_qstar", "qstar", settings.search_budget,
               Context::Head::kQ),
      phases_(context_.phases()),
      progress_(context_.progress()),
      open_(capacityHintOrDefault(settings.initial_open_size, 1024, "initial_open_size"),
            modes_.fixedCapacity()),
      closed_(makeSearchClosed<Node>(
          modes_,
          capacityHintOrDefault(settings.initial_closed_size, defaultClosedCapacity(settings),
                                "initial_closed_size"),
          capacityHintOrDefault(settings.initial_node_store_size, 1024, "initial_node_store_size"))),
      k_max_(settings.batch_size > 0 ? static_cast<size_t>(settings.batch_size) : 1) {
  context_.startClock();
}

// Goal-tests the start; scores it and pushes its moves unless it is a goal.
SearchStatus QStarSearch::initialize() {
  Node start;
  start.own(context_.takeStart());
  Node* node = closed_.storeStart(std::move(start));
  closed_.closeStart(node);
  bool is_goal = false;
  const double goal_test = phases_.time("qstar.is_solved", [&] { is_goal = node->environment->is_solved(); });
  context_.addTimings({{Operation::kIsSolved, {goal_test, goal_test, 0.0, 1}}});
  if (is_goal) {
    goal_ = node;
    progress_.goalFound();
    return status();
  }
  Seconds seconds;
  Node* const batch[] = {node};
  scoreAndPush(batch, seconds);
  context_.addTimings({{Operation::kHeuristic,
                        {seconds.heuristic, seconds.infer,
                         clampedDifference(seconds.heuristic, seconds.infer), 1}}});
  return status();
}

SearchStatus QStarSearch::step() {
  refreshSearchThreads();
  Seconds seconds;
  const TimePoint begin = phases_.start();
  seconds.pop = phases_.time("qstar.pop_from_open", [&] {
    popped_.clear();
    const size_t k = std::min(k_max_, open_.size());
    for (size_t i = 0; i < k; ++i) popped_.push_back(open_.pop());
  });
  if (popped_.empty()) {
    seconds.iteration = phases_("qstar.iteration", begin);
    recordIteration(seconds, false);
    return status();
  }
  seconds.expand = phases_.time("qstar.expand", [&] { makeChildren(); });
  seconds.is_solved = phases_.time("qstar.is_solved", [&] { closed_.flagAndHash(children_); });
  seconds.check = phases_.time("qstar.closed_filter", [&] { filterThroughClosed(); });
  context_.clearOutputs();
  if (!accepted_.empty()) scoreAndPush(accepted_, seconds);
  seconds.iteration = phases_("qstar.iteration", begin);
  recordIteration(seconds, true);
  progress_.addGenerated(children_.size());
  progress_.checkBudget();
  // Children that CLOSED rejected die here, with their environments.
  children_.clear();
  progress_.nextIteration();
  return status();
}

// The children of the popped entries, in pop order.
void QStarSearch::makeChildren() {
  children_.clear();
  children_.resize(popped_.size());
  parallelForStatic(popped_.size(), [&](size_t i) {
    const MoveEntry entry = popped_[i];
    std::unique_ptr<Environment> state = entry.node->environment->next_state(entry.move);
    if (!state)
      throw std::runtime_error("Environment next_state() returned null for move " +
                               std::to_string(entry.move));
    Node& child = children_[i];
    child.own(std::move(state));
    child.depth = entry.node->depth + 1;
    child.parent_move = entry.move;
    child.parent = entry.node;
  });
}

// New states and strictly shallower duplicates survive, in pop order, as in
// the weighted A* engine. The first surviving goal ends the search after this
// step; with stop_before_goal nothing of the step is scored.
void QStarSearch::filterThroughClosed() {
  closed_.filter(children_, [&](Node& child, Node* existing, auto store) {
    return keepNewOrShallower(child, existing, store, modes_.inPlace());
  });
  accepted_.clear();
  const std::vector<Node*>& survivors = closed_.survivors();
  for (size_t j = 0; j < children_.size(); ++j) {
    Node* survivor = survivors[j];
    if (survivor == nullptr) continue;
    if (closed_.goals()[j]) {
      if (goal_ == nullptr) {
        goal_ = survivor;
        progress_.goalFound();
      }
      if (modes_.stopBeforeGoal()) break;
      continue;  // a goal's moves are never needed
    }
    accepted_.push_back(survivor);
  }
  if (goal_ != nullptr && modes_.stopBeforeGoal()) accepted_.clear();
}

void QStarSearch::scoreAndPush(std::span<Node* const> nodes, Seconds& seconds) {
  seconds.scored = true;
  ScoreSeconds scored;
  const std::vector<float>& q = context_.score(nodes, scored);
  seconds.heuristic = scored.heuristic;
  seconds.infer = scored.infer;
  const size_t moves = context_.columns();
  seconds.push = phases_.time("qstar.add_to_open", [&] {
    keys_.resize(q.size());
    const float weight = settings_.weight;
    parallelForStatic(nodes.size(), [&](size_t a) {
      // The child's f in weighted A* with the child's h = Q(s, a) - 1.
      const float g = static_cast<float>(nodes[a]->depth + 1);
      for (size_t m = 0; m < moves; ++m) keys_[a * moves + m] = std::fma(weight, g, q[a * moves + m] - 1.0f);
    });
    for (size_t a = 0; a < nodes.size(); ++a) {
      nodes[a]->heuristic = *std::min_element(q.begin() + static_cast<std::ptrdiff_t>(a * moves),
                                              q.begin() + static_cast<std::ptrdiff_t>((a + 1) * moves));
      for (size_t m = 0; m < moves; ++m)
        open_.push(keys_[a * moves + m], {nodes[a], static_cast<int32_t>(m)});
    }
  });
}

void QStarSearch::recordIteration(const Seconds& s, bool reached_push) {
  const OperationSample pop = {s.pop, s.pop, 0.0, 1};
  const OperationSample iteration = {s.iteration, s.iteration, 0.0, 1};
  if (!reached_push) {
    context_.addTimings({{Operation::kPop, pop}, {Operation::kIteration, iteration}});
    return;
  }
  context_.addTimings(
      {{Operation::kPop, pop},
       {Operation::kExpand, {s.expand, s.expand, 0.0, 1}},
       {Operation::kIsSolved, {s.is_solved, s.is_solved, 0.0, children_.empty() ? 0u : 1u}},
       {Operation::kCheck, {s.check, s.check, 0.0, 1}},
       {Operation::kHeuristic,
        {s.heuristic, s.infer, clampedDifference(s.heuristic, s.infer), s.scored ? 1u : 0u}},
       {Operation::kPush, {s.push, s.push, 0.0, s.scored ? 1u : 0u}},
       {Operation::kIteration, iteration}});
  if (settings_.print_internals) {
    std::vector<float> values;
    std::vector<double> depths;
    for (const Node* node : accepted_) {
      values.push_back(node->heuristic);
      depths.push_back(static_cast<double>(node->depth));
    }
    writeStdout(iterationHeuristicLine(progress_.iteration(), values, depths));
    writeStdout(iterationTimesLine({s.pop, s.expand, s.is_solved, s.check, s.infer, s.push, s.iteration}));
  }
}

SearchResult QStarSearch::finish() {
  return context_.finish(goal_, modes_.move_source, closed_.storedNodes(), open_.empty());
}

}  // namespace

SearchResult qStarSearch(std::unique_ptr<Environment> start, const AOTIManifest& manifest,
                         const SolverSettings& settings) {
  validateMemoryDtypes(settings);
  const ScopedSearchThreads threads;
  return runSearch<QStarSearch>(std::move(start), manifest, settings);
}

SearchResult run_q_star_search(const std::vector<uint8_t>& state, const std::string& env,
                               const std::string& package_path, const SolverSettings& settings) {
  SearchStart start = openSearchStart(state, env, package_path, "C++ Q* search");
  return qStarSearch(std::move(start.environment), start.manifest, settings);
}

}  // namespace quelmar
