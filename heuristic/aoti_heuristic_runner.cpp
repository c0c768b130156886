#include "heuristic/aoti_heuristic_runner.h"
#include "heuristic/network_rows.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string_view>
#include <utility>

#include <ATen/Context.h>
#include <ATen/Functions.h>
#include <torch/cuda.h>

namespace quelmar {
namespace {

constexpr const char* kBlanks = " \t\n\r";

// c10::Device keeps an 8-bit signed index; a wider value would wrap into a
// different device, so it is refused (-1 keeps its "current device" meaning).
c10::DeviceIndex narrowIndex(int index) {
  if (index < -1 || index > std::numeric_limits<c10::DeviceIndex>::max()) {
    throw std::out_of_range("Device index " + std::to_string(index) +
                            " is out of range for a device spec (expected -1 to " +
                            std::to_string(std::numeric_limits<c10::DeviceIndex>::max()) + ")");
  }
  return static_cast<c10::DeviceIndex>(index);
}

int64_t checkedProduct(const std::vector<int64_t>& shape, const std::string& input_name) {
  int64_t product = 1;
  for (int64_t dim : shape) {
    if (dim < 0) {
      throw std::invalid_argument("Manifest shape of input '" + input_name +
                                  "' has a negative dimension " + std::to_string(dim));
    }
    if (__builtin_mul_overflow(product, dim, &product)) {
      throw std::invalid_argument("Manifest shape of input '" + input_name +
                                  "' has too many elements");
    }
  }
  return product;
}

std::string shapeText(const std::vector<int64_t>& shape) {
  std::string text = "[";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    text += (i ? ", " : "") + std::to_string(shape[i]);
  }
  return text + "]";
}

std::string nanMessage(int64_t count, int64_t total, int64_t first) {
  return "Heuristic network returned " + std::to_string(count) + " NaN value" +
         (count == 1 ? "" : "s") + " in a batch of " + std::to_string(total) +
         " (first at index " + std::to_string(first) + "); the network may have diverged";
}

// A NaN key would silently break OPEN's order, so it ends the search.
void checkNoNaN(const std::vector<float>& values) {
  int64_t count = 0, first = -1;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (std::isnan(values[i])) {
      if (count++ == 0) first = static_cast<int64_t>(i);
    }
  }
  if (count > 0) throw std::runtime_error(nanMessage(count, static_cast<int64_t>(values.size()), first));
}

void checkNoNaN(const at::Tensor& values) {
  const at::Tensor nan = at::isnan(values);
  const int64_t count = nan.sum().item<int64_t>();
  if (count > 0)
    throw std::runtime_error(
        nanMessage(count, values.numel(), nan.nonzero().select(1, 0).min().item<int64_t>()));
}

}  // namespace

AOTIHeuristicRunner::AOTIHeuristicRunner(AOTIManifest manifest, std::string device_spec)
    : device_(parseDevice(device_spec)),
      manifest_(std::move(manifest)),
      // The package picks its own device index; the runner moves inputs to device_.
      loader_(loadModelPackage(manifest_.package_path, device_)) {
  if (manifest_.inputs.empty()) {
    throw std::invalid_argument("Manifest must describe at least one input tensor");
  }
  if (manifest_.output_elements_per_example != 1) {
    throw std::invalid_argument("Only single-scalar output heads are supported for heuristics");
  }
}

AOTIHeuristicRunner::AOTIHeuristicRunner(AOTIManifest manifest, std::string device_spec,
                                         uint64_t columns)
    : device_(parseDevice(device_spec)),
      manifest_(std::move(manifest)),
      columns_(columns),
      loader_(nullptr) {
  if (manifest_.inputs.empty()) {
    throw std::invalid_argument("Manifest must describe at least one input tensor");
  }
  if (columns_ == 0 || manifest_.output_elements_per_example != columns_) {
    throw std::invalid_argument("Model package " + manifest_.package_path + " has " +
                                std::to_string(manifest_.output_elements_per_example) +
                                " output(s) per state, but the search needs " +
                                std::to_string(columns_) + " (one per move)");
  }
  // Checked before loading: a value package is refused without unpacking it.
  loader_ = loadModelPackage(manifest_.package_path, device_);
}

