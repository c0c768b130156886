#pragma once
// The Python dictionary both solver functions return.

#include <nanobind/nanobind.h>

#include "config/search_result.h"

namespace quelmar::bindings {

nanobind::dict resultToDict(const SearchResult& result);

}  // namespace quelmar::bindings
