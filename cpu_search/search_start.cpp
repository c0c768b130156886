#include "cpu_search/search_start.h"

#include <cctype>

#include "environments/registry_internal.h"
#include "profiling/python_output.h"

namespace quelmar {
namespace {

std::string lowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

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
