#pragma once
// Registry pieces shared by the CPU and the torch-side translation units,
// so that only the latter needs LibTorch headers. Not a plug-in header.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "environments/registry.h"

namespace quelmar::detail {

// The solver make_cpu_environment() names in its unknown-name error.
inline constexpr const char* kCpuSolverName = "C++ parallel weighted A*";

[[noreturn]] void throwUnknownEnvironment(const std::string& name, const char* solver);
[[noreturn]] void throwNullEnvironment(const std::string& name);

// The registered factory, or the unknown-environment error.
TorchEnvironmentFactory findTorchEnvironmentFactory(const std::string& name);

// The same for CPU environments; `solver` names the caller in the error.
CpuEnvironmentFactory findCpuEnvironmentFactory(const std::string& name,
                                                const char* solver = kCpuSolverName);

// make_cpu_environment() with the caller named in the unknown-name error.
std::unique_ptr<Environment> makeCpuEnvironment(const std::string& name,
                                                const std::vector<uint8_t>& state, const char* solver);

}  // namespace quelmar::detail
