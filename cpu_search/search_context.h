#pragma once
// What every CPU engine holds and does the same way, written once: the start
// environment until it becomes the first node, the network runner, the
// profiler and the phase timer, where the search stands, the result being
// filled and the clock; scoring a batch of nodes with one network call, and
// the end of a search. Each engine keeps its own containers and names its
// own phases ("<prefix>.<phase>"); the context names those it times itself.

#include <algorithm>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "config/search_modes.h"
#include "config/search_result.h"
#include "cpu_search/engine_parts.h"
#include "cpu_search/path_reconstruction.h"
#include "cpu_search/search_start.h"
#include "environments/environment.h"
#include "heuristic/aoti_heuristic_runner.h"
#include "heuristic/aoti_manifest.h"
#include "profiling/phase_recorder.h"
#include "profiling/profiler.h"
#include "search/engine.h"

namespace quelmar {

// Seconds of one network call: the whole call, and the package run inside it.
struct ScoreSeconds {
  double heuristic = 0, infer = 0;
};

template <typename Node>
class CpuSearchContext {
 public:
  // What the network gives per state: one value (h), or one per move (a
  // Q-network: the cost of the move plus the cost to go from its child).
  enum class Head { kValue, kQ };

  // Checks the manifest against the start, builds the runner on the
  // settings' device and the profiler (run id `run_id` when the settings
  // name none); throws what those throw. `prefix` names the phases
  // ("<prefix>.heuristic", ...); `budget` is the generated-node cap (0: none).
  template <typename Settings>
  CpuSearchContext(std::unique_ptr<Environment> start, const AOTIManifest& manifest,
                   const Settings& settings, const char* run_id, const std::string& prefix,
                   int64_t budget, Head head = Head::kValue)
      : manifest_(checkedManifest(manifest, start.get())),
        start_(std::move(start)),
        columns_(head == Head::kQ ? static_cast<size_t>(std::max(start_->num_moves(), 0)) : 1),
        runner_(makeRunner(manifest, settings.device, head, columns_)),
        profiler_(profilingOptionsWithRunId(settings, run_id)),
        phases_(settings, [this] { runner_.synchronize(); }, profiler_),
        progress_(budget),
        breakdown_(settings.operation_breakdown),
        verbose_(settings.verbose),
        heuristic_phase_(prefix + ".heuristic"),
        write_phase_(prefix + ".write_inputs"),
        infer_phase_(prefix + ".heuristic_infer"),
        total_phase_(prefix + ".total"),
        scratch_(totalInputElements(manifest)),
        inputs_(manifest.inputs.size()) {
    warnIfBfloat16Emulated(manifest, runner_.device().is_cpu());
  }

  CpuSearchContext(const CpuSearchContext&) = delete;
  CpuSearchContext& operator=(const CpuSearchContext&) = delete;

  // The search's solve time counts from here (the engine's containers built).
  void startClock() { start_time_ = SystemClock::now(); }
  // The start environment, once: it becomes the engine's first node.
  std::unique_ptr<Environment> takeStart() { return std::move(start_); }

  const PhaseRecorder& phases() const { return phases_; }
  Profiler& profiler() { return profiler_; }
  SearchProgress& progress() { return progress_; }
  const SearchProgress& progress() const { return progress_; }

  // Outputs per node: 1, or the start's move count for a Q-network.
  size_t columns() const { return columns_; }

  // One network call for `nodes`: their input rows, then the package; the
  // outputs, columns() per node, in node order. Throws when the package
  // returns another count (or what writing the inputs and the runner throw).
  const std::vector<float>& score(std::span<Node* const> nodes, ScoreSeconds& seconds) {
    seconds.heuristic = phases_.time(heuristic_phase_.c_str(), [&] {
      phases_.time(write_phase_.c_str(),
                   [&] { writeNodeInputs<Node>(nodes, manifest_.inputs, inputs_, scratch_); });
      seconds.infer = phases_.time(infer_phase_.c_str(),
                                   [&] { outputs_ = runner_.infer(inputs_, nodes.size()); });
      if (outputs_.size() != nodes.size() * columns_)
        throw std::runtime_error("Heuristic returned a wrong number of values");
    });
    return outputs_;
  }
  // The outputs of the last score() (empty before any).
  const std::vector<float>& outputs() const { return outputs_; }
  void clearOutputs() { outputs_.clear(); }

  // Adds what an iteration measured into the result's entries, when the
  // settings ask for the breakdown.
  void addTimings(std::initializer_list<std::pair<Operation, OperationSample>> samples) {
    if (breakdown_) addOperationTimings(result_, samples);
  }

  // Ends the search: the path from the start to `goal` when solved (moves by
  // `source`), then counters, flags, solve time, the total phase and the
  // profiler's files. `frontier_empty`: nothing was left to search.
  SearchResult finish(const Node* goal, MoveSource source, size_t stored_nodes,
                      bool frontier_empty) {
    if (progress_.solved()) result_.moves = reconstructPath(goal, source, stored_nodes);
    return finishSearch(std::move(result_), progress_, frontier_empty, start_time_, profiler_,
                        total_phase_.c_str(), breakdown_, verbose_);
  }

 private:
  static AOTIHeuristicRunner makeRunner(const AOTIManifest& manifest, const std::string& device,
                                        Head head, size_t columns) {
    if (head == Head::kValue) return AOTIHeuristicRunner(manifest, device);
    return AOTIHeuristicRunner(manifest, device, columns);
  }

  const AOTIManifest& manifest_;
  std::unique_ptr<Environment> start_;
  const size_t columns_;
  AOTIHeuristicRunner runner_;
  Profiler profiler_;
  PhaseRecorder phases_;
  SearchProgress progress_;
  SearchResult result_;
  TimePoint start_time_ = SystemClock::now();
  const bool breakdown_;
  const bool verbose_;
  const std::string heuristic_phase_, write_phase_, infer_phase_, total_phase_;

  // Kept across calls to reuse their memory.
  std::vector<float> scratch_;
  std::vector<std::vector<float>> inputs_;
  std::vector<float> outputs_;
};

}  // namespace quelmar
