#include "gpu_search/tensor_weighted_astar.h"

#include <ATen/ATen.h>
#include <torch/csrc/inductor/aoti_package/model_package_loader.h>
#include <torch/cuda.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <tuple>
#include <utility>

#include "config/scalar_type.h"
#include "config/search_modes.h"
#include "config/validation.h"
#include "environments/registry.h"
#include "environments/torch_env.h"
#include "gpu_search/batch_minimum.h"
#include "gpu_search/closed_node_index.h"
#include "gpu_search/closed_state_table.h"
#include "gpu_search/node_store.h"
#include "gpu_search/open_queue.h"
#include "gpu_search/path_reconstruction.h"
#include "heuristic/aoti_heuristic_runner.h"
#include "heuristic/aoti_manifest.h"
#include "profiling/phase_recorder.h"
#include "profiling/profiler.h"
#include "search/engine.h"
#include "profiling/python_output.h"
#include "profiling/search_report.h"

namespace quelmar {
namespace {

struct Capacities {
  int64_t open, store, closed;
};

Capacities initialCapacities(const TorchAStarConfig& config, int64_t num_moves) {
  const int64_t batch = std::max<int64_t>(config.batch_size, 1);
  const int64_t work = num_moves > 0 ? std::max<int64_t>(batch * num_moves, 1024) : 1024;
  Capacities c{};
  c.open = config.initial_open_size > 0 ? config.initial_open_size : work;
  c.store = config.initial_node_store_size > 0 ? config.initial_node_store_size : work + 1;
  if (config.initial_closed_size > 0) {
    c.closed = config.initial_closed_size;
  } else if (config.initial_node_store_size > 0) {
    c.closed = closedSlotsForNodeStore(c.store, config.hash_capacity_factor);
  } else {
    c.closed = work;
  }
  return c;
}

int64_t networkBatchSize(const TorchAStarConfig& config, int64_t batch, int64_t num_moves) {
  int64_t n = config.nnet_batch_size > 0
                  ? config.nnet_batch_size
                  : static_cast<int64_t>(static_cast<int32_t>(batch * num_moves));
  return std::max<int64_t>(std::min<int64_t>(n, 4096), 1);
}

// f = weight * g + h * (not solved), evaluated in the total-cost type.
at::Tensor totalCost(const at::Tensor& g, const at::Tensor& h, const at::Tensor& solved,
                     float weight, c10::ScalarType type) {
  return (g.to(type) * static_cast<double>(weight) + h.to(type) * solved.logical_not().to(type))
      .to(type);
}

// Children of one iteration: their node rows (the heuristic and total cost
// are set once they are scored) and CLOSED entries, filtered together.
struct ChildBatch : NodeRows {
  at::Tensor entries;

  void select(const at::Tensor& positions) {
    NodeRows::operator=(NodeRows::select(positions));
    entries = entries.index_select(0, positions);
  }
};

// Seconds of one iteration's phases, for the breakdown and the printed lines.
struct PhaseSeconds {
  double pop = 0, pop_misc = 0, expand = 0, expand_misc = 0, is_solved = 0, check = 0,
         check_misc = 0, heuristic = 0, infer = 0, cost = 0, persist = 0, push = 0, iteration = 0;
  bool scored = false;
};

// Batched weighted A* whose every structure is a device tensor:
// initialize() scores the start row, each step() is one batch iteration,
// finish() reconstructs the path and builds the result.
class TensorAStarSearch {
 public:
  TensorAStarSearch(const std::vector<uint8_t>& state, const std::string& env_name,
                    const std::string& package_path, const TorchAStarConfig& config,
                    const c10::Device& device);

  SearchStatus initialize();
  SearchStatus step();
  SearchResult finish();

 private:
  at::TensorOptions on(c10::ScalarType type) const {
    return at::TensorOptions().device(device_).dtype(type);
  }
  // h and f = weight * g + h * (not solved) for `batch.states`, one network
  // call per chunk of at most the network batch size.
  std::pair<at::Tensor, at::Tensor> score(const ChildBatch& batch, PhaseSeconds& seconds);
  ChildBatch expandRows(const at::Tensor& rows, PhaseSeconds& seconds);
  void filterThroughClosed(ChildBatch& children, PhaseSeconds& seconds);
  at::Tensor persist(const ChildBatch& children, const at::Tensor& h, const at::Tensor& f,
                     at::Tensor& updated);
  void recordIteration(const PhaseSeconds& s, bool reached_push, const ChildBatch& survivors,
                       const at::Tensor& h);
  SearchStatus status() const { return progress_.status(open_.size() == 0); }

