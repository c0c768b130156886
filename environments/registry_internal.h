#pragma once
// Registry pieces shared by the CPU and the torch-side translation units,
// so that only the latter needs LibTorch headers. Not a plug-in header.

#include <string>

#include "environments/registry.h"

namespace quelmar::detail {

[[noreturn]] void throwUnknownEnvironment(const std::string& name, const char* solver);
[[noreturn]] void throwNullEnvironment(const std::string& name);

// The registered factory, or the unknown-environment error.
TorchEnvironmentFactory findTorchEnvironmentFactory(const std::string& name);

}  // namespace quelmar::detail
