#pragma once
// The CPU search loop. Included only by the translation units that
// instantiate it for the storage widths.
//
// Each iteration: pop a batch from OPEN and goal-test it, expand it in
// parallel, build child nodes, goal-test children in parallel, filter them
// through CLOSED, evaluate the network once for all accepted children,
// compute f = weight*g + h in parallel, push onto OPEN, check the budget.
// Everything that mutates shared containers runs on the calling thread.

#include <c10/core/InferenceMode.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "config/validation.h"
#include "cpu_search/closed_state_table.h"
#include "cpu_search/node_store.h"
#include "cpu_search/open_queue.h"
#include "cpu_search/parallel_for.h"
#include "cpu_search/parallel_weighted_astar.h"
#include "cpu_search/path_reconstruction.h"
#include "cpu_search/search_node.h"
#include "heuristic/aoti_heuristic_runner.h"
#include "profiling/phase_recorder.h"
#include "profiling/profiler.h"
#include "profiling/python_output.h"
#include "profiling/search_report.h"

namespace quelmar {
namespace cpu_search_detail {

// CLOSED's default size: from the node-store hint when only that is given.
inline uint64_t defaultClosedCapacity(const SolverSettings& settings) {
  if (settings.initial_closed_size != 0 || settings.initial_node_store_size <= 0) return 1024;
  return static_cast<uint64_t>(
      closedSlotsForNodeStore(settings.initial_node_store_size, settings.hash_capacity_factor));
}

// Children ahead of the one being filtered whose CLOSED slot is prefetched.
inline constexpr size_t kClosedPrefetchDistance = 8;

// Splits one example's features (manifest input order) into row `row` of
// each per-input buffer.
inline void scatterInputs(const std::vector<float>& scratch, const AOTIManifest& manifest,
                          size_t row, std::vector<std::vector<float>>& buffers) {
  size_t offset = 0;
  for (size_t i = 0; i < manifest.inputs.size(); ++i) {
    const size_t numel = manifest.inputs[i].numel_per_example;
    std::copy_n(scratch.begin() + static_cast<std::ptrdiff_t>(offset), numel,
                buffers[i].begin() + static_cast<std::ptrdiff_t>(row * numel));
    offset += numel;
  }
}

}  // namespace cpu_search_detail

template <typename Heuristic, typename TotalCost, typename OpenCost>
SearchResult parallelWeightedAStarImpl(std::unique_ptr<Environment> start,
                                       const AOTIManifest& manifest,
                                       const SolverSettings& settings) {
  using Node = SearchNode<OpenCost, Heuristic>;
  using namespace cpu_search_detail;
  c10::InferenceMode inference_mode;

  validateSearchSettings(settings);
  if (!start) throw std::invalid_argument("Start environment must not be null");

  const size_t k_max = settings.batch_size > 0 ? static_cast<size_t>(settings.batch_size) : 1;
  const uint64_t total_inputs = totalInputElements(manifest);
  if (total_inputs == 0)
    throw std::runtime_error("Manifest reported zero-sized network input footprint");
  if (start->input_size() != total_inputs)
    throw std::runtime_error("Environment/network input size mismatch with manifest metadata");

  AOTIHeuristicRunner runner(manifest, settings.device);
  ProfilingOptions profiling = settings.profiling;
  if (profiling.run_id.empty()) profiling.run_id = "cpp_pwas";
  Profiler profiler(profiling);
  const bool timing =
      settings.print_internals || profiler.active() || settings.operation_breakdown;
  const PhaseRecorder recordPhase(timing, settings.operation_breakdown, settings.cuda_sync_timing,
                                  [&runner] { runner.synchronize(); }, profiler);
  const bool breakdown = settings.operation_breakdown;

  const bool fixed = settings.capacity_mode == "fixed";
  const int64_t open_capacity =
      capacityHintOrDefault(settings.initial_open_size, 1024, "initial_open_size");
  const int64_t store_capacity =
      capacityHintOrDefault(settings.initial_node_store_size, 1024, "initial_node_store_size");
  OpenQueue<Node> open(open_capacity, fixed);
  const int64_t closed_hint = capacityHintOrDefault(
      settings.initial_closed_size, defaultClosedCapacity(settings), "initial_closed_size");
  ClosedStateTable<Node> closed(settings.hashtable_algorithm, static_cast<uint64_t>(closed_hint),
                                fixed);
  NodeStore<Node> store(store_capacity, fixed);

  const bool in_place = settings.duplicate_update_mode == "in_place";
  const bool stop_before_goal = settings.goal_stop_mode == "stop_before_goal";
  const float weight = settings.weight;
  const size_t input_count = manifest.inputs.size();
  std::vector<float> scratch(total_inputs);
  std::vector<std::vector<float>> input_buffers(input_count);
  SearchResult result;
  const TimePoint search_start = SystemClock::now();

  // Start node: scored and pushed even when it is already a goal.
  auto start_owner = std::make_unique<Node>();
  start_owner->state = start->state_bytes();
  start_owner->environment = std::move(start);
  Node* start_node = store.append(std::move(start_owner));

  TimePoint phase_start = recordPhase.start();
  const bool start_is_goal = start_node->environment->is_solved();
  const double start_goal_seconds = recordPhase("pwas.is_solved", phase_start);

  const TimePoint heuristic_start = recordPhase.start();
  for (size_t i = 0; i < input_count; ++i) input_buffers[i].assign(manifest.inputs[i].numel_per_example, 0.0f);
  phase_start = recordPhase.start();
  start_node->environment->write_inputs(scratch.data());
  scatterInputs(scratch, manifest, 0, input_buffers);
  recordPhase("pwas.write_inputs", phase_start);
  phase_start = recordPhase.start();
  const std::vector<float> start_output = runner.infer(input_buffers, 1);
  const double start_infer_seconds = recordPhase("pwas.heuristic_infer", phase_start);
  const double start_heuristic_seconds = recordPhase("pwas.heuristic", heuristic_start);
  const float h0 = start_output.empty() ? 0.0f : start_output[0];
  start_node->heuristic = static_cast<Heuristic>(h0);
  start_node->open_cost = start_is_goal ? OpenCost(0) : static_cast<OpenCost>(h0);
  open.push(start_node);
  closed.insert(start_node);

  if (breakdown) {
    addTiming(result.is_solved, start_goal_seconds, start_goal_seconds, 0.0, 1);
    addTiming(result.heuristic, start_heuristic_seconds, start_infer_seconds,
              clampedDifference(start_heuristic_seconds, start_infer_seconds), 1);
  }

  Node* goal = start_is_goal ? start_node : nullptr;
  uint64_t nodes_generated = 0;
  size_t iteration = 0;
  bool budget_exceeded = false;

  // Per-iteration buffers, kept across iterations to reuse their memory.
  std::vector<Node*> popped;
  std::vector<std::vector<std::unique_ptr<Environment>>> successors;
  std::vector<int32_t> child_depth;
  std::vector<std::unique_ptr<Node>> children;
  std::vector<Node*> child_nodes;
  std::vector<uint8_t> child_goal;
  std::vector<uint64_t> child_hash;
  std::vector<Node*> accepted;
  std::vector<size_t> accepted_position;
  std::vector<float> heuristics;
  std::vector<uint8_t> accepted_goal;
  std::vector<OpenCost> costs;
  std::vector<double> accepted_depths;

  while (goal == nullptr && !open.empty()) {
    IterationTimes times;
    const TimePoint iteration_start = recordPhase.start();
    bool stop = false;

    // Pop a batch; every popped node is goal-tested at once.
    const TimePoint pop_start = recordPhase.start();
    const size_t k = std::min(k_max, open.size());
    popped.clear();
    double pop_goal_seconds = 0.0;
    std::optional<size_t> first_goal;
    for (size_t i = 0; i < k; ++i) {
      Node* node = open.pop();
      popped.push_back(node);
      const TimePoint test_start = timing ? SystemClock::now() : TimePoint{};
      const bool is_goal = node->environment->is_solved();
      if (timing) {
        const TimePoint test_end = SystemClock::now();
        pop_goal_seconds += PhaseRecorder::secondsBetween(test_start, test_end);
        if (profiler.active()) profiler.record_impl("pwas.is_solved", test_start, test_end);
      }
      if (is_goal) {
        if (!first_goal) first_goal = i;
        if (goal == nullptr || node->open_cost < goal->open_cost) goal = node;
        stop = true;
      }
    }
    const double pop_seconds = recordPhase("pwas.pop_from_open", pop_start);
    times.pop = clampedDifference(pop_seconds, pop_goal_seconds);
    if (breakdown) addTiming(result.pop, pop_seconds, times.pop, pop_goal_seconds, 1);

    if (stop_before_goal && first_goal) popped.resize(*first_goal);
    if (popped.empty()) {
      const double iteration_seconds = recordPhase("pwas.iteration", iteration_start);
      if (breakdown) addTiming(result.iteration, iteration_seconds, iteration_seconds, 0.0, 1);
      break;
    }

    // Expand in parallel; each worker writes only its own slots.
    const TimePoint expand_start = recordPhase.start();
    successors.clear();
    successors.resize(popped.size());
    child_depth.assign(popped.size(), 0);
    parallelForStatic(popped.size(), [&](size_t i) {
      successors[i] = popped[i]->environment->expand();
      child_depth[i] = popped[i]->depth + 1;
    });
    times.expand = recordPhase("pwas.expand", expand_start);

    // Child nodes, parent by parent in popped order, moves in order.
    children.clear();
    child_nodes.clear();
    for (size_t p = 0; p < popped.size(); ++p) {
      for (size_t j = 0; j < successors[p].size(); ++j) {
        std::unique_ptr<Environment>& successor = successors[p][j];
        if (!successor)
          throw std::runtime_error("Environment expand() returned a null successor for move " +
                                   std::to_string(j));
        auto child = std::make_unique<Node>();
        child->state = successor->state_bytes();
        child->environment = std::move(successor);
        child->depth = child_depth[p];
        child->parent_move = static_cast<int32_t>(j);
        child->parent = popped[p];
        child_nodes.push_back(child.get());
        children.push_back(std::move(child));
      }
    }
    if (breakdown) {
      const double with_building =
          timing ? PhaseRecorder::secondsBetween(expand_start, SystemClock::now()) : 0.0;
      addTiming(result.expand, std::max(with_building, times.expand), times.expand,
                with_building - times.expand, 1);
    }

    // Goal flags of all children, in parallel.
    phase_start = recordPhase.start();
    child_goal.assign(child_nodes.size(), 0);
    child_hash.resize(child_nodes.size());
    // CLOSED's hashes are computed here, in parallel, for the serial filter.
    parallelForStatic(child_nodes.size(), [&](size_t i) {
      child_goal[i] = child_nodes[i]->environment->is_solved();
      child_hash[i] = hashStateBytes(child_nodes[i]->state);
    });
    const double child_goal_seconds = recordPhase("pwas.is_solved", phase_start);
    times.is_solved = child_goal_seconds + pop_goal_seconds;
    if (breakdown)
      addTiming(result.is_solved, child_goal_seconds, child_goal_seconds, 0.0,
                child_nodes.empty() ? 0 : 1);

    // CLOSED filter: new states and strictly shallower duplicates survive.
    phase_start = recordPhase.start();
    accepted.clear();
    accepted_position.clear();
    for (size_t j = 0; j < child_nodes.size(); ++j) {
      // The table is far larger than the caches: fetch slots ahead.
      if (j + kClosedPrefetchDistance < child_nodes.size())
        closed.prefetch(child_hash[j + kClosedPrefetchDistance]);
      Node* child = child_nodes[j];
      Node* existing = closed.find(child->state, child_hash[j]);
      if (existing != nullptr && child->depth >= existing->depth) continue;
      if (existing != nullptr && in_place) {
        existing->depth = child->depth;
        existing->parent_move = child->parent_move;
        existing->parent = child->parent;
        accepted.push_back(existing);
      } else {
        store.append(std::move(children[j]));
        closed.insert(child, child_hash[j]);
        accepted.push_back(child);
      }
      accepted_position.push_back(j);
    }
    times.check = recordPhase("pwas.closed_filter", phase_start);
    if (breakdown) addTiming(result.check, times.check, times.check, 0.0, 1);

    // One network call for all accepted children.
    heuristics.clear();
    accepted_goal.assign(accepted.size(), 0);
    double heuristic_seconds = 0.0;
    if (!accepted.empty()) {
      const TimePoint heuristic_phase_start = recordPhase.start();
      for (size_t i = 0; i < input_count; ++i)
        input_buffers[i].resize(accepted.size() * manifest.inputs[i].numel_per_example);
      phase_start = recordPhase.start();
      if (input_count == 1) {
        // One input: each example is written straight into its own rows.
        float* rows = input_buffers[0].data();
        const size_t width = manifest.inputs[0].numel_per_example;
        parallelForStatic(accepted.size(), [&](size_t a) {
          child_nodes[accepted_position[a]]->environment->write_inputs(rows + a * width);
        });
      } else {
        for (size_t a = 0; a < accepted.size(); ++a) {
          child_nodes[accepted_position[a]]->environment->write_inputs(scratch.data());
          scatterInputs(scratch, manifest, a, input_buffers);
        }
      }
      recordPhase("pwas.write_inputs", phase_start);
      phase_start = recordPhase.start();
      heuristics = runner.infer(input_buffers, accepted.size());
      times.infer = recordPhase("pwas.heuristic_infer", phase_start);
      if (heuristics.size() != accepted.size())
        throw std::runtime_error("Heuristic returned a wrong number of values");
      for (size_t a = 0; a < accepted.size(); ++a) accepted_goal[a] = child_goal[accepted_position[a]];
      heuristic_seconds = recordPhase("pwas.heuristic", heuristic_phase_start);
    }

    // f = weight * g + h (h = 0 for goals), one fused multiply-add.
    phase_start = recordPhase.start();
    costs.assign(accepted.size(), OpenCost(0));
    parallelForStatic(accepted.size(), [&](size_t a) {
      const TotalCost g = static_cast<TotalCost>(accepted[a]->depth);
      const TotalCost h = accepted_goal[a] ? TotalCost(0) : static_cast<TotalCost>(heuristics[a]);
      costs[a] = static_cast<OpenCost>(std::fma(static_cast<TotalCost>(weight), g, h));
    });
    for (size_t a = 0; a < accepted.size(); ++a) {
      accepted[a]->open_cost = costs[a];
      accepted[a]->heuristic = static_cast<Heuristic>(heuristics[a]);
    }
    const double cost_seconds = recordPhase("pwas.cost", phase_start);
    if (breakdown)
      addTiming(result.heuristic, heuristic_seconds + cost_seconds, times.infer,
                clampedDifference(heuristic_seconds, times.infer) + cost_seconds,
                accepted.empty() ? 0 : 1);

    phase_start = recordPhase.start();
    for (Node* node : accepted) open.push(node);
    times.push = recordPhase("pwas.add_to_open", phase_start);
    if (breakdown) addTiming(result.push, times.push, times.push, 0.0, 1);
    times.iteration = recordPhase("pwas.iteration", iteration_start);
    if (breakdown) addTiming(result.iteration, times.iteration, times.iteration, 0.0, 1);

    if (settings.print_internals) {
      accepted_depths.clear();
      for (const Node* node : accepted) accepted_depths.push_back(static_cast<double>(node->depth));
      writeStdout(iterationHeuristicLine(iteration, heuristics, accepted_depths));
      writeStdout(iterationTimesLine(times));
    }

    nodes_generated += child_nodes.size();
    if (!stop && settings.search_budget > 0 &&
        static_cast<uint64_t>(settings.search_budget) <= nodes_generated) {
      budget_exceeded = true;
      break;
    }
    // Children that CLOSED rejected die here, with their environments.
    children.clear();
    successors.clear();
    ++iteration;
    if (stop) break;
  }
  if (goal == nullptr && !budget_exceeded && open.empty() && settings.verbose)
    writeStdout("Open set exhausted without finding a solution.\n");

  result.nodes_generated = nodes_generated;
  result.solved = goal != nullptr;
  result.search_budget_exceeded = budget_exceeded;
  if (result.solved) result.moves = reconstructPath(goal, settings.solution_move_source, store.size());
  const TimePoint search_end = SystemClock::now();
  result.solve_time = PhaseRecorder::secondsBetween(search_start, search_end);
  result.has_operation_timings = breakdown;
  if (settings.verbose) writeStdout(finalReport(result));
  if (profiler.active()) {
    profiler.record_impl("pwas.total", search_start, search_end);
    profiler.finalize_impl();
  }
  return result;
}

}  // namespace quelmar
