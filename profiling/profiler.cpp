#include "profiling/profiler.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

namespace quelmar {
namespace {

double microseconds(SystemClock::duration d) {
  return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(d).count()) /
         1000.0;
}

std::string formatGeneral(double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%g", value);
  return buffer;
}

std::filesystem::path artifactPath(const ProfilingOptions& options, const char* suffix) {
  return std::filesystem::path(options.output_dir) / (options.run_id + suffix);
}

}  // namespace

Profiler::Profiler(const ProfilingOptions& options) : options_(options), active_(options.enabled) {
  if (active_) {
    if (options_.output_dir.empty()) options_.output_dir = "profile";
    start_ = SystemClock::now();
  }
}

void Profiler::record_impl(const char* name, TimePoint start, TimePoint end) {
  const double duration = microseconds(end - start);
  events_.push_back({name, microseconds(start - start_), duration});
  PhaseStats& stats = phases_[name];
  stats.total_us += duration;
  stats.max_us = std::max(stats.max_us, duration);
  stats.count += 1;
}

void Profiler::finalize_impl() {
  if (!options_.trace && !options_.summary) return;
  std::filesystem::create_directories(options_.output_dir);
  if (options_.trace) write_trace();
  if (options_.summary) write_summary();
}

void Profiler::write_trace() const {
  std::ofstream out(artifactPath(options_, "_trace.json"), std::ios::out | std::ios::trunc);
  if (!out) return;
  std::string text = "{\"traceEvents\":[";
  for (size_t i = 0; i < events_.size(); ++i) {
    const Event& e = events_[i];
    if (i > 0) text += ',';
    text += "{\"name\":\"" + e.name + "\",\"ph\":\"X\",\"ts\":" + formatGeneral(e.start_us) +
            ",\"dur\":" + formatGeneral(e.duration_us) + ",\"pid\":0,\"tid\":0}";
  }
  text += "],\"displayTimeUnit\":\"ms\"}";
  out << text;
}

void Profiler::write_summary() const {
  std::ofstream out(artifactPath(options_, "_summary.txt"), std::ios::out | std::ios::trunc);
  if (!out) return;
  out << "Phase                       Count    Avg ms    Max ms    Total ms\n";
  out << std::string(65, '-') << '\n';
  for (const auto& [name, stats] : phases_) {
    const double average = stats.count == 0 ? 0.0 : stats.total_us / 1000.0 / stats.count;
    char row[256];
    const int n = std::snprintf(row, sizeof row, "%-26s %7llu %9.3f %9.3f %10.3f\n",
                                name.substr(0, 26).c_str(),
                                static_cast<unsigned long long>(stats.count), average,
                                stats.max_us / 1000.0, stats.total_us / 1000.0);
    out.write(row, std::min<int>(n, sizeof row - 1));
  }
}

}  // namespace quelmar
