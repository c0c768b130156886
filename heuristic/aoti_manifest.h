#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quelmar {

// One network input tensor as the manifest describes it.
struct AOTIInputSpec {
  std::string name = "input";  // informational only
  uint64_t numel_per_example = 0;
  // Shape of one batch; -1 marks the batch dimension ("batch" in the file).
  std::vector<int64_t> shape;
  std::string dtype = "float32";
};

// The JSON manifest that accompanies a model package (package path + ".json").
struct AOTIManifest {
  std::string env;            // empty when the file names no environment
  std::string package_path;   // as passed to loadAOTIManifest
  std::string manifest_path;  // package_path + ".json"
  std::vector<AOTIInputSpec> inputs;  // in the order the network takes them
  uint64_t output_elements_per_example = 1;
};

// Reads and structurally checks the manifest of the package at package_path.
// Throws std::runtime_error for an unreadable file or a bad shape entry;
// the JSON library's own exceptions (parse_error, type_error, out_of_range)
// pass through unchanged.
AOTIManifest loadAOTIManifest(const std::string& package_path);

// The same checks on manifest text already in memory; package_path only
// fills the path fields. Throws as loadAOTIManifest does, except for the
// unreadable file.
AOTIManifest parseAOTIManifest(std::string_view text, const std::string& package_path);

// The precision the package's network computes in: the manifest file's
// optional "precision" entry (written by the exporter), "float32" when it has
// none or cannot be read again. Never throws.
std::string packagePrecision(const AOTIManifest& manifest);

// Floats one example occupies across all inputs (0 for no inputs).
// Throws std::runtime_error if the sum does not fit in 64 bits.
uint64_t totalInputElements(const AOTIManifest& manifest);

}  // namespace quelmar
