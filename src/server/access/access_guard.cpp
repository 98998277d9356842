#include "server/access/access_guard.hpp"

#include <strings.h>

#include <openssl/crypto.h>

#include <cstring>
#include <string_view>

#include "server/engine/connection.hpp"
#include "server/http/reply.hpp"

namespace vantrel {
namespace {

// One header line of a request head: the value without surrounding blanks.
struct HeaderLine {
    std::string_view name;
    std::string_view value;
};

// Calls `visit` with every header line of `head` (the lines after the request
// line, up to the blank line); stops early when `visit` returns false.
template <class Visit>
bool each_header(const char* head, Visit&& visit) {
    const char* line = std::strchr(head, '\n');
    while (line && *++line && *line != '\r' && *line != '\n') {
        const char* end = line + std::strcspn(line, "\r\n");
        const char* colon = static_cast<const char*>(std::memchr(line, ':', static_cast<std::size_t>(end - line)));
        if (colon) {
            const char* v = colon + 1;
            while (v < end && (*v == ' ' || *v == '\t')) ++v;
            const char* e = end;
            while (e > v && (e[-1] == ' ' || e[-1] == '\t')) --e;
            if (!visit(HeaderLine{{line, static_cast<std::size_t>(colon - line)}, {v, static_cast<std::size_t>(e - v)}}))
                return false;
        }
        line = *end ? std::strchr(end, '\n') : nullptr;
    }
    return true;
}

bool same_text(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

constexpr std::string_view kLoopbackNames[] = {"127.0.0.1", "localhost", "[::1]"};

// "127.0.0.1", "localhost" or "[::1]", alone or followed by ":<port>".
bool loopback_host(std::string_view host, int port) {
    const std::string with_port = ":" + std::to_string(port);
    for (std::string_view name : kLoopbackNames) {
        if (same_text(host, name)) return true;
        if (host.size() == name.size() + with_port.size() && same_text(host.substr(0, name.size()), name) &&
            host.substr(name.size()) == with_port)
            return true;
    }
    return false;
}

// "http://<loopback name>:<port>"; a browser leaves out the default port 80.
bool own_origin(std::string_view origin, int port) {
    constexpr std::string_view scheme = "http://";
    if (origin.size() <= scheme.size() || !same_text(origin.substr(0, scheme.size()), scheme)) return false;
    std::string_view host = origin.substr(scheme.size());
    const std::string with_port = ":" + std::to_string(port);
    for (std::string_view name : kLoopbackNames) {
        if (host.size() == name.size() + with_port.size() && same_text(host.substr(0, name.size()), name) &&
            host.substr(name.size()) == with_port)
            return true;
        if (port == 80 && same_text(host, name)) return true;
    }
    return false;
}

// True when one of the cookies in a Cookie value is kServerTokenCookie=token.
bool carries_token(std::string_view cookies, const std::string& token) {
    const std::string_view name = kServerTokenCookie;
    while (!cookies.empty()) {
        std::size_t end = cookies.find(';');
        std::string_view pair = cookies.substr(0, end);
        while (!pair.empty() && pair.front() == ' ') pair.remove_prefix(1);
        if (pair.size() == name.size() + 1 + token.size() && pair.substr(0, name.size()) == name &&
            pair[name.size()] == '=' &&
            CRYPTO_memcmp(pair.data() + name.size() + 1, token.data(), token.size()) == 0)
            return true;
        if (end == std::string_view::npos) break;
        cookies.remove_prefix(end + 1);
    }
    return false;
}

bool is_token(std::string_view value, const std::string& token) {
    return value.size() == token.size() && CRYPTO_memcmp(value.data(), token.data(), token.size()) == 0;
}

bool changes_state(int method) { return method == METHOD_POST || method == METHOD_PUT || method == METHOD_DELETE; }

}  // namespace

bool admit_request(connection& c) {
    const AccessGuard& guard = c.ctx->guard;
    if (!guard.loopback_only && guard.token.empty()) return true;
    bool refused = false;
    bool token_seen = false;
    each_header(c.request_text, [&](const HeaderLine& h) {
        if (guard.loopback_only && same_text(h.name, "Host"))
            refused = !loopback_host(h.value, guard.port);
        else if (guard.loopback_only && same_text(h.name, "Origin") && changes_state(c.method))
            refused = !own_origin(h.value, guard.port);  // "null" included
        else if (!guard.token.empty() && same_text(h.name, "Cookie") && carries_token(h.value, guard.token))
            token_seen = true;
        else if (!guard.token.empty() && same_text(h.name, kServerTokenHeader) && is_token(h.value, guard.token))
            token_seen = true;
        return !refused;
    });
    if (!guard.token.empty() && !token_seen) refused = true;
    if (refused) senderr(c, 403, "Forbidden", "", "Forbidden");
    return !refused;
}

}  // namespace vantrel
