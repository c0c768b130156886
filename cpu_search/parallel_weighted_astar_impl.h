#pragma once
// The CPU search engine. Included only by the translation units that
// instantiate it for the storage widths.
//
// initialize() scores the start node; each step() is one batch iteration:
// pop a batch from OPEN and goal-test it, expand it in parallel, build and
// goal-test the children in parallel, filter them through CLOSED, score the
// accepted ones with one network call (f = weight*g + h), push them onto
// OPEN. finish() reconstructs the path and builds the result.
//
// CLOSED and the node store are split into one shard per thread by state
// hash (cpu_search/sharded_closed.h); fixed capacities keep one shard, so
// their limits apply to the whole search. OPEN is used by the calling thread
// only.

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "config/search_modes.h"
#include "config/validation.h"
#include "cpu_search/closed_state_table.h"
#include "cpu_search/engine_parts.h"
#include "cpu_search/node_store.h"
#include "cpu_search/open_queue.h"
#include "cpu_search/parallel_for.h"
#include "cpu_search/parallel_weighted_astar.h"
#include "cpu_search/search_context.h"
#include "cpu_search/search_node.h"
#include "cpu_search/search_threads.h"
#include "cpu_search/sharded_closed.h"
#include "profiling/phase_recorder.h"
#include "profiling/python_output.h"
#include "profiling/search_report.h"
#include "search/engine.h"

namespace quelmar {
namespace cpu_search_detail {

// Seconds of one iteration's phases, for the breakdown and the printed lines.
struct PhaseSeconds {
  double pop = 0, pop_goal_tests = 0, expand = 0, build = 0, child_goal_tests = 0, check = 0;
  double heuristic = 0, infer = 0, cost = 0, push = 0, iteration = 0;
  bool scored = false;
};

}  // namespace cpu_search_detail

template <typename Heuristic, typename TotalCost, typename OpenCost>
class ParallelWeightedAStar {
 public:
  using Node = SearchNode<OpenCost, Heuristic>;

  // Start-up checks and containers; throws what the validators, the runner,
  // the profiler and the capacity hints throw.
  ParallelWeightedAStar(std::unique_ptr<Environment> start, const AOTIManifest& manifest,
                        const SolverSettings& settings);

  // Goal-tests, scores and pushes the start node (also when it is a goal).
  SearchStatus initialize();
  // One batch iteration; kSearching while OPEN has work and no goal was popped.
  SearchStatus step();
  // Path, timings, report lines and profiler output; call once, after the last step.
  SearchResult finish();

 private:
  using Seconds = cpu_search_detail::PhaseSeconds;

  void popBatch(Seconds& seconds);
  void expandBatch();
  void buildChildren();
  void filterThroughClosed();
  void score(std::span<Node* const> nodes, std::span<const uint8_t> goal, Seconds& seconds);
  void recordIteration(const Seconds& seconds, bool reached_push);
  SearchStatus status() const { return progress_.status(open_.empty()); }

  const SolverSettings& settings_;
  const SearchModes modes_;
  CpuSearchContext<Node> context_;
  const PhaseRecorder& phases_;
  SearchProgress& progress_;
  const int64_t open_capacity_;
  const int64_t store_capacity_;
  const int64_t closed_capacity_;
  OpenQueue<Node> open_;
  ShardedClosed<Node> closed_;
  const size_t k_max_;
  Node* goal_ = nullptr;

