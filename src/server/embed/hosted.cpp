// Hosted paths: the body collected through the poll loop, the handler called on
// the poll thread, and a reply that may come from any thread. A pending request
// holds an eventfd as its connection's `fd`; reply() stores the reply and
// signals it, so the poll loop wakes like for a program's socket.
#include "server/embed/hosted.hpp"

#include <arpa/inet.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>
#include <mutex>
#include <optional>

#include "server/cgi/cgi_reply.hpp"
#include "server/config/context.hpp"
#include "server/core/io_buffer.hpp"
#include "server/core/log.hpp"
#include "server/engine/connection.hpp"
#include "server/engine/engine.hpp"
#include "server/http/reply.hpp"

namespace vantrel {

// Shared between the request's connection and every copy of its responder.
struct HostedSlot {
    std::mutex lock;
    int wake_fd = -1;      // the connection's eventfd; not owned, valid until `gone`
    bool gone = false;     // the connection's work has ended
    bool replied = false;  // reply() was called once
    std::optional<HostedReply> reply;
};

// What a hosted request keeps on its connection.
struct HostedExchange {
    const HostedPrefix* hosted = nullptr;  // the context's entry; lives as long as the context
    std::string body;                      // collected so far
    std::shared_ptr<HostedSlot> slot;
    std::string out;                       // the reply's body, sent from `out_sent` on
    std::size_t out_sent = 0;
};

void HostedExchangeDelete::operator()(HostedExchange* e) const { delete e; }

std::string HostedRequest::header(std::string_view name) const {
    for (const auto& [n, v] : headers)
        if (n.size() == name.size() && strncasecmp(n.data(), name.data(), name.size()) == 0) return v;
    return "";
}

void HostedResponder::reply(HostedReply r) const {
    if (!slot_) return;
    std::lock_guard<std::mutex> held(slot_->lock);
    if (slot_->replied || slot_->gone) return;
    slot_->replied = true;
    slot_->reply = std::move(r);
    std::uint64_t one = 1;
    if (::write(slot_->wake_fd, &one, sizeof one) < 0)
        server_log(LOG_ERROR, "hosted reply: eventfd: %s", std::strerror(errno));
}

void server_host_prefix(ServerContext& ctx, std::string prefix, HostedHandler handler, std::size_t max_body) {
    for (HostedPrefix& entry : ctx.hosted) {
        if (entry.prefix != prefix) continue;
        entry.handler = std::move(handler);
        entry.max_body = max_body;
        return;
    }
    ctx.hosted.push_back({std::move(prefix), std::move(handler), max_body});
}

const HostedPrefix* hosted_prefix_for(const ServerContext& ctx, const char* path) {
    for (const HostedPrefix& entry : ctx.hosted)
        if (!entry.prefix.empty() && std::strncmp(path, entry.prefix.c_str(), entry.prefix.size()) == 0)
            return &entry;
    return nullptr;
}

namespace {

bool has_line_break(const std::string& text) { return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos; }

bool framing_header(const std::string& name) {
    for (const char* own : {"Content-Length", "Transfer-Encoding", "Connection"})
        if (strcasecmp(name.c_str(), own) == 0) return true;
    return false;
}

bool valid_reply(const HostedReply& r) {
    if (r.status < 200 || r.status > 999 || has_line_break(r.content_type)) return false;
    for (const auto& [name, value] : r.headers)
        if (name.empty() || has_line_break(name) || has_line_break(value) || name.find(':') != std::string::npos)
            return false;
    return true;
}

// Moves body bytes into `local` as it has room; the last ones end the reply.
void send_hosted_reply(connection& c) {
    HostedExchange& x = *c.hosted;
    std::size_t n = std::min<std::size_t>(c.local.room(), x.out.size() - x.out_sent);
    std::memcpy(c.local.buf + c.local.head, x.out.data() + x.out_sent, n);
    c.local.head += static_cast<unsigned>(n);
    x.out_sent += n;
    if (x.out_sent == x.out.size()) body_done(c);
}

// The reply has come: it replaces the wait and starts going out.
void start_reply(connection& c, HostedReply reply) {
    HostedExchange& x = *c.hosted;
    c.fd.reset();  // the eventfd: the slot has its reply, nothing writes to it again
    if (!valid_reply(reply)) {
        server_log(LOG_ERROR, "hosted reply for %s refused: invalid status or header", c.request_uri);
        senderr(c, 500, "Internal Server Error", "", "Internal Server Error");
        return;
    }
    bool no_body = reply.status == 204 || reply.status == 304;
    ReplyHead head(c, reply.status);
    if (!reply.content_type.empty() && !no_body) head.field("Content-Type: %s", reply.content_type.c_str());
    for (const auto& [name, value] : reply.headers)
        if (!framing_header(name)) head.field("%s: %s", name.c_str(), value.c_str());
    if (no_body) {
        head.end_without_body();
        return body_done(c);
    }
    head.end_with_length(reply.body.size());
    if (c.method == METHOD_HEAD) return body_done(c);
    x.out = std::move(reply.body);
    x.out_sent = 0;
    c.io_handler = send_hosted_reply;
    c.want = Want::Again;
    send_hosted_reply(c);
}

// Takes the reply if one is there.
bool take_reply(connection& c) {
    std::optional<HostedReply> reply;
    {
        std::lock_guard<std::mutex> held(c.hosted->slot->lock);
        if (!c.hosted->slot->reply) return false;
        reply = std::move(c.hosted->slot->reply);
        c.hosted->slot->reply.reset();
    }
    start_reply(c, std::move(*reply));
    return true;
}

// The io_handler while the reply is awaited: the eventfd says it has come.
void await_hosted_reply(connection& c) {
    if (!c.has(flag::fd_readable)) return;
    std::uint64_t count = 0;
    if (::read(c.fd.get(), &count, sizeof count) < 0 && !try_again(errno)) {
        server_log(LOG_ERROR, "hosted reply: eventfd: %s", std::strerror(errno));
        senderr(c, 500, "Internal Server Error", "", "Internal Server Error");
        c.fd.reset();
        return;
    }
    take_reply(c);
}

// The record's work has ended: later replies are ignored.
void hosted_cleanup(connection& c, bool) {
    if (!c.hosted || !c.hosted->slot) return;
    std::lock_guard<std::mutex> held(c.hosted->slot->lock);
    c.hosted->slot->gone = true;
    c.hosted->slot->wake_fd = -1;
}

std::vector<std::pair<std::string, std::string>> header_lines(const connection& c) {
    std::vector<std::pair<std::string, std::string>> out;
    std::string_view head(c.request_text, std::min<std::size_t>(static_cast<std::size_t>(std::max(c.request_len, 0)),
                                                                 std::strlen(c.request_text)));
    std::size_t pos = head.find('\n');
    while (pos != std::string_view::npos && pos + 1 < head.size()) {
        std::string_view line = head.substr(pos + 1);
        std::size_t end = line.find('\n');
        std::string_view text = line.substr(0, end);
        if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
        if (text.empty()) break;
        std::size_t colon = text.find(':');
        if (colon != std::string_view::npos) {
            std::string_view value = text.substr(colon + 1);
            while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
            while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
            out.emplace_back(std::string(text.substr(0, colon)), std::string(value));
        }
        pos = end == std::string_view::npos ? end : pos + 1 + end;
    }
    return out;
}

// What a handler that threw before replying answers.
HostedReply failed_reply() {
    HostedReply r;
    r.status = 500;
    r.content_type = "text/plain; charset=utf-8";
    r.body = "500 Internal Server Error";
    return r;
}

// The whole body has come: the handler is called, and the wait begins.
void call_handler(connection& c) {
    HostedExchange& x = *c.hosted;
    UniqueFd wake(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!wake.valid()) {
        server_log(LOG_ERROR, "hosted request: eventfd: %s", std::strerror(errno));
        return senderr(c, 503, "Service Unavailable", "", "Service Unavailable");
    }
    x.slot = std::make_shared<HostedSlot>();
    x.slot->wake_fd = wake.get();
    c.fd = std::move(wake);
    c.io_handler = await_hosted_reply;
    c.want = Want::FdIn;
    c.cleanup = hosted_cleanup;

    HostedRequest request;
    request.method = c.method_name;
    request.path = c.uri;
    request.query = c.query;
    request.body = std::move(x.body);
    request.headers = header_lines(c);
    char addr[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &c.peer.sin_addr, addr, sizeof addr);
    request.peer = addr;
    HostedResponder responder(x.slot);
    try {
        x.hosted->handler(std::move(request), responder);
    } catch (const std::exception& e) {
        server_log(LOG_ERROR, "hosted handler for %s: %s", c.request_uri, e.what());
        responder.reply(failed_reply());
    } catch (...) {
        server_log(LOG_ERROR, "hosted handler for %s failed", c.request_uri);
        responder.reply(failed_reply());
    }
    take_reply(c);  // a reply given inside the call goes out without another wait
}

// The io_handler while the body arrives.
void collect_hosted_body(connection& c) {
    HostedExchange& x = *c.hosted;
    std::size_t take = body_available(c);  // never beyond the announced length
    if (c.chunked_body) {
        // No length was announced: the limit is met as the body grows.
        std::size_t limit = x.hosted->max_body;
        if (limit != 0 && x.body.size() + take > limit) {
            x.body.clear();
            return senderr(c, 413, "Payload Too Large", "", "Payload Too Large");
        }
    }
    x.body.append(c.remote.buf + c.remote.tail, take);
    take_body(c, static_cast<unsigned>(take));
    bool whole = c.chunked_body ? body_received(c) && c.body_left == 0 : x.body.size() == c.content_length;
    if (whole) call_handler(c);
}

}  // namespace

void answer_hosted(connection& c, const HostedPrefix& hosted) {
    if (hosted.max_body != 0 && c.content_length > hosted.max_body)
        return senderr(c, 413, "Payload Too Large", "", "Payload Too Large");
    c.hosted.reset(new HostedExchange);
    c.hosted->hosted = &hosted;
    c.hosted->body.reserve(std::min<std::size_t>(c.content_length, std::size_t{1} << 20));
    send_continue_if_expected(c);
    c.io_handler = collect_hosted_body;
    c.want = Want::Body;
    collect_hosted_body(c);
}

}  // namespace vantrel
