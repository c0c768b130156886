#pragma once
// The GPU solver: batched weighted A* whose OPEN, CLOSED, node store and
// per-node work are LibTorch tensors on one device.

#include <cstdint>
#include <string>
#include <vector>

#include <c10/core/Device.h>

#include "config/search_result.h"
#include "config/solver_settings.h"

namespace quelmar {

// Native entry point: requires a CUDA/ROCm device and a CUDA device string,
// then runs tensorAStarSearch on that device.
SearchResult run_torch_gpu_astar(const std::vector<uint8_t>& state, const std::string& env,
                                 const std::string& package_path, const TorchAStarConfig& config);

// The search itself, on any device (the CPU device in tests). The model
// package must be compiled for `device`.
SearchResult tensorAStarSearch(const std::vector<uint8_t>& state, const std::string& env,
                               const std::string& package_path, const TorchAStarConfig& config,
                               const c10::Device& device);

}  // namespace quelmar
