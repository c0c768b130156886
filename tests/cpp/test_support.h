#pragma once
// Small helpers shared by the C++ tests.

#include <string>

namespace quelmar::testing_support {

// The message of the exception of type E that f throws, or "<not thrown>".
template <typename E, typename F>
std::string messageOf(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "<not thrown>";
}

}  // namespace quelmar::testing_support
