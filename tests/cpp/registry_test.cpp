#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <c10/core/Device.h>

#include "environments/registry.h"
#include "test_support.h"
#include "environments/torch_env.h"

namespace quelmar {
namespace {

class TaggedEnvironment : public Environment {
 public:
  explicit TaggedEnvironment(uint8_t tag) : bytes_{tag} {}
  std::unique_ptr<Environment> next_state(int) const override {
    return std::make_unique<TaggedEnvironment>(bytes_[0]);
  }
  std::vector<std::unique_ptr<Environment>> expand() const override { return {}; }
  const std::vector<uint8_t>& state_bytes() const override { return bytes_; }
  bool is_solved() const override { return false; }
  int num_moves() const override { return 0; }
  size_t input_size() const override { return 0; }
  void write_inputs(float*) const override {}

 private:
  std::vector<uint8_t> bytes_;
};

std::unique_ptr<Environment> makeFirst(const std::vector<uint8_t>&) { return std::make_unique<TaggedEnvironment>(1); }
std::unique_ptr<Environment> makeSecond(const std::vector<uint8_t>&) { return std::make_unique<TaggedEnvironment>(2); }
std::unique_ptr<Environment> makeNull(const std::vector<uint8_t>&) { return nullptr; }
std::unique_ptr<Environment> registersWhileCalled(const std::vector<uint8_t>& state) {
  register_cpu_environment("registry_test_inner", &makeFirst);
  return make_cpu_environment("registry_test_inner", state);
}
std::unique_ptr<TorchEnv> makeNoTorchEnv(const c10::Device&, int) { return nullptr; }

const c10::Device kCpu(c10::kCPU);

uint8_t tagOf(const std::string& name) { return make_cpu_environment(name, {})->state_bytes().at(0); }

std::string unknownMessage(const std::string& name, const char* solver) {
  return "Unknown environment '" + name + "' for the " + solver +
         " solver. No C++ environment plugin registered a factory for this name. Install an "
         "environment plugin distribution (for example quelmar-experiments-cpp) or register a "
         "factory through the quelmar_cpp environment registrar.";
}

using testing_support::messageOf;

// Catches: names matched with their case, a second registration that does not
// replace the first, and a factory that deadlocks by registering while called.
TEST(Registry, NamesIgnoreCaseTheLastRegistrationWinsAndFactoriesMayRegister) {
  register_cpu_environment("Registry_Cube", &makeFirst);
  EXPECT_EQ(tagOf("rEGISTRY_cUBE"), 1);
  register_cpu_environment("REGISTRY_CUBE", &makeSecond);
  EXPECT_EQ(tagOf("registry_cube"), 2);
  register_cpu_environment("registry_reentrant", &registersWhileCalled);
  EXPECT_EQ(tagOf("registry_reentrant"), 1);
}

// Catches: an unknown name, one registered only for the other solver, or one
// with a null factory, that is not refused with the message naming the solver.
TEST(Registry, UnknownNamesAndTablesAreSeparate) {
  const auto cpuError = [](const char* name) {
    return messageOf<std::invalid_argument>([&] { make_cpu_environment(name, {}); });
  };
  EXPECT_EQ(cpuError("No_Such_Env"), unknownMessage("No_Such_Env", "C++ parallel weighted A*"));
  register_torch_environment("registry_gpu_only", &makeNoTorchEnv);
  EXPECT_EQ(cpuError("registry_gpu_only"), unknownMessage("registry_gpu_only", "C++ parallel weighted A*"));
  register_cpu_environment("registry_null_factory", nullptr);
  EXPECT_EQ(cpuError("registry_null_factory"), unknownMessage("registry_null_factory", "C++ parallel weighted A*"));
  EXPECT_EQ(messageOf<std::invalid_argument>([] { make_torch_environment("Registry_Nope", kCpu, 1); }),
            unknownMessage("Registry_Nope", "Torch GPU A*"));
}

// Catches: a null name registered, a factory's null environment passed on
// instead of refused.
TEST(Registry, NullNamesFactoriesAndEnvironmentsAreErrors) {
  EXPECT_THROW(register_cpu_environment(nullptr, &makeFirst), std::logic_error);
  register_cpu_environment("registry_null_result", &makeNull);
  EXPECT_EQ(messageOf<std::runtime_error>([] { make_cpu_environment("registry_null_result", {}); }),
            "Environment factory registered for 'registry_null_result' returned no environment");
  register_torch_environment("registry_gpu_only", &makeNoTorchEnv);
  EXPECT_EQ(messageOf<std::runtime_error>([] { make_torch_environment("registry_gpu_only", kCpu, 1); }),
            "Environment factory registered for 'registry_gpu_only' returned no environment");
}

// Catches: a registrar record that moves, changes its version or layout, or
// whose entries are not the registry's own functions.
TEST(Registry, RegistrarRecordLayout) {
  const EnvironmentRegistrarV1* record = environment_registrar_v1();
  EXPECT_EQ(record, environment_registrar_v1());
  uint64_t version = 0;
  std::memcpy(&version, record, sizeof version);
  EXPECT_EQ(version, 1u);
  EXPECT_EQ(record->register_cpu_environment, &register_cpu_environment);
  EXPECT_EQ(record->register_torch_environment, &register_torch_environment);
}

// Catches: registrations and look-ups from several threads that race.
TEST(Registry, ConcurrentRegistrationAndLookup) {
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t, &failures] {
      const std::string name = "registry_thread_" + std::to_string(t);
      for (int i = 0; i < 500; ++i) {
        register_cpu_environment(name.c_str(), (i % 2) ? &makeFirst : &makeSecond);
        register_cpu_environment("registry_shared", &makeFirst);
        if (tagOf(name) != ((i % 2) ? 1 : 2)) ++failures;
        if (tagOf("registry_shared") != 1) ++failures;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace quelmar
