// libFuzzer target for the model manifest parser: any bytes must either give
// a manifest or throw a std::exception; crashes, hangs, leaks and undefined
// behaviour are failures. Built and run by `./dev fuzz`.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string_view>

#include "heuristic/aoti_manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    const quelmar::AOTIManifest manifest = quelmar::parseAOTIManifest(text, "fuzz.pt2");
    (void)quelmar::totalInputElements(manifest);
  } catch (const std::exception&) {
    // Refusing bad input is the expected outcome.
  }
  return 0;
}
