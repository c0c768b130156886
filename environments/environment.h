#pragma once
// CPU puzzle-domain interface. One object stands for one puzzle state; the
// search owns one per node and never interprets states itself: it only copies
// and compares the bytes returned by state_bytes().
//
// The slot order of the virtual functions is part of the binary interface
// with separately compiled plug-ins: never reorder or insert.
//
// Threads: expand() and is_solved() are called from several worker threads
// at once, each call on a different object, so implementations must not
// share unsynchronised mutable state between objects. They should not throw;
// the search catches what they throw and reports it as an error.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace quelmar {

class Environment {
 public:
  virtual ~Environment() = default;

  // State reached by `move` (0 <= move < num_moves()). Must equal element
  // `move` of expand(); used to infer the moves of a solution path.
  virtual std::unique_ptr<Environment> next_state(int move) const = 0;

  // All successors, element j for move j, in the same order every time.
  // No element may be null.
  virtual std::vector<std::unique_ptr<Environment>> expand() const = 0;

  // The encoded state; its bytes are the state's identity.
  virtual const std::vector<uint8_t>& state_bytes() const = 0;

  virtual bool is_solved() const = 0;

  virtual int num_moves() const = 0;

  // Number of floats write_inputs() writes; must match the model manifest.
  virtual std::size_t input_size() const = 0;

  // Writes exactly input_size() network input features into dst.
  virtual void write_inputs(float* dst) const = 0;
};

}  // namespace quelmar
