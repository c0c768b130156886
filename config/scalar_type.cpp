#include "config/scalar_type.h"

#include <stdexcept>
#include <string_view>
#include <utility>

namespace quelmar {

c10::ScalarType scalarTypeFromName(const std::string& name) {
  static constexpr std::pair<std::string_view, c10::ScalarType> kTable[] = {
      {"float32", c10::ScalarType::Float}, {"float64", c10::ScalarType::Double},
      {"int64", c10::ScalarType::Long},    {"int32", c10::ScalarType::Int},
      {"int16", c10::ScalarType::Short},   {"int8", c10::ScalarType::Char},
      {"uint8", c10::ScalarType::Byte},    {"bool", c10::ScalarType::Bool},
      {"float16", c10::ScalarType::Half},  {"bfloat16", c10::ScalarType::BFloat16},
  };
  for (const auto& [key, type] : kTable)
    if (key == name) return type;
  throw std::invalid_argument("Unsupported scalar type name: " + name);
}

}  // namespace quelmar
