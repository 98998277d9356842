// What developer mode tells the author about each request of the site: one
// line on stderr (local time, method, path, status, duration), and for a
// request whose program wrote error output or that failed with 500 or more,
// that output in the window.
#pragma once

#include <chrono>
#include <string>

namespace vantrel {
struct RequestRecord;
struct ServerContext;
}  // namespace vantrel

namespace vantrel::shell {

// "2026-05-04T09:15:02.512+02:00 GET /page.php 500 12.4 ms": local time in
// ISO 8601 with its offset from UTC.
std::string RequestLogLine(const RequestRecord& record, std::chrono::system_clock::time_point when);

// True for a request the window shows the errors of.
bool ShowsRequestErrors(const RequestRecord& record);

// In developer mode, observes every request of `ctx` (a per-request program's
// stderr captured too): the log line on stderr, and the errors to the main
// window (WindowPort::request_errors, from the server's thread). Outside it,
// nothing. Call before the server's thread starts.
void ObserveRequestsForDeveloper(ServerContext& ctx);

}  // namespace vantrel::shell
