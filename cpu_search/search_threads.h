#pragma once
// Thread count of a CPU search: its OpenMP regions and the network's kernels
// (LibTorch, the OpenMP BLAS, oneDNN) share libgomp's one pool.

namespace quelmar {

// The process's OpenMP default (OMP_NUM_THREADS, else the usable CPUs), as a
// thread that nobody has configured sees it. LibTorch sets each thread it
// touches to its own default (physical cores as cpuinfo counts them, which
// is 1 on some virtual machines), so the calling thread's value is no guide.
int defaultSearchThreads();

// Sets the calling thread's OpenMP team size to `threads` for the lifetime
// of the object and restores the caller's value afterwards. The caller's
// value is read before LibTorch's per-thread initialisation, which runs next
// so that it cannot override the setting.
class ScopedSearchThreads {
 public:
  explicit ScopedSearchThreads(int threads);
  ~ScopedSearchThreads();
  ScopedSearchThreads(const ScopedSearchThreads&) = delete;
  ScopedSearchThreads& operator=(const ScopedSearchThreads&) = delete;

 private:
  int previous_;
};

}  // namespace quelmar