  // Per-iteration buffers, kept across iterations to reuse their memory.
  std::vector<Node*> popped_;
  std::vector<std::vector<std::unique_ptr<Environment>>> successors_;
  std::vector<size_t> child_offset_;
  std::vector<Node> children_;
  std::vector<Node*> accepted_;
  std::vector<uint8_t> accepted_goal_;
  std::vector<OpenCost> costs_;
};

template <typename H, typename T, typename O>
ParallelWeightedAStar<H, T, O>::ParallelWeightedAStar(std::unique_ptr<Environment> start,
                                                      const AOTIManifest& manifest,
                                                      const SolverSettings& settings)
    : settings_(settings),
      modes_(parseSearchModes(settings)),
      context_(std::move(start), manifest, settings, "cpp_pwas", "pwas", settings.search_budget),
      phases_(context_.phases()),
      progress_(context_.progress()),
      open_capacity_(capacityHintOrDefault(settings.initial_open_size, 1024, "initial_open_size")),
      store_capacity_(
          capacityHintOrDefault(settings.initial_node_store_size, 1024, "initial_node_store_size")),
      closed_capacity_(capacityHintOrDefault(settings.initial_closed_size,
                                             defaultClosedCapacity(settings),
                                             "initial_closed_size")),
      open_(open_capacity_, modes_.fixedCapacity()),
      closed_(makeSearchClosed<Node>(modes_, closed_capacity_, store_capacity_)),
      k_max_(settings.batch_size > 0 ? static_cast<size_t>(settings.batch_size) : 1) {
  context_.startClock();
}

template <typename H, typename T, typename O>
SearchStatus ParallelWeightedAStar<H, T, O>::initialize() {
  Node start;
  start.own(context_.takeStart());
  Node* node = closed_.storeStart(std::move(start));
  uint8_t is_goal = 0;
  Seconds seconds;
  seconds.child_goal_tests =
      phases_.time("pwas.is_solved", [&] { is_goal = node->environment->is_solved(); });
  Node* const batch[] = {node};
  score(batch, std::span<const uint8_t>(&is_goal, 1), seconds);
  open_.push(node);
  closed_.closeStart(node);
  context_.addTimings(
      {{Operation::kIsSolved, {seconds.child_goal_tests, seconds.child_goal_tests, 0.0, 1}},
       {Operation::kHeuristic,
        {seconds.heuristic + seconds.cost, seconds.infer,
         clampedDifference(seconds.heuristic, seconds.infer) + seconds.cost, 1}}});
  // A start state that is a goal ends the search here, before any
  // iteration: this engine goal-tests the start node itself, while the
  // tensor engine finds the goal when it pops the start row.
  if (is_goal) {
    goal_ = node;
    progress_.goalFound();
  }
  return status();
}

template <typename H, typename T, typename O>
SearchStatus ParallelWeightedAStar<H, T, O>::step() {
  // The machine's load may have changed since the last batch.
  refreshSearchThreads();
  Seconds seconds;
  const TimePoint begin = phases_.start();
  seconds.pop = phases_.time("pwas.pop_from_open", [&] { popBatch(seconds); });
  if (popped_.empty()) {
    seconds.iteration = phases_("pwas.iteration", begin);
    recordIteration(seconds, false);
    return status();
  }
  seconds.expand = phases_.time("pwas.expand", [&] { expandBatch(); });
  const TimePoint build_start = phases_.start();
  buildChildren();
  seconds.build = phases_.elapsed(build_start);
  seconds.child_goal_tests = phases_.time("pwas.is_solved", [&] { closed_.flagAndHash(children_); });
  seconds.check = phases_.time("pwas.closed_filter", [&] { filterThroughClosed(); });
  context_.clearOutputs();
  if (!accepted_.empty()) score(accepted_, accepted_goal_, seconds);
  seconds.push = phases_.time("pwas.add_to_open", [&] {
    for (Node* node : accepted_) open_.push(node);
  });
  seconds.iteration = phases_("pwas.iteration", begin);
  recordIteration(seconds, true);

  progress_.addGenerated(children_.size());
  progress_.checkBudget();
  // Children that CLOSED rejected die here, with their environments.
  children_.clear();
  progress_.nextIteration();
  return status();
}

// Pops k nodes, then goal-tests each on this thread (each test timed on its
// own); a goal ends the search after this iteration.
template <typename H, typename T, typename O>
void ParallelWeightedAStar<H, T, O>::popBatch(Seconds& seconds) {
  const size_t k = std::min(k_max_, open_.size());
  popped_.clear();
  for (size_t i = 0; i < k; ++i) popped_.push_back(open_.pop());
  std::optional<size_t> first_goal;
  for (size_t i = 0; i < k; ++i) {
    Node* node = popped_[i];
    const TimePoint test_start = phases_.start();
    const bool is_goal = node->environment->is_solved();
    if (phases_.timing()) {
      const TimePoint test_end = SystemClock::now();
      seconds.pop_goal_tests += PhaseRecorder::secondsBetween(test_start, test_end);
      if (context_.profiler().active())
        context_.profiler().record_impl("pwas.is_solved", test_start, test_end);
    }
    if (!is_goal) continue;
    if (!first_goal) first_goal = i;
    if (goal_ == nullptr || node->open_cost < goal_->open_cost) goal_ = node;
    progress_.goalFound();
  }
  // The goal and what was popped after it are not expanded.
  if (modes_.stopBeforeGoal() && first_goal) popped_.resize(*first_goal);
}

template <typename H, typename T, typename O>
void ParallelWeightedAStar<H, T, O>::expandBatch() {
  expandParents<Node>(popped_, successors_);
}

// Children are numbered parent by parent in popped order, moves in order.
template <typename H, typename T, typename O>
void ParallelWeightedAStar<H, T, O>::buildChildren() {
  quelmar::buildChildren<Node>(popped_, successors_, child_offset_, children_);
}

// New states and strictly shallower duplicates survive, in child order.
template <typename H, typename T, typename O>
void ParallelWeightedAStar<H, T, O>::filterThroughClosed() {
  closed_.filter(children_, [&](Node& child, Node* existing, auto store) {
    return keepNewOrShallower(child, existing, store, modes_.inPlace());
  });
  accepted_.clear();
  accepted_goal_.clear();
  const std::vector<Node*>& survivors = closed_.survivors();
  for (size_t j = 0; j < children_.size(); ++j) {
    if (survivors[j] == nullptr) continue;
    accepted_.push_back(survivors[j]);
    accepted_goal_.push_back(closed_.goals()[j]);
  }
}

// One network call for `nodes`; f = weight * g + h with h = 0 for goals, one
// fused multiply-add in the total-cost width.
template <typename H, typename T, typename O>
void ParallelWeightedAStar<H, T, O>::score(std::span<Node* const> nodes,
                                           std::span<const uint8_t> goal, Seconds& seconds) {
  seconds.scored = true;
  ScoreSeconds scored;
  const std::vector<float>& heuristics = context_.score(nodes, scored);
  seconds.heuristic = scored.heuristic;
  seconds.infer = scored.infer;
  seconds.cost = phases_.time("pwas.cost", [&] {
    costs_.resize(nodes.size());
    const T weight = static_cast<T>(settings_.weight);
    parallelForStatic(nodes.size(), [&](size_t a) {
      const T g = static_cast<T>(nodes[a]->depth);
      const T h = goal[a] ? T(0) : static_cast<T>(heuristics[a]);
      costs_[a] = static_cast<O>(std::fma(weight, g, h));
    });
    for (size_t a = 0; a < nodes.size(); ++a) {
      nodes[a]->open_cost = costs_[a];
      nodes[a]->heuristic = static_cast<H>(heuristics[a]);
    }
  });
}

// Adds one iteration into the breakdown and prints its lines.
template <typename H, typename T, typename O>
void ParallelWeightedAStar<H, T, O>::recordIteration(const Seconds& s, bool reached_push) {
  const OperationSample pop = {s.pop, clampedDifference(s.pop, s.pop_goal_tests), s.pop_goal_tests, 1};
  const OperationSample iteration = {s.iteration, s.iteration, 0.0, 1};
  if (!reached_push) {
    context_.addTimings({{Operation::kPop, pop}, {Operation::kIteration, iteration}});
  } else {
    context_.addTimings(
        {{Operation::kPop, pop},
         {Operation::kExpand, {s.expand + s.build, s.expand, s.build, 1}},
         {Operation::kIsSolved,
          {s.child_goal_tests, s.child_goal_tests, 0.0, children_.empty() ? 0u : 1u}},
         {Operation::kCheck, {s.check, s.check, 0.0, 1}},
         {Operation::kHeuristic,
          {s.heuristic + s.cost, s.infer, clampedDifference(s.heuristic, s.infer) + s.cost,
           s.scored ? 1u : 0u}},
         {Operation::kPush, {s.push, s.push, 0.0, 1}},
         {Operation::kIteration, iteration}});
  }
  if (reached_push && settings_.print_internals) {
    std::vector<double> depths;
    for (const Node* node : accepted_) depths.push_back(static_cast<double>(node->depth));
    writeStdout(iterationHeuristicLine(progress_.iteration(), context_.outputs(), depths));
    writeStdout(iterationTimesLine({s.pop - s.pop_goal_tests, s.expand,
                                    s.child_goal_tests + s.pop_goal_tests, s.check, s.infer, s.push,
                                    s.iteration}));
  }
}

template <typename H, typename T, typename O>
SearchResult ParallelWeightedAStar<H, T, O>::finish() {
  return context_.finish(goal_, modes_.move_source, closed_.storedNodes(), open_.empty());
}

template <typename Heuristic, typename TotalCost, typename OpenCost>
SearchResult parallelWeightedAStarImpl(std::unique_ptr<Environment> start,
                                       const AOTIManifest& manifest,
                                       const SolverSettings& settings) {
  return runSearch<ParallelWeightedAStar<Heuristic, TotalCost, OpenCost>>(std::move(start),
                                                                          manifest, settings);
}

}  // namespace quelmar
