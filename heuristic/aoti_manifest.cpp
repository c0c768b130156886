#include "heuristic/aoti_manifest.h"

#include <cmath>
#include <fstream>
#include <iterator>
#include <limits>
#include <stdexcept>
#include <utility>

#include <nlohmann/json.hpp>

namespace quelmar {
namespace {

using json = nlohmann::json;

// Counts accept any JSON number: unsigned as is, signed reinterpreted as
// unsigned (so -1 is the largest count), floating point truncated toward
// zero. Anything else gets the library's own "type must be number" error.
uint64_t toCount(const json& value) {
  if (value.is_number_unsigned()) {
    return value.get<uint64_t>();
  }
  if (value.is_number_integer()) {
    return static_cast<uint64_t>(value.get<int64_t>());
  }
  if (value.is_number_float()) {
    const double truncated = std::trunc(value.get<double>());
    // A float outside the 64-bit range has no count to truncate to; a plain
    // cast would be undefined, so refuse it.
    constexpr double kTwoTo63 = 9223372036854775808.0;
    if (!(truncated >= -kTwoTo63 && truncated < 2.0 * kTwoTo63)) {
      throw std::runtime_error("Manifest count " + value.dump() +
                               " does not fit in an unsigned 64-bit integer");
    }
    if (truncated < 0) {
      return static_cast<uint64_t>(static_cast<int64_t>(truncated));
    }
    return static_cast<uint64_t>(truncated);
  }
  return value.get<uint64_t>();  // throws type_error 302
}

int64_t toDimension(const json& entry) {
  if (entry.is_number_unsigned()) {
    return static_cast<int64_t>(entry.get<uint64_t>());
  }
  if (entry.is_number_integer()) {
    return entry.get<int64_t>();
  }
  if (entry.is_string()) {
    const auto& text = entry.get_ref<const std::string&>();
    if (text == "batch") {
      return -1;
    }
    throw std::runtime_error("Unsupported symbolic dimension '" + text + "' in manifest");
  }
  throw std::runtime_error("Manifest shape entries must be integers or the string 'batch'");
}

}  // namespace

AOTIManifest loadAOTIManifest(const std::string& package_path) {
  const std::string manifest_path = package_path + ".json";
  std::ifstream stream(manifest_path);
  if (!stream.is_open()) {
    throw std::runtime_error("Unable to open AOTI manifest at " + manifest_path);
  }
  const std::string text((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
  return parseAOTIManifest(text, package_path);
}

AOTIManifest parseAOTIManifest(std::string_view text, const std::string& package_path) {
  // Strict: trailing content is an error; comments are allowed.
  const json root = json::parse(text, nullptr, /*allow_exceptions=*/true,
                                /*ignore_comments=*/true);

  AOTIManifest manifest;
  manifest.package_path = package_path;
  manifest.manifest_path = package_path + ".json";
  manifest.env = root.value("env", std::string());
  if (root.contains("output_elements_per_example")) {
    manifest.output_elements_per_example = toCount(root["output_elements_per_example"]);
  }
  // Range-for walks arrays, the values of objects, nothing for null and a
  // single scalar once; the format relies on exactly that.
  for (const json& entry : root.at("inputs")) {
    AOTIInputSpec spec;
    spec.name = entry.value("name", std::string("input"));
    spec.numel_per_example = toCount(entry.at("numel_per_example"));
    spec.dtype = entry.value("dtype", std::string("float32"));
    for (const json& dim : entry.at("shape")) {
      spec.shape.push_back(toDimension(dim));
    }
    manifest.inputs.push_back(std::move(spec));
  }
  return manifest;
}

uint64_t totalInputElements(const AOTIManifest& manifest) {
  uint64_t total = 0;
  for (const AOTIInputSpec& spec : manifest.inputs) {
    if (__builtin_add_overflow(total, spec.numel_per_example, &total)) {
      throw std::runtime_error(
          "Manifest input sizes overflow: numel_per_example values are too large");
    }
  }
  return total;
}

}  // namespace quelmar

namespace quelmar {

std::string packagePrecision(const AOTIManifest& manifest) {
  std::ifstream in(manifest.manifest_path);
  if (!in) return "float32";
  const json root = json::parse(in, nullptr, /*allow_exceptions=*/false);
  if (!root.is_object()) return "float32";
  const auto found = root.find("precision");
  return found != root.end() && found->is_string() ? found->get<std::string>() : "float32";
}

}  // namespace quelmar
