#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "heuristic/aoti_manifest.h"
#include "test_support.h"

namespace quelmar {
namespace {

namespace fs = std::filesystem;
using testing_support::messageOf;

// Catches: defaults missing from a minimal manifest, path fields not filled,
// comments or unknown keys refused, inputs reordered, dtype rewritten.
TEST(AOTIManifest, MinimalAndFullManifests) {
  const fs::path dir = fs::path(testing::TempDir()) / "aoti_manifest_test";
  fs::create_directories(dir);
  const std::string package = (dir / "minimal.pt2").string();
  std::ofstream(package + ".json") << R"({"inputs": [{"numel_per_example": 54, "shape": ["batch", 54]}]})";
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

  const AOTIManifest full = parseAOTIManifest(R"(
    // exported by hand
    /* block comment */
    {"env": "cube3", "output_elements_per_example": 3, "extra": [1, 2],
     "inputs": [
       {"name": "stickers", "numel_per_example": 54, "shape": ["batch", 3, 3, 6], "dtype": "float16", "note": 0},
       {"name": "aux", "numel_per_example": 6, "shape": [8, 6]}
     ]} // trailing comment)", "full.pt2");
  EXPECT_EQ(full.env, "cube3");
  EXPECT_EQ(full.output_elements_per_example, 3u);
  ASSERT_EQ(full.inputs.size(), 2u);
  EXPECT_EQ(full.inputs[0].name, "stickers");
  EXPECT_EQ(full.inputs[0].shape, (std::vector<int64_t>{-1, 3, 3, 6}));
  EXPECT_EQ(full.inputs[0].dtype, "float16");  // stored as written
  EXPECT_EQ(full.inputs[1].name, "aux");
  EXPECT_EQ(full.inputs[1].shape, (std::vector<int64_t>{8, 6}));
  EXPECT_EQ(totalInputElements(full), 60u);
}

// Catches: counts and shape entries converted unlike the documented rules
// (truncation, two's-complement reinterpretation, object members in key order).
TEST(AOTIManifest, ValueConversionsAndIteration) {
  struct Case {
    const char* json;
    std::vector<uint64_t> numels;
    std::vector<std::vector<int64_t>> shapes;
    uint64_t outputs = 1;
  };
  const Case cases[] = {
      {R"({"inputs": [{"numel_per_example": 1, "shape": []}]})", {1}, {{}}},
      {R"({"inputs": [{"numel_per_example": 2.9, "shape": [2]}]})", {2}, {{2}}},
      {R"({"inputs": [{"numel_per_example": -1, "shape": [1]}]})", {UINT64_MAX}, {{1}}},
      {R"({"inputs": [{"numel_per_example": -2.5, "shape": [1]}]})", {UINT64_MAX - 1}, {{1}}},
      {R"({"inputs": [{"numel_per_example": 18446744073709551615, "shape": [1]}]})", {UINT64_MAX}, {{1}}},
      {R"({"output_elements_per_example": 1.5, "inputs": []})", {}, {}}, {R"({"inputs": null, "env": "x"})", {}, {}},
      {R"({"output_elements_per_example": 0, "inputs": []})", {}, {}, 0},
      {R"({"inputs": {"b": {"numel_per_example": 2, "shape": [2]}, "a": {"numel_per_example": 1, "shape": [1]}}})",
       {1, 2}, {{1}, {2}}},
      {R"({"inputs": [{"numel_per_example": 8, "shape": 8}]})", {8}, {{8}}},
      {R"({"inputs": [{"numel_per_example": 8, "shape": null}]})", {8}, {{}}},
      {R"({"inputs": [{"numel_per_example": 8, "shape": {"x": "batch", "y": 4}}]})", {8}, {{-1, 4}}},
      {R"({"inputs": [{"numel_per_example": 1, "shape": [-3, 18446744073709551615]}]})", {1}, {{-3, -1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    const AOTIManifest m = parseAOTIManifest(c.json, "conv.pt2");
    EXPECT_EQ(m.output_elements_per_example, c.outputs);
    ASSERT_EQ(m.inputs.size(), c.numels.size());
    for (std::size_t i = 0; i < c.numels.size(); ++i) {
      EXPECT_EQ(m.inputs[i].numel_per_example, c.numels[i]);
      EXPECT_EQ(m.inputs[i].shape, c.shapes[i]);
    }
  }
}

// Catches: a malformed manifest accepted, a JSON error converted to another
// type, a message changed, or the checks run in another order.
TEST(AOTIManifest, FailuresCarryExactTypesAndMessages) {
  enum Kind { kRuntime, kParse, kType, kOutOfRange };
  const std::string shapeEntries = "Manifest shape entries must be integers or the string 'batch'";
  const std::string notString = "[json.exception.type_error.302] type must be string, but is ";
  const std::string notNumber = "[json.exception.type_error.302] type must be number, but is ";
  const std::string noValue = "[json.exception.type_error.306] cannot use value() with ";
  const std::string noKey = "[json.exception.out_of_range.403] key ";
  const struct {
    const char* json;
    Kind kind;
    std::string message;
  } cases[] = {
      {R"({"inputs": [{"numel_per_example": 1, "shape": ["Batch", 1]}]})", kRuntime,
       "Unsupported symbolic dimension 'Batch' in manifest"},
      {R"({"inputs": [{"numel_per_example": 2, "shape": [2.0]}]})", kRuntime, shapeEntries},
      {R"({"inputs": [{"numel_per_example": 2, "shape": [true]}]})", kRuntime, shapeEntries},
      {R"({"inputs": [{"numel_per_example": 2, "shape": [null]}]})", kRuntime, shapeEntries},
      {R"({"inputs": [{"numel_per_example": 2, "shape": [{}]}]})", kRuntime, shapeEntries},
      {R"({"inputs": []} {})", kParse,
       "[json.exception.parse_error.101] parse error at line 1, column 16: syntax error while "
       "parsing value - unexpected '{'; expected end of input"},
      {"", kParse, "[json.exception.parse_error.101]"}, {R"([{"inputs": []}])", kType, noValue + "array"},
      {R"({"inputs": [5]})", kType, noValue + "number"},
      // An object is walked by its member values, so a lone input object is not one input.
      {R"({"inputs": {"numel_per_example": 3, "shape": [3]}})", kType, noValue + "number"},
      {R"({"env": 3, "inputs": []})", kType, notString + "number"},
      {R"({"inputs": [{"name": null, "numel_per_example": 1, "shape": [1]}]})", kType, notString + "null"},
      {R"({"inputs": [{"dtype": ["float32"], "numel_per_example": 1, "shape": [1]}]})", kType, notString + "array"},
      {R"({"inputs": [{"numel_per_example": "54", "shape": [54]}]})", kType, notNumber + "string"},
      {R"({"inputs": [{"numel_per_example": true, "shape": [1]}]})", kType, notNumber + "boolean"},
      {R"({"output_elements_per_example": null, "inputs": []})", kType, notNumber + "null"},
      {R"({"env": "x"})", kOutOfRange, noKey + "'inputs' not found"},
      {R"({"inputs": [{"shape": [1]}]})", kOutOfRange, noKey + "'numel_per_example' not found"},
      {R"({"inputs": [{"numel_per_example": 1}]})", kOutOfRange, noKey + "'shape' not found"},
      // Order of the checks: env, output count, inputs; in an entry name, count, dtype, shape.
      {R"({"env": false})", kType, notString + "boolean"},
      {R"({"output_elements_per_example": "1"})", kType, notNumber + "string"},
      {R"({"inputs": [{"name": 1}]})", kType, notString + "number"},
      {R"({"inputs": [{"dtype": 1, "shape": ["x"]}]})", kOutOfRange, noKey + "'numel_per_example' not found"},
      {R"({"inputs": [{"numel_per_example": 1, "dtype": 1}]})", kType, notString + "number"},
      {R"({"inputs": [{"numel_per_example": 1, "shape": ["x"]}, 7]})", kRuntime,
       "Unsupported symbolic dimension 'x' in manifest"},
      // A float count beyond 64 bits has no truncation; it is refused, not converted.
      {R"({"inputs": [{"numel_per_example": 1e30, "shape": [1]}]})", kRuntime,
       "Manifest count 1e+30 does not fit in an unsigned 64-bit integer"},
      {R"({"output_elements_per_example": -1e19, "inputs": []})", kRuntime,
       "Manifest count -1e+19 does not fit in an unsigned 64-bit integer"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    const auto parse = [&] { parseAOTIManifest(c.json, "bad.pt2"); };
    const std::string message = c.kind == kParse  ? messageOf<nlohmann::json::parse_error>(parse)
                                : c.kind == kType ? messageOf<nlohmann::json::type_error>(parse)
                                : c.kind == kOutOfRange ? messageOf<nlohmann::json::out_of_range>(parse)
                                                        : messageOf<std::runtime_error>(parse);
    EXPECT_EQ(c.kind == kParse ? message.substr(0, c.message.size()) : message, c.message);
  }
}

// Catches: a sum of input sizes that wraps to a small size instead of failing.
TEST(AOTIManifest, TotalInputElementsRefusesToWrap) {
  AOTIManifest m;
  EXPECT_EQ(totalInputElements(m), 0u);
  m.inputs.resize(2);
  m.inputs[0].numel_per_example = UINT64_MAX - 6;
  m.inputs[1].numel_per_example = 6;
  EXPECT_EQ(totalInputElements(m), UINT64_MAX);
  m.inputs[1].numel_per_example = 7;
  EXPECT_EQ(messageOf<std::runtime_error>([&] { totalInputElements(m); }),
            "Manifest input sizes overflow: numel_per_example values are too large");
}

}  // namespace
}  // namespace quelmar
