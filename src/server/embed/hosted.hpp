// Hosted paths: a path prefix the embedding program answers itself, with a
// reply that may be completed later from any thread.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vantrel {

struct connection;
struct ServerContext;

// A request for a path the embedding program answers itself.
struct HostedRequest {
    std::string method;        // "GET", "POST", ... as received
    std::string path;          // decoded path, e.g. "/_vantrel/notify"
    std::string query;         // the raw query after '?', may be empty
    std::string body;          // the whole request body
    std::vector<std::pair<std::string, std::string>> headers;  // every header line, in order
    std::string peer;          // the client's dotted IPv4 address
    // The first header value whose name matches (case-insensitive); "" if none.
    std::string header(std::string_view name) const;
};

struct HostedReply {
    int status = 200;
    std::string content_type = "application/json";
    std::string body;
    // Extra header lines. A name or value with CR, LF or NUL makes the reply a
    // 500; Content-Length, Transfer-Encoding and Connection are the server's own
    // and are left out.
    std::vector<std::pair<std::string, std::string>> headers;
};

struct HostedSlot;

// Completes one hosted request. Copyable; callable from any thread, once
// (later calls are ignored). After the client has gone or the context was
// freed, reply() does nothing.
class HostedResponder {
public:
    explicit HostedResponder(std::shared_ptr<HostedSlot> slot) : slot_(std::move(slot)) {}
    void reply(HostedReply r) const;

private:
    std::shared_ptr<HostedSlot> slot_;
};

using HostedHandler = std::function<void(HostedRequest&& request, HostedResponder responder)>;

// What a hosted request keeps on its connection (see hosted.cpp).
struct HostedExchange;
struct HostedExchangeDelete {
    void operator()(HostedExchange* e) const;
};
using HostedExchangePtr = std::unique_ptr<HostedExchange, HostedExchangeDelete>;

// One prefix and who answers it.
struct HostedPrefix {
    std::string prefix;
    HostedHandler handler;
    std::size_t max_body = 0;  // 0: no limit
};

// Every request whose decoded path starts with `prefix` goes to `handler` on the
// poll thread, after the access guard and before aliases, files, password files
// and programs. Call before the poll thread starts; a prefix given again
// replaces its handler.
void server_host_prefix(ServerContext& ctx, std::string prefix, HostedHandler handler, std::size_t max_body);

// The prefix that `path` (decoded) falls under, or nullptr.
const HostedPrefix* hosted_prefix_for(const ServerContext& ctx, const char* path);
// Dispatch of a hosted request: its body is collected, then the handler runs.
void answer_hosted(connection& c, const HostedPrefix& hosted);

}  // namespace vantrel
