#pragma once
// Storage dtype names of the GPU solver, mapped to LibTorch scalar types.

#include <string>

#include <c10/core/ScalarType.h>

namespace quelmar {

// "float32", "float64", "int64", "int32", "int16", "int8", "uint8", "bool",
// "float16", "bfloat16"; anything else throws std::invalid_argument.
c10::ScalarType scalarTypeFromName(const std::string& name);

}  // namespace quelmar
