#include "environments/registry.h"

#include <cctype>
#include <mutex>
#include <stdexcept>
#include <unordered_map>

#include "environments/registry_internal.h"

namespace quelmar {
namespace {

std::mutex g_registry_mutex;

template <typename Factory>
using Table = std::unordered_map<std::string, Factory>;

// Created on first use (thread-safe static initialisation); callers hold the lock.
Table<CpuEnvironmentFactory>& cpuTable() {
  static Table<CpuEnvironmentFactory> table;
  return table;
}

Table<TorchEnvironmentFactory>& torchTable() {
  static Table<TorchEnvironmentFactory> table;
  return table;
}

std::string lowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

template <typename Factory>
void registerIn(Table<Factory>& (*table)(), const char* name, Factory factory) {
  std::lock_guard<std::mutex> lock(g_registry_mutex);
  if (name == nullptr) throw std::logic_error("basic_string: construction from null is not valid");
  (*table)()[lowerCase(name)] = factory;
}

template <typename Factory>
Factory lookupIn(Table<Factory>& (*table)(), const std::string& name) {
  const std::string key = lowerCase(name);
  std::lock_guard<std::mutex> lock(g_registry_mutex);
  const auto& entries = (*table)();
  const auto it = entries.find(key);
  return it == entries.end() ? nullptr : it->second;
}

const EnvironmentRegistrarV1 kRegistrar = {kEnvironmentRegistrarVersion, 0,
                                           &register_cpu_environment,
                                           &register_torch_environment};

}  // namespace

namespace detail {

void throwUnknownEnvironment(const std::string& name, const char* solver) {
  throw std::invalid_argument(
      "Unknown environment '" + name + "' for the " + solver +
      " solver. No C++ environment plugin registered a factory for this name. Install an "
      "environment plugin distribution (for example quelmar-experiments-cpp) or register a "
      "factory through the quelmar_cpp environment registrar.");
}

void throwNullEnvironment(const std::string& name) {
  throw std::runtime_error("Environment factory registered for '" + name +
                           "' returned no environment");
}

CpuEnvironmentFactory findCpuEnvironmentFactory(const std::string& name, const char* solver) {
  const CpuEnvironmentFactory factory = lookupIn(&cpuTable, name);
  if (factory == nullptr) throwUnknownEnvironment(name, solver);
  return factory;
}

std::unique_ptr<Environment> makeCpuEnvironment(const std::string& name,
                                                const std::vector<uint8_t>& state, const char* solver) {
  auto environment = findCpuEnvironmentFactory(name, solver)(state);
  // A null environment would only crash later, far from its cause.
  if (!environment) throwNullEnvironment(name);
  return environment;
}

TorchEnvironmentFactory findTorchEnvironmentFactory(const std::string& name) {
  const TorchEnvironmentFactory factory = lookupIn(&torchTable, name);
  if (factory == nullptr) throwUnknownEnvironment(name, "Torch GPU A*");
  return factory;
}

}  // namespace detail

void register_cpu_environment(const char* name, CpuEnvironmentFactory factory) {
  registerIn(&cpuTable, name, factory);
}

void register_torch_environment(const char* name, TorchEnvironmentFactory factory) {
  registerIn(&torchTable, name, factory);
}

std::unique_ptr<Environment> make_cpu_environment(const std::string& name,
                                                  const std::vector<uint8_t>& state) {
  return detail::makeCpuEnvironment(name, state, detail::kCpuSolverName);
}

const EnvironmentRegistrarV1* environment_registrar_v1() { return &kRegistrar; }

}  // namespace quelmar
