#pragma once
// What a CPU search needs before it starts: the start environment, made by
// name from the registry, and the model's manifest.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "environments/environment.h"
#include "heuristic/aoti_manifest.h"

namespace quelmar {

struct SearchStart {
  std::unique_ptr<Environment> environment;
  AOTIManifest manifest;
};

// Creates the start environment by (case-insensitive) name, then loads the
// manifest (package_path + ".json") and warns on standard error when it names
// another environment. An unknown name throws the registry's message naming
// `solver` (e.g. "C++ beam search").
SearchStart openSearchStart(const std::vector<uint8_t>& state, const std::string& env,
                            const std::string& package_path, const char* solver);

}  // namespace quelmar
