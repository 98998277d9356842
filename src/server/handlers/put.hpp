// PUT and DELETE behind the put_auth password file.
#pragma once

#include <string>

#include "server/engine/connection.hpp"

namespace vantrel {

// Dispatch steps for PUT and DELETE on the mapped path, which lies in `folder`
// (the document root or an alias folder).
void handle_put_delete(connection& c, char* path, const std::string& folder);

// Makes every missing directory above the target. 1: they all exist now; 0: the
// path itself names a directory (it ends with "/"); -1: a directory could not be
// made or a prefix is too long for a path (errno tells why).
int put_dir(const char* path);
// The io_handler of an upload: writes body bytes into the temporary file, and
// once Content-Length bytes are there replaces the target with it and answers.
void put_file(connection& c);

}  // namespace vantrel
