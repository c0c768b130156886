// The torch half of the registry: kept apart so that the CPU half compiles
// without LibTorch headers.
#include <c10/core/Device.h>

#include "environments/registry_internal.h"
#include "environments/torch_env.h"

namespace quelmar {

std::unique_ptr<TorchEnv> make_torch_environment(const std::string& name,
                                                 const c10::Device& device, int state_size) {
  const TorchEnvironmentFactory factory = detail::findTorchEnvironmentFactory(name);
  auto environment = factory(device, state_size);
  if (!environment) detail::throwNullEnvironment(name);
  return environment;
}

}  // namespace quelmar
