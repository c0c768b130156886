#pragma once
// Static-split OpenMP loop: with n items and T threads, threads 0..r-1 take
// q+1 consecutive items and the rest q (q = n / T, r = n % T). Each item may
// only write its own output slot.
//
// An exception thrown by an item (plug-in code must not throw here, but may)
// is caught inside the region, the remaining items are skipped, and the first
// exception is rethrown on the calling thread after the region: letting it
// escape the region would terminate the process.

#include <omp.h>

#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>

namespace quelmar {

template <typename Body>
void parallelForStatic(size_t n, Body&& body) {
  if (n == 0) return;
  std::atomic<bool> failed{false};
  std::exception_ptr error;
  std::mutex error_mutex;
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
  }
  if (error) std::rethrow_exception(error);
}

}  // namespace quelmar
