// Directory index files and generated listings, with their escaping and size column.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string_view>

#include "server/engine/connection.hpp"

namespace vantrel {

// 0 when an index file was found: path, uri and file_stat now describe it; -1 otherwise.
int find_index_file(connection& c, char* path, std::size_t path_size);
void list_dir(connection& c);
void list_dir_rows(connection& c);

// Appends text to a fixed buffer without ever cutting an escape in half.
struct Appender {
    char* out;
    std::size_t room;    // characters that may still be written (the NUL is extra)
    std::size_t length = 0;
    bool cut = false;    // something did not fit

    Appender(char* buffer, std::size_t capacity) : out(buffer), room(capacity ? capacity - 1 : 0) {
        if (capacity) out[0] = '\0';
    }
    void raw(const char* text);
    // "&", "<", ">", '"' and "'" as character references.
    void html(std::string_view text);
    // Every byte outside A-Z a-z 0-9 - . _ ~ / as %XX.
    void url(std::string_view text);

private:
    void put(const char* text, std::size_t n);
};

// The size column: "&lt;DIR&gt;", bytes below 1024, "Nk" below 1 MiB (rounded
// up), else "N.NM".
void format_size(const struct stat& st, char* out, std::size_t size);

// The length of the parent directory's URI at the start of `uri` ("/a/b/" and
// "/a/b" give 3, for "/a/"; "/" gives 1).
std::size_t parent_uri_length(std::string_view uri);

// The longest row a listing of `uri` can produce (names are at most NAME_MAX bytes).
std::size_t listing_row_limit(const char* uri);

}  // namespace vantrel
