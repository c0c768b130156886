#include "cpu_search/beam_search.h"

#include <omp.h>

#include <algorithm>
#include <numeric>
#include <span>
#include <stdexcept>
#include <utility>

#include "config/search_modes.h"
#include "cpu_search/closed_state_table.h"
#include "cpu_search/engine_parts.h"
#include "cpu_search/node_store.h"
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

// initialize() goal-tests the start; each step() is one beam step: expand
// the beam in parallel, build, goal-test and hash the children in parallel,
// filter them through CLOSED, then either stop at the first goal child or
// score the survivors with one network call and keep the best. finish()
// reconstructs the path and builds the result.
//
// CLOSED and the node store are split into one shard per thread by state
// hash, as in the weighted A* engine (cpu_search/sharded_closed.h), so the
// first of equal children survives whatever the thread count. Every
// surviving child stays in CLOSED and the store (its parent links give the
// path), kept in the beam or not.
class BeamSearch {
 public:
  using Node = SearchNode<float, float>;

  BeamSearch(std::unique_ptr<Environment> start, const AOTIManifest& manifest,
             const BeamSearchSettings& settings);

  SearchStatus initialize();
  SearchStatus step();
  SearchResult finish();

 private:
  struct Seconds {
    double expand = 0, build = 0, is_solved = 0, check = 0, heuristic = 0, infer = 0, select = 0;
    double iteration = 0;
    bool scored = false;
  };

  void filterThroughClosed();
  void score(Seconds& seconds);
  void selectBeam();
  void recordStep(const Seconds& seconds);
  // Ends the step count: a search with states left but no steps fails on its budget.
  void checkSteps() {
    if (!progress_.solved() && !beam_.empty() && steps_ >= settings_.max_steps)
      progress_.exceedBudget();
  }
  SearchStatus status() const { return progress_.status(beam_.empty()); }

  const BeamSearchSettings& settings_;
  const SearchModes modes_;
  CpuSearchContext<Node> context_;
  const PhaseRecorder& phases_;
  SearchProgress& progress_;
  ShardedClosed<Node> closed_;
  Node* goal_ = nullptr;
  int64_t steps_ = 0;
  std::vector<Node*> beam_;

  // Per-step buffers, kept across steps to reuse their memory.
  std::vector<std::vector<std::unique_ptr<Environment>>> successors_;
  std::vector<size_t> child_offset_;
  std::vector<Node> children_;
  std::vector<Node*> accepted_;
  std::vector<size_t> order_;
};

// Beam states hold whole children lists: a first chunk of this many nodes
// per shard spares the first steps most of their reallocations.
constexpr int64_t kStoreChunk = 4096;
constexpr uint64_t kClosedSlots = 8192;

BeamSearch::BeamSearch(std::unique_ptr<Environment> start, const AOTIManifest& manifest,
                       const BeamSearchSettings& settings)
    : settings_(settings),
      modes_(parseBeamSearchModes(settings)),
      // The budget is counted in steps (checkSteps), not in generated nodes.
      context_(std::move(start), manifest, settings, "cpp_beam", "beam", 0),
      phases_(context_.phases()),
      progress_(context_.progress()),
      closed_(modes_.probing, static_cast<size_t>(std::max(omp_get_max_threads(), 1)), kClosedSlots,
              kStoreChunk, false) {
  context_.startClock();
}

SearchStatus BeamSearch::initialize() {
  Node start;
  start.own(context_.takeStart());
  Node* node = closed_.storeStart(std::move(start));
  closed_.closeStart(node);
  bool is_goal = false;
  const double seconds = phases_.time("beam.is_solved", [&] { is_goal = node->environment->is_solved(); });
  context_.addTimings({{Operation::kIsSolved, {seconds, seconds, 0.0, 1}}});
  beam_.assign(1, node);
  if (is_goal) {
    goal_ = node;
    progress_.goalFound();
  }
  checkSteps();
  return status();
}

