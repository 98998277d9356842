// The end of a request: the access log and the embedding program's observer.
#include "server/embed/observer.hpp"

#include <chrono>
#include <cstring>
#include <exception>
#include <utility>

#include "server/cgi/program_errors.hpp"
#include "server/config/context.hpp"
#include "server/core/log.hpp"
#include "server/engine/connection.hpp"

namespace vantrel {

void server_observe_requests(ServerContext& ctx, RequestObserver observer, bool capture_program_errors) {
    ctx.observer = std::move(observer);
    ctx.capture_program_errors = capture_program_errors;
}

namespace {

// A record that never received a byte, nor answered one, carried no request.
bool carried_request(const connection& c) { return c.received > 0 || c.status != 0; }

RequestRecord record_of(const connection& c) {
    RequestRecord r;
    r.method = c.method_name;
    const char* q = std::strchr(c.request_uri, '?');
    r.path.assign(c.request_uri, q ? static_cast<std::size_t>(q - c.request_uri) : std::strlen(c.request_uri));
    r.status = c.sent > 0 ? c.status : 0;
    r.bytes = c.sent;
    if (c.request_started != std::chrono::steady_clock::time_point{})
        r.duration_ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - c.request_started).count();
    r.program_errors = c.program_errors.kept();
    return r;
}

}  // namespace

void request_ended(ServerContext& ctx, connection& c) {
    if (ctx.accesslog) log_access(ctx.accesslog.get(), c);
    read_program_errors(c);  // what the program wrote before it ended
    c.program_errors.finish(ctx.observer != nullptr);
    if (!ctx.observer || !carried_request(c)) return;
    try {
        ctx.observer(record_of(c));
    } catch (const std::exception& e) {
        server_log(LOG_ERROR, "request observer: %s", e.what());
    } catch (...) {
        server_log(LOG_ERROR, "request observer failed");
    }
}

}  // namespace vantrel
