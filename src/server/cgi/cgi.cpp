// The CGI gateway: which paths are programs, starting one for a request, and
// relaying between the client and the program through the poll loop.
#include "server/cgi/cgi.hpp"

#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "server/cgi/cgi_env.hpp"
#include "server/cgi/cgi_job.hpp"
#include "server/cgi/cgi_reply.hpp"
#include "server/cgi/cgi_spawn.hpp"
#include "server/config/context.hpp"
#include "server/core/handles.hpp"
#include "server/core/io_buffer.hpp"
#include "server/core/limits.hpp"
#include "server/core/log.hpp"
#include "server/engine/connection.hpp"
#include "server/engine/engine.hpp"
#include "server/http/reply.hpp"
#include "server/http/request.hpp"

namespace vantrel {

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

void keep_body_only(connection& c) {
    if (c.method == METHOD_GET) drop_body(c);
}

namespace {

// Relaying stops before the program has finished: it is stopped first, so that
// closing its socket cannot show it an end of input it would act on.
void stop_program(connection& c) {
    if (c.cgi_pid > 0) cgi_kill(c.cgi_pid);
    c.fd.reset();
}

// The record's work has ended (reply done, client gone, request abandoned, or
// the server stopping): a program still relaying, or any program when the
// server stops, is stopped; then it is reaped by its own id.
void cgi_cleanup(connection& c, bool stopping) {
    pid_t pid = std::exchange(c.cgi_pid, -1);
    if (pid > 0 && (c.fd.valid() || stopping)) cgi_kill(pid);
    c.fd.reset();
    if (pid <= 0) return;
    if (stopping)
        cgi_wait(pid);
    else
        cgi_reap(pid);
}

void invalid_head(connection& c, int status = 500) {
    if (status == 502)
        senderr(c, 502, "Bad Gateway", "", "Script sent invalid headers");
    else
        senderr(c, 500, "CGI Error", "", "Script sent invalid headers");
    stop_program(c);
}

// A NUL, or a CR that does not end a line, in a program's head (its first
// `length` bytes; until another refused byte while it has no end yet): passed
// on, it could split or hide the client's header lines.
bool has_stray_control(const char* head, int length, std::size_t available) {
    std::size_t end = length > 0 ? static_cast<std::size_t>(length) : available;
    for (std::size_t i = 0; i < end; ++i) {
        unsigned char ch = static_cast<unsigned char>(head[i]);
        if (ch == '\0') return true;
        if (ch == '\r' && i + 1 < available && head[i + 1] != '\n') return true;
        if (ch < 0x20 && ch != '\r' && ch != '\n') return false;  // refused as it is
    }
    return false;
}

}  // namespace

void cgi_reply_head_step(connection& c) {
    c.local.buf[c.local.head] = '\0';  // one byte always stays free
    int length = head_length(c.local.buf, static_cast<int>(c.local.head));
    if (has_stray_control(c.local.buf, length, c.local.head)) return invalid_head(c, 502);
    if (length < 0) return invalid_head(c);
    if (length == 0) {
        // A head that fills the queue without ending will never end here.
        if (c.local.room() <= kCgiHeadReserve) return invalid_head(c);
        c.local.tail = c.local.head;  // nothing goes out before the status line
        return;
    }
    c.local.tail = 0;
    CgiReplyHead reply;
    if (!parse_cgi_reply_head(c.local.buf, static_cast<std::size_t>(length), reply) ||
        !place_program_head(c, reply.reply_status(), reply.status_line(), reply.fields, static_cast<unsigned>(length)))
        return invalid_head(c);
    c.flags |= flag::cgi_head_parsed;
}

namespace {

// Hands request body bytes from `remote` to the program's input.
void forward_body(connection& c) {
    unsigned pending = body_available(c);
    if (pending == 0 || c.job->state != Exchange::Sending) return;
    if (c.method != METHOD_POST) {
        server_log(LOG_DEBUG, "data sent with no POST method!");
        drop_body(c);
        return;
    }
    ssize_t n = send(c.fd.get(), c.remote.buf + c.remote.tail, pending, MSG_NOSIGNAL);
    if (n > 0) {
        server_log(LOG_DEBUG, "get_cgi: %p: written %d", static_cast<void*>(&c), static_cast<int>(n));
        take_body(c, static_cast<unsigned>(n));
    } else if (n < 0 && !try_again(errno)) {
        // The program no longer reads its input: the rest of the body is dropped.
        server_log(LOG_DEBUG, "get_cgi: %p: program input closed: %s", static_cast<void*>(&c), std::strerror(errno));
        drop_body(c);
    }
}

// The whole body has been handed over (or the client has ended its stream
// after it): the program's input ends, and its reply is still relayed.
void end_program_input(connection& c) {
    if (c.job->state != Exchange::Sending) return;
    ::shutdown(c.fd.get(), SHUT_WR);
    c.job->state = Exchange::Reading;
}

// Takes the program's output into `local`: its head as it is until that is
// complete (room for the longer reply head stays free), then body bytes under
// the reply's framing.
void read_output(connection& c) {
    bool head_done = c.has(flag::cgi_head_parsed);
    BodySpace space = body_space(c);
    if (!head_done) {
        std::size_t room = c.local.room();
        space = {c.local.buf + c.local.head, room > kCgiHeadReserve ? room - kCgiHeadReserve : 0};
    }
    if (space.size == 0) return;
    ssize_t n = recv(c.fd.get(), space.data, space.size, 0);
    if (n > 0) {
        server_log(LOG_DEBUG, "get_cgi: %p: read %d", static_cast<void*>(&c), static_cast<int>(n));
        if (head_done) return body_written(c, static_cast<std::size_t>(n));
        c.local.head += static_cast<unsigned>(n);
        return cgi_reply_head_step(c);
    }
    if (n < 0 && try_again(errno)) return;
    if (!head_done) {
        std::string received(c.local.buf, c.local.head);  // senderr rewrites `local`
        senderr(c, 500, "CGI Error", "", "Bad headers sent:\n[%.*s]\n", static_cast<int>(received.size()),
                received.data());
    } else {
        body_done(c);
    }
    // The program's output has ended: it is reaped when the record's work ends.
    c.fd.reset();
}

}  // namespace

bool is_cgi(const ServerContext& ctx, const char* path) {
    std::size_t n = std::strlen(path), e = ctx.cgi_extention.size();
    return e > 0 && n > e && strcasecmp(path + n - e, ctx.cgi_extention.c_str()) == 0;
}

int run_cgi(connection& c, const char* path, int input_fd) {
    const ServerContext& ctx = *c.ctx;
    std::string script, interpreter = ctx.cgi_interpreter;
    if (!absolute_path(path, script) ||
        (interpreter.find('/') != std::string::npos && !absolute_path(interpreter, interpreter))) {
        server_log(LOG_ERROR, "run_cgi: getcwd: %s", std::strerror(errno));
        return -1;
    }
    CgiCommand command;
    if (!cgi_command(interpreter, script.c_str(), command, ctx.cgi_arguments)) return -1;
    CgiEnvironment env;
    if (!build_cgi_environment(c, script.c_str(), env)) {
        server_log(LOG_ERROR, "run_cgi: %s: environment does not fit", script.c_str());
        return -1;
    }
    UniqueFd near, errors;
    pid_t pid = cgi_spawn(command, env.envp(), near, ctx.capture_program_errors ? &errors : nullptr, input_fd);
    if (pid < 0) return -1;
    c.fd = std::move(near);
    c.err_fd = std::move(errors);
    c.cgi_pid = pid;
    c.cleanup = cgi_cleanup;
    c.flags &= ~flag::cgi_head_parsed;
    return 0;
}

void get_cgi(connection& c) {
    if (!c.fd.valid()) return;
    forward_body(c);
    if (c.body_left == 0 || (c.has(flag::peer_eof) && body_available(c) == 0)) end_program_input(c);
    if (c.has(flag::fd_readable)) read_output(c);
    // Body bytes the program has not taken yet wait for its input to have room.
    if (c.fd.valid()) c.want = body_available(c) > 0 ? Want::FdInOut : Want::FdIn;
}

}  // namespace vantrel
