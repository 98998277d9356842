// Bounded copies and formatting into fixed buffers.
#pragma once

#include <cstdarg>
#include <cstddef>

namespace vantrel {

// Copies at most n - 1 characters and terminates. Returns false when `src` was cut.
bool copy_bounded(char* dst, const char* src, std::size_t n);
// Formats into n bytes; when the text did not fit it logs a debug line and keeps
// n - 1 characters. Returns the characters stored.
int format_bounded(char* buf, std::size_t n, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
int vformat_bounded(char* buf, std::size_t n, const char* format, va_list ap)
    __attribute__((format(printf, 3, 0)));

}  // namespace vantrel
