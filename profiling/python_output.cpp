#include "profiling/python_output.h"

#include <Python.h>

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace quelmar {
namespace {

enum class Stream { Out, Err };

void writeTo(Stream stream, const std::string& text) {
  if (text.empty()) return;
  if (!Py_IsInitialized()) {
    std::FILE* file = stream == Stream::Out ? stdout : stderr;
    std::fwrite(text.data(), 1, text.size(), file);
    std::fflush(file);
    return;
  }
  PyGILState_STATE state = PyGILState_Ensure();
  // The Format variants do not cut long lines at 1000 bytes as the Write ones do.
  if (stream == Stream::Out)
    PySys_FormatStdout("%s", text.c_str());
  else
    PySys_FormatStderr("%s", text.c_str());
  PyGILState_Release(state);
}

}  // namespace

std::string formatText(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list measure;
  va_copy(measure, args);
  const int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  std::string text;
  if (length > 0) {
    std::vector<char> buffer(static_cast<size_t>(length) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, args);
    text.assign(buffer.data(), static_cast<size_t>(length));
  }
  va_end(args);
  return text;
}

void writeStdout(const std::string& text) { writeTo(Stream::Out, text); }
void writeStderr(const std::string& text) { writeTo(Stream::Err, text); }

}  // namespace quelmar
