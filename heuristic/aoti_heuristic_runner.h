#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <ATen/Tensor.h>
#include <c10/core/Device.h>
#include <torch/csrc/inductor/aoti_package/model_package_loader.h>

#include "heuristic/aoti_manifest.h"
#include "heuristic/model_package.h"

namespace quelmar {

// Evaluates a heuristic network from an AOTInductor package on host buffers.
// Used from one thread at a time; callers hold c10::InferenceMode.
class AOTIHeuristicRunner {
 public:
  // Parses device_spec, loads manifest.package_path and checks that the
  // manifest describes at least one input and a single-scalar output.
  AOTIHeuristicRunner(AOTIManifest manifest, std::string device_spec);
  // A runner that keeps `columns` outputs per example (a Q-network's, one per
  // move); the manifest must say exactly that many, else std::invalid_argument.
  // infer() then returns batch x columns values, example after example, and
  // throws std::runtime_error when the package's output has another width.
  AOTIHeuristicRunner(AOTIManifest manifest, std::string device_spec, uint64_t columns);

  AOTIHeuristicRunner(const AOTIHeuristicRunner&) = delete;
  AOTIHeuristicRunner& operator=(const AOTIHeuristicRunner&) = delete;

  // "", "auto", "cpu", "cuda", "cuda:1", " mps ", "privateuseone:0", ...
  // Blanks around the device string are ignored; kinds are case-sensitive.
  static c10::Device parseDevice(const std::string& spec);

  // inputs[i] holds batch * numel_per_example floats of manifest input i,
  // example after example. Returns one heuristic per example, unclamped;
  // throws std::runtime_error when any of them is NaN.
  std::vector<float> infer(const std::vector<std::vector<float>>& inputs, uint64_t batch);

  // Waits for queued device work (CUDA only; a no-op elsewhere).
  void synchronize() const;

  const c10::Device& device() const { return device_; }
  uint64_t columns() const { return columns_; }
  const AOTIManifest& manifest() const { return manifest_; }

  // The most rows one package call scores on the CPU; infer() slices larger batches.
  static constexpr int64_t kCpuRowsPerCall = 4096;

 private:
  // Runs the package on `tensors` (`rows` examples) and writes the kept
  // columns of its first output to out (column 0 of a value network's).
  void scoreRows(const std::vector<at::Tensor>& tensors, int64_t rows, float* out);

  c10::Device device_;
  AOTIManifest manifest_;
  uint64_t columns_ = 1;  // outputs kept per example
  std::shared_ptr<torch::inductor::AOTIModelPackageLoader> loader_;  // shared, cached
};

// Runs the package on float32 tensors already on the device and returns
// column 0 of its first output, clamped at zero, left where it was produced.
// Throws std::runtime_error when any value is NaN.
at::Tensor runTensorHeuristic(torch::inductor::AOTIModelPackageLoader& loader,
                              const std::vector<at::Tensor>& tensors);

}  // namespace quelmar
