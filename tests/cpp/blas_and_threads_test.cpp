// Which library serves LibTorch's matrix products, and how many threads a
// search and its network share. A reference BLAS makes every real network
// about a hundred times slower without failing anything else, so it is
// checked by name here rather than by timing.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <omp.h>

#include <ATen/ATen.h>
#include <ATen/Parallel.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <thread>

#include "cpu_search/search_threads.h"

namespace {

// The shared object that provides `symbol` to the process, or "".
std::string providerOf(const char* symbol, void** address) {
  *address = dlsym(RTLD_DEFAULT, symbol);
  Dl_info info{};
  if (*address == nullptr || dladdr(*address, &info) == 0 || info.dli_fname == nullptr) return {};
  return info.dli_fname;
}

bool libraryExports(const std::string& path, const char* symbol) {
  void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
  if (handle == nullptr) return false;
  const bool found = dlsym(handle, symbol) != nullptr;
  dlclose(handle);
  return found;
}

// Catches: an installation whose LibTorch products go to the reference BLAS,
// or to an OpenBLAS that adds its own threads to the search's pool. This
// checks the installation, not the code.
TEST(Installation, MatrixProductIsServedByAnOptimizedBlas) {
  // Make sure LibTorch has bound its BLAS by running one product.
  const at::Tensor a = at::ones({64, 64});
  ASSERT_EQ(at::mm(a, a).sum().item<float>(), 64.0f * 64.0f * 64.0f);

  void* sgemm = nullptr;
  const std::string provider = providerOf("sgemm_", &sgemm);
  const std::string config = at::show_config();
  if (provider.empty()) {
    // No Fortran BLAS symbol at all: LibTorch must carry MKL inside itself.
    EXPECT_NE(config.find("BLAS_INFO=mkl"), std::string::npos) << config;
    return;
  }
  const bool openblas = libraryExports(provider, "openblas_get_config");
  const bool blis = libraryExports(provider, "bli_info_get_version_str");
  const bool mkl = libraryExports(provider, "mkl_get_version");
  EXPECT_TRUE(openblas || blis || mkl)
      << "sgemm_ comes from " << provider
      << ", which is neither OpenBLAS, BLIS nor MKL: most likely the reference BLAS, "
         "which runs networks about a hundred times slower (see README, Building for speed)";
  if (openblas) {
    // 0 sequential, 1 pthreads, 2 OpenMP. Only the OpenMP flavour shares the
    // search's thread pool instead of adding its own threads to it.
    using Parallel = int (*)();
    const auto parallel = reinterpret_cast<Parallel>(dlsym(RTLD_DEFAULT, "openblas_get_parallel"));
    ASSERT_NE(parallel, nullptr);
    EXPECT_EQ(parallel(), 2) << "OpenBLAS at " << provider << " is not the OpenMP flavour";
  }
}

// Team size of an OpenMP region opened by the calling thread.
int teamSize() {
  int size = 0;
#pragma omp parallel
  {
#pragma omp single
    size = omp_get_num_threads();
  }
  return size;
}

// LibTorch's own team size for a thread it has not seen, read on a fresh one.
int libtorchThreadDefault() {
  int threads = 0;
  std::thread([&] { threads = at::get_num_threads(); }).join();
  return threads;
}

// Catches: a search thread scope that LibTorch's first use on a fresh thread
// resets, or that restores LibTorch's default instead of the caller's team size.
TEST(SearchThreads, ScopeHoldsAgainstLibTorchAndRestoresTheCallersValue) {
  // The caller's value differs from LibTorch's default on every machine, so
  // restoring the default instead of the caller's value fails here anywhere.
  const int caller = libtorchThreadDefault() + 1;
  const int search = caller + 1;
  int before = 0, inside_after_network = 0, team = 0, after = 0;
  // A fresh thread, as a Python thread calling a solver would be: LibTorch
  // initialises its per-thread settings there on first use.
  std::thread([&] {
    omp_set_num_threads(caller);
    before = omp_get_max_threads();
    {
      const quelmar::ScopedSearchThreads scope(search);
      const at::Tensor a = at::rand({256, 256});
      (void)at::mm(a, a);
      inside_after_network = omp_get_max_threads();
      team = teamSize();
    }
    after = omp_get_max_threads();
  }).join();
  EXPECT_EQ(before, caller);
  EXPECT_EQ(inside_after_network, search);
  EXPECT_EQ(team, search);
  EXPECT_EQ(after, caller);
}

}  // namespace

namespace {

// Catches: a rule that ignores the load, the mask or the calls sharing the
// process, or that lets the load override a user's explicit count.
TEST(SearchThreads, RuleFollowsTheFreeCpusAndTheOverride) {
  struct Case {
    const char* what;
    quelmar::CpuView view;  // usable, online, others running, override
    int active;
    int expected;
  };
  const Case cases[] = {
      {"alone on 2 CPUs", {2, 2, 0, 0}, 1, 2},
      {"beside one busy process", {2, 2, 1, 0}, 1, 1},
      {"beside two busy processes", {2, 2, 2, 0}, 1, 1},
      {"more busy threads than CPUs", {2, 2, 9, 0}, 1, 1},
      {"OMP_NUM_THREADS wins over the load", {2, 2, 2, 3}, 1, 3},
      {"OMP_NUM_THREADS wins over the calls", {8, 8, 0, 4}, 4, 4},
      {"mask of 1 CPU out of 8", {1, 8, 0, 0}, 1, 1},
      {"busy CPUs outside the mask first", {2, 8, 5, 0}, 1, 2},
      {"busy CPUs reach into the mask", {2, 8, 7, 0}, 1, 1},
      {"two calls share 4 free CPUs", {4, 4, 0, 0}, 2, 2},
      {"three calls share 4 free CPUs", {4, 4, 0, 0}, 3, 1},
      {"calls and load together", {8, 8, 2, 0}, 3, 2},
      {"no call counted yet", {4, 4, 0, 0}, 0, 4},
  };
  for (const Case& c : cases)
    EXPECT_EQ(quelmar::chooseSearchThreads(c.view, c.active), c.expected) << c.what;
}

// Catches: a scope that forgets to count its call (two concurrent searches
// would each take every CPU) or that leaks its count.
TEST(SearchThreads, ScopesCountTheCallsRunningAtOnce) {
  if (std::getenv("OMP_NUM_THREADS") != nullptr) GTEST_SKIP() << "OMP_NUM_THREADS fixes the count";
  const int usable = quelmar::currentCpuView().usable;
  {
    const quelmar::ScopedSearchThreads first;
    const quelmar::ScopedSearchThreads second;
    EXPECT_EQ(quelmar::activeSearchCalls(), 2);
    // A third call shares the CPUs with the two running ones.
    EXPECT_LE(quelmar::searchThreads(), std::max(usable / 3, 1));
  }
  EXPECT_EQ(quelmar::activeSearchCalls(), 0);
}

}  // namespace
