#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <numeric>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <ATen/ATen.h>
#include <ATen/Context.h>
#include <c10/core/InferenceMode.h>
#include <c10/util/Exception.h>

#include "heuristic/aoti_heuristic_runner.h"
#include "heuristic/aoti_manifest.h"

namespace quelmar {
namespace {

namespace fs = std::filesystem;

std::string modelPath(const std::string& file) {
  return (fs::path(QUELMAR_MODELS_DIR) / file).string();
}

// Copies a built package to <temp>/<name>.pt2 with a hand-written manifest.
std::string packageWithManifest(const std::string& model_file, const std::string& name,
                                const std::string& manifest_json) {
  const fs::path dir = fs::path(testing::TempDir()) / "aoti_runner_test";
  fs::create_directories(dir);
  const fs::path package = dir / (name + ".pt2");
  fs::copy_file(modelPath(model_file), package, fs::copy_options::overwrite_existing);
  std::ofstream(package.string() + ".json") << manifest_json;
  return package.string();
}

// "<type>: <message>" of what f throws, so one comparison checks both.
std::string thrown(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::invalid_argument& e) {
    return std::string("invalid_argument: ") + e.what();
  } catch (const std::out_of_range& e) {
    return std::string("out_of_range: ") + e.what();
  } catch (const c10::Error& e) {
    return std::string("c10::Error: ") + e.what_without_backtrace();
  } catch (const std::runtime_error& e) {
    return std::string("runtime_error: ") + e.what();
  } catch (const std::exception& e) {
    return std::string("other: ") + e.what();
  }
  return "nothing thrown";
}

bool anyAccelerator() {
  auto& ctx = at::globalContext();
  return ctx.hasCUDA() || ctx.hasXPU() || ctx.hasHPU() || ctx.hasMTIA() || ctx.hasXLA() ||
         ctx.hasMPS();
}

TEST(AOTIParseDevice, SpecTable) {
  using T = c10::DeviceType;
  const bool cuda = at::globalContext().hasCUDA();
  const bool accel = anyAccelerator();
  struct Case {
    std::string spec;
    bool applies;                 // the row's expectation holds on this machine
    std::optional<c10::Device> device;
    std::string error;            // "<type>: <message>" when no device is expected
  };
  const std::string noCuda =
      "runtime_error: CUDA device requested but CUDA is unavailable in this build";
  const Case cases[] = {
      // No accelerator: every automatic choice is the CPU.
      {"", !accel, c10::Device(T::CPU, -1), ""},
      {" \t\r\n ", !accel, c10::Device(T::CPU, -1), ""},
      {"auto", !accel, c10::Device(T::CPU, -1), ""},
      {"auto:1", !accel, c10::Device(T::CPU, -1), ""},
      {":3", !accel, c10::Device(T::CPU, -1), ""},
      // With CUDA the automatic choice is CUDA, with the index applied.
      {"", cuda, c10::Device(T::CUDA, 0), ""},
      {"auto:1", cuda, c10::Device(T::CUDA, 1), ""},
      {" cuda:2 ", cuda, c10::Device(T::CUDA, 2), ""},
      {"cuda", cuda, c10::Device(T::CUDA, 0), ""},
      {"cuda:1x", cuda, c10::Device(T::CUDA, 1), ""},
      {"cuda:-1", cuda, c10::Device(T::CUDA, -1), ""},
      {"cuda:127", cuda, c10::Device(T::CUDA, 127), ""},
      {"cuda:256", cuda, std::nullopt,
       "out_of_range: Device index 256 is out of range for a device spec (expected -1 to 127)"},
      {" cuda:2 ", !cuda, std::nullopt, noCuda},
      {"cuda", !cuda, std::nullopt, noCuda},
      {"cuda:1x", !cuda, std::nullopt, noCuda},
      {"cuda:256", !cuda, std::nullopt, noCuda},
      // CPU ignores the index text entirely.
      {"cpu", true, c10::Device(T::CPU, -1), ""},
      {"\tcpu\n", true, c10::Device(T::CPU, -1), ""},
      {"cpu:7", true, c10::Device(T::CPU, -1), ""},
      {"cpu:abc", true, c10::Device(T::CPU, -1), ""},
      {"cpu:99999999999", true, c10::Device(T::CPU, -1), ""},
      // PrivateUse1 needs no availability, so it shows the index parsing here.
      {"privateuseone", true, c10::Device(T::PrivateUse1, 0), ""},
      {"privateuseone:3", true, c10::Device(T::PrivateUse1, 3), ""},
      {"privateuseone: +4", true, c10::Device(T::PrivateUse1, 4), ""},
      {"privateuseone:1x", true, c10::Device(T::PrivateUse1, 1), ""},
      {"privateuseone:5:6", true, c10::Device(T::PrivateUse1, 5), ""},
      {"privateuseone:-1", true, c10::Device(T::PrivateUse1, -1), ""},
      {"privateuseone:127", true, c10::Device(T::PrivateUse1, 127), ""},
      {"privateuseone:128", true, std::nullopt,
       "out_of_range: Device index 128 is out of range for a device spec (expected -1 to 127)"},
      {"privateuseone:256", true, std::nullopt,
       "out_of_range: Device index 256 is out of range for a device spec (expected -1 to 127)"},
      {"privateuseone:-2", true, std::nullopt,
       "out_of_range: Device index -2 is out of range for a device spec (expected -1 to 127)"},
      // The index is parsed before the kind is matched.
      {"cuda:abc", true, std::nullopt, "invalid_argument: stoi"},
      {"gpu:abc", true, std::nullopt, "invalid_argument: stoi"},
      {"privateuseone:", true, c10::Device(T::PrivateUse1, 0), ""},
      {"privateuseone:99999999999", true, std::nullopt, "out_of_range: stoi"},
      {"gpu:0", true, std::nullopt, "invalid_argument: Unsupported device spec: gpu:0"},
      {"gpu", true, std::nullopt, "invalid_argument: Unsupported device spec: gpu"},
      {" gpu\t", true, std::nullopt, "invalid_argument: Unsupported device spec:  gpu\t"},
      {"CUDA", true, std::nullopt, "invalid_argument: Unsupported device spec: CUDA"},
      {"Cpu", true, std::nullopt, "invalid_argument: Unsupported device spec: Cpu"},
      {"mps:3", at::globalContext().hasMPS(), c10::Device(T::MPS, -1), ""},
      {"mps:3", !at::globalContext().hasMPS(), std::nullopt,
       "runtime_error: MPS device requested but MPS support is unavailable in this build"},
      {"xpu", !at::globalContext().hasXPU(), std::nullopt,
       "runtime_error: XPU device requested but XPU support is unavailable in this build"},
      {"xla:1", !at::globalContext().hasXLA(), std::nullopt,
       "runtime_error: XLA device requested but XLA support is unavailable in this build"},
      {"mtia", !at::globalContext().hasMTIA(), std::nullopt,
       "runtime_error: MTIA device requested but MTIA support is unavailable in this build"},
      {"hpu", !at::globalContext().hasHPU(), std::nullopt,
       "runtime_error: HPU device requested but HPU support is unavailable in this build"},
  };
  int checked = 0;
  for (const Case& c : cases) {
    if (!c.applies) {
      continue;
    }
    ++checked;
    SCOPED_TRACE("spec '" + c.spec + "'");
    if (c.device) {
      c10::Device got(c10::DeviceType::CPU);
      EXPECT_EQ(thrown([&] { got = AOTIHeuristicRunner::parseDevice(c.spec); }),
                "nothing thrown");
      EXPECT_EQ(got.type(), c.device->type());
      EXPECT_EQ(static_cast<int>(got.index()), static_cast<int>(c.device->index()));
    } else {
      EXPECT_EQ(thrown([&] { AOTIHeuristicRunner::parseDevice(c.spec); }), c.error);
    }
  }
  EXPECT_GT(checked, 30);
}

// Random arrangements of an n x n board as one-hot rows (tile * n*n + position),
// with the Manhattan distance of each computed directly.
struct TileBatch {
  std::vector<float> one_hot;
  std::vector<float> manhattan;
};

TileBatch randomTileBatch(int n, uint64_t batch, std::mt19937& rng) {
  const int cells = n * n;
  TileBatch out;
  out.one_hot.assign(batch * cells * cells, 0.0f);
  std::vector<int> board(cells);
  for (uint64_t b = 0; b < batch; ++b) {
    std::iota(board.begin(), board.end(), 0);
    std::shuffle(board.begin(), board.end(), rng);
    int distance = 0;
    for (int pos = 0; pos < cells; ++pos) {
      const int tile = board[pos];
      out.one_hot[b * cells * cells + tile * cells + pos] = 1.0f;
      if (tile != 0) {
        const int goal = tile - 1;
        distance += std::abs(pos / n - goal / n) + std::abs(pos % n - goal % n);
      }
    }
    out.manhattan.push_back(static_cast<float>(distance));
  }
  return out;
}

TEST(AOTIHeuristicRunner, ManhattanModelsAreExact) {
  c10::InferenceMode guard;
  std::mt19937 rng(12345);
  struct Case {
    int n;
    const char* file;
    std::vector<uint64_t> batches;
  };
  const Case cases[] = {
      {3, "puzzle8_manhattan.pt2", {1, 7}},
      {4, "puzzle15_manhattan.pt2", {1, 7, 4096}},
      {5, "puzzle24_manhattan.pt2", {7}},
  };
  for (const Case& c : cases) {
    AOTIHeuristicRunner runner(loadAOTIManifest(modelPath(c.file)), "cpu");
    EXPECT_EQ(runner.device(), c10::Device(c10::DeviceType::CPU, -1));
    EXPECT_EQ(runner.manifest().env, "puzzle" + std::to_string(c.n * c.n - 1));
    EXPECT_EQ(totalInputElements(runner.manifest()), uint64_t(c.n * c.n * c.n * c.n));
    for (uint64_t batch : c.batches) {
      SCOPED_TRACE(std::string(c.file) + " batch " + std::to_string(batch));
      const TileBatch tiles = randomTileBatch(c.n, batch, rng);
      EXPECT_EQ(runner.infer({tiles.one_hot}, batch), tiles.manhattan);
    }
    runner.synchronize();  // nothing to wait for on the CPU
  }
  // The solved 15-puzzle scores 0.
  AOTIHeuristicRunner runner(loadAOTIManifest(modelPath("puzzle15_manhattan.pt2")), "cpu");
  std::vector<float> solved(256, 0.0f);
  for (int pos = 0; pos < 16; ++pos) {
    solved[((pos + 1) % 16) * 16 + pos] = 1.0f;
  }
  EXPECT_EQ(runner.infer({solved}, 1), std::vector<float>{0.0f});
}

TEST(AOTIHeuristicRunner, Cube3CountsMisplacedStickers) {
  c10::InferenceMode guard;
  AOTIHeuristicRunner runner(loadAOTIManifest(modelPath("cube3_misplaced.pt2")), "");
  EXPECT_EQ(runner.manifest().env, "cube3");
  EXPECT_EQ(totalInputElements(runner.manifest()), 324u);
  std::mt19937 rng(7);
  const uint64_t batch = 9;
  std::vector<float> input(batch * 324, 0.0f);
  std::vector<float> expected;
  for (uint64_t b = 0; b < batch; ++b) {
    int misplaced = 0;
    for (int sticker = 0; sticker < 54; ++sticker) {
      // Example 0 is the solved cube.
      const int colour = b == 0 ? sticker / 9 : static_cast<int>(rng() % 6);
      input[b * 324 + sticker * 6 + colour] = 1.0f;
      misplaced += colour != sticker / 9;
    }
    expected.push_back(misplaced / 20.0f);
  }
  const std::vector<float> got = runner.infer({input}, batch);
  ASSERT_EQ(got.size(), batch);
  EXPECT_EQ(got[0], 0.0f);
  for (uint64_t b = 0; b < batch; ++b) {
    EXPECT_NEAR(got[b], expected[b], 1e-4) << "example " << b;
  }
}

std::vector<float> randomFloats(std::size_t count, std::mt19937& rng) {
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> v(count);
  for (float& x : v) {
    x = dist(rng);
  }
  return v;
}

// x . (1, 2, 3, 4) for each row of x [batch, 4].
std::vector<float> weighted(const std::vector<float>& x) {
  std::vector<float> out;
  for (std::size_t b = 0; b < x.size() / 4; ++b) {
    out.push_back(x[4 * b] + 2 * x[4 * b + 1] + 3 * x[4 * b + 2] + 4 * x[4 * b + 3]);
  }
  return out;
}

void expectNear(const std::vector<float>& got, const std::vector<float>& want, float tol = 1e-4f) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_NEAR(got[i], want[i], tol) << "example " << i;
  }
}

