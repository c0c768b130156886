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

// Whether this CPU computes in bfloat16 natively (AVX512-BF16 or AMX-BF16,
// from /proc/cpuinfo's flags); false where that cannot be read.
bool cpuHasNativeBfloat16();

// Warns once per process on standard error when a bfloat16 package is to run
// on a CPU (`on_cpu`) without native bfloat16: there it is emulated and many
// times slower than the same network in float32.
void warnIfBfloat16Emulated(const AOTIManifest& manifest, bool on_cpu);

}  // namespace quelmar
