#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "heuristic/aoti_manifest.h"

namespace quelmar {
namespace {

namespace fs = std::filesystem;

// Writes text as the manifest of <temp>/<name>.pt2 and returns the package path.
std::string writeManifest(const std::string& name, const std::string& text) {
  const fs::path dir = fs::path(testing::TempDir()) / "aoti_manifest_test";
  fs::create_directories(dir);
  const std::string package = (dir / (name + ".pt2")).string();
  std::ofstream(package + ".json") << text;
  return package;
}

enum class Kind { Runtime, Parse, Type, OutOfRange };

// The message if f throws exactly the expected kind, else a marker naming what happened.
std::string failure(Kind kind, const std::function<void()>& f) {
  try {
    f();
  } catch (const nlohmann::json::parse_error& e) {
    return kind == Kind::Parse ? e.what() : std::string("<parse_error> ") + e.what();
  } catch (const nlohmann::json::type_error& e) {
    return kind == Kind::Type ? e.what() : std::string("<type_error> ") + e.what();
  } catch (const nlohmann::json::out_of_range& e) {
    return kind == Kind::OutOfRange ? e.what() : std::string("<out_of_range> ") + e.what();
  } catch (const nlohmann::json::exception& e) {
    return std::string("<other json error> ") + e.what();
  } catch (const std::runtime_error& e) {
    return kind == Kind::Runtime ? e.what() : std::string("<runtime_error> ") + e.what();
  } catch (const std::exception& e) {
    return std::string("<other exception> ") + e.what();
  }
  return "<nothing thrown>";
}

TEST(AOTIManifest, MinimalManifestGetsDefaults) {
  const std::string package = writeManifest(
      "minimal", R"({"inputs": [{"numel_per_example": 54, "shape": ["batch", 54]}]})");
  const AOTIManifest m = loadAOTIManifest(package);
  EXPECT_EQ(m.env, "");
  EXPECT_EQ(m.package_path, package);
  EXPECT_EQ(m.manifest_path, package + ".json");
  EXPECT_EQ(m.output_elements_per_example, 1u);
  ASSERT_EQ(m.inputs.size(), 1u);
  EXPECT_EQ(m.inputs[0].name, "input");
  EXPECT_EQ(m.inputs[0].numel_per_example, 54u);
  EXPECT_EQ(m.inputs[0].shape, (std::vector<int64_t>{-1, 54}));
  EXPECT_EQ(m.inputs[0].dtype, "float32");
}

TEST(AOTIManifest, FullManifestKeepsOrderAndIgnoresUnknownKeys) {
  const std::string package = writeManifest("full", R"(
    // exported by hand
    /* block comment */
    {"env": "cube3", "output_elements_per_example": 3, "extra": [1, 2],
     "inputs": [
       {"name": "stickers", "numel_per_example": 54, "shape": ["batch", 3, 3, 6],
        "dtype": "float16", "note": "ignored"},
       {"name": "aux", "numel_per_example": 6, "shape": [8, 6]}
     ]} // trailing comment)");
  const AOTIManifest m = loadAOTIManifest(package);
  EXPECT_EQ(m.env, "cube3");
  EXPECT_EQ(m.output_elements_per_example, 3u);
  ASSERT_EQ(m.inputs.size(), 2u);
  EXPECT_EQ(m.inputs[0].name, "stickers");
  EXPECT_EQ(m.inputs[0].shape, (std::vector<int64_t>{-1, 3, 3, 6}));
  EXPECT_EQ(m.inputs[0].dtype, "float16");  // stored as written
  EXPECT_EQ(m.inputs[1].name, "aux");
  EXPECT_EQ(m.inputs[1].shape, (std::vector<int64_t>{8, 6}));
  EXPECT_EQ(totalInputElements(m), 60u);
}

TEST(AOTIManifest, ValueConversionsAndIteration) {
  struct Case {
    const char* what;
    const char* json;
    std::vector<uint64_t> numels;
    std::vector<std::vector<int64_t>> shapes;
    uint64_t outputs;
  };
  const Case cases[] = {
      {"empty shape", R"({"inputs": [{"numel_per_example": 1, "shape": []}]})", {1}, {{}}, 1},
      {"float count truncated", R"({"inputs": [{"numel_per_example": 2.9, "shape": [2]}]})",
       {2}, {{2}}, 1},
      {"negative count reinterpreted",
       R"({"inputs": [{"numel_per_example": -1, "shape": [1]}]})",
       {18446744073709551615ull}, {{1}}, 1},
      {"negative float count", R"({"inputs": [{"numel_per_example": -2.5, "shape": [1]}]})",
       {18446744073709551614ull}, {{1}}, 1},
      {"largest unsigned count",
       R"({"inputs": [{"numel_per_example": 18446744073709551615, "shape": [1]}]})",
       {18446744073709551615ull}, {{1}}, 1},
      {"output count as float", R"({"output_elements_per_example": 1.5, "inputs": []})", {}, {},
       1},
      {"output count zero", R"({"output_elements_per_example": 0, "inputs": []})", {}, {}, 0},
      {"inputs null", R"({"inputs": null, "env": "x"})", {}, {}, 1},
      {"inputs empty", R"({"inputs": []})", {}, {}, 1},
      {"inputs object in key order",
       R"({"inputs": {"b": {"numel_per_example": 2, "shape": [2]},
                      "a": {"numel_per_example": 1, "shape": [1]}}})",
       {1, 2}, {{1}, {2}}, 1},
      {"scalar shape", R"({"inputs": [{"numel_per_example": 8, "shape": 8}]})", {8}, {{8}}, 1},
      {"null shape", R"({"inputs": [{"numel_per_example": 8, "shape": null}]})", {8}, {{}}, 1},
      {"shape object values",
       R"({"inputs": [{"numel_per_example": 8, "shape": {"x": "batch", "y": 4}}]})", {8},
       {{-1, 4}}, 1},
      {"negative and huge dims",
       R"({"inputs": [{"numel_per_example": 1, "shape": [-3, 18446744073709551615]}]})", {1},
       {{-3, -1}}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const AOTIManifest m = loadAOTIManifest(writeManifest("conv", c.json));
    EXPECT_EQ(m.output_elements_per_example, c.outputs);
    ASSERT_EQ(m.inputs.size(), c.numels.size());
    for (std::size_t i = 0; i < c.numels.size(); ++i) {
      EXPECT_EQ(m.inputs[i].numel_per_example, c.numels[i]);
      EXPECT_EQ(m.inputs[i].shape, c.shapes[i]);
    }
  }
}

TEST(AOTIManifest, FailuresCarryExactTypesAndMessages) {
  struct Case {
    const char* what;
    const char* json;
    Kind kind;
    std::string message;
  };
  const std::string shapeEntries = "Manifest shape entries must be integers or the string 'batch'";
  const Case cases[] = {
      {"capital Batch", R"({"inputs": [{"numel_per_example": 1, "shape": ["Batch", 1]}]})",
       Kind::Runtime, "Unsupported symbolic dimension 'Batch' in manifest"},
      {"empty symbol", R"({"inputs": [{"numel_per_example": 1, "shape": [""]}]})", Kind::Runtime,
       "Unsupported symbolic dimension '' in manifest"},
      {"float dim", R"({"inputs": [{"numel_per_example": 2, "shape": [2.0]}]})", Kind::Runtime,
       shapeEntries},
      {"bool dim", R"({"inputs": [{"numel_per_example": 2, "shape": [true]}]})", Kind::Runtime,
       shapeEntries},
      {"null dim", R"({"inputs": [{"numel_per_example": 2, "shape": [null]}]})", Kind::Runtime,
       shapeEntries},
      {"array dim", R"({"inputs": [{"numel_per_example": 2, "shape": [[2]]}]})", Kind::Runtime,
       shapeEntries},
      {"object dim", R"({"inputs": [{"numel_per_example": 2, "shape": [{}]}]})", Kind::Runtime,
       shapeEntries},
      {"trailing value", R"({"inputs": []} {})", Kind::Parse,
       "[json.exception.parse_error.101] parse error at line 1, column 16: syntax error while "
       "parsing value - unexpected '{'; expected end of input"},
      {"malformed", R"({"inputs": [)", Kind::Parse, "[json.exception.parse_error.101]"},
      {"empty file", "", Kind::Parse, "[json.exception.parse_error.101]"},
      {"top level array", R"([{"inputs": []}])", Kind::Type,
       "[json.exception.type_error.306] cannot use value() with array"},
      {"top level null", "null", Kind::Type,
       "[json.exception.type_error.306] cannot use value() with null"},
      {"input entry number", R"({"inputs": [5]})", Kind::Type,
       "[json.exception.type_error.306] cannot use value() with number"},
      // An object is walked by its member values, so a lone input object is not one input.
      {"inputs a lone object", R"({"inputs": {"numel_per_example": 3, "shape": [3]}})",
       Kind::Type, "[json.exception.type_error.306] cannot use value() with number"},
      {"input entry string", R"({"inputs": "x"})", Kind::Type,
       "[json.exception.type_error.306] cannot use value() with string"},
      {"env not string", R"({"env": 3, "inputs": []})", Kind::Type,
       "[json.exception.type_error.302] type must be string, but is number"},
      {"name not string", R"({"inputs": [{"name": null, "numel_per_example": 1, "shape": [1]}]})",
       Kind::Type, "[json.exception.type_error.302] type must be string, but is null"},
      {"dtype not string",
       R"({"inputs": [{"dtype": ["float32"], "numel_per_example": 1, "shape": [1]}]})",
       Kind::Type, "[json.exception.type_error.302] type must be string, but is array"},
      {"count string", R"({"inputs": [{"numel_per_example": "54", "shape": [54]}]})", Kind::Type,
       "[json.exception.type_error.302] type must be number, but is string"},
      {"count boolean", R"({"inputs": [{"numel_per_example": true, "shape": [1]}]})", Kind::Type,
       "[json.exception.type_error.302] type must be number, but is boolean"},
      {"output count null", R"({"output_elements_per_example": null, "inputs": []})", Kind::Type,
       "[json.exception.type_error.302] type must be number, but is null"},
      {"output count object", R"({"output_elements_per_example": {}, "inputs": []})", Kind::Type,
       "[json.exception.type_error.302] type must be number, but is object"},
      {"inputs missing", R"({"env": "x"})", Kind::OutOfRange,
       "[json.exception.out_of_range.403] key 'inputs' not found"},
      {"count missing", R"({"inputs": [{"shape": [1]}]})", Kind::OutOfRange,
       "[json.exception.out_of_range.403] key 'numel_per_example' not found"},
      {"shape missing", R"({"inputs": [{"numel_per_example": 1}]})", Kind::OutOfRange,
       "[json.exception.out_of_range.403] key 'shape' not found"},
      // Order of the checks: env, output count, inputs; in an entry name, count, dtype, shape.
      {"env before inputs", R"({"env": false})", Kind::Type,
       "[json.exception.type_error.302] type must be string, but is boolean"},
      {"output count before inputs", R"({"output_elements_per_example": "1"})", Kind::Type,
       "[json.exception.type_error.302] type must be number, but is string"},
      {"name before count", R"({"inputs": [{"name": 1}]})", Kind::Type,
       "[json.exception.type_error.302] type must be string, but is number"},
      {"count before dtype", R"({"inputs": [{"dtype": 1, "shape": ["x"]}]})", Kind::OutOfRange,
       "[json.exception.out_of_range.403] key 'numel_per_example' not found"},
      {"dtype before shape", R"({"inputs": [{"numel_per_example": 1, "dtype": 1}]})", Kind::Type,
       "[json.exception.type_error.302] type must be string, but is number"},
      {"entries in order", R"({"inputs": [{"numel_per_example": 1, "shape": ["x"]}, 7]})",
       Kind::Runtime, "Unsupported symbolic dimension 'x' in manifest"},
      // A float count beyond 64 bits has no truncation; it is refused, not converted.
      {"float count beyond 64 bits",
       R"({"inputs": [{"numel_per_example": 1e30, "shape": [1]}]})", Kind::Runtime,
       "Manifest count 1e+30 does not fit in an unsigned 64-bit integer"},
      {"negative float count beyond 64 bits",
       R"({"output_elements_per_example": -1e19, "inputs": []})", Kind::Runtime,
       "Manifest count -1e+19 does not fit in an unsigned 64-bit integer"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string package = writeManifest("bad", c.json);
    const std::string message = failure(c.kind, [&] { loadAOTIManifest(package); });
    if (c.kind == Kind::Parse) {
      EXPECT_EQ(message.rfind(c.message, 0), 0u) << message;
    } else {
      EXPECT_EQ(message, c.message);
    }
  }
}

TEST(AOTIManifest, MissingFileNamesTheManifestPath) {
  const fs::path dir = fs::path(testing::TempDir()) / "aoti_manifest_test" / "dir";
  fs::create_directories(dir);
  const std::string package = (dir / "model.pt2").string();
  std::ofstream(package) << "not a manifest";  // the package itself is not read here
  fs::remove(package + ".json");
  EXPECT_EQ(failure(Kind::Runtime, [&] { loadAOTIManifest(package); }),
            "Unable to open AOTI manifest at " + package + ".json");
  // The extension is appended, never substituted.
  std::ofstream((dir / "model.json").string()) << R"({"inputs": []})";
  EXPECT_EQ(failure(Kind::Runtime, [&] { loadAOTIManifest(package); }),
            "Unable to open AOTI manifest at " + package + ".json");
}

TEST(AOTIManifest, TotalInputElements) {
  AOTIManifest m;
  EXPECT_EQ(totalInputElements(m), 0u);
  m.inputs.resize(2);
  m.inputs[0].numel_per_example = 54;
  m.inputs[1].numel_per_example = 6;
  EXPECT_EQ(totalInputElements(m), 60u);
  m.inputs[0].numel_per_example = UINT64_MAX - 6;
  EXPECT_EQ(totalInputElements(m), UINT64_MAX);
}

TEST(AOTIManifest, TotalInputElementsRefusesToWrap) {
  // -1 loads as the largest count; adding to it must not wrap to a small size.
  const AOTIManifest m = loadAOTIManifest(writeManifest("wrap", R"({"inputs": [
      {"numel_per_example": -1, "shape": ["batch"]},
      {"numel_per_example": 2, "shape": ["batch", 2]}]})"));
  EXPECT_EQ(failure(Kind::Runtime, [&] { totalInputElements(m); }),
            "Manifest input sizes overflow: numel_per_example values are too large");
}

}  // namespace
}  // namespace quelmar
