// Request parsing, URI mapping, dispatch and status replies.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdarg>

#include "server/connection.hpp"

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
// "%XX" to its byte, "+" to a space; in place.
void decode_uri(const char* src, char* dst);
// After every "/" skip all following "." and "/" characters; in place.
void strip_dot_segments(char* text);
// Maps the URI under the document root and dispatches.
void handle(connection& c);

// Status reply into `local`: status line, the extra header line if any, a blank
// line, then the status number, a space and the message.
void senderr(connection& c, int status, const char* reason, const char* extra_header,
             const char* format, ...) __attribute__((format(printf, 5, 6)));

// True when the request head holds "Expect: 100-continue".
bool expects_continue(const connection& c);
// For a request whose body is about to be read (its head already consumed from
// `remote`): the interim "100 Continue" when the client waits for it and no body
// byte has come yet. Written through the
// engine's write path (it is the first thing sent on the connection).
void send_continue_if_expected(connection& c);

// Copies at most n - 1 characters and terminates. Returns false when `src` was cut.
bool copy_bounded(char* dst, const char* src, std::size_t n);
// Formats into n bytes; when the text did not fit it logs a debug line and keeps
// n - 1 characters. Returns the characters stored.
int format_bounded(char* buf, std::size_t n, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
int vformat_bounded(char* buf, std::size_t n, const char* format, va_list ap)
    __attribute__((format(printf, 3, 0)));
// Collapses runs of "/" to one.
void normalize_path(char* path);
// Open or stat a mapped path; a path longer than the platform limit is refused
// with ENAMETOOLONG. stat_path also drops trailing "/" (a lone "/" stays).
int open_path(const char* path, int flags, int mode = 0);
int stat_path(const char* path, struct stat* st);

// Finds the file of a GET, HEAD or POST: the whole path, or else the longest
// prefix ending before a "/" that is an existing regular file, the rest becoming
// `path_info`. Returns 0 or -1 (nothing found).
int find_path_info(connection& c, char* path);

}  // namespace vantrel
