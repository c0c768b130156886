#include "gpu_search/tensor_astar_search.h"

#include <ATen/ATen.h>
#include <c10/core/InferenceMode.h>
#include <torch/csrc/inductor/aoti_package/model_package_loader.h>
#include <torch/cuda.h>

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "config/scalar_type.h"
#include "config/validation.h"
#include "environments/registry.h"
#include "environments/torch_env.h"
#include "gpu_search/duplicate_selection.h"
#include "gpu_search/gpu_closed_table.h"
#include "gpu_search/torch_node_store.h"
#include "gpu_search/torch_open_list.h"
#include "gpu_search/torch_path.h"
#include "heuristic/aoti_heuristic_runner.h"
#include "heuristic/aoti_manifest.h"
#include "profiling/phase_recorder.h"
#include "profiling/profiler.h"
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

}  // namespace

SearchResult tensorAStarSearch(const std::vector<uint8_t>& state, const std::string& env_name,
                               const std::string& package_path, const TorchAStarConfig& config,
                               const c10::Device& device) {
  c10::InferenceMode inference_mode;
  validateSearchSettings(config);
  const AOTIManifest manifest = loadAOTIManifest(package_path);
  const std::shared_ptr<torch::inductor::AOTIModelPackageLoader> package =
      loadModelPackage(manifest.package_path, device);
  torch::inductor::AOTIModelPackageLoader& loader = *package;
  if (config.initial_open_size < 0 || config.initial_closed_size < 0 ||
      config.initial_node_store_size < 0)
    throw std::invalid_argument("initial OPEN, CLOSED, and node-store sizes must be non-negative");
  const c10::ScalarType node_state_type = scalarTypeFromName(config.memory_dtype_node_state);
  const c10::ScalarType open_index_type = scalarTypeFromName(config.memory_dtype_open_index);
  const c10::ScalarType open_cost_type = scalarTypeFromName(config.memory_dtype_open_cost);
  const c10::ScalarType closed_key_type = scalarTypeFromName(config.memory_dtype_closed_key);
  const c10::ScalarType closed_cost_type = scalarTypeFromName(config.memory_dtype_closed_cost);
  const c10::ScalarType parent_index_type = scalarTypeFromName(config.memory_dtype_parent_index);
  const c10::ScalarType parent_move_type = scalarTypeFromName(config.memory_dtype_parent_move);
  const c10::ScalarType path_cost_type = scalarTypeFromName(config.memory_dtype_path_cost);
  const c10::ScalarType heuristic_type = scalarTypeFromName(config.memory_dtype_heuristic);
  const c10::ScalarType total_cost_type = scalarTypeFromName(config.memory_dtype_total_cost);

  std::unique_ptr<TorchEnv> env =
      make_torch_environment(env_name, device, static_cast<int>(state.size()));
  env->state_dtype = node_state_type;
  const bool fixed = config.capacity_mode == "fixed";
  const int64_t num_moves = env->num_moves;
  const int64_t batch = std::max<int32_t>(config.batch_size, 1);
  const int64_t nnet_batch = networkBatchSize(config, batch, num_moves);
  const Capacities caps = initialCapacities(config, num_moves);
  const at::Tensor start_row = env->encode_state(state).view({1, -1});
  TorchNodeStore store(env->state_dim, device, config, caps.store, fixed);
  GpuClosedTable closed(env->state_dim, device, closed_key_type, closed_cost_type, caps.closed,
                        config.hashtable_algorithm, fixed);
  const bool in_place = config.duplicate_update_mode == "in_place";
  const bool stop_before_goal = config.goal_stop_mode == "stop_before_goal";
  const TimePoint search_start = SystemClock::now();
  ProfilingOptions profiling = config.profiling;
  if (profiling.run_id.empty()) profiling.run_id = "cpp_torch_gpu_astar";
  Profiler profiler(profiling);
  const bool timing = config.print_internals || profiler.active() || config.operation_breakdown;
  const bool breakdown = config.operation_breakdown;
  const PhaseRecorder recordPhase(
      timing, config.operation_breakdown, config.cuda_sync_timing,
      [device] {
        if (device.is_cuda()) torch::cuda::synchronize(device.index());
      },
      profiler);
  const auto on = [&device](c10::ScalarType type) {
    return at::TensorOptions().device(device).dtype(type);
  };
  SearchResult result;

  // Start node.
  TimePoint phase = recordPhase.start();
  const at::Tensor solved0 = env->is_solved(start_row);
  const double start_goal_seconds = recordPhase("torchgpu.is_solved", phase);
  const at::Tensor g0 = at::zeros({1}, on(path_cost_type));
  const TimePoint heuristic_start = recordPhase.start();
  const std::vector<at::Tensor> inputs0 = env->write_inputs(start_row);
  recordPhase("torchgpu.write_inputs", heuristic_start);
  if (inputs0.size() != manifest.inputs.size())
    throw std::runtime_error("AOTI manifest input count mismatch for environment '" + env_name +
                             "'");
  phase = recordPhase.start();
  const at::Tensor h0 = runTensorHeuristic(loader, inputs0).to(heuristic_type);
  const double start_infer = recordPhase("torchgpu.heuristic_infer", phase);
  const double start_heuristic = recordPhase("torchgpu.heuristic", heuristic_start);
  const at::Tensor f0 = totalCost(g0, h0, solved0, config.weight, total_cost_type);
  const at::Tensor row0 = store.append(
      start_row, at::zeros({1}, on(at::kLong)), g0, h0, f0, solved0,
      at::full({1}, -1, on(parent_index_type)), at::full({1}, -1, on(parent_move_type)));
  {
    closed.ensureSlotCapacity(closed.filledSlots() + 1);
    const at::Tensor keys = closed.normalizeKeys(start_row);
    const at::Tensor hashes = closed.hashKeys(keys);
    const auto probe = closed.probe(keys, hashes);
    closed.upsertEntries(keys, g0.to(device, closed_cost_type), hashes, probe.found, probe.slot,
                         probe.entry);
  }
  ClosedNodeIndex closed_node_index(in_place, caps.closed, device, fixed);
  if (in_place) closed_node_index.map().narrow(0, 0, 1).copy_(row0);
  TorchOpenList open(open_index_type, open_cost_type, device, fixed);
  open.initialize(row0, f0, caps.open);
  if (breakdown) {
    addTiming(result.is_solved, start_goal_seconds, start_goal_seconds, 0.0, 1);
    addTiming(result.heuristic, start_infer + clampedDifference(start_heuristic, start_infer),
              start_infer, clampedDifference(start_heuristic, start_infer), 1);
  }

  int64_t best_goal = -1;
  bool solved = false;
  bool budget_exceeded = false;
  int64_t nodes_generated = 0;
  uint64_t iteration = 0;
  while (open.size() > 0) {
    IterationTimes times;
    const TimePoint iteration_start = recordPhase.start();
    const TimePoint pop_start = recordPhase.start();
    const int64_t k = std::min<int64_t>(open.size(), batch);
    const TorchOpenList::Popped popped = open.pop_batch(k);
    const at::Tensor popped_rows = popped.rows.to(at::kLong);
    const at::Tensor popped_goals = store.solved().index_select(0, popped_rows);
    at::Tensor expand_rows = popped_rows;
    if (popped_goals.any().item<bool>()) {
      const int64_t first = popped_goals.nonzero().flatten()[0].item<int64_t>();
      best_goal = popped_rows[first].item<int64_t>();
      solved = true;
      if (stop_before_goal) expand_rows = popped_rows.narrow(0, 0, first);
    }
    times.pop = recordPhase("torchgpu.pop_from_open", pop_start);
    if (expand_rows.size(0) == 0) {
      times.iteration = recordPhase("torchgpu.iteration", iteration_start);
      if (breakdown) {
        addTiming(result.pop, times.pop, times.pop, 0.0, 1);
        addTiming(result.iteration, times.iteration, times.iteration, 0.0, 1);
      }
      ++iteration;
      if (solved) break;
      continue;
    }

    phase = recordPhase.start();
    const at::Tensor parent_states = store.states().index_select(0, expand_rows);
    const at::Tensor parent_g = store.path_cost().index_select(0, expand_rows);
    const at::Tensor parent_depth = store.depth().index_select(0, expand_rows);
    const double pop_misc = recordPhase("torchgpu.pop_misc", phase);

    phase = recordPhase.start();
    const TorchExpansion expansion = env->expand(parent_states);
    times.expand = recordPhase("torchgpu.expand", phase);

    phase = recordPhase.start();
    const int64_t parents = expand_rows.size(0);
    // Width given explicitly: -1 cannot be inferred when num_moves is 0.
    at::Tensor states = expansion.children.reshape({parents * num_moves, parent_states.size(1)})
                            .to(node_state_type);
    at::Tensor g = (parent_g.unsqueeze(1) +
                    expansion.move_costs.reshape({parents, num_moves}).to(path_cost_type))
                       .reshape({-1})
                       .to(path_cost_type);
    at::Tensor depth = parent_depth.repeat_interleave(num_moves) + 1;
    at::Tensor parent_index = expand_rows.repeat_interleave(num_moves).to(parent_index_type);
    at::Tensor parent_move = at::arange(num_moves, on(parent_move_type))
                                 .unsqueeze(0)
                                 .expand({parents, num_moves})
                                 .reshape({-1});
    const double expand_misc = recordPhase("torchgpu.expand_misc", phase);

    phase = recordPhase.start();
    at::Tensor child_solved = env->is_solved(states);
    times.is_solved = recordPhase("torchgpu.is_solved", phase);
    nodes_generated += states.size(0);

    phase = recordPhase.start();
    at::Tensor accepted = at::empty({0}, on(at::kBool));
    at::Tensor entries = at::empty({0}, on(at::kLong));
    if (states.size(0) > 0) {
      if (in_place) {
        const auto inserted = closed.insertOrImproveWithEntries(states, g);
        accepted = inserted.flags;
        entries = inserted.entries;
      } else {
        accepted = closed.insertOrImprove(states, g);
        entries = at::full({states.size(0)}, -1, on(at::kLong));
      }
    }
    times.check = recordPhase("torchgpu.closed_filter", phase);

    phase = recordPhase.start();
    const auto gather = [&](const at::Tensor& positions) {
      states = states.index_select(0, positions);
      g = g.index_select(0, positions);
      depth = depth.index_select(0, positions);
      child_solved = child_solved.index_select(0, positions);
      parent_index = parent_index.index_select(0, positions);
      parent_move = parent_move.index_select(0, positions);
      entries = entries.index_select(0, positions);
    };
    gather(accepted.nonzero().flatten());
    if (in_place && states.size(0) > 1) gather(select_min_cost_per_key(entries, g));
    const double check_misc = recordPhase("torchgpu.check_misc", phase);

    const int64_t survivors = states.size(0);
    at::Tensor h = at::empty({0}, on(heuristic_type));
    double heuristic_seconds = 0.0;
    if (survivors > 0) {
      const TimePoint heuristic_phase = recordPhase.start();
      std::vector<at::Tensor> outputs;
      for (int64_t begin = 0; begin < survivors; begin += nnet_batch) {
        const at::Tensor chunk = states.narrow(0, begin, std::min(nnet_batch, survivors - begin));
        phase = recordPhase.start();
        const std::vector<at::Tensor> inputs = env->write_inputs(chunk);
        recordPhase("torchgpu.write_inputs", phase);
        phase = recordPhase.start();
        outputs.push_back(runTensorHeuristic(loader, inputs));
        times.infer += recordPhase("torchgpu.heuristic_infer", phase);
      }
      h = at::cat(outputs, 0).to(heuristic_type);
      heuristic_seconds = recordPhase("torchgpu.heuristic", heuristic_phase);
    }

    phase = recordPhase.start();
    const at::Tensor f = survivors > 0 ? totalCost(g, h, child_solved, config.weight, total_cost_type)
                                       : at::empty({0}, on(total_cost_type));
    const double cost_seconds = recordPhase("torchgpu.cost", phase);

    phase = recordPhase.start();
    at::Tensor new_rows;
    at::Tensor updated;
    if (!in_place || survivors == 0) {
      new_rows = store.append(states, depth, g, h, f, child_solved, parent_index, parent_move);
    } else {
      const at::Tensor e = entries.to(at::kLong);
      const at::Tensor valid = e >= 0;
      at::Tensor existing = at::full_like(e, -1);
      if (valid.any().item<bool>()) {
        const at::Tensor valid_entries = e.index({valid});
        closed_node_index.ensure(valid_entries.max().item<int64_t>() + 1);
        existing.index_put_({valid}, closed_node_index.map().index_select(0, valid_entries));
      }
      const at::Tensor has_row = existing >= 0;
      new_rows = at::empty({survivors}, on(at::kLong));
      updated = existing.index({has_row});
      if (updated.size(0) > 0) {
        store.write_rows(updated, states.index({has_row}), depth.index({has_row}),
                         g.index({has_row}), h.index({has_row}), f.index({has_row}),
                         child_solved.index({has_row}), parent_index.index({has_row}),
                         parent_move.index({has_row}));
        new_rows.index_put_({has_row}, updated);
      }
      const at::Tensor no_row = has_row.logical_not();
      if (no_row.any().item<bool>()) {
        const at::Tensor appended = store.append(
            states.index({no_row}), depth.index({no_row}), g.index({no_row}), h.index({no_row}),
            f.index({no_row}), child_solved.index({no_row}), parent_index.index({no_row}),
            parent_move.index({no_row}));
        new_rows.index_put_({no_row}, appended);
        const at::Tensor appended_entries = e.index({no_row});
        const at::Tensor known = appended_entries >= 0;
        if (known.any().item<bool>()) {
          const at::Tensor known_entries = appended_entries.index({known});
          closed_node_index.ensure(known_entries.max().item<int64_t>() + 1);
          closed_node_index.map().index_put_({known_entries}, appended.index({known}));
        }
      }
    }
    const double persist_seconds = recordPhase("torchgpu.persist_children", phase);

    phase = recordPhase.start();
    if (in_place && updated.defined() && updated.size(0) > 0 && open.size() > 0) {
      const at::Tensor in_open =
          at::isin(open.index().to(at::kLong), updated, /*assume_unique=*/true);
      if (in_open.any().item<bool>()) {
        const at::Tensor keep = in_open.logical_not();
        open.replace(open.index().index({keep}), open.cost().index({keep}));
      }
    }
    open.push(new_rows.to(open_index_type), f);
    times.push = recordPhase("torchgpu.add_to_open", phase);
    times.iteration = recordPhase("torchgpu.iteration", iteration_start);

    if (config.print_internals) {
      if (h.numel() > 0) {
        const int64_t i_min = h.argmin().item<int64_t>();
        const int64_t i_max = h.argmax().item<int64_t>();
        writeStdout(formatText(
            "Itr: %zu, Added to OPEN - Min/Max Heur(PathCost): %.2f(%.2f)/%.2f(%.2f) \n",
            static_cast<size_t>(iteration), h[i_min].item<double>(), g[i_min].item<double>(),
            h[i_max].item<double>(), g[i_max].item<double>()));
      }
      writeStdout(iterationTimesLine(times));
    }
    if (breakdown) {
      addTiming(result.pop, times.pop + pop_misc, times.pop, pop_misc, 1);
      addTiming(result.is_solved, times.is_solved, times.is_solved, 0.0, 1);
      addTiming(result.expand, times.expand + expand_misc, times.expand, expand_misc, 1);
      addTiming(result.check, times.check + check_misc, times.check, check_misc, 1);
      const double heuristic_misc = clampedDifference(heuristic_seconds, times.infer);
      addTiming(result.heuristic, times.infer + heuristic_misc + cost_seconds + persist_seconds,
                times.infer, heuristic_misc + cost_seconds + persist_seconds,
                survivors > 0 ? 1 : 0);
      addTiming(result.push, times.push, times.push, 0.0, 1);
      addTiming(result.iteration, times.iteration, times.iteration, 0.0, 1);
    }
    if (solved) break;
    if (config.search_budget > 0 && nodes_generated >= config.search_budget) {
      budget_exceeded = true;
      break;
    }
    ++iteration;
  }

  result.solved = solved;
  result.search_budget_exceeded = budget_exceeded;
  result.nodes_generated = static_cast<uint64_t>(nodes_generated);
  result.has_operation_timings = breakdown;
  if (solved) result.moves = reconstructTorchPath(store, *env, best_goal, config.solution_move_source);
  const TimePoint search_end = SystemClock::now();
  result.solve_time = PhaseRecorder::secondsBetween(search_start, search_end);
  if (profiler.active()) {
    profiler.record_impl("torchgpu.total", search_start, search_end);
    profiler.finalize_impl();
  }
  return result;
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
