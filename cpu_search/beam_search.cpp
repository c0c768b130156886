#include "cpu_search/beam_search.h"

#include <omp.h>

#include <algorithm>
#include <numeric>
#include <span>
#include <stdexcept>
#include <utility>

#include "config/search_modes.h"
#include "config/settings_table.h"
#include "cpu_search/closed_state_table.h"
#include "cpu_search/engine_parts.h"
#include "cpu_search/node_store.h"
#include "cpu_search/path_reconstruction.h"
#include "cpu_search/search_node.h"
#include "cpu_search/search_start.h"
#include "cpu_search/sharded_closed.h"
#include "cpu_search/search_threads.h"
#include "heuristic/aoti_heuristic_runner.h"
#include "profiling/phase_recorder.h"
#include "profiling/profiler.h"
#include "profiling/python_output.h"
#include "profiling/search_engine.h"
#include "profiling/search_report.h"

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
  const AOTIManifest& manifest_;
  std::unique_ptr<Environment> start_;
  AOTIHeuristicRunner runner_;
  Profiler profiler_;
  PhaseRecorder phases_;
  ShardedClosed<Node> closed_;
  TimePoint search_start_;

  SearchResult result_;
  SearchProgress progress_;
  Node* goal_ = nullptr;
  int64_t steps_ = 0;
  std::vector<Node*> beam_;

  // Per-step buffers, kept across steps to reuse their memory.
  std::vector<std::vector<std::unique_ptr<Environment>>> successors_;
  std::vector<size_t> child_offset_;
  std::vector<Node> children_;
  std::vector<Node*> accepted_;
  std::vector<float> scratch_;
  std::vector<std::vector<float>> inputs_;
  std::vector<float> heuristics_;
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
      manifest_(checkedManifest(manifest, start.get())),
      start_(std::move(start)),
      runner_(manifest, settings.device),
      profiler_(profilingOptionsWithRunId(settings,
                                          settings::searchRunId(settings::Solver::kBeam).data())),
      phases_(settings, [this] { runner_.synchronize(); }, profiler_),
      closed_(modes_.probing, static_cast<size_t>(std::max(omp_get_max_threads(), 1)), kClosedSlots,
              kStoreChunk, false),
      progress_(0),
      scratch_(totalInputElements(manifest)),
      inputs_(manifest.inputs.size()) {
  search_start_ = SystemClock::now();
}

SearchStatus BeamSearch::initialize() {
  Node start;
  start.own(std::move(start_));
  Node* node = closed_.storeStart(std::move(start));
  closed_.closeStart(node);
  bool is_goal = false;
  const double seconds = phases_.time("beam.is_solved", [&] { is_goal = node->environment->is_solved(); });
  if (settings_.operation_breakdown) {
    IterationTimings timings;
    timings.is_solved = {seconds, seconds, 0.0, 1};
    addIterationTimings(result_, timings);
  }
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
  heuristics_.clear();
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
  seconds.heuristic = phases_.time("beam.heuristic", [&] {
    phases_.time("beam.write_inputs",
                 [&] { writeNodeInputs<Node>(accepted_, manifest_.inputs, inputs_, scratch_); });
    seconds.infer = phases_.time("beam.heuristic_infer",
                                 [&] { heuristics_ = runner_.infer(inputs_, accepted_.size()); });
    if (heuristics_.size() != accepted_.size())
      throw std::runtime_error("Heuristic returned a wrong number of values");
  });
  for (size_t a = 0; a < accepted_.size(); ++a) accepted_[a]->heuristic = heuristics_[a];
}

// The beam_width survivors with the lowest heuristic, best first; equal
// heuristics keep child order, so the beam is the same on any thread count.
void BeamSearch::selectBeam() {
  order_.resize(accepted_.size());
  std::iota(order_.begin(), order_.end(), size_t{0});
  const size_t keep = std::min(order_.size(), static_cast<size_t>(settings_.beam_width));
  std::partial_sort(order_.begin(), order_.begin() + static_cast<std::ptrdiff_t>(keep), order_.end(),
                    [&](size_t a, size_t b) {
                      return heuristics_[a] != heuristics_[b] ? heuristics_[a] < heuristics_[b] : a < b;
                    });
  beam_.resize(keep);
  for (size_t i = 0; i < keep; ++i) beam_[i] = accepted_[order_[i]];
}

// Adds one step into the breakdown and prints its lines. Keeping the beam
// counts as the push entry; nothing is popped.
void BeamSearch::recordStep(const Seconds& s) {
  if (settings_.operation_breakdown) {
    IterationTimings t;
    t.expand = {s.expand + s.build, s.expand, s.build, 1};
    t.is_solved = {s.is_solved, s.is_solved, 0.0, children_.empty() ? 0u : 1u};
    t.check = {s.check, s.check, 0.0, 1};
    t.heuristic = {s.heuristic, s.infer, clampedDifference(s.heuristic, s.infer), s.scored ? 1u : 0u};
    t.push = {s.select, s.select, 0.0, goal_ == nullptr ? 1u : 0u};
    t.iteration = {s.iteration, s.iteration, 0.0, 1};
    addIterationTimings(result_, t);
  }
  if (settings_.print_internals) {
    std::vector<double> depths;
    for (const Node* node : accepted_) depths.push_back(static_cast<double>(node->depth));
    writeStdout(iterationHeuristicLine(progress_.iteration(), heuristics_, depths));
    writeStdout(iterationTimesLine({0.0, s.expand, s.is_solved, s.check, s.infer, s.select, s.iteration}));
  }
}

SearchResult BeamSearch::finish() {
  if (progress_.solved()) {
    result_.moves = reconstructPath(goal_, modes_.move_source, closed_.storedNodes());
  }
  return finishSearch(std::move(result_), progress_, beam_.empty(), search_start_, profiler_,
                      "beam.total", settings_.operation_breakdown, settings_.verbose);
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
