// The request head: its end, the request line, the recognised headers and the URI.
#pragma once

#include <cstddef>
#include <string_view>

#include "server/engine/connection.hpp"

namespace vantrel {

// End of the request head within the first `length` bytes: 0 not yet, -1 a bad
// byte, else the head's length.
int head_length(const char* text, int length);
// Request line, headers, then handle(). Sets `parsed` unless the line was rejected.
void parse_request(connection& c, const char* text);
// Reads the recognised header lines, starting at the first one. Also reads a CGI
// program's reply head.
void parse_headers(connection& c, const char* text);
// The value after a header name: up to the first CR after it (or LF when there is
// none), at most capacity - 1 characters.
void header_value(const char* text, char* dst, std::size_t capacity);
// The value after "Name:" (any case, blanks skipped) when `line` is that
// header, else nullptr.
const char* header_field_value(std::string_view line, std::string_view name);
// "%XX" to its byte, "+" to a space; in place.
void decode_uri(const char* src, char* dst);
// After every "/" skip all following "." and "/" characters; in place.
void strip_dot_segments(char* text);

}  // namespace vantrel
