#include "cpu_search/environment_batch.h"

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "cpu_search/parallel_for.h"
#include "cpu_search/search_threads.h"
#include "environments/registry_internal.h"

namespace quelmar {
namespace {

uint64_t splitmix64(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return z ^ (z >> 31);
}

constexpr uint64_t kGamma = 0x9e3779b97f4a7c15ull;
constexpr int kNoReturnTries = 64;

// One row's environment. Factories validate their state: their messages name
// the row, and keep their exception type.
std::unique_ptr<Environment> makeRow(CpuEnvironmentFactory factory, const std::string& env,
                                     std::span<const uint8_t> row, size_t index) {
  std::unique_ptr<Environment> made;
  try {
    made = factory(std::vector<uint8_t>(row.begin(), row.end()));
  } catch (const std::invalid_argument& e) {
    throw std::invalid_argument("states row " + std::to_string(index) + ": " + e.what());
  }
  if (!made) detail::throwNullEnvironment(env);
  return made;
}

// The factory of `env` and, when there are rows, the environment of the
// first one, checked against the row width: factories that accept a row of
// another width would otherwise have their bytes misread.
struct Batch {
  CpuEnvironmentFactory factory;
  std::unique_ptr<Environment> first;
  size_t rows = 0;
};

Batch openBatch(const std::string& env, std::span<const uint8_t> states, size_t width) {
  Batch batch{detail::findCpuEnvironmentFactory(env), nullptr, 0};
  if (width == 0) throw std::invalid_argument("states must have at least one byte per row");
  if (states.size() % width != 0)
    throw std::invalid_argument("the batch of " + std::to_string(states.size()) +
                                " bytes is not a whole number of rows of " + std::to_string(width));
  batch.rows = states.size() / width;
  if (batch.rows == 0) return batch;
  batch.first = makeRow(batch.factory, env, states.first(width), 0);
  const size_t expected = batch.first->state_bytes().size();
  if (expected != width)
    throw std::invalid_argument("states have " + std::to_string(width) + " bytes per row, but a '" +
                                env + "' state has " + std::to_string(expected));
  return batch;
}

// A successor's bytes, checked before they are copied into a fixed-width row.
void copyChild(const Environment* child, const std::string& what, size_t width, uint8_t* out) {
  if (child == nullptr) throw std::runtime_error(what + " returned a null state");
  const std::vector<uint8_t>& bytes = child->state_bytes();
  if (bytes.size() != width)
    throw std::runtime_error(what + " returned a state of " + std::to_string(bytes.size()) +
                             " bytes instead of " + std::to_string(width));
  std::copy(bytes.begin(), bytes.end(), out);
}

}  // namespace

WalkGenerator::WalkGenerator(uint64_t seed, uint64_t index)
    : counter_(splitmix64(splitmix64(seed + kGamma) ^ (index * kGamma + 1))) {}

uint64_t WalkGenerator::next() {
  counter_ += kGamma;
  return splitmix64(counter_);
}

uint64_t WalkGenerator::below(uint64_t bound) {
  // Values below 2^64 mod bound would make the low residues likelier.
  const uint64_t reject_below = (0 - bound) % bound;
  for (;;) {
    const uint64_t r = next();
    if (r >= reject_below) return r % bound;
  }
}

WalkBatch randomWalks(const std::string& env, std::span<const uint8_t> start, int64_t count,
                      int64_t max_length, uint64_t seed, int64_t min_length, bool no_return) {
  if (count < 0) throw std::invalid_argument("count must be non-negative");
  if (min_length < 0) throw std::invalid_argument("min_length must be non-negative");
  if (max_length < 0) throw std::invalid_argument("max_length must be non-negative");
  if (min_length > max_length)
    throw std::invalid_argument("min_length must not exceed max_length, got " +
                                std::to_string(min_length) + " > " + std::to_string(max_length));
  if (start.empty()) throw std::invalid_argument("State payload must contain at least one entry");
  const Batch batch = openBatch(env, start, start.size());
  const size_t width = start.size();
  const int moves = batch.first->num_moves();
  if (moves <= 0 && max_length > 0)
    throw std::runtime_error("environment '" + env + "' reports " + std::to_string(moves) +
                             " moves; there is nothing to walk");
  WalkBatch out;
  out.states.resize(static_cast<size_t>(count) * width);
  out.lengths.resize(static_cast<size_t>(count));
  const uint64_t span = static_cast<uint64_t>(max_length - min_length) + 1;
  const ScopedSearchThreads threads;
  // A walk is many moves: worth a thread from far fewer items than one expansion.
  constexpr size_t kWalksPerThread = 16;
  parallelForStatic(static_cast<size_t>(count), [&](size_t i) {
    WalkGenerator generator(seed, i);
    const int64_t length = min_length + static_cast<int64_t>(generator.below(span));
    out.lengths[i] = length;
    uint8_t* row = out.states.data() + i * width;
    if (length == 0) {
      std::copy(start.begin(), start.end(), row);
      return;
    }
    // Each walk owns its environments: plug-ins are called on distinct objects only.
    std::unique_ptr<Environment> state = makeRow(batch.factory, env, start, 0);
    std::unique_ptr<Environment> left;  // the state before `state`, kept for `no_return`
    for (int64_t step = 0; step < length; ++step) {
      std::unique_ptr<Environment> next;
      for (int tries = 0;; ++tries) {
        const int move = static_cast<int>(generator.below(static_cast<uint64_t>(moves)));
        next = state->next_state(move);
        if (!next)
          throw std::runtime_error("Environment next_state() returned a null state for move " +
                                   std::to_string(move));
        if (!no_return || tries == kNoReturnTries - 1) break;
        const std::vector<uint8_t>& bytes = next->state_bytes();
        if (bytes != state->state_bytes() && (!left || bytes != left->state_bytes())) break;
      }
      if (no_return) left = std::move(state);
      state = std::move(next);
    }
    copyChild(state.get(), "Environment next_state()", width, row);
  }, kWalksPerThread);
  return out;
}

ChildBatch expandStates(const std::string& env, std::span<const uint8_t> states,
                        size_t state_width) {
  const Batch batch = openBatch(env, states, state_width);
  ChildBatch out;
  if (batch.rows == 0) return out;
  const int moves = batch.first->num_moves();
  if (moves < 0) throw std::runtime_error("environment '" + env + "' reports a negative move count");
  out.num_moves = static_cast<size_t>(moves);
  const size_t row_bytes = out.num_moves * state_width;
  out.children.resize(batch.rows * row_bytes);
  const ScopedSearchThreads threads;
  parallelForStatic(batch.rows, [&](size_t i) {
    const auto state = makeRow(batch.factory, env, states.subspan(i * state_width, state_width), i);
    const std::vector<std::unique_ptr<Environment>> children = state->expand();
    if (children.size() != out.num_moves)
      throw std::runtime_error("Environment expand() returned " + std::to_string(children.size()) +
                               " successors for states row " + std::to_string(i) + " instead of " +
                               std::to_string(out.num_moves) + " (its num_moves())");
    for (size_t m = 0; m < children.size(); ++m)
      copyChild(children[m].get(), "Environment expand() for move " + std::to_string(m),
                state_width, out.children.data() + i * row_bytes + m * state_width);
  });
  return out;
}

std::vector<uint8_t> goalFlags(const std::string& env, std::span<const uint8_t> states,
                               size_t state_width) {
  const Batch batch = openBatch(env, states, state_width);
  std::vector<uint8_t> flags(batch.rows);
  const ScopedSearchThreads threads;
  parallelForStatic(batch.rows, [&](size_t i) {
    flags[i] = makeRow(batch.factory, env, states.subspan(i * state_width, state_width), i)
                   ->is_solved();
  });
  return flags;
}

InputBatch networkInputs(const std::string& env, std::span<const uint8_t> states,
                         size_t state_width) {
  const Batch batch = openBatch(env, states, state_width);
  InputBatch out;
  if (batch.rows == 0) return out;
  out.input_size = batch.first->input_size();
  out.inputs.resize(batch.rows * out.input_size);
  const ScopedSearchThreads threads;
  parallelForStatic(batch.rows, [&](size_t i) {
    const auto row = makeRow(batch.factory, env, states.subspan(i * state_width, state_width), i);
    // The buffer has the first row's width: a row of another would overrun it.
    if (row->input_size() != out.input_size)
      throw std::runtime_error("Environment input_size() of states row " + std::to_string(i) +
                               " is " + std::to_string(row->input_size()) + ", row 0's is " +
                               std::to_string(out.input_size) + "; network_inputs needs one size");
    row->write_inputs(out.inputs.data() + i * out.input_size);
  });
  return out;
}

}  // namespace quelmar
