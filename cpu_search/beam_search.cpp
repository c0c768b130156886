#include "cpu_search/beam_search.h"

#include <omp.h>

#include <algorithm>
#include <numeric>
#include <span>
#include <stdexcept>
#include <string>
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
//
// Over a Q-network the same steps score the beam's states instead of the
// children: one row per state prices all its moves, and a child is ranked by
// its parent's Q for its move. With Q(s, a) = cost + h(child) it keeps the
// very children the value beam keeps.
class BeamSearch {
 public:
  using Node = SearchNode<float, float>;
  using Context = CpuSearchContext<Node>;

  BeamSearch(std::unique_ptr<Environment> start, const AOTIManifest& manifest,
             const BeamSearchSettings& settings, Context::Head head);

  SearchStatus initialize();
  SearchStatus step();
  SearchResult finish();

 private:
  struct Seconds {
    double expand = 0, build = 0, is_solved = 0, check = 0, heuristic = 0, infer = 0, select = 0;
    double iteration = 0;
    bool scored = false;
  };
  // The engine's own phases, "<prefix>.<phase>".
  struct PhaseNames {
    explicit PhaseNames(const std::string& prefix)
        : expand(prefix + ".expand"), is_solved(prefix + ".is_solved"),
          closed_filter(prefix + ".closed_filter"), select(prefix + ".select"),
          iteration(prefix + ".iteration") {}
    std::string expand, is_solved, closed_filter, select, iteration;
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
  const Context::Head head_;
  const PhaseNames names_;
  Context context_;
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
  std::vector<size_t> accepted_parent_;  // beam index of each accepted child's parent
  std::vector<float> values_;            // each accepted child's rank: h, or its parent's Q
  std::vector<size_t> order_;
};

// Beam states hold whole children lists: a first chunk of this many nodes
// per shard spares the first steps most of their reallocations.
constexpr int64_t kStoreChunk = 4096;
constexpr uint64_t kClosedSlots = 8192;

BeamSearch::BeamSearch(std::unique_ptr<Environment> start, const AOTIManifest& manifest,
                       const BeamSearchSettings& settings, Context::Head head)
    : settings_(settings),
      modes_(parseBeamSearchModes(settings)),
      head_(head),
      names_(head == Context::Head::kQ ? "qbeam" : "beam"),
      // The budget is counted in steps (checkSteps), not in generated nodes.
      context_(std::move(start), manifest, settings,
               head == Context::Head::kQ ? "cpp_qbeam" : "cpp_beam",
               head == Context::Head::kQ ? "qbeam" : "beam", 0, head),
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
  const double seconds =
      phases_.time(names_.is_solved.c_str(), [&] { is_goal = node->environment->is_solved(); });
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
  seconds.expand = phases_.time(names_.expand.c_str(), [&] { expandParents<Node>(beam_, successors_); });
  const TimePoint build_start = phases_.start();
  buildChildren<Node>(beam_, successors_, child_offset_, children_);
  seconds.build = phases_.elapsed(build_start);
  seconds.is_solved = phases_.time(names_.is_solved.c_str(), [&] { closed_.flagAndHash(children_); });
  seconds.check = phases_.time(names_.closed_filter.c_str(), [&] { filterThroughClosed(); });
  progress_.addGenerated(children_.size());
  // The first goal in child order; a duplicate of it came earlier and survived.
  for (size_t j = 0; j < children_.size() && goal_ == nullptr; ++j) {
    if (closed_.goals()[j] && closed_.survivors()[j] != nullptr) {
      goal_ = closed_.survivors()[j];
      progress_.goalFound();
    }
  }
  values_.clear();
  if (goal_ == nullptr) {
    if (!accepted_.empty()) score(seconds);
    seconds.select = phases_.time(names_.select.c_str(), [&] { selectBeam(); });
  }
  seconds.iteration = phases_(names_.iteration.c_str(), begin);
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
  accepted_parent_.clear();
  const std::vector<Node*>& survivors = closed_.survivors();
  for (size_t p = 0, j = 0; j < survivors.size(); ++j) {
    while (j >= child_offset_[p + 1]) ++p;
    if (survivors[j] == nullptr) continue;
    accepted_.push_back(survivors[j]);
    accepted_parent_.push_back(p);
  }
}

// One network call: for the survivors (h of each), or over a Q-network for
// the beam's states (each survivor takes its parent's Q for its move).
void BeamSearch::score(Seconds& seconds) {
  seconds.scored = true;
  ScoreSeconds scored;
  if (head_ == Context::Head::kValue) {
    values_ = context_.score(accepted_, scored);
  } else {
    const std::vector<float>& q = context_.score(beam_, scored);
    const size_t moves = context_.columns();
    values_.resize(accepted_.size());
    for (size_t a = 0; a < accepted_.size(); ++a) {
      const auto move = static_cast<size_t>(accepted_[a]->parent_move);
      if (move >= moves)
        throw std::runtime_error("Environment expand() gave more successors than num_moves()");
      values_[a] = q[accepted_parent_[a] * moves + move];
    }
  }
  seconds.heuristic = scored.heuristic;
  seconds.infer = scored.infer;
  for (size_t a = 0; a < accepted_.size(); ++a) accepted_[a]->heuristic = values_[a];
}

// The beam_width survivors with the lowest heuristic, best first; equal
// heuristics keep child order, so the beam is the same on any thread count.
void BeamSearch::selectBeam() {
  const std::vector<float>& heuristics = values_;
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
    writeStdout(iterationHeuristicLine(progress_.iteration(), values_, depths));
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
  return runSearch<BeamSearch>(std::move(start), manifest, settings, BeamSearch::Context::Head::kValue);
}

SearchResult qBeamSearch(std::unique_ptr<Environment> start, const AOTIManifest& manifest,
                         const BeamSearchSettings& settings) {
  const ScopedSearchThreads threads;
  return runSearch<BeamSearch>(std::move(start), manifest, settings, BeamSearch::Context::Head::kQ);
}

SearchResult run_beam_search(const std::vector<uint8_t>& state, const std::string& env,
                             const std::string& package_path, const BeamSearchSettings& settings) {
  SearchStart start = openSearchStart(state, env, package_path, "C++ beam search");
  return beamSearch(std::move(start.environment), start.manifest, settings);
}

SearchResult run_q_beam_search(const std::vector<uint8_t>& state, const std::string& env,
                               const std::string& package_path, const BeamSearchSettings& settings) {
  SearchStart start = openSearchStart(state, env, package_path, "C++ Q-beam search");
  return qBeamSearch(std::move(start.environment), start.manifest, settings);
}

}  // namespace quelmar
