// Requests for programs: how they reach a program (one process per request, the
// worker pool, or an external FastCGI server), how many run at once, and the
// queue of those that wait for a free one.
#pragma once

#include "server/connection.hpp"
#include "server/fastcgi_address.hpp"

namespace vantrel {

// Programs running at once when each request starts its own, and requests out
// at once to an external FastCGI server.
constexpr int kMaxProgramsAtOnce = 64;
// A request that finds no free program waits this long, then answers 503.
constexpr long kProgramWaitSeconds = 60;

// Starts the worker pool when the context asks for one (cgi_workers > 0, an
// interpreter, no fastcgi_address). Called when the server starts.
void start_cgi_workers(ServerContext& ctx);
// Stops the pool and refuses further starts (the context is being freed).
void stop_cgi_workers(ServerContext& ctx);

// Dispatch of a script (absolute or root-relative path; PATH_INFO in c.path_info):
// started at once when a program is free, otherwise queued in arrival order.
void dispatch_program(connection& c, const char* path);
// The request no longer occupies a program: the next waiting request starts.
void program_done(connection& c);
// The record is being freed: leaves the queue or frees the program.
void release_program(connection& c);

// --- FastCGI exchange (fastcgi_relay.cpp) ---
// Builds FCGI_BEGIN_REQUEST and FCGI_PARAMS for the request into its job while
// the request head is at hand. On failure the reply is set and false returned.
bool prepare_fastcgi_params(connection& c, const char* script);
// Connects to the responder and queues the request's records. On failure the
// reply is already set (502 when unreachable, 500 otherwise) and -1 returned.
int start_fastcgi(connection& c, const char* script, const FcgiAddress& address);
// The io_handler while a FastCGI request runs.
void get_fastcgi(connection& c);

}  // namespace vantrel