TEST(AOTIHeuristicRunner, OutputHeadsAndInputOrder) {
  c10::InferenceMode guard;
  std::mt19937 rng(99);
  const uint64_t batch = 5;
  const std::vector<float> a = randomFloats(batch * 4, rng);
  const std::vector<float> b = randomFloats(batch * 2, rng);

  AOTIHeuristicRunner two(loadAOTIManifest(modelPath("fixture_two_inputs.pt2")), "cpu");
  ASSERT_EQ(two.manifest().inputs.size(), 2u);
  std::vector<float> want = weighted(a);
  for (uint64_t i = 0; i < batch; ++i) {
    want[i] += 10 * b[2 * i] + 20 * b[2 * i + 1];
  }
  expectNear(two.infer({a, b}, batch), want);

  // [batch] and [batch, 1] heads give the same values.
  AOTIHeuristicRunner flat(loadAOTIManifest(modelPath("fixture_flat.pt2")), "cpu");
  const std::vector<float> column = two.infer({a, std::vector<float>(batch * 2, 0.0f)}, batch);
  EXPECT_EQ(flat.infer({a}, batch), column);
  expectNear(column, weighted(a));

  // A [batch, 3] head contributes its first column only.
  AOTIHeuristicRunner three(loadAOTIManifest(modelPath("fixture_three_columns.pt2")), "cpu");
  expectNear(three.infer({a}, batch), weighted(a));

  // Negative values are returned as produced.
  AOTIHeuristicRunner negative(loadAOTIManifest(modelPath("fixture_negative.pt2")), "cpu");
  const std::vector<float> zeros(batch * 4, 0.0f);
  EXPECT_EQ(negative.infer({zeros}, batch), std::vector<float>(batch, -0.5f));
}

