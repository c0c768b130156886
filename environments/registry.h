#pragma once
// Process-wide registry of environment factories, and the versioned record
// through which separately built plug-ins reach it.
//
// Names are matched without regard to letter case. Registering a name again
// replaces its factory. The registry lock is never held while a factory runs,
// so a factory may itself register or look up environments.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "environments/environment.h"
#include "environments/export.h"

namespace c10 {
struct Device;
}

namespace quelmar {

class TorchEnv;

using CpuEnvironmentFactory = std::unique_ptr<Environment> (*)(const std::vector<uint8_t>& state);
using TorchEnvironmentFactory = std::unique_ptr<TorchEnv> (*)(const c10::Device& device,
                                                               int state_size);

// Layout shared with plug-ins built separately (64-bit little-endian):
// offset 0 version (1), 8 register_cpu_environment, 16 register_torch_environment.
struct EnvironmentRegistrarV1 {
  uint32_t version;
  uint32_t reserved;  // zero
  void (*register_cpu_environment)(const char* name, CpuEnvironmentFactory factory);
  void (*register_torch_environment)(const char* name, TorchEnvironmentFactory factory);
};
static_assert(sizeof(EnvironmentRegistrarV1) == 24, "registrar layout is a plug-in ABI");
static_assert(offsetof(EnvironmentRegistrarV1, version) == 0, "registrar layout is a plug-in ABI");
static_assert(offsetof(EnvironmentRegistrarV1, register_cpu_environment) == 8,
              "registrar layout is a plug-in ABI");
static_assert(offsetof(EnvironmentRegistrarV1, register_torch_environment) == 16,
              "registrar layout is a plug-in ABI");

inline constexpr const char* kEnvironmentRegistrarCapsuleName =
    "quelmar_cpp.environment_registrar_v1";
inline constexpr uint32_t kEnvironmentRegistrarVersion = 1;

// A null name throws std::logic_error and changes nothing.
QUELMAR_API void register_cpu_environment(const char* name, CpuEnvironmentFactory factory);
QUELMAR_API void register_torch_environment(const char* name, TorchEnvironmentFactory factory);

// Throws std::invalid_argument for an unknown name (or a null factory), and
// std::runtime_error when the factory returns no environment.
QUELMAR_API std::unique_ptr<Environment> make_cpu_environment(const std::string& name,
                                                             const std::vector<uint8_t>& state);
QUELMAR_API std::unique_ptr<TorchEnv> make_torch_environment(const std::string& name,
                                                            const c10::Device& device,
                                                            int state_size);

// The static registrar record; the same address on every call.
QUELMAR_API const EnvironmentRegistrarV1* environment_registrar_v1();

}  // namespace quelmar
