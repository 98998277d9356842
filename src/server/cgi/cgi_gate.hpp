// Requests for programs: how they reach a program (one process per request, the
// worker pool, or an external FastCGI server), how many run at once, and the
// queue of those that wait for a free one.
#pragma once

#include "server/config/context.hpp"
#include "server/engine/connection.hpp"

namespace vantrel {

// Programs running at once when each request starts its own, and requests out
// at once to an external FastCGI server.
constexpr int kMaxProgramsAtOnce = 64;
// A request that finds no free program waits this long, then answers 503.
constexpr long kProgramWaitSeconds = 60;

// Starts the worker pool when the context asks for one (cgi_workers > 0, an
// interpreter, no fastcgi_address). Called when the server starts.
void start_cgi_workers(ServerContext& ctx);
// Stops the pool and refuses further starts (the context is being freed);
// programs stopped for running too long are killed now if they still run.
void stop_cgi_workers(ServerContext& ctx);

// Dispatch of a script (absolute or root-relative path; PATH_INFO in c.path_info):
// started at once when a program is free, otherwise queued in arrival order.
void dispatch_program(connection& c, const char* path);
// The program's reply cannot be finished: before anything of it has gone out
// the client gets `status`; after that the reply is visibly cut (its last
// chunk, or the rest of its announced length, never comes) by closing.
void end_reply_early(connection& c, int status, const char* reason);
// The request no longer occupies a program: the next waiting request starts.
void program_done(connection& c);
// The record is being freed: leaves the queue or frees the program.
void release_program(connection& c);

}  // namespace vantrel
