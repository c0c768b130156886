#pragma once
// How many threads a CPU search (or a batch helper call) runs on: the one
// place that decides it. Its OpenMP regions and the network's kernels
// (LibTorch, the OpenMP BLAS, oneDNN) share libgomp's pool, and every region
// waits at its join for the slowest member of its team: a team larger than
// the CPUs nobody else is using waits a scheduler time slice at each join
// for a member that another process has pushed off its CPU. So the team
// follows what the process may use and what is free of it, now:
//
//   - QUELMAR_THREADS=N, else OMP_NUM_THREADS, when set, is the team size,
//     fixed (QUELMAR_THREADS=auto: the rule below whatever OMP_NUM_THREADS is);
//   - otherwise the CPUs the process may run on (affinity mask, cgroup quota),
//     less those other processes keep busy (runnable threads that are not
//     this process's, sampled at most every 100 ms), shared out among the CPU
//     calls running at once in this process; at least 1.
//
// Results do not depend on the team size: every parallel loop writes its own
// slots and CLOSED's shards follow the CPU count, not the team.

#include <cstdint>

namespace quelmar {

// What the rule reads from the machine; tests give their own.
struct CpuView {
  int usable = 1;                // CPUs of the affinity mask, capped by a cgroup CPU quota
  int online = 1;                // CPUs of the machine
  int others_running = 0;        // runnable threads of other processes
  int override_threads = 0;      // QUELMAR_THREADS or OMP_NUM_THREADS when set, else 0
};

// The rule above, for `active` CPU calls running at once (the caller included).
int chooseSearchThreads(const CpuView& view, int active);

// The machine's view now: the cached sample when it is under 100 ms old.
CpuView currentCpuView();

// The team a CPU call gets now, with `active` calls running at once in this
// process (0: this process's current count plus the caller). The override is
// read from the environment once, at the first call.
int searchThreads(int active = 0);

// CPU calls (ScopedSearchThreads) running now in this process.
int activeSearchCalls();

// Counts the caller as a running CPU call and sets its OpenMP team size by
// the rule for the lifetime of the object (or to `threads`, fixed), then
// restores the caller's value. The caller's value is read before LibTorch's
// per-thread initialisation, which runs next so that it cannot override the
// setting.
class ScopedSearchThreads {
 public:
  ScopedSearchThreads();
  explicit ScopedSearchThreads(int threads);
  ~ScopedSearchThreads();
  ScopedSearchThreads(const ScopedSearchThreads&) = delete;
  ScopedSearchThreads& operator=(const ScopedSearchThreads&) = delete;

  // Applies the rule again when the machine's view has changed (a search
  // calls it once per iteration; cheap when nothing changed).
  void refresh();

 private:
  int previous_;
  bool fixed_;
  ScopedSearchThreads* outer_;  // the thread's enclosing scope, restored on exit
};

// Re-applies the rule for the calling thread's innermost ScopedSearchThreads,
// if any (engines call it once per iteration).
void refreshSearchThreads();

// Counters of the parallel loops, for benchmarks: regions opened, and the
// seconds the calling thread waited at their joins after its own share.
struct ParallelStats {
  uint64_t regions = 0;
  uint64_t serial = 0;  // loops run on the caller alone (team of 1 or one item)
  double join_wait_seconds = 0;
};
ParallelStats parallelStats();
void resetParallelStats();

}  // namespace quelmar
