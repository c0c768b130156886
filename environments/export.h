#pragma once
// Symbols that must stay visible from the extension module, which is
// otherwise built with hidden visibility.
#define QUELMAR_API __attribute__((visibility("default")))
