// The request observer: one call per finished request, with what the program
// that answered it wrote to its error output.
#pragma once

#include <functional>
#include <string>

namespace vantrel {

struct connection;
struct ServerContext;

struct RequestRecord {
    std::string method;
    std::string path;               // the request path as received (no query)
    int status = 0;                 // the status line's code (0 if none went out)
    unsigned long long bytes = 0;   // bytes sent, head included
    double duration_ms = 0;         // from the first byte of the request head to the end of the reply
    std::string program_errors;     // the program's error output for this request (see ProgramErrors)
};
using RequestObserver = std::function<void(const RequestRecord&)>;

// Calls `observer` on the poll thread when each request's reply has ended
// (where the access-log line is written). With `capture_program_errors`, a
// per-request program's stderr goes through a pipe the server reads (and still
// to the server log, line by line); without it, stderr is the server's log
// stream. Call before the poll thread starts.
void server_observe_requests(ServerContext& ctx, RequestObserver observer, bool capture_program_errors);

// The request on `c` has ended: its access-log line, then the observer.
void request_ended(ServerContext& ctx, connection& c);

}  // namespace vantrel
