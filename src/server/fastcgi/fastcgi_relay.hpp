// One request over its own FastCGI connection, driven by the poll loop.
#pragma once

#include "server/engine/connection.hpp"
#include "server/fastcgi/fastcgi_address.hpp"

namespace vantrel {

// Builds FCGI_BEGIN_REQUEST and FCGI_PARAMS for the request into its job while
// the request head is at hand. On failure the reply is set and false returned.
bool prepare_fastcgi_params(connection& c, const char* script);
// Connects to the responder and queues the request's records. On failure the
// reply is already set (502 when unreachable, 500 otherwise) and -1 returned.
int start_fastcgi(connection& c, const char* script, const FcgiAddress& address);
// The io_handler while a FastCGI request runs.
void get_fastcgi(connection& c);

}  // namespace vantrel