TEST(AOTIHeuristicRunner, InferChecksInOrder) {
  c10::InferenceMode guard;
  AOTIHeuristicRunner two(loadAOTIManifest(modelPath("fixture_two_inputs.pt2")), "cpu");
  const std::vector<float> a(8, 1.0f), b(4, 1.0f);

  // Batch 0 answers before any other check.
  EXPECT_TRUE(two.infer({}, 0).empty());
  EXPECT_TRUE(two.infer({{1.0f}}, 0).empty());

  EXPECT_EQ(thrown([&] { two.infer({a}, 2); }),
            "invalid_argument: Mismatch between provided inputs and manifest");
  EXPECT_EQ(thrown([&] { two.infer({a, b, b}, 2); }),
            "invalid_argument: Mismatch between provided inputs and manifest");
  EXPECT_EQ(thrown([&] { two.infer({a, b}, 3); }),
            "invalid_argument: Input buffer size does not match manifest numel");
  EXPECT_EQ(thrown([&] { two.infer({a, std::vector<float>(5)}, 2); }),
            "invalid_argument: Input buffer size does not match manifest numel");

  // The scalar head fails in LibTorch's own size query.
  AOTIHeuristicRunner scalar(loadAOTIManifest(modelPath("fixture_scalar.pt2")), "cpu");
  EXPECT_EQ(thrown([&] { scalar.infer({a}, 2); }).rfind("c10::Error: ", 0), 0u);

  // The runner keeps working after failed calls.
  const std::vector<float> got = two.infer({a, b}, 2);
  expectNear(got, {40.0f, 40.0f});
}

