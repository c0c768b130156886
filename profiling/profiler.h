#pragma once
// Per-search phase recorder. Keeps every measured interval and, when the
// search completes, writes a Chrome trace (<run_id>_trace.json) and a
// fixed-width summary (<run_id>_summary.txt) into options.output_dir.
// An inactive profiler records nothing and never touches the file system.

#include <chrono>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "config/solver_settings.h"

namespace quelmar {

using SystemClock = std::chrono::system_clock;
using TimePoint = SystemClock::time_point;

class Profiler {
 public:
  struct Event {
    std::string name;
    double start_us;     // offset from the profiler's start
    double duration_us;
  };
  struct PhaseStats {
    double total_us = 0.0;
    double max_us = 0.0;
    uint64_t count = 0;
  };

  explicit Profiler(const ProfilingOptions& options);

  bool active() const { return active_; }
  const ProfilingOptions& options() const { return options_; }
  const std::vector<Event>& events() const { return events_; }
  const std::unordered_map<std::string, PhaseStats>& phases() const { return phases_; }

  void record_impl(const char* name, TimePoint start, TimePoint end);

  // Creates output_dir and writes the requested artifacts. Directory
  // creation errors propagate; a file that cannot be opened is skipped.
  void finalize_impl();
  void write_trace() const;
  void write_summary() const;

 private:
  ProfilingOptions options_;
  bool active_ = false;
  TimePoint start_{};
  std::vector<Event> events_;
  std::unordered_map<std::string, PhaseStats> phases_;
};

// The settings' profiling options, with `run_id` filled in when they name none.
template <typename Settings>
ProfilingOptions profilingOptionsWithRunId(const Settings& settings, const char* run_id) {
  ProfilingOptions options = settings.profiling;
  if (options.run_id.empty()) options.run_id = run_id;
  return options;
}

}  // namespace quelmar