  const TorchAStarConfig& config_;
  const SearchModes modes_;
  const c10::Device device_;
  const AOTIManifest manifest_;
  const std::shared_ptr<torch::inductor::AOTIModelPackageLoader> package_;
  const TensorStorageTypes types_;
  std::unique_ptr<TorchEnv> env_;
  const std::vector<uint8_t>& start_state_;
  const std::string env_name_;
  const int64_t num_moves_, batch_, nnet_batch_;
  const Capacities caps_;
  TorchNodeStore store_;
  GpuClosedTable closed_;
  ClosedNodeIndex closed_node_index_;
  TorchOpenList open_;
  TimePoint search_start_;
  Profiler profiler_;
  PhaseRecorder phases_;

  SearchResult result_;
  SearchProgress progress_;
  int64_t best_goal_ = -1;
};

void checkCapacityHints(const TorchAStarConfig& config) {
  if (config.initial_open_size < 0 || config.initial_closed_size < 0 ||
      config.initial_node_store_size < 0)
    throw std::invalid_argument("initial OPEN, CLOSED, and node-store sizes must be non-negative");
}

std::unique_ptr<TorchEnv> makeEnvironment(const std::string& name, const c10::Device& device,
                                          size_t state_size, c10::ScalarType state_type) {
  std::unique_ptr<TorchEnv> env = make_torch_environment(name, device, static_cast<int>(state_size));
  env->state_dtype = state_type;
  return env;
}

TensorAStarSearch::TensorAStarSearch(const std::vector<uint8_t>& state,
                                     const std::string& env_name,
                                     const std::string& package_path,
                                     const TorchAStarConfig& config, const c10::Device& device)
    : config_(config),
      modes_(parseSearchModes(config)),
      device_(device),
      manifest_(loadAOTIManifest(package_path)),
      package_(loadModelPackage(manifest_.package_path, device)),
      // Checked once the package is loaded and before the environment is made.
      types_((checkCapacityHints(config), config)),
      env_(makeEnvironment(env_name, device, state.size(), types_.node_state)),
      start_state_(state),
      env_name_(env_name),
      num_moves_(env_->num_moves),
      batch_(std::max<int32_t>(config.batch_size, 1)),
      nnet_batch_(networkBatchSize(config, batch_, num_moves_)),
      caps_(initialCapacities(config, num_moves_)),
      store_(env_->state_dim, device, config, caps_.store, modes_.fixedCapacity()),
      closed_(env_->state_dim, device, types_.closed_key, types_.closed_cost, caps_.closed,
              modes_.probing, modes_.fixedCapacity()),
      closed_node_index_(modes_.inPlace(), caps_.closed, device, modes_.fixedCapacity()),
      open_(types_.open_index, types_.open_cost, device, modes_.fixedCapacity()),
      search_start_(SystemClock::now()),
      // A native caller's default run id; the Python function names its own.
      profiler_(profilingOptionsWithRunId(config, "cpp_torch_gpu_astar")),
      phases_(config,
              [device] {
                if (device.is_cuda()) torch::cuda::synchronize(device.index());
              },
              profiler_),
      progress_(config.search_budget) {}

SearchStatus TensorAStarSearch::initialize() {
  ChildBatch start;
  start.states = env_->encode_state(start_state_).view({1, -1});
  PhaseSeconds seconds;
  seconds.is_solved = phases_.time("torchgpu.is_solved", [&] { start.solved = env_->is_solved(start.states); });
  start.path_cost = at::zeros({1}, on(types_.path_cost));
  std::tie(start.heuristic, start.total_cost) = score(start, seconds);
  start.depth = at::zeros({1}, on(at::kLong));
  start.parent_index = at::full({1}, -1, on(types_.parent_index));
  start.parent_move = at::full({1}, -1, on(types_.parent_move));
  const at::Tensor row0 = store_.append(start);
  closed_.insertOrImprove(start.states, start.path_cost);
  if (modes_.inPlace()) closed_node_index_.map().narrow(0, 0, 1).copy_(row0);
  open_.initialize(row0, start.total_cost, caps_.open);
  if (config_.operation_breakdown) {
    const double misc = clampedDifference(seconds.heuristic, seconds.infer);
    addOperationTimings(result_,
                        {{Operation::kIsSolved, {seconds.is_solved, seconds.is_solved, 0.0, 1}},
                         {Operation::kHeuristic, {seconds.infer + misc, seconds.infer, misc, 1}}});
  }
  // The start row is not goal-tested here: a start state that is a goal is
  // found when the first iteration pops it (the CPU engine stops before).
  return status();
}

SearchStatus TensorAStarSearch::step() {
  PhaseSeconds seconds;
  const TimePoint begin = phases_.start();
  at::Tensor expand_rows;
  seconds.pop = phases_.time("torchgpu.pop_from_open", [&] {
    const at::Tensor popped = open_.pop_batch(std::min<int64_t>(open_.size(), batch_)).rows.to(at::kLong);
    const at::Tensor popped_goals = store_.solved().index_select(0, popped);
    expand_rows = popped;
    if (popped_goals.any().item<bool>()) {
      const int64_t first = popped_goals.nonzero().flatten()[0].item<int64_t>();
      best_goal_ = popped[first].item<int64_t>();
      progress_.goalFound();
      if (modes_.stopBeforeGoal()) expand_rows = popped.narrow(0, 0, first);
    }
  });
  if (expand_rows.size(0) == 0) {
    seconds.iteration = phases_("torchgpu.iteration", begin);
    recordIteration(seconds, false, {}, {});
    progress_.nextIteration();
    return status();
  }
  ChildBatch children = expandRows(expand_rows, seconds);
  progress_.addGenerated(static_cast<uint64_t>(children.states.size(0)));
  filterThroughClosed(children, seconds);

  at::Tensor h = at::empty({0}, on(types_.heuristic));
  at::Tensor f = at::empty({0}, on(types_.total_cost));
  if (children.states.size(0) > 0) std::tie(h, f) = score(children, seconds);
  at::Tensor updated;
  at::Tensor new_rows;
  seconds.persist = phases_.time("torchgpu.persist_children", [&] { new_rows = persist(children, h, f, updated); });
  seconds.push = phases_.time("torchgpu.add_to_open", [&] {
    // A row updated in place leaves OPEN before it comes back at its new cost.
    if (modes_.inPlace() && updated.defined() && updated.size(0) > 0 && open_.size() > 0) {
      const at::Tensor in_open = at::isin(open_.index().to(at::kLong), updated, /*assume_unique=*/true);
      if (in_open.any().item<bool>()) {
        const at::Tensor keep = in_open.logical_not();
        open_.replace(open_.index().index({keep}), open_.cost().index({keep}));
      }
    }
    open_.push(new_rows.to(types_.open_index), f);
  });
  seconds.iteration = phases_("torchgpu.iteration", begin);
  recordIteration(seconds, true, children, h);
  progress_.checkBudget();
  progress_.nextIteration();
  return status();
}

// Children of `rows`, parent by parent, moves in order, with their goal flags.
ChildBatch TensorAStarSearch::expandRows(const at::Tensor& rows, PhaseSeconds& seconds) {
  at::Tensor parent_states, parent_g, parent_depth;
  seconds.pop_misc = phases_.time("torchgpu.pop_misc", [&] {
    parent_states = store_.states().index_select(0, rows);
    parent_g = store_.path_cost().index_select(0, rows);
    parent_depth = store_.depth().index_select(0, rows);
  });
  TorchExpansion expansion;
  seconds.expand = phases_.time("torchgpu.expand", [&] { expansion = env_->expand(parent_states); });
  ChildBatch c;
  seconds.expand_misc = phases_.time("torchgpu.expand_misc", [&] {
    const int64_t parents = rows.size(0);
    // Width given explicitly: -1 cannot be inferred when num_moves is 0.
    c.states = expansion.children.reshape({parents * num_moves_, parent_states.size(1)})
                   .to(types_.node_state);
    c.path_cost = (parent_g.unsqueeze(1) +
                   expansion.move_costs.reshape({parents, num_moves_}).to(types_.path_cost))
                      .reshape({-1})
                      .to(types_.path_cost);
    c.depth = parent_depth.repeat_interleave(num_moves_) + 1;
    c.parent_index = rows.repeat_interleave(num_moves_).to(types_.parent_index);
    c.parent_move = at::arange(num_moves_, on(types_.parent_move))
                        .unsqueeze(0)
                        .expand({parents, num_moves_})
                        .reshape({-1});
  });
  seconds.is_solved = phases_.time("torchgpu.is_solved", [&] { c.solved = env_->is_solved(c.states); });
  return c;
}

// Keeps the children CLOSED accepts; in place, one per key (the cheapest).
void TensorAStarSearch::filterThroughClosed(ChildBatch& c, PhaseSeconds& seconds) {
  at::Tensor accepted = at::empty({0}, on(at::kBool));
  c.entries = at::empty({0}, on(at::kLong));
  seconds.check = phases_.time("torchgpu.closed_filter", [&] {
    if (c.states.size(0) == 0) return;
    if (modes_.inPlace()) {
      const auto inserted = closed_.insertOrImproveWithEntries(c.states, c.path_cost);
      accepted = inserted.flags;
      c.entries = inserted.entries;
    } else {
      accepted = closed_.insertOrImprove(c.states, c.path_cost);
      c.entries = at::full({c.states.size(0)}, -1, on(at::kLong));
    }
  });
  seconds.check_misc = phases_.time("torchgpu.check_misc", [&] {
    c.select(accepted.nonzero().flatten());
    if (modes_.inPlace() && c.states.size(0) > 1) c.select(select_min_cost_per_key(c.entries, c.path_cost));
  });
}

std::pair<at::Tensor, at::Tensor> TensorAStarSearch::score(const ChildBatch& batch,
                                                           PhaseSeconds& seconds) {
  seconds.scored = true;
  at::Tensor h;
  seconds.heuristic = phases_.time("torchgpu.heuristic", [&] {
    std::vector<at::Tensor> outputs;
    const int64_t rows = batch.states.size(0);
    for (int64_t begin = 0; begin < rows; begin += nnet_batch_) {
      const at::Tensor chunk = batch.states.narrow(0, begin, std::min(nnet_batch_, rows - begin));
      std::vector<at::Tensor> inputs;
      phases_.time("torchgpu.write_inputs", [&] { inputs = env_->write_inputs(chunk); });
      if (inputs.size() != manifest_.inputs.size())
        throw std::runtime_error("AOTI manifest input count mismatch for environment '" +
                                 env_name_ + "'");
      seconds.infer += phases_.time("torchgpu.heuristic_infer",
                                    [&] { outputs.push_back(runTensorHeuristic(*package_, inputs)); });
    }
    h = at::cat(outputs, 0).to(types_.heuristic);
  });
  at::Tensor f;
  seconds.cost = phases_.time("torchgpu.cost", [&] {
    f = totalCost(batch.path_cost, h, batch.solved, config_.weight, types_.total_cost);
  });
  return {h, f};
}

// Stores the survivors: appended as new rows, or in place over the row their
// CLOSED entry already names. Returns their rows; `updated` gets the rows
// written in place.
at::Tensor TensorAStarSearch::persist(const ChildBatch& c, const at::Tensor& h,
                                      const at::Tensor& f, at::Tensor& updated) {
  NodeRows rows = c;
  rows.heuristic = h;
  rows.total_cost = f;
  const int64_t survivors = rows.size();
  if (!modes_.inPlace() || survivors == 0) return store_.append(rows);
  const at::Tensor e = c.entries.to(at::kLong);
  const at::Tensor valid = e >= 0;
  at::Tensor existing = at::full_like(e, -1);
  if (valid.any().item<bool>()) {
    const at::Tensor valid_entries = e.index({valid});
    closed_node_index_.ensure(valid_entries.max().item<int64_t>() + 1);
    existing.index_put_({valid}, closed_node_index_.map().index_select(0, valid_entries));
  }
  const at::Tensor has_row = existing >= 0;
  at::Tensor new_rows = at::empty({survivors}, on(at::kLong));
  updated = existing.index({has_row});
  if (updated.size(0) > 0) {
    store_.write_rows(updated, rows.select(has_row.nonzero().flatten()));
    new_rows.index_put_({has_row}, updated);
  }
  const at::Tensor no_row = has_row.logical_not();
  if (no_row.any().item<bool>()) {
    const at::Tensor appended = store_.append(rows.select(no_row.nonzero().flatten()));
    new_rows.index_put_({no_row}, appended);
    const at::Tensor appended_entries = e.index({no_row});
    const at::Tensor known = appended_entries >= 0;
    if (known.any().item<bool>()) {
      const at::Tensor known_entries = appended_entries.index({known});
      closed_node_index_.ensure(known_entries.max().item<int64_t>() + 1);
      closed_node_index_.map().index_put_({known_entries}, appended.index({known}));
    }
  }
  return new_rows;
}

// Adds one iteration into the breakdown and prints its lines.
void TensorAStarSearch::recordIteration(const PhaseSeconds& s, bool reached_push,
                                        const ChildBatch& survivors, const at::Tensor& h) {
  if (reached_push && config_.print_internals) {
    if (h.numel() > 0) {
      const int64_t i_min = h.argmin().item<int64_t>();
      const int64_t i_max = h.argmax().item<int64_t>();
      writeStdout(formatText(
          "Itr: %zu, Added to OPEN - Min/Max Heur(PathCost): %.2f(%.2f)/%.2f(%.2f) \n",
          progress_.iteration(), h[i_min].item<double>(), survivors.path_cost[i_min].item<double>(),
          h[i_max].item<double>(), survivors.path_cost[i_max].item<double>()));
    }
    writeStdout(iterationTimesLine({s.pop, s.expand, s.is_solved, s.check, s.infer, s.push, s.iteration}));
  }
  if (!config_.operation_breakdown) return;
  if (!reached_push) {
    addOperationTimings(result_, {{Operation::kPop, {s.pop, s.pop, 0.0, 1}},
                                  {Operation::kIteration, {s.iteration, s.iteration, 0.0, 1}}});
    return;
  }
  const double misc = clampedDifference(s.heuristic, s.infer) + s.cost + s.persist;
  addOperationTimings(
      result_, {{Operation::kPop, {s.pop + s.pop_misc, s.pop, s.pop_misc, 1}},
                {Operation::kIsSolved, {s.is_solved, s.is_solved, 0.0, 1}},
                {Operation::kExpand, {s.expand + s.expand_misc, s.expand, s.expand_misc, 1}},
                {Operation::kCheck, {s.check + s.check_misc, s.check, s.check_misc, 1}},
                {Operation::kHeuristic, {s.infer + misc, s.infer, misc, s.scored ? 1u : 0u}},
                {Operation::kPush, {s.push, s.push, 0.0, 1}},
                {Operation::kIteration, {s.iteration, s.iteration, 0.0, 1}}});
}

SearchResult TensorAStarSearch::finish() {
  if (progress_.solved())
    result_.moves = reconstructTorchPath(store_, *env_, best_goal_, modes_.move_source);
  return finishSearch(std::move(result_), progress_, open_.size() == 0, search_start_, profiler_,
                      "torchgpu.total", config_.operation_breakdown, /*verbose=*/false);
}

}  // namespace

SearchResult tensorAStarSearch(const std::vector<uint8_t>& state, const std::string& env_name,
                               const std::string& package_path, const TorchAStarConfig& config,
                               const c10::Device& device) {
  return runSearch<TensorAStarSearch>(state, env_name, package_path, config, device);
}

SearchResult run_torch_gpu_astar(const std::vector<uint8_t>& state, const std::string& env,
                                 const std::string& package_path, const TorchAStarConfig& config) {
  validateSearchSettings(config);
  if (!torch::cuda::is_available())
    throw std::runtime_error("CUDA is not available. Torch GPU A* requires a CUDA/ROCm device.");
  const c10::Device device(config.device);
  if (!device.is_cuda())
    throw std::runtime_error("Torch GPU A* requires a CUDA/ROCm device specification.");
  return tensorAStarSearch(state, env, package_path, config, device);
}

}  // namespace quelmar
