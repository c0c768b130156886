#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include <ATen/ATen.h>
#include <ATen/Context.h>
#include <c10/core/InferenceMode.h>
#include <c10/util/Exception.h>

#include "heuristic/aoti_heuristic_runner.h"
#include "heuristic/aoti_manifest.h"
#include "quelmar_puzzles/puzzles.h"
#include "test_support.h"

namespace quelmar {
namespace {

namespace fs = std::filesystem;
using testing_support::messageOf;

std::string modelPath(const std::string& file) { return (fs::path(QUELMAR_MODELS_DIR) / file).string(); }

// Copies a built package to <temp>/<name>.pt2 with a hand-written manifest.
std::string packageWithManifest(const std::string& name, const std::string& manifest_json,
                                const std::string& source = "fixture_flat.pt2") {
  const fs::path dir = fs::path(testing::TempDir()) / "aoti_runner_test";
  fs::create_directories(dir);
  const fs::path package = dir / (name + ".pt2");
  fs::copy_file(modelPath(source), package, fs::copy_options::overwrite_existing);
  std::ofstream(package.string() + ".json") << manifest_json;
  return package.string();
}

AOTIHeuristicRunner runnerFor(const std::string& package) { return {loadAOTIManifest(package), "cpu"}; }

// Catches: a device spec parsed to the wrong kind or index, blanks or an
// index text handled unlike the documented rules, an unavailable or unknown
// device that is not refused with its exception type and message.
TEST(AOTIParseDevice, SpecTable) {
  using T = c10::DeviceType;
  auto& ctx = at::globalContext();
  const bool cuda = ctx.hasCUDA();
  const bool accel = cuda || ctx.hasXPU() || ctx.hasHPU() || ctx.hasMTIA() || ctx.hasXLA() || ctx.hasMPS();
  enum Error { kNone, kInvalid, kRange, kRuntime };
  struct Case {
    std::string spec;
    bool applies;  // the row's expectation holds on this machine
    std::optional<c10::Device> device;
    Error error = kNone;
    std::string message = "<not thrown>";
  };
  const std::string noCuda = "CUDA device requested but CUDA is unavailable in this build";
  const std::string range = " is out of range for a device spec (expected -1 to 127)";
  const std::string unavailable = " support is unavailable in this build";
  const c10::Device cpu(T::CPU, -1);
  const auto pu = [](int index) { return c10::Device(T::PrivateUse1, static_cast<c10::DeviceIndex>(index)); };
  const Case cases[] = {
      // No accelerator: every automatic choice is the CPU.
      {"", !accel, cpu}, {" \t\r\n ", !accel, cpu}, {"auto:1", !accel, cpu}, {":3", !accel, cpu},
      // With CUDA the automatic choice is CUDA, with the index applied.
      {"", cuda, c10::Device(T::CUDA, 0)}, {"auto:1", cuda, c10::Device(T::CUDA, 1)},
      {"cuda", cuda, c10::Device(T::CUDA, 0)}, {"cuda:1x", cuda, c10::Device(T::CUDA, 1)},
      {"cuda", !cuda, std::nullopt, kRuntime, noCuda}, {"cuda:256", !cuda, std::nullopt, kRuntime, noCuda},
      // CPU ignores the index text entirely.
      {"cpu", true, cpu}, {"\tcpu\n", true, cpu}, {"cpu:7", true, cpu}, {"cpu:abc", true, cpu},
      // PrivateUse1 needs no availability, so it shows the index parsing here.
      {"privateuseone", true, pu(0)}, {"privateuseone:", true, pu(0)}, {"privateuseone: +4", true, pu(4)},
      {"privateuseone:5:6", true, pu(5)}, {"privateuseone:-1", true, pu(-1)}, {"privateuseone:127", true, pu(127)},
      {"privateuseone:128", true, std::nullopt, kRange, "Device index 128" + range},
      {"privateuseone:-2", true, std::nullopt, kRange, "Device index -2" + range},
      {"privateuseone:99999999999", true, std::nullopt, kRange, "stoi"},
      // The index is parsed before the kind is matched.
      {"cuda:abc", true, std::nullopt, kInvalid, "stoi"}, {"gpu:abc", true, std::nullopt, kInvalid, "stoi"},
      {"gpu:0", true, std::nullopt, kInvalid, "Unsupported device spec: gpu:0"},
      {" gpu\t", true, std::nullopt, kInvalid, "Unsupported device spec:  gpu\t"},
      {"CUDA", true, std::nullopt, kInvalid, "Unsupported device spec: CUDA"},
      {"mps:3", ctx.hasMPS(), c10::Device(T::MPS, -1)},
      {"mps:3", !ctx.hasMPS(), std::nullopt, kRuntime, "MPS device requested but MPS" + unavailable},
      {"xpu", !ctx.hasXPU(), std::nullopt, kRuntime, "XPU device requested but XPU" + unavailable},
      {"xla:1", !ctx.hasXLA(), std::nullopt, kRuntime, "XLA device requested but XLA" + unavailable},
      {"mtia", !ctx.hasMTIA(), std::nullopt, kRuntime, "MTIA device requested but MTIA" + unavailable},
      {"hpu", !ctx.hasHPU(), std::nullopt, kRuntime, "HPU device requested but HPU" + unavailable},
  };
  int checked = 0;
  for (const Case& c : cases) {
    if (!c.applies) continue;
    ++checked;
    SCOPED_TRACE("spec '" + c.spec + "'");
    c10::Device got(T::Meta);
    const auto parse = [&] { got = AOTIHeuristicRunner::parseDevice(c.spec); };
    EXPECT_EQ(c.error == kInvalid ? messageOf<std::invalid_argument>(parse)
              : c.error == kRange ? messageOf<std::out_of_range>(parse)
              : c.error == kRuntime ? messageOf<std::runtime_error>(parse)
                                    : messageOf<std::exception>(parse),
              c.message);
    if (c.device) EXPECT_EQ(got, *c.device);
  }
  EXPECT_GT(checked, 25);
}

std::vector<float> randomFloats(std::size_t count, std::mt19937& rng) {
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> v(count);
  for (float& x : v) x = dist(rng);
  return v;
}

// The fixtures' x . (1, 2, 3, 4) for each row of x [batch, 4].
std::vector<float> weighted(const std::vector<float>& x) {
  std::vector<float> out;
  for (std::size_t b = 0; b < x.size() / 4; ++b)
    out.push_back(x[4 * b] + 2 * x[4 * b + 1] + 3 * x[4 * b + 2] + 4 * x[4 * b + 3]);
  return out;
}

void expectNear(const std::vector<float>& got, const std::vector<float>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i) EXPECT_NEAR(got[i], want[i], 1e-4) << "example " << i;
}

// Catches: environment inputs laid out unlike the exported models read them
// (tile * cells + position, sticker * 6 + colour), inputs written past their
// size or left unset, heuristics returned out of example order or wrong for
// some batch size (a batch the CPU scores in slices included), and tile models
// that are not the exact Manhattan distance.
TEST(AOTIHeuristicRunner, ExportedModelsScoreEnvironmentInputs) {
  c10::InferenceMode guard;
  std::mt19937 rng(12345);
  for (const auto& [name, model, batch] : std::vector<std::tuple<std::string, std::string, uint64_t>>{
           {"puzzle8", "puzzle8_manhattan.pt2", 7}, {"puzzle15", "puzzle15_manhattan.pt2", 1},
           {"puzzle15", "puzzle15_manhattan.pt2", 2 * AOTIHeuristicRunner::kCpuRowsPerCall + 3}, {"puzzle24", "puzzle24_manhattan.pt2", 7},
           {"cube3", "cube3_misplaced.pt2", 9}}) {
    SCOPED_TRACE(name + " batch " + std::to_string(batch));
    const auto& domain = quelmar_puzzles::find_domain(name);
    AOTIHeuristicRunner runner = runnerFor(modelPath(model));
    EXPECT_EQ(runner.manifest().env, name);
    const size_t width = domain.factory(quelmar_puzzles::goal_state(domain))->input_size();
    std::vector<float> inputs(batch * width + 1, 0.5f), expected;  // a sentinel past the end
    for (uint64_t b = 0; b < batch; ++b) {
      const auto state = quelmar_puzzles::scramble(domain, b == 0 ? 0 : 1 + rng() % 40, rng()).state;
      domain.factory(state)->write_inputs(inputs.data() + b * width);
      float score = 0;  // Manhattan distance of the tiles, or misplaced stickers / 20
      for (int pos = 0; pos < static_cast<int>(state.size()); ++pos) {
        const int n = domain.side, tile = state[pos];
        if (n == 0) score += (tile != pos / 9) / 20.0f;
        else if (tile != 0) score += std::abs(pos / n - (tile - 1) / n) + std::abs(pos % n - (tile - 1) % n);
      }
      expected.push_back(score);
    }
    EXPECT_EQ(inputs.back(), 0.5f);
    inputs.pop_back();
    expectNear(runner.infer({inputs}, batch), expected);
  }
}

// Catches: inputs fed to the package in the wrong order, a [batch] or
// [batch, 3] head read wrongly, negative heuristics clamped by infer, inputs
// sliced out of step when a batch is scored in slices.
TEST(AOTIHeuristicRunner, OutputHeadsAndInputOrder) {
  c10::InferenceMode guard;
  std::mt19937 rng(99);
  const uint64_t batch = AOTIHeuristicRunner::kCpuRowsPerCall + 5;
  const std::vector<float> a = randomFloats(batch * 4, rng), b = randomFloats(batch * 2, rng);
  AOTIHeuristicRunner two = runnerFor(modelPath("fixture_two_inputs.pt2"));
  std::vector<float> want = weighted(a);
  for (uint64_t i = 0; i < batch; ++i) want[i] += 10 * b[2 * i] + 20 * b[2 * i + 1];
  expectNear(two.infer({a, b}, batch), want);
  expectNear(runnerFor(modelPath("fixture_flat.pt2")).infer({a}, batch), weighted(a));
  expectNear(runnerFor(modelPath("fixture_three_columns.pt2")).infer({a}, batch), weighted(a));
  EXPECT_EQ(runnerFor(modelPath("fixture_negative.pt2")).infer({std::vector<float>(batch * 4, 0.0f)}, batch),
            std::vector<float>(batch, -0.5f));
}

// Catches: batch 0 not answered first, input count or buffer sizes not
// checked, a scalar head read out of bounds, a runner broken by a failed call.
TEST(AOTIHeuristicRunner, InferChecksInOrder) {
  c10::InferenceMode guard;
  AOTIHeuristicRunner two = runnerFor(modelPath("fixture_two_inputs.pt2"));
  const std::vector<float> a(8, 1.0f), b(4, 1.0f);
  EXPECT_TRUE(two.infer({}, 0).empty());
  EXPECT_TRUE(two.infer({{1.0f}}, 0).empty());
  const std::string inputs = "Mismatch between provided inputs and manifest";
  const std::string numel = "Input buffer size does not match manifest numel";
  EXPECT_EQ(messageOf<std::invalid_argument>([&] { two.infer({a}, 2); }), inputs);
  EXPECT_EQ(messageOf<std::invalid_argument>([&] { two.infer({a, b, b}, 2); }), inputs);
  EXPECT_EQ(messageOf<std::invalid_argument>([&] { two.infer({a, b}, 3); }), numel);
  EXPECT_EQ(messageOf<std::invalid_argument>([&] { two.infer({a, std::vector<float>(5)}, 2); }), numel);
  // The scalar head fails in LibTorch's own size query.
  EXPECT_THROW(runnerFor(modelPath("fixture_scalar.pt2")).infer({a}, 2), c10::Error);
  expectNear(two.infer({a, b}, 2), {40.0f, 40.0f});
}

// Catches: a manifest shape that disagrees with the batch or the buffer (or
// overflows, or wraps) accepted and read past the caller's buffer.
TEST(AOTIHeuristicRunner, ManifestShapeAgainstBatchAndBuffer) {
  c10::InferenceMode guard;
  const auto withShape = [](const std::string& input) {
    return packageWithManifest("shape", R"({"env": "fixture_flat", "inputs": [)" + input + "]}");
  };
  std::mt19937 rng(5);
  // A fixed first dimension is accepted when it equals the batch.
  AOTIHeuristicRunner fixed = runnerFor(withShape(R"({"numel_per_example": 4, "shape": [8, 4]})"));
  const std::vector<float> x8 = randomFloats(32, rng);
  expectNear(fixed.infer({x8}, 8), weighted(x8));
  EXPECT_EQ(messageOf<std::invalid_argument>([&] { fixed.infer({std::vector<float>(16)}, 4); }),
            "First dimension of manifest shape does not match batch size");
  struct Case {
    std::string input;
    uint64_t batch;
    std::size_t buffer;
    std::string message_prefix;
  };
  const Case cases[] = {
      {R"({"numel_per_example": 4, "dtype": "float16", "shape": ["batch", 4]})", 2, 3,
       "Only float32 inputs are supported presently"},
      {R"({"numel_per_example": 4, "shape": ["batch", 8]})", 2, 8,
       "Manifest shape [2, 8] of input 'input' holds 16 elements, but batch 2 x numel_per_example 4 is 8"},
      {R"({"numel_per_example": 4, "shape": ["batch", 2]})", 2, 8,
       "Manifest shape [2, 2] of input 'input' holds 4 elements"},
      {R"({"numel_per_example": 4, "shape": []})", 3, 12, "Manifest shape [3] of input 'input' holds 3 elements"},
      {R"({"numel_per_example": 4, "shape": ["batch", -4]})", 2, 8,
       "Manifest shape of input 'input' has a negative dimension -4"},
      {R"({"numel_per_example": 4, "shape": ["batch", 4611686018427387904, 4]})", 2, 8,
       "Manifest shape of input 'input' has too many elements"},
      // 2 x 2^63 wraps to 0: an empty buffer must still not pass.
      {R"({"numel_per_example": 9223372036854775808, "shape": ["batch"]})", 2, 0,
       "Input buffer size does not match manifest numel"},
  };
  for (const Case& c : cases) {
    AOTIHeuristicRunner runner = runnerFor(withShape(c.input));
    const std::string message =
        messageOf<std::invalid_argument>([&] { runner.infer({std::vector<float>(c.buffer, 1.0f)}, c.batch); });
    EXPECT_EQ(message.rfind(c.message_prefix, 0), 0u) << message;
  }
}

// Catches: the package loaded before the device spec is checked, manifest
// checks run before a failed load, a manifest without inputs or with a
// non-scalar head accepted.
TEST(AOTIHeuristicRunner, ConstructionChecksInOrder) {
  AOTIManifest m;
  m.package_path = (fs::path(testing::TempDir()) / "no_such_model.pt2").string();
  m.inputs.resize(1);
  EXPECT_EQ(messageOf<std::invalid_argument>([&] { AOTIHeuristicRunner(m, "gpu"); }),
            "Unsupported device spec: gpu");
  m.inputs.clear();
  const std::string load_error = messageOf<std::exception>([&] { AOTIHeuristicRunner(m, "cpu"); });
  EXPECT_NE(load_error, "<not thrown>");
  EXPECT_EQ(load_error.find("Manifest must describe"), std::string::npos) << load_error;
  const std::pair<const char*, const char*> cases[] = {
      {R"({"inputs": null})", "Manifest must describe at least one input tensor"},
      {R"({"output_elements_per_example": 3, "inputs": [{"numel_per_example": 4, "shape": ["batch", 4]}]})",
       "Only single-scalar output heads are supported for heuristics"},
      {R"({"output_elements_per_example": 0, "inputs": [{"numel_per_example": 4, "shape": ["batch", 4]}]})",
       "Only single-scalar output heads are supported for heuristics"},
  };
  for (const auto& [json, message] : cases)
    EXPECT_EQ(messageOf<std::invalid_argument>([&] { runnerFor(packageWithManifest("bad", json)); }), message);
}

// Catches: a Q runner keeping only column 0 or mixing rows up across the
// CPU slices, taking a manifest of another width, or accepting a package
// whose output is narrower than its manifest says.
TEST(AOTIHeuristicRunner, QRunnerKeepsEveryColumn) {
  c10::InferenceMode guard;
  const std::string three_wide = R"({"output_elements_per_example": 3, "inputs": [{"numel_per_example": 4, "shape": ["batch", 4]}]})";
  const std::string q = packageWithManifest("q_three", three_wide, "fixture_three_columns.pt2");
  const uint64_t batch = AOTIHeuristicRunner::kCpuRowsPerCall + 3;
  std::mt19937 rng(11);
  const std::vector<float> a = randomFloats(batch * 4, rng);
  AOTIHeuristicRunner runner(loadAOTIManifest(q), "cpu", 3);
  const std::vector<float> got = runner.infer({a}, batch);
  ASSERT_EQ(got.size(), batch * 3);
  const std::vector<float> first = weighted(a);
  for (uint64_t b = 0; b < batch; b += 997) {
    EXPECT_NEAR(got[3 * b], first[b], 1e-4);
    EXPECT_NEAR(got[3 * b + 1], first[b] + 100.0f, 1e-3);
    EXPECT_EQ(got[3 * b + 2], -7.0f);
  }
  const std::string wrong_width = "has 3 output(s) per state, but the search needs 4 (one per move)";
  EXPECT_NE(messageOf<std::invalid_argument>([&] { AOTIHeuristicRunner(loadAOTIManifest(q), "cpu", 4); })
                .find(wrong_width), std::string::npos);
  EXPECT_NE(messageOf<std::invalid_argument>([&] {
              AOTIHeuristicRunner(loadAOTIManifest(modelPath("fixture_flat.pt2")), "cpu", 3);
            }).find("has 1 output(s) per state"), std::string::npos);
  // A manifest that claims three columns over a one-column package.
  AOTIHeuristicRunner narrow(loadAOTIManifest(packageWithManifest("q_narrow", three_wide)), "cpu", 3);
  EXPECT_EQ(messageOf<std::runtime_error>([&] { narrow.infer({std::vector<float>(8, 0.0f)}, 2); }),
            "Model package output has 1 value(s) per state; its manifest says 3");
}

torch::inductor::AOTIModelPackageLoader loaderFor(const std::string& file) {
  return torch::inductor::AOTIModelPackageLoader(modelPath(file), "model", false, 1, -1);
}

// Catches: the tensor path disagreeing with infer, a non-contiguous input
// read wrongly, negative heuristics not clamped to 0, heads read wrongly,
// non-float inputs or scalar heads accepted.
TEST(AOTIRunTensorHeuristic, AgreesWithInferExceptForClamping) {
  c10::InferenceMode guard;
  const at::Tensor x = at::rand({4, 4}, at::kFloat);  // non-negative: nothing to clamp
  const std::vector<float> buffer(x.data_ptr<float>(), x.data_ptr<float>() + 16);
  const std::vector<float> from_infer = runnerFor(modelPath("fixture_flat.pt2")).infer({buffer}, 4);
  auto three = loaderFor("fixture_three_columns.pt2"), flat = loaderFor("fixture_flat.pt2");
  for (auto* loader : {&three, &flat}) {
    const at::Tensor out = runTensorHeuristic(*loader, {x});
    ASSERT_EQ(out.sizes().vec(), std::vector<int64_t>{4});
    EXPECT_EQ(out.scalar_type(), at::kFloat);
    EXPECT_TRUE(at::allclose(out, at::tensor(from_infer)));
    EXPECT_TRUE(at::equal(runTensorHeuristic(*loader, {x.t().contiguous().t()}), out));  // a non-contiguous input
  }
  auto negative = loaderFor("fixture_negative.pt2");
  const at::Tensor mixed = at::tensor(std::vector<float>{-1.0f, 0, 0, 0, 0.25f, 0, 0, 0}).view({2, 4});
  EXPECT_TRUE(at::allclose(runTensorHeuristic(negative, {mixed}), at::tensor(std::vector<float>{0.5f, 0.0f})));
  EXPECT_EQ(messageOf<std::invalid_argument>([&] { runTensorHeuristic(flat, {at::zeros({2, 4}, at::kDouble)}); }),
            "AOTI heuristics expects float32 input tensors.");
  auto scalar = loaderFor("fixture_scalar.pt2");
  EXPECT_EQ(messageOf<std::runtime_error>([&] { runTensorHeuristic(scalar, {at::zeros({2, 4})}); }),
            "AOTI package returned a scalar output. Expected batched heuristics.");
}

}  // namespace
}  // namespace quelmar