namespace {

std::atomic<uint64_t> rows_scored{0};

// The accelerator kinds a device string may name, in the order "auto"
// prefers them. `available` is null where LibTorch cannot tell in advance
// (a private backend registers itself at run time).
struct DeviceKind {
  std::string_view name;
  c10::DeviceType type;
  bool (*available)();
  const char* unavailable;  // message when not available
  bool single;              // one device only: the index is ignored
};

constexpr DeviceKind kDeviceKinds[] = {
    {"cuda", c10::DeviceType::CUDA, [] { return at::globalContext().hasCUDA(); },
     "CUDA device requested but CUDA is unavailable in this build", false},
    {"xpu", c10::DeviceType::XPU, [] { return at::globalContext().hasXPU(); },
     "XPU device requested but XPU support is unavailable in this build", false},
    {"hpu", c10::DeviceType::HPU, [] { return at::globalContext().hasHPU(); },
     "HPU device requested but HPU support is unavailable in this build", false},
    {"mtia", c10::DeviceType::MTIA, [] { return at::globalContext().hasMTIA(); },
     "MTIA device requested but MTIA support is unavailable in this build", false},
    {"xla", c10::DeviceType::XLA, [] { return at::globalContext().hasXLA(); },
     "XLA device requested but XLA support is unavailable in this build", false},
    {"mps", c10::DeviceType::MPS, [] { return at::globalContext().hasMPS(); },
     "MPS device requested but MPS support is unavailable in this build", true},
    {"privateuseone", c10::DeviceType::PrivateUse1, nullptr, nullptr, false},
};

std::string trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(kBlanks);
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

}  // namespace

c10::Device AOTIHeuristicRunner::parseDevice(const std::string& spec) {
  const std::string text = trimmed(spec);
  const auto colon = text.find(':');
  std::string kind = text.substr(0, colon);
  const std::string index_text = colon == std::string::npos ? "" : text.substr(colon + 1);

  if (kind.empty() || kind == "auto") {
    kind = "cpu";
    for (const DeviceKind& row : kDeviceKinds) {
      if (row.available != nullptr && row.available()) {
        kind = row.name;
        break;
      }
    }
  }
  if (kind == "cpu") return c10::Device(c10::DeviceType::CPU, -1);

  // std::stoi: leading blanks and a sign allowed, trailing text ignored;
  // throws invalid_argument / out_of_range with the text "stoi". It runs
  // before the kind is looked up, so a bad index fails first.
  const int index = index_text.empty() ? 0 : std::stoi(index_text);
  for (const DeviceKind& row : kDeviceKinds) {
    if (row.name != kind) continue;
    if (row.available != nullptr && !row.available()) throw std::runtime_error(row.unavailable);
    return c10::Device(row.type, row.single ? c10::DeviceIndex{-1} : narrowIndex(index));
  }
  throw std::invalid_argument("Unsupported device spec: " + spec);
}

std::vector<float> AOTIHeuristicRunner::infer(const std::vector<std::vector<float>>& inputs,
                                              uint64_t batch) {
  if (batch == 0) {
    return {};
  }
  if (inputs.size() != manifest_.inputs.size()) {
    throw std::invalid_argument("Mismatch between provided inputs and manifest");
  }
  const auto signed_batch = static_cast<int64_t>(batch);

  std::vector<at::Tensor> tensors;
  tensors.reserve(inputs.size());
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    const AOTIInputSpec& spec = manifest_.inputs[i];
    const std::vector<float>& buffer = inputs[i];
    if (spec.dtype != "float32") {
      throw std::invalid_argument("Only float32 inputs are supported presently");
    }
    // A product that wraps could match a short buffer by accident.
    uint64_t expected = 0;
    if (__builtin_mul_overflow(batch, spec.numel_per_example, &expected) ||
        buffer.size() != expected) {
      throw std::invalid_argument("Input buffer size does not match manifest numel");
    }
    if (signed_batch < 0) {
      // Only reachable with numel_per_example 0 and an empty buffer.
      throw std::invalid_argument("Batch size " + std::to_string(batch) +
                                  " does not fit a tensor dimension");
    }

    std::vector<int64_t> shape = spec.shape;
    if (shape.empty()) {
      shape.push_back(signed_batch);
    } else if (shape.front() == -1) {
      shape.front() = signed_batch;
    } else if (shape.front() != signed_batch) {
      throw std::invalid_argument("First dimension of manifest shape does not match batch size");
    }
    // The tensor is a view over the caller's buffer: its shape must cover
    // exactly the buffer, never more.
    const int64_t elements = checkedProduct(shape, spec.name);
    if (static_cast<uint64_t>(elements) != expected) {
      throw std::invalid_argument("Manifest shape " + shapeText(shape) + " of input '" +
                                  spec.name + "' holds " + std::to_string(elements) +
                                  " elements, but batch " + std::to_string(batch) +
                                  " x numel_per_example " +
                                  std::to_string(spec.numel_per_example) + " is " +
                                  std::to_string(expected));
    }

    at::Tensor tensor =
        at::from_blob(const_cast<float*>(buffer.data()), shape,
                      at::TensorOptions().dtype(at::kFloat).device(at::kCPU))
            .clone();
    if (device_.type() != c10::DeviceType::CPU) {
      tensor = tensor.to(device_);
    }
    tensors.push_back(std::move(tensor));
  }

  std::vector<float> result(batch * columns_);
  // On the CPU, one call over tens of thousands of rows runs about 3 times
  // slower than calls over a few thousand: its activations are mapped afresh
  // and outgrow the caches (bench/infer_rows.py). Rows are scored
  // independently, so slicing changes no value.
  const int64_t rows_per_call = device_.type() == c10::DeviceType::CPU ? kCpuRowsPerCall : signed_batch;
  for (int64_t first = 0; first < signed_batch; first += rows_per_call) {
    const int64_t rows = std::min(rows_per_call, signed_batch - first);
    std::vector<at::Tensor> slice;
    slice.reserve(tensors.size());
    for (const at::Tensor& tensor : tensors) {
      slice.push_back(tensor.narrow(0, first, rows));
    }
    scoreRows(slice, rows, result.data() + first * static_cast<int64_t>(columns_));
  }
  checkNoNaN(result);
  rows_scored.fetch_add(batch, std::memory_order_relaxed);
  return result;
}

