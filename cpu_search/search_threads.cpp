#include "cpu_search/search_threads.h"

#include <omp.h>

#include <ATen/Parallel.h>

#include <algorithm>
#include <thread>

namespace quelmar {

int defaultSearchThreads() {
  // A fresh thread carries libgomp's initial settings, untouched by LibTorch.
  static const int threads = [] {
    int n = 1;
    std::thread([&n] { n = omp_get_max_threads(); }).join();
    return std::max(n, 1);
  }();
  return threads;
}

ScopedSearchThreads::ScopedSearchThreads(int threads) : previous_(omp_get_max_threads()) {
  // The caller's value is read above, before LibTorch's per-thread
  // initialisation, which sets the thread to LibTorch's own default. That
  // initialisation runs now rather than inside the first network call, so
  // it cannot override the search's setting either.
  (void)at::get_num_threads();
  omp_set_num_threads(std::max(threads, 1));
}

ScopedSearchThreads::~ScopedSearchThreads() { omp_set_num_threads(previous_); }

}  // namespace quelmar
