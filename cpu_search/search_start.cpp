#include "cpu_search/search_start.h"

#include <atomic>
#include <cctype>
#include <fstream>
#include <sstream>

#include "environments/registry_internal.h"
#include "profiling/python_output.h"

namespace quelmar {
namespace {

std::string lowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

bool cpuHasNativeBfloat16() {
  static const bool native = [] {
    std::ifstream in("/proc/cpuinfo");
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("flags", 0) != 0) continue;
      std::istringstream words(line);
      for (std::string word; words >> word;)
        if (word == "avx512_bf16" || word == "amx_bf16") return true;
      return false;
    }
    return false;
  }();
  return native;
}

void warnIfBfloat16Emulated(const AOTIManifest& manifest, bool on_cpu) {
  // Once warned, a test set of thousands of states reads no manifest again.
  static std::atomic<bool> warned{false};
  if (warned.load(std::memory_order_relaxed) || !on_cpu || cpuHasNativeBfloat16() ||
      packagePrecision(manifest) != "bfloat16")
    return;
  if (warned.exchange(true)) return;
  writeStderr(formatText("[WARN] %s is a bfloat16 package, but this CPU has no native bfloat16 "
                         "(AVX512-BF16 or AMX): it runs many times slower than the float32 "
                         "package of the same network\n",
                         manifest.package_path.c_str()));
}

SearchStart openSearchStart(const std::vector<uint8_t>& state, const std::string& env,
                            const std::string& package_path, const char* solver) {
  const std::string requested = lowerCase(env);
  SearchStart start;
  start.environment = detail::makeCpuEnvironment(requested, state, solver);
  start.manifest = loadAOTIManifest(package_path);
  if (!start.manifest.env.empty() && lowerCase(start.manifest.env) != requested)
    writeStderr(formatText("[WARN] AOTI manifest env '%s' differs from requested '%s'\n",
                           start.manifest.env.c_str(), env.c_str()));
  return start;
}

}  // namespace quelmar
