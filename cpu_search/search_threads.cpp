#include "cpu_search/search_threads.h"

#include <dirent.h>
#include <omp.h>
#include <sched.h>
#include <unistd.h>

#include <ATen/Parallel.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <mutex>
#include <string>
#include <thread>

#include "cpu_search/parallel_for.h"

namespace quelmar {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kSampleInterval = std::chrono::milliseconds(100);
// Samples of other processes' runnable threads whose median is used: one
// odd sample (a short-lived process, a thread caught waking) changes nothing.
constexpr size_t kSamples = 5;

std::atomic<int> g_active{0};
std::atomic<uint64_t> g_regions{0}, g_serial{0}, g_wait_ns{0};

// A positive count at the start of `text` ("4", or "4,2" as libgomp lists
// nested teams), else 0.
int countIn(const char* text) {
  if (text == nullptr) return 0;
  const long n = std::strtol(text, nullptr, 10);
  return n > 0 ? static_cast<int>(std::min<long>(n, 1 << 16)) : 0;
}

// QUELMAR_THREADS (a count, or "auto" for the rule whatever OMP_NUM_THREADS
// says: Dask sets OMP_NUM_THREADS=1 in the workers it spawns), else
// OMP_NUM_THREADS; 0 when the rule decides. Read once, at the first search.
int overrideThreads() {
  static const int value = [] {
    const char* own = std::getenv("QUELMAR_THREADS");
    if (own != nullptr && std::strcmp(own, "auto") == 0) return 0;
    if (countIn(own) > 0) return countIn(own);
    return countIn(std::getenv("OMP_NUM_THREADS"));
  }();
  return value;
}

int affinityCpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) != 0) return 1;
  return std::max(CPU_COUNT(&set), 1);
}

// CPUs a cgroup v2 quota ("cpu.max": quota and period) allows, 0 when none.
int cgroupCpus() {
  std::ifstream cgroup("/proc/self/cgroup");
  std::string line, path;
  while (std::getline(cgroup, line))
    if (line.rfind("0::", 0) == 0) path = line.substr(3);
  std::ifstream max("/sys/fs/cgroup" + path + "/cpu.max");
  std::string quota;
  double period = 0;
  if (!(max >> quota >> period) || quota == "max" || period <= 0) return 0;
  const double cpus = std::strtod(quota.c_str(), nullptr) / period;
  return cpus > 0 ? std::max(static_cast<int>(std::ceil(cpus)), 1) : 0;
}

int onlineCpus() {
  const long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<int>(n) : 1;
}

// Runnable threads of the machine ("R" of /proc/loadavg's "R/T"), less this
// process's own: its search threads and any spinning idle pool member.
int othersRunning() {
  FILE* loadavg = std::fopen("/proc/loadavg", "r");
  if (loadavg == nullptr) return 0;
  double l1, l5, l15;
  int running = 0, total = 0;
  const int read = std::fscanf(loadavg, "%lf %lf %lf %d/%d", &l1, &l5, &l15, &running, &total);
  std::fclose(loadavg);
  if (read != 5) return 0;
  int own = 0;
  if (DIR* tasks = opendir("/proc/self/task")) {
    while (const dirent* entry = readdir(tasks)) {
      if (entry->d_name[0] == '.') continue;
      const std::string stat = std::string("/proc/self/task/") + entry->d_name + "/stat";
      FILE* file = std::fopen(stat.c_str(), "r");
      if (file == nullptr) continue;
      char buffer[512];
      const size_t n = std::fread(buffer, 1, sizeof(buffer) - 1, file);
      std::fclose(file);
      buffer[n] = '\0';
      // The state follows the command name, which may hold spaces and ')'.
      const char* end = std::strrchr(buffer, ')');
      if (end != nullptr && end[1] == ' ' && end[2] == 'R') ++own;
    }
    closedir(tasks);
  }
  return std::max(running - own, 0);
}

class CpuSampler {
 public:
  CpuView view() {
    const int64_t now = Clock::now().time_since_epoch().count();
    if (now - last_.load(std::memory_order_acquire) < kIntervalTicks) return cached();
    std::lock_guard<std::mutex> lock(mutex_);
    if (now - last_.load(std::memory_order_relaxed) >= kIntervalTicks) sample();
    return cached();
  }

 private:
  static constexpr int64_t kIntervalTicks =
      std::chrono::duration_cast<Clock::duration>(kSampleInterval).count();