uint64_t networkRowsScored() { return rows_scored.load(std::memory_order_relaxed); }
void resetNetworkRowsScored() { rows_scored.store(0, std::memory_order_relaxed); }

void AOTIHeuristicRunner::scoreRows(const std::vector<at::Tensor>& tensors, int64_t rows,
                                    float* out) {
  std::vector<at::Tensor> outputs = loader_->run(tensors);
  if (outputs.empty()) {
    throw std::runtime_error("AOTI package returned no outputs for the provided inputs");
  }
  at::Tensor output = outputs.front().to(at::kCPU).to(at::kFloat).contiguous();

  // size(0) of a zero-dimensional output raises LibTorch's own error.
  if (output.size(0) != rows) {
    throw std::runtime_error("Output batch dimension mismatch");
  }
  if (columns_ != 1) {
    if (output.numel() != rows * static_cast<int64_t>(columns_)) {
      throw std::runtime_error("Model package output has " + std::to_string(output.numel() / rows) +
                               " value(s) per state; its manifest says " +
                               std::to_string(columns_));
    }
    std::memcpy(out, output.const_data_ptr<float>(), static_cast<size_t>(output.numel()) * sizeof(float));
    return;
  }
  if (output.dim() != 1) {
    // Width from the element count: view(rows, -1) cannot infer it when empty.
    const int64_t width = output.numel() / rows;
    if (width < 1) {
      throw std::runtime_error("Heuristic head produced empty output vectors");
    }
    output = output.view({rows, width}).select(1, 0).contiguous();
  }
  std::memcpy(out, output.const_data_ptr<float>(), static_cast<size_t>(rows) * sizeof(float));
}

void AOTIHeuristicRunner::synchronize() const {
  if (device_.is_cuda()) {
    torch::cuda::synchronize(device_.index());
  }
}

at::Tensor runTensorHeuristic(torch::inductor::AOTIModelPackageLoader& loader,
                              const std::vector<at::Tensor>& tensors) {
  std::vector<at::Tensor> prepared;
  prepared.reserve(tensors.size());
  for (const at::Tensor& tensor : tensors) {
    if (tensor.scalar_type() != at::kFloat) {
      throw std::invalid_argument("AOTI heuristics expects float32 input tensors.");
    }
    prepared.push_back(tensor.is_contiguous() ? tensor : tensor.contiguous());
  }

  std::vector<at::Tensor> outputs = loader.run(prepared);
  if (outputs.empty()) {
    throw std::runtime_error("AOTI package returned no outputs for heuristic inference.");
  }
  at::Tensor output = outputs.front();
  if (output.dim() == 0) {
    throw std::runtime_error("AOTI package returned a scalar output. Expected batched heuristics.");
  }
  if (output.dim() >= 2) {
    const int64_t rows = output.size(0);
    if (rows == 0) {
      output = output.new_empty({0});
    } else {
      // Width from the element count: view(rows, -1) cannot infer it when empty.
      const int64_t width = output.numel() / rows;
      if (width < 1) {
        throw std::runtime_error("Heuristic head produced empty output vectors");
      }
      output = output.reshape({rows, width}).select(1, 0);
    }
  }
  output = output.to(at::kFloat);
  checkNoNaN(output);
  // The tensor path clamps negative estimates to 0 and the CPU path (infer)
  // does not: each is what its engine's interface promises its callers.
  return output.clamp_min(0.0);
}

}  // namespace quelmar
