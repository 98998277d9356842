// The CGI gateway: which paths are programs, starting one for a request, and
// relaying between the client and the program through the poll loop.
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "server/cgi.hpp"
#include "server/handlers.hpp"
#include "server/log.hpp"
#include "server/request.hpp"

namespace vantrel {

namespace {

// "HTTP/1.1 200 OK\r\n" with room for any status number.
constexpr std::size_t kStatusLineSize = 64;

bool try_again(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

// `path` as an absolute path: the program runs in the script's folder, so a path
// relative to the server's own folder would no longer name the script there.
bool absolute_path(const std::string& path, std::string& out) {
    if (path.empty() || path[0] == '/') {
        out = path;
        return true;
    }
    char cwd[kPathSize];
    if (!getcwd(cwd, sizeof cwd)) return false;
    out = std::string(cwd) + "/" + path;
    return true;
}

// Stops relaying: the program's socket is closed (its input ends, its further
// output is refused); the process is reaped when the record is freed.
void end_relay(connection& c) {
    c.io_handler = nullptr;
    c.fd.reset();
}

void invalid_head(connection& c) {
    senderr(c, 500, "CGI Error", "", "Script sent invalid headers");
    end_relay(c);
}

// The request's own header fields that the header reader also fills; they are
// kept aside while the program's reply head is read.
struct RequestHeaderFields {
    std::string user_agent, content_type, authorization, referer, cookie, range;
    unsigned long content_length = 0;
    long if_modified_since = 0;
    bool has_content_type = false;

    void swap_with(connection& c) {
        std::swap(user_agent, c.user_agent);
        std::swap(content_type, c.content_type);
        std::swap(authorization, c.authorization);
        std::swap(referer, c.referer);
        std::swap(cookie, c.cookie);
        std::swap(range, c.range);
        std::swap(content_length, c.content_length);
        std::swap(if_modified_since, c.if_modified_since);
        std::swap(has_content_type, c.has_content_type);
    }
};

// Reads the program's Status and Location from its reply head (the first
// `length` bytes of `local`) into a fresh status and location: what the client
// sent in its own request never changes the reply.
void read_reply_head(connection& c, unsigned length) {
    RequestHeaderFields request;
    request.swap_with(c);  // the record's fields are now empty
    c.status = 0;
    c.location.clear();
    char saved = c.local.buf[length];
    c.local.buf[length] = '\0';  // the reader stops at the head's end
    parse_headers(c, c.local.buf);
    c.local.buf[length] = saved;
    request.swap_with(c);  // the request's fields back, the program's dropped
}

// The program's header block is in `local` (whole or in part): once it is
// complete, the status line goes out ahead of it.
void head_step(connection& c) {
    c.local.buf[c.local.head] = '\0';  // one byte always stays free
    int length = head_length(c.local.buf, static_cast<int>(c.local.head));
    if (length < 0) return invalid_head(c);
    if (length == 0) {
        // A head that fills the queue without ending will never end here.
        if (c.local.room() <= kStatusLineSize) return invalid_head(c);
        c.local.tail = c.local.head;  // nothing goes out before the status line
        return;
    }
    read_reply_head(c, static_cast<unsigned>(length));
    unsigned status = !c.location.empty() ? 302u : c.status == 0 ? 200u : static_cast<unsigned>(c.status);
    c.status = static_cast<int>(status);

    char line[kStatusLineSize];
    int n = format_bounded(line, sizeof line, "HTTP/1.1 %u OK\r\n", status);
    c.header_length = static_cast<unsigned long>(length) + static_cast<unsigned long>(n);
    c.flags |= flag::cgi_head_parsed;
    c.local.tail = 0;
    // In front of the program's head (room was kept for it), so both leave in one send.
    std::memmove(c.local.buf + n, c.local.buf, c.local.head);
    std::memcpy(c.local.buf, line, static_cast<std::size_t>(n));
    c.local.head += static_cast<unsigned>(n);
}

// Hands request body bytes from `remote` to the program's input.
void forward_body(connection& c) {
    unsigned pending = c.remote.pending();
    if (pending == 0) return;
    if (c.method != METHOD_POST) {
        server_log(LOG_DEBUG, "data sent with no POST method!");
        io_consume(c.remote, pending);
        return;
    }
    ssize_t n = send(c.fd.get(), c.remote.buf + c.remote.tail, pending, MSG_NOSIGNAL);
    if (n > 0) {
        server_log(LOG_DEBUG, "get_cgi: %p: written %d", static_cast<void*>(&c), static_cast<int>(n));
        io_consume(c.remote, static_cast<unsigned>(n));
    } else if (n < 0 && !try_again(errno)) {
        // The program no longer reads its input: the rest of the body is dropped.
        server_log(LOG_DEBUG, "get_cgi: %p: program input closed: %s", static_cast<void*>(&c), std::strerror(errno));
        io_consume(c.remote, pending);
    }
}

// Takes the program's output into `local`.
void read_output(connection& c) {
    // Until the head is complete, room for the status line stays free.
    std::size_t want = c.local.room();
    if (!c.has(flag::cgi_head_parsed)) want = want > kStatusLineSize ? want - kStatusLineSize : 0;
    if (want == 0) return;
    ssize_t n = recv(c.fd.get(), c.local.buf + c.local.head, want, 0);
    if (n > 0) {
        c.local.head += static_cast<unsigned>(n);
        if (!c.has(flag::cgi_head_parsed)) head_step(c);
        server_log(LOG_DEBUG, "get_cgi: %p: read %d", static_cast<void*>(&c), static_cast<int>(n));
        return;
    }
    if (n < 0 && try_again(errno)) return;
    // The program's output has ended.
    c.local.complete++;
    if (!c.has(flag::cgi_head_parsed)) {
        std::string received(c.local.buf, c.local.head);  // senderr rewrites `local`
        senderr(c, 500, "CGI Error", "", "Bad headers sent:\n[%.*s]\n", static_cast<int>(received.size()),
                received.data());
    }
    end_relay(c);
}

}  // namespace

bool is_cgi(const ServerContext& ctx, const char* path) {
    std::size_t n = std::strlen(path), e = ctx.cgi_extention.size();
    return e > 0 && n > e && strcasecmp(path + n - e, ctx.cgi_extention.c_str()) == 0;
}

int run_cgi(connection& c, const char* path) {
    const ServerContext& ctx = *c.ctx;
    std::string script, interpreter = ctx.cgi_interpreter;
    if (!absolute_path(path, script) ||
        (interpreter.find('/') != std::string::npos && !absolute_path(interpreter, interpreter))) {
        server_log(LOG_ERROR, "run_cgi: getcwd: %s", std::strerror(errno));
        return -1;
    }
    CgiCommand command;
    if (!cgi_command(interpreter, script.c_str(), command)) return -1;
    CgiEnvironment env;
    if (!build_cgi_environment(c, script.c_str(), env)) {
        server_log(LOG_ERROR, "run_cgi: %s: environment does not fit", script.c_str());
        return -1;
    }
    UniqueFd near;
    pid_t pid = cgi_spawn(command, env.envp(), near);
    if (pid < 0) return -1;
    c.fd = std::move(near);
    c.cgi_pid = pid;
    c.flags &= ~flag::cgi_head_parsed;
    return 0;
}

void get_cgi(connection& c) {
    if (!c.fd.valid()) return;
    if (c.has(flag::fd_writable)) forward_body(c);
    if (c.has(flag::fd_readable)) read_output(c);
}

void cgi_release(connection& c) {
    cgi_reap(c.cgi_pid);
    c.cgi_pid = -1;
}

}  // namespace vantrel
