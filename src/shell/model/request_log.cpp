#include "shell/model/request_log.hpp"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "server/server.hpp"
#include "shell/model/Fmain.hpp"
#include "shell/model/developer.hpp"

namespace vantrel::shell {

namespace {

std::string local_iso_time(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    std::time_t seconds = system_clock::to_time_t(when);
    long millis = static_cast<long>(duration_cast<milliseconds>(when.time_since_epoch()).count() % 1000);
    if (millis < 0) millis += 1000;
    std::tm tm{};
    localtime_r(&seconds, &tm);
    long offset = tm.tm_gmtoff / 60;  // minutes east of UTC
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03ld%c%02ld:%02ld", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, millis, offset < 0 ? '-' : '+',
                  std::labs(offset) / 60, std::labs(offset) % 60);
    return text;
}

// A request path as the log shows it: control characters escaped, so one
// request is always one line.
std::string printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

void observe(const RequestRecord& record) {
    std::string line = RequestLogLine(record, std::chrono::system_clock::now());
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
    // The window is set before the server's thread starts and cleared after it
    // has stopped, so it stays while this runs.
    if (ShowsRequestErrors(record))
        if (WindowPort* window = MainWindow()) window->request_errors(record.method, record.path, record.status,
                                                                      record.program_errors);
}

}  // namespace

std::string RequestLogLine(const RequestRecord& r, std::chrono::system_clock::time_point when) {
    char duration[32];
    std::snprintf(duration, sizeof duration, "%.1f ms", r.duration_ms);
    return local_iso_time(when) + " " + printable(r.method.empty() ? "-" : r.method) + " " +
           printable(r.path.empty() ? "-" : r.path) + " " + std::to_string(r.status) + " " + duration;
}

bool ShowsRequestErrors(const RequestRecord& r) { return !r.program_errors.empty() || r.status >= 500; }

void ObserveRequestsForDeveloper(ServerContext& ctx) {
    if (!DeveloperMode()) return;
    server_observe_requests(ctx, observe, true);
}

}  // namespace vantrel::shell
