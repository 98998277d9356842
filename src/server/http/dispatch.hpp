// Dispatch: a request's URI mapped under the document root and handed to the
// handler that answers it.
#pragma once

#include "server/engine/connection.hpp"

namespace vantrel {

// Maps the URI under the document root and dispatches.
void handle(connection& c);

// Finds the file of a GET, HEAD or POST: the whole path, or else the longest
// prefix ending before a "/" that is an existing regular file, the rest becoming
// `path_info`. Returns 0 or -1 (nothing found).
int find_path_info(connection& c, char* path);

}  // namespace vantrel
