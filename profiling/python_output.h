#pragma once
// Diagnostic output of the solvers. Lines are formatted in full first, then
// written to Python's sys.stdout / sys.stderr with the thread attached to the
// interpreter only for the write (solvers run detached). Without a running
// interpreter (a native caller) the C standard streams are used.

#include <string>

namespace quelmar {

// printf-style formatting into an exactly sized string; never truncates.
std::string formatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

void writeStdout(const std::string& text);
void writeStderr(const std::string& text);

}  // namespace quelmar
