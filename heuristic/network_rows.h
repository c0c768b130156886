#pragma once
// The count of network rows the CPU-path runners of this process have scored
// (AOTIHeuristicRunner::infer), for the benchmarks' rows per search. Kept
// apart from the runner's header so that readers need no LibTorch headers.

#include <cstdint>

namespace quelmar {

uint64_t networkRowsScored();
void resetNetworkRowsScored();

}  // namespace quelmar