SearchStatus BeamSearch::step() {
  refreshSearchThreads();
  Seconds seconds;
  const TimePoint begin = phases_.start();
  seconds.expand = phases_.time("beam.expand", [&] { expandParents<Node>(beam_, successors_); });
  const TimePoint build_start = phases_.start();
  buildChildren<Node>(beam_, successors_, child_offset_, children_);
  seconds.build = phases_.elapsed(build_start);
  seconds.is_solved = phases_.time("beam.is_solved", [&] { closed_.flagAndHash(children_); });
  seconds.check = phases_.time("beam.closed_filter", [&] { filterThroughClosed(); });
  progress_.addGenerated(children_.size());
  // The first goal in child order; a duplicate of it came earlier and survived.
  for (size_t j = 0; j < children_.size() && goal_ == nullptr; ++j) {
    if (closed_.goals()[j] && closed_.survivors()[j] != nullptr) {
      goal_ = closed_.survivors()[j];
      progress_.goalFound();
    }
  }
  context_.clearOutputs();
  if (goal_ == nullptr) {
    if (!accepted_.empty()) score(seconds);
    seconds.select = phases_.time("beam.select", [&] { selectBeam(); });
  }
  seconds.iteration = phases_("beam.iteration", begin);
  recordStep(seconds);
  // Children that CLOSED rejected die here, with their environments.
  children_.clear();
  ++steps_;
  progress_.nextIteration();
  checkSteps();
  return status();
}

// New states survive, in child order; every other child is a duplicate.
void BeamSearch::filterThroughClosed() {
  closed_.filter(children_, [](Node&, Node* existing, auto store) -> Node* {
    return existing != nullptr ? nullptr : store();
  });
  accepted_.clear();
  for (Node* node : closed_.survivors())
    if (node != nullptr) accepted_.push_back(node);
}

// One network call for the survivors.
void BeamSearch::score(Seconds& seconds) {
  seconds.scored = true;
  ScoreSeconds scored;
  const std::vector<float>& heuristics = context_.score(accepted_, scored);
  seconds.heuristic = scored.heuristic;
  seconds.infer = scored.infer;
  for (size_t a = 0; a < accepted_.size(); ++a) accepted_[a]->heuristic = heuristics[a];
}

// The beam_width survivors with the lowest heuristic, best first; equal
// heuristics keep child order, so the beam is the same on any thread count.
void BeamSearch::selectBeam() {
  const std::vector<float>& heuristics = context_.outputs();
  order_.resize(accepted_.size());
  std::iota(order_.begin(), order_.end(), size_t{0});
  const size_t keep = std::min(order_.size(), static_cast<size_t>(settings_.beam_width));
  std::partial_sort(order_.begin(), order_.begin() + static_cast<std::ptrdiff_t>(keep), order_.end(),
                    [&](size_t a, size_t b) {
                      return heuristics[a] != heuristics[b] ? heuristics[a] < heuristics[b] : a < b;
                    });
  beam_.resize(keep);
  for (size_t i = 0; i < keep; ++i) beam_[i] = accepted_[order_[i]];
}

// Adds one step into the breakdown and prints its lines. Keeping the beam
// counts as the push entry; nothing is popped.
void BeamSearch::recordStep(const Seconds& s) {
  context_.addTimings(
      {{Operation::kExpand, {s.expand + s.build, s.expand, s.build, 1}},
       {Operation::kIsSolved, {s.is_solved, s.is_solved, 0.0, children_.empty() ? 0u : 1u}},
       {Operation::kCheck, {s.check, s.check, 0.0, 1}},
       {Operation::kHeuristic,
        {s.heuristic, s.infer, clampedDifference(s.heuristic, s.infer), s.scored ? 1u : 0u}},
       {Operation::kPush, {s.select, s.select, 0.0, goal_ == nullptr ? 1u : 0u}},
       {Operation::kIteration, {s.iteration, s.iteration, 0.0, 1}}});
  if (settings_.print_internals) {
    std::vector<double> depths;
    for (const Node* node : accepted_) depths.push_back(static_cast<double>(node->depth));
    writeStdout(iterationHeuristicLine(progress_.iteration(), context_.outputs(), depths));
    writeStdout(iterationTimesLine({0.0, s.expand, s.is_solved, s.check, s.infer, s.select, s.iteration}));
  }
}

SearchResult BeamSearch::finish() {
  return context_.finish(goal_, modes_.move_source, closed_.storedNodes(), beam_.empty());
}

}  // namespace

SearchResult beamSearch(std::unique_ptr<Environment> start, const AOTIManifest& manifest,
                        const BeamSearchSettings& settings) {
  const ScopedSearchThreads threads;
  return runSearch<BeamSearch>(std::move(start), manifest, settings);
}

SearchResult run_beam_search(const std::vector<uint8_t>& state, const std::string& env,
                             const std::string& package_path, const BeamSearchSettings& settings) {
  SearchStart start = openSearchStart(state, env, package_path, "C++ beam search");
  return beamSearch(std::move(start.environment), start.manifest, settings);
}

}  // namespace quelmar
