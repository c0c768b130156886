#pragma once
// Static-split OpenMP loop: with n items and T threads, threads 0..r-1 take
// q+1 consecutive items and the rest q (q = n / T, r = n % T). Each item may
// only write its own output slot. T is the calling thread's team size
// (cpu_search/search_threads.h decides it), lowered so that each thread has at
// least `min_items_per_thread` items; with T = 1 the loop runs on the caller
// without opening a region, so a search that the machine's load has left one
// CPU, or a small batch, pays no fork or join.
//
// An exception thrown by an item (plug-in code must not throw here, but may)
// is caught inside the region, the remaining items are skipped, and the first
// exception is rethrown on the calling thread after the region: letting it
// escape the region would terminate the process.

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>

namespace quelmar {

namespace parallel_detail {
// Counters behind parallelStats() (cpu_search/search_threads.h).
void countRegion(uint64_t join_wait_ns);
void countSerial();
}  // namespace parallel_detail

// Items per thread below which a loop of light items (one state's expansion,
// goal test, hash or inputs: well under a microsecond to a few) runs on fewer
// threads, down to the caller alone: a region's fork and join cost more than
// such a share (in one run of bench/busy_machine.py, 15-puzzle A* at batch 100
// ran 1.6 times faster alone on one thread than on two).
inline constexpr size_t kLightItemsPerThread = 256;

template <typename Body>
void parallelForStatic(size_t n, Body&& body, size_t min_items_per_thread = kLightItemsPerThread) {
  if (n == 0) return;
  const size_t most = n / std::max<size_t>(min_items_per_thread, 1);
  const int team = static_cast<int>(
      std::min<size_t>(static_cast<size_t>(std::max(omp_get_max_threads(), 1)), most));
  if (team <= 1) {
    parallel_detail::countSerial();
    for (size_t i = 0; i < n; ++i) body(i);
    return;
  }
  std::atomic<bool> failed{false};
  std::exception_ptr error;
  std::mutex error_mutex;
  std::chrono::steady_clock::time_point own_share_done;
#pragma omp parallel num_threads(team)
  {
    const size_t threads = static_cast<size_t>(omp_get_num_threads());
    const size_t t = static_cast<size_t>(omp_get_thread_num());
    const size_t q = n / threads, r = n % threads;
    const size_t begin = t < r ? t * (q + 1) : r + t * q;
    const size_t end = begin + (t < r ? q + 1 : q);
    for (size_t i = begin; i < end && !failed.load(std::memory_order_relaxed); ++i) {
      try {
        body(i);
      } catch (...) {
        std::lock_guard<std::mutex> lock(error_mutex);
        if (!error) error = std::current_exception();
        failed.store(true, std::memory_order_relaxed);
      }
    }
    if (t == 0) own_share_done = std::chrono::steady_clock::now();
  }
  // What the caller waited at the join for the rest of its team.
  parallel_detail::countRegion(static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() -
                                                           own_share_done)
          .count()));
  if (error) std::rethrow_exception(error);
}

}  // namespace quelmar
