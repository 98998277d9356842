// Static files: the reply head with validators and one byte range, then the body.
#pragma once

#include "server/config/context.hpp"
#include "server/engine/connection.hpp"

namespace vantrel {

// Opened file in c.fd: writes the reply head and arms the body.
void get_file(connection& c);
void get_file_body(connection& c);
// The MIME type for a URI from the context's list ("text/plain" when none).
const char* mime_type_for(const ServerContext& ctx, const char* uri);

}  // namespace vantrel