  CpuView cached() {
    CpuView view;
    view.usable = usable_.load(std::memory_order_relaxed);
    view.online = online_;
    view.others_running = others_.load(std::memory_order_relaxed);
    view.override_threads = overrideThreads();
    return view;
  }

  void sample() {
    if (count_ == 0) {
      // The first view decides the first searches: three quick samples.
      for (int i = 0; i < 3; ++i) {
        if (i > 0) std::this_thread::sleep_for(std::chrono::microseconds(300));
        push(othersRunning());
      }
    } else {
      push(othersRunning());
    }
    // The median of at most five: an insertion sort.
    std::array<int, kSamples> sorted{};
    const size_t n = std::min(count_, kSamples);
    for (size_t i = 0; i < n; ++i) {
      size_t j = i;
      for (; j > 0 && sorted[j - 1] > history_[i]; --j) sorted[j] = sorted[j - 1];
      sorted[j] = history_[i];
    }
    others_.store(sorted[n / 2], std::memory_order_relaxed);
    // A quota is set when the container starts: read it once, not at every sample.
    static const int cgroup = cgroupCpus();
    usable_.store(cgroup > 0 ? std::min(affinityCpus(), cgroup) : affinityCpus(),
                  std::memory_order_relaxed);
    last_.store(Clock::now().time_since_epoch().count(), std::memory_order_release);
  }

  void push(int others) { history_[count_++ % kSamples] = others; }

  std::mutex mutex_;
  std::atomic<int64_t> last_{std::numeric_limits<int64_t>::min() / 2};
  std::atomic<int> usable_{1}, others_{0};
  const int online_ = onlineCpus();
  std::array<int, kSamples> history_{};
  size_t count_ = 0;
};

CpuSampler& sampler() {
  static CpuSampler instance;
  return instance;
}

thread_local ScopedSearchThreads* t_scope = nullptr;

}  // namespace

int chooseSearchThreads(const CpuView& view, int active) {
  if (view.override_threads > 0) return view.override_threads;
  const int usable = std::max(view.usable, 1);
  // Other processes' threads take the CPUs outside the mask first.
  const int free = std::clamp(view.online - view.others_running, 1, usable);
  return std::max(free / std::max(active, 1), 1);
}

CpuView currentCpuView() { return sampler().view(); }

int searchThreads(int active) {
  if (overrideThreads() > 0) return overrideThreads();
  return chooseSearchThreads(currentCpuView(),
                             active > 0 ? active : g_active.load(std::memory_order_relaxed) + 1);
}

int activeSearchCalls() { return g_active.load(std::memory_order_relaxed); }

ScopedSearchThreads::ScopedSearchThreads(int threads)
    : previous_(omp_get_max_threads()), fixed_(true), outer_(t_scope) {
  // The caller's value is read above, before LibTorch's per-thread
  // initialisation, which sets the thread to LibTorch's own default. That
  // initialisation runs now rather than inside the first network call, so
  // it cannot override the search's setting either.
  (void)at::get_num_threads();
  omp_set_num_threads(std::max(threads, 1));
  g_active.fetch_add(1, std::memory_order_relaxed);
  t_scope = this;
}

ScopedSearchThreads::ScopedSearchThreads() : ScopedSearchThreads(1) {
  // Counted first, then sized: two calls starting at once see each other.
  fixed_ = false;
  omp_set_num_threads(searchThreads(g_active.load(std::memory_order_relaxed)));
}

ScopedSearchThreads::~ScopedSearchThreads() {
  t_scope = outer_;
  g_active.fetch_sub(1, std::memory_order_relaxed);
  omp_set_num_threads(previous_);
}

void ScopedSearchThreads::refresh() {
  if (fixed_) return;
  const int threads = searchThreads(g_active.load(std::memory_order_relaxed));
  if (threads != omp_get_max_threads()) omp_set_num_threads(threads);
}

void refreshSearchThreads() {
  if (t_scope != nullptr) t_scope->refresh();
}

ParallelStats parallelStats() {
  return {g_regions.load(), g_serial.load(), static_cast<double>(g_wait_ns.load()) * 1e-9};
}

void resetParallelStats() {
  g_regions = 0;
  g_serial = 0;
  g_wait_ns = 0;
}

namespace parallel_detail {
void countRegion(uint64_t join_wait_ns) {
  g_regions.fetch_add(1, std::memory_order_relaxed);
  g_wait_ns.fetch_add(join_wait_ns, std::memory_order_relaxed);
}
void countSerial() { g_serial.fetch_add(1, std::memory_order_relaxed); }
}  // namespace parallel_detail

}  // namespace quelmar
