#pragma once
// Docstrings of the two solver functions: one layout, one table of argument
// texts; the GPU solver replaces a few texts and adds nnet_batch_size.

#include <string>
#include <vector>

namespace quelmar::bindings {

struct ArgumentText {
  std::string name;
  std::string text;
};

// The CPU solver's argument texts, in argument order.
std::vector<ArgumentText> cpuArgumentTexts();

// The GPU solver's: the CPU texts with its own replacements, nnet_batch_size
// after batch_size.
std::vector<ArgumentText> gpuArgumentTexts();

// Summary, "Args:" (a line per argument), "Returns:" and "Raises:" with the
// given RuntimeError line, indented as the functions show them.
std::string solverDocstring(const std::string& summary, const std::vector<ArgumentText>& arguments,
                            const std::string& runtime_error);

}  // namespace quelmar::bindings
