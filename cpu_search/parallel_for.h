#pragma once
// Static-split OpenMP loop: with n items and T threads, threads 0..r-1 take
// q+1 consecutive items and the rest q (q = n / T, r = n % T). Each item may
// only write its own output slot. T is the calling thread's team size
// (cpu_search/search_threads.h decides it); with T = 1 or a single item the
// loop runs on the caller without opening a region, so a search that the
// machine's load has left one CPU pays no fork or join.
//
// An exception thrown by an item (plug-in code must not throw here, but may)
// is caught inside the region, the remaining items are skipped, and the first
// exception is rethrown on the calling thread after the region: letting it
// escape the region would terminate the process.

#include <omp.h>

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

template <typename Body>
void parallelForStatic(size_t n, Body&& body) {
  if (n == 0) return;
  if (n == 1 || omp_get_max_threads() <= 1) {
    parallel_detail::countSerial();
    for (size_t i = 0; i < n; ++i) body(i);
    return;
  }
  std::atomic<bool> failed{false};
  std::exception_ptr error;
  std::mutex error_mutex;
  std::chrono::steady_clock::time_point own_share_done;
#pragma omp parallel
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