TEST(AOTIHeuristicRunner, ManifestShapeAgainstBatchAndBuffer) {
  c10::InferenceMode guard;
  const auto withShape = [](const std::string& name, const std::string& input) {
    return packageWithManifest("fixture_flat.pt2", name,
                               R"({"env": "fixture_flat", "inputs": [)" + input + "]}");
  };
  std::mt19937 rng(5);

  // A fixed first dimension is accepted when it equals the batch.
  AOTIHeuristicRunner fixed(
      loadAOTIManifest(withShape("fixed", R"({"numel_per_example": 4, "shape": [8, 4]})")),
      "cpu");
  const std::vector<float> x8 = randomFloats(32, rng);
  expectNear(fixed.infer({x8}, 8), weighted(x8));
  EXPECT_EQ(thrown([&] { fixed.infer({std::vector<float>(16)}, 4); }),
            "invalid_argument: First dimension of manifest shape does not match batch size");

  struct Case {
    const char* what;
    std::string input;
    uint64_t batch;
    std::size_t buffer;
    std::string message_prefix;
  };
  const Case cases[] = {
      {"dtype checked first", R"({"numel_per_example": 4, "dtype": "float16", "shape": ["batch", 4]})",
       2, 3, "invalid_argument: Only float32 inputs are supported presently"},
      {"shape larger than the buffer", R"({"numel_per_example": 4, "shape": ["batch", 8]})", 2, 8,
       "invalid_argument: Manifest shape [2, 8] of input 'input' holds 16 elements, but batch 2 x "
       "numel_per_example 4 is 8"},
      {"shape smaller than the buffer", R"({"numel_per_example": 4, "shape": ["batch", 2]})", 2, 8,
       "invalid_argument: Manifest shape [2, 2] of input 'input' holds 4 elements"},
      {"empty shape with several features", R"({"numel_per_example": 4, "shape": []})", 3, 12,
       "invalid_argument: Manifest shape [3] of input 'input' holds 3 elements"},
      {"negative inner dimension", R"({"numel_per_example": 4, "shape": ["batch", -4]})", 2, 8,
       "invalid_argument: Manifest shape of input 'input' has a negative dimension -4"},
      {"overflowing shape",
       R"({"numel_per_example": 4, "shape": ["batch", 4611686018427387904, 4]})", 2, 8,
       "invalid_argument: Manifest shape of input 'input' has too many elements"},
      // 2 x 2^63 wraps to 0: an empty buffer must still not pass.
      {"wrapping batch x numel", R"({"numel_per_example": 9223372036854775808, "shape": ["batch"]})",
       2, 0, "invalid_argument: Input buffer size does not match manifest numel"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    AOTIHeuristicRunner runner(loadAOTIManifest(withShape("shape", c.input)), "cpu");
    const std::string message =
        thrown([&] { runner.infer({std::vector<float>(c.buffer, 1.0f)}, c.batch); });
    EXPECT_EQ(message.rfind(c.message_prefix, 0), 0u) << message;
  }
}

TEST(AOTIHeuristicRunner, ConstructionChecksInOrder) {
  const std::string missing = (fs::path(testing::TempDir()) / "no_such_model.pt2").string();
  AOTIManifest m;
  m.package_path = missing;
  m.inputs.resize(1);
  // The device spec is parsed before the package is touched.
  EXPECT_EQ(thrown([&] { AOTIHeuristicRunner(m, "gpu"); }),
            "invalid_argument: Unsupported device spec: gpu");
  // A package that cannot be loaded fails with LibTorch's error, before the manifest checks.
  m.inputs.clear();
  const std::string load_error = thrown([&] { AOTIHeuristicRunner(m, "cpu"); });
  EXPECT_NE(load_error, "nothing thrown");
  EXPECT_EQ(load_error.find("Manifest must describe"), std::string::npos) << load_error;

  const std::string no_inputs =
      packageWithManifest("fixture_flat.pt2", "no_inputs", R"({"inputs": null})");
  EXPECT_EQ(thrown([&] { AOTIHeuristicRunner(loadAOTIManifest(no_inputs), "cpu"); }),
            "invalid_argument: Manifest must describe at least one input tensor");
  const std::string wide = packageWithManifest(
      "fixture_flat.pt2", "wide",
      R"({"output_elements_per_example": 3, "inputs": [{"numel_per_example": 4, "shape": ["batch", 4]}]})");
  EXPECT_EQ(thrown([&] { AOTIHeuristicRunner(loadAOTIManifest(wide), "cpu"); }),
            "invalid_argument: Only single-scalar output heads are supported for heuristics");
  const std::string none = packageWithManifest(
      "fixture_flat.pt2", "none",
      R"({"output_elements_per_example": 0, "inputs": [{"numel_per_example": 4, "shape": ["batch", 4]}]})");
  EXPECT_EQ(thrown([&] { AOTIHeuristicRunner(loadAOTIManifest(none), "cpu"); }),
            "invalid_argument: Only single-scalar output heads are supported for heuristics");
}

torch::inductor::AOTIModelPackageLoader loaderFor(const std::string& file) {
  return torch::inductor::AOTIModelPackageLoader(modelPath(file), "model", false, 1, -1);
}

TEST(AOTIRunTensorHeuristic, AgreesWithInferExceptForClamping) {
  c10::InferenceMode guard;
  std::mt19937 rng(3);
  const uint64_t batch = 7;
  const TileBatch tiles = randomTileBatch(4, batch, rng);
  AOTIHeuristicRunner runner(loadAOTIManifest(modelPath("puzzle15_manhattan.pt2")), "cpu");
  const std::vector<float> from_infer = runner.infer({tiles.one_hot}, batch);

  auto loader = loaderFor("puzzle15_manhattan.pt2");
  const at::Tensor input =
      at::from_blob(const_cast<float*>(tiles.one_hot.data()), {int64_t(batch), 256}, at::kFloat);
  const at::Tensor out = runTensorHeuristic(loader, {input});
  ASSERT_EQ(out.dim(), 1);
  ASSERT_EQ(out.size(0), int64_t(batch));
  EXPECT_EQ(out.scalar_type(), at::kFloat);
  EXPECT_TRUE(out.device().is_cpu());
  EXPECT_EQ(std::vector<float>(out.data_ptr<float>(), out.data_ptr<float>() + batch), from_infer);

  // A non-contiguous input is made contiguous first and gives the same values.
  const at::Tensor strided = input.t().contiguous().t();
  ASSERT_FALSE(strided.is_contiguous());
  EXPECT_TRUE(at::equal(runTensorHeuristic(loader, {strided}), out));

  // Negative heuristics: infer keeps -0.5, the tensor path clamps to 0.
  auto negative = loaderFor("fixture_negative.pt2");
  const at::Tensor zeros = at::zeros({3, 4}, at::kFloat);
  EXPECT_TRUE(at::equal(runTensorHeuristic(negative, {zeros}), at::zeros({3}, at::kFloat)));
  const at::Tensor mixed = at::tensor(std::vector<float>{-1.0f, 0, 0, 0, 0.25f, 0, 0, 0}).view({2, 4});
  EXPECT_TRUE(at::allclose(runTensorHeuristic(negative, {mixed}), at::tensor(std::vector<float>{0.5f, 0.0f})));

  // Heads: [batch, 3] keeps column 0, [batch] is used as is.
  const at::Tensor x = at::rand({4, 4}, at::kFloat);
  const at::Tensor w = at::tensor(std::vector<float>{1.0f, 2.0f, 3.0f, 4.0f});
  const at::Tensor want = (x * w).sum(1).clamp_min(0.0);
  auto three = loaderFor("fixture_three_columns.pt2");
  auto flat = loaderFor("fixture_flat.pt2");
  EXPECT_TRUE(at::allclose(runTensorHeuristic(three, {x}), want));
  EXPECT_TRUE(at::allclose(runTensorHeuristic(flat, {x}), want));
}

TEST(AOTIRunTensorHeuristic, Errors) {
  c10::InferenceMode guard;
  auto flat = loaderFor("fixture_flat.pt2");
  EXPECT_EQ(thrown([&] { runTensorHeuristic(flat, {at::zeros({2, 4}, at::kDouble)}); }),
            "invalid_argument: AOTI heuristics expects float32 input tensors.");
  auto scalar = loaderFor("fixture_scalar.pt2");
  EXPECT_EQ(thrown([&] { runTensorHeuristic(scalar, {at::zeros({2, 4}, at::kFloat)}); }),
            "runtime_error: AOTI package returned a scalar output. Expected batched heuristics.");
}

}  // namespace
}  // namespace quelmar
