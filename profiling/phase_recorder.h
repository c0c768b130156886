#pragma once
// The phase timer every search builds once. With timing off it costs one
// flag test and returns 0; with timing on it optionally waits for the device,
// reads the clock, feeds the profiler and returns the elapsed seconds.

#include <chrono>
#include <functional>
#include <utility>

#include "profiling/profiler.h"

namespace quelmar {

class PhaseRecorder {
 public:
  // Timing is on when the settings print internals or ask for a breakdown,
  // or the profiler is active. `synchronize` waits for the heuristic device;
  // it runs only when both operation_breakdown and cuda_sync_timing are set.
  // Settings: any solver's record (print_internals, operation_breakdown,
  // cuda_sync_timing).
  template <typename Settings>
  PhaseRecorder(const Settings& settings, std::function<void()> synchronize, Profiler& profiler)
      : timing_(settings.print_internals || profiler.active() || settings.operation_breakdown),
        sync_(settings.operation_breakdown && settings.cuda_sync_timing),
        synchronize_(std::move(synchronize)),
        profiler_(profiler) {}

  bool timing() const { return timing_; }

  // Start of a phase: the clock when timing, else the zero time point.
  TimePoint start() const { return timing_ ? SystemClock::now() : TimePoint{}; }

  double operator()(const char* name, TimePoint start) const {
    if (!timing_) return 0.0;
    if (sync_ && synchronize_) synchronize_();
    const TimePoint end = SystemClock::now();
    if (profiler_.active()) profiler_.record_impl(name, start, end);
    return secondsBetween(start, end);
  }

  // Runs `body` as the phase `name`; returns its seconds (0 with timing off).
  template <typename Body>
  double time(const char* name, Body&& body) const {
    const TimePoint begin = start();
    body();
    return (*this)(name, begin);
  }

  // Seconds since `start` without recording a phase (0 with timing off).
  double elapsed(TimePoint start) const {
    return timing_ ? secondsBetween(start, SystemClock::now()) : 0.0;
  }

  static double secondsBetween(TimePoint start, TimePoint end) {
    return static_cast<double>(
               std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count()) /
           1e9;
  }

 private:
  bool timing_;
  bool sync_;
  std::function<void()> synchronize_;
  Profiler& profiler_;
};

}  // namespace quelmar
