// The connection engine: listening, accepting, reading, writing and the poll step.
#include "server/engine/engine.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <new>
#include <thread>
#include <utility>

#include <openssl/err.h>

#include "server/cgi/program_errors.hpp"
#include "server/config/context.hpp"
#include "server/core/handles.hpp"
#include "server/core/io_buffer.hpp"
#include "server/core/limits.hpp"
#include "server/core/log.hpp"
#include "server/embed/observer.hpp"
#include "server/engine/connection.hpp"
#include "server/http/reply.hpp"
#include "server/http/request.hpp"

namespace vantrel {

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr int kAcceptBatch = 32;        // connections accepted per listening socket per step
constexpr int kWriteRounds = 16;        // produce/send rounds per connection per step
constexpr std::size_t kSpareRecords = 64;
constexpr long kLingerSeconds = 2;
constexpr int kHighestPort = 65535;
constexpr std::size_t kLingerScratch = 4096;            // bytes discarded per receive while lingering
constexpr std::size_t kDirectChunk = std::size_t{1} << 20;  // file bytes per sendfile call
// Out of descriptors: how long the listener rests before accepting is tried again.
constexpr std::chrono::milliseconds kAcceptRetry{100};

// ---- records ----

// A fresh record: the pool's spare when there is one.
std::unique_ptr<connection> new_record(ServerContext& ctx) {
    if (!ctx.spare.empty()) {
        auto c = std::move(ctx.spare.back());
        ctx.spare.pop_back();
        return c;
    }
    return std::unique_ptr<connection>(new (std::nothrow) connection());
}

// Resets a freed record in place (its large buffers are not cleared) and keeps it.
void recycle(ServerContext& ctx, std::unique_ptr<connection> c) {
    if (ctx.spare.size() >= kSpareRecords) return;
    connection* p = c.get();
    p->~connection();
    new (p) connection();
    ctx.spare.push_back(std::move(c));
}

bool is_listener(const connection& c) { return c.phase == Phase::Listening; }

// The handler's work is over: its own clean-up runs once, then what it left open closes.
// Corked, a large file body goes out in full segments only.
void set_cork(connection& c, bool on) {
    int value = on ? 1 : 0;
    setsockopt(c.sock.get(), IPPROTO_TCP, TCP_CORK, &value, sizeof value);
    c.flags = on ? (c.flags | flag::corked) : (c.flags & ~flag::corked);
}

void end_handler(connection& c, bool stopping) {
    if (Cleanup cleanup = std::exchange(c.cleanup, nullptr)) cleanup(c, stopping);
    c.io_handler = nullptr;
    c.want = Want::Nothing;
    c.fd.reset();
    c.dirp.reset();
}

// ---- lingering ----

// True while bytes the peer sent are still unread: closing now would reset the
// connection and could cut the reply still in flight.
bool has_unread_input(const connection& c) {
    if (c.has(flag::peer_eof)) return false;
    if (c.remote.pending() > 0) return true;
    // A request without a body rarely leaves input behind; spare the system call.
    if (c.content_length == 0 && !c.chunked_body && c.has(flag::parsed)) return false;
    int queued = 0;
    return ioctl(c.sock.get(), FIONREAD, &queued) == 0 && queued > 0;
}

// Shuts the write side so the reply ends with FIN, then drains input briefly.
void start_lingering(connection& c) {
    end_handler(c, false);
    shutdown(c.sock.get(), SHUT_WR);
    c.phase = Phase::Lingering;
    c.flags &= ~flag::closing;
    c.remote.clear();
    c.local.clear();
    c.expires = current_time + kLingerSeconds;
}

void linger_step(connection& c) {
    char scratch[kLingerScratch];
    for (;;) {
        ssize_t n = recv(c.sock.get(), scratch, sizeof scratch, 0);
        if (n > 0) continue;
        if (n < 0 && try_again(errno)) return;
        c.flags |= n == 0 ? flag::peer_eof : flag::peer_failed;
        close_after_step(c);
        return;
    }
}

// ---- the poll set ----

// Bytes that TLS has decrypted but not handed over yet count as readable only
// while there is room to take them; otherwise the step would never wait.
bool tls_bytes_waiting(const connection& c) {
    return c.ssl && c.has(flag::tls_accepted) && c.remote.has_room() && !c.has(flag::peer_eof) &&
           SSL_pending(c.ssl.get()) > 0;
}

// The handler can go on without waiting for any descriptor.
bool wants_no_wait(const connection& c) { return c.want == Want::Again || c.want == Want::Body; }

// Whether the handler can make progress now, so that the step must not wait.
bool can_go_on(const connection& c) {
    if (c.phase != Phase::Handling || !c.io_handler) return false;
    if (c.want == Want::Again) return c.local.pending() == 0;
    if (c.want == Want::Body) return c.remote.pending() > 0;
    return false;
}

int add_poll(ServerContext& ctx, int fd, short events) {
    ctx.pollfds.push_back({fd, events, 0});
    return static_cast<int>(ctx.pollfds.size() - 1);
}

short revents_of(const ServerContext& ctx, int index) {
    return index < 0 ? 0 : ctx.pollfds[static_cast<std::size_t>(index)].revents;
}

// The shorter of a poll time-out (negative: none) and `cap` milliseconds.
int cap_timeout(int timeout, long long cap) {
    int capped = static_cast<int>(std::max(0LL, cap));
    return timeout < 0 ? capped : std::min(timeout, capped);
}

// Out of descriptors, the listener rests until the retry time; then it is watched again.
int listener_interest(ServerContext& ctx, connection& c, int timeout) {
    if (!ctx.accepting) {
        auto left = ctx.accept_retry_at - SteadyClock::now();
        if (left > SteadyClock::duration::zero())
            return cap_timeout(timeout, std::chrono::ceil<std::chrono::milliseconds>(left).count());
        ctx.accepting = true;
    }
    c.poll_sock = add_poll(ctx, c.sock.get(), POLLIN);
    return timeout;
}

// What the record waits for on its socket, from its phase.
short socket_interest(const connection& c) {
    short receive = c.remote.has_room() && !c.has(flag::peer_eof) ? POLLIN : 0;
    switch (c.phase) {
        case Phase::ReadHead:
            if (c.ssl && !c.has(flag::tls_accepted)) return c.tls_wait ? c.tls_wait : POLLIN;
            return receive;
        case Phase::Handling:
            return static_cast<short>(receive | (c.local.pending() > 0 ? POLLOUT : 0));
        case Phase::SendReply:
        case Phase::SendDirect:
            return static_cast<short>(receive | POLLOUT);
        case Phase::Listening:
        case Phase::Lingering:
            return POLLIN;
        case Phase::Idle:
        case Phase::Closing:
            return 0;
    }
    return 0;
}

// What the record waits for on `fd`, from the handler's Want. A program is
// read only while `local` has room for what it says.
short fd_interest(const connection& c) {
    if (c.phase != Phase::Handling || !c.io_handler || !c.fd.valid()) return 0;
    short in = c.local.has_room() ? POLLIN : 0;
    switch (c.want) {
        case Want::FdIn: return in;
        case Want::FdOut: return POLLOUT;
        case Want::FdInOut: return static_cast<short>(in | POLLOUT);
        case Want::FdInKeeping: return POLLIN;
        case Want::Nothing:
        case Want::Again:
        case Want::Body: return 0;
    }
    return 0;
}

// Registers a record's interest for this step; returns the time-out the step may wait.
int register_interest(ServerContext& ctx, connection& c, int timeout) {
    c.flags &= ~flag::readiness;
    c.flags = wants_no_wait(c) ? (c.flags | flag::always_ready) : (c.flags & ~flag::always_ready);
    c.poll_sock = c.poll_fd = c.poll_err = -1;
    if (is_listener(c)) return listener_interest(ctx, c, timeout);
    if (short events = socket_interest(c)) c.poll_sock = add_poll(ctx, c.sock.get(), events);
    if (c.err_fd.valid()) c.poll_err = add_poll(ctx, c.err_fd.get(), POLLIN);
    if (short events = fd_interest(c)) c.poll_fd = add_poll(ctx, c.fd.get(), events);
    if (c.on_overdue && c.phase == Phase::Handling)
        timeout = cap_timeout(
            timeout, std::chrono::ceil<std::chrono::milliseconds>(c.deadline - SteadyClock::now()).count());
    return tls_bytes_waiting(c) || can_go_on(c) ? 0 : timeout;
}

// Turns this step's poll results into the record's readiness bits.
void mark_ready(ServerContext& ctx, connection& c) {
    short s = revents_of(ctx, c.poll_sock);
    if (s & (POLLIN | POLLHUP | POLLERR)) {
        server_log(LOG_DEBUG, "%d readable", c.sock.get());
        c.flags |= flag::sock_readable;
    }
    if (tls_bytes_waiting(c)) c.flags |= flag::sock_readable;
    if (c.ssl && !c.has(flag::tls_accepted) && (s & POLLOUT)) c.flags |= flag::sock_readable;
    if (s & (POLLOUT | POLLERR)) c.flags |= flag::sock_writable;
    if (c.phase != Phase::Handling || !c.io_handler) return;
    short f = revents_of(ctx, c.poll_fd);
    bool ready_always = wants_no_wait(c);
    bool fd_in = f & (POLLIN | POLLHUP | POLLERR);
    if (c.want == Want::FdInKeeping ? fd_in : c.local.has_room() && (ready_always || fd_in)) c.flags |= flag::fd_readable;
    if ((ready_always && c.remote.pending() > 0) || (f & (POLLOUT | POLLERR))) c.flags |= flag::fd_writable;
}

// Waits for this step's events. False when the step must end here: on an
// interruption at once (a signal handler may want the loop to stop), on any
// other failure after the caller's time-out, so a lasting failure cannot spin.
bool wait_for_events(ServerContext& ctx, int timeout, int ms) {
    if (poll(ctx.pollfds.data(), ctx.pollfds.size(), timeout) >= 0) return true;
    int err = errno;
    if (err == EINTR) return false;
    server_log(LOG_DEBUG, "server_step: poll: %s", std::strerror(err));
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return false;
}

// ---- serving a client: one function per phase ----

// What this call of serve() received from the peer.
struct Input {
    bool bytes = false;  // new bytes are in `remote`
    bool ended = false;  // the peer's stream ended in this call
};

// Receives what has arrived (the TLS handshake first).
Input receive(connection& c) {
    Input in;
    if (c.ssl && !c.has(flag::tls_accepted)) {
        handshake(c);
        if (!c.has(flag::tls_accepted)) return in;
    }
    if (!c.remote.has_room() || c.has(flag::peer_eof)) return in;
    int n = readremote(c, c.remote.buf + c.remote.head, kIoBufferSize - c.remote.head - 1);
    server_log(LOG_DEBUG, "serve: readremote returned %d", n);
    if (n > 0) {
        if (c.received == 0) c.request_started = std::chrono::steady_clock::now();
        c.remote.head += static_cast<unsigned>(n);
        c.remote.buf[c.remote.head] = '\0';
        c.received += static_cast<unsigned long long>(n);
        c.expires = current_time + kIdleSeconds;
        in.bytes = true;
        if (c.chunked_body && c.has(flag::parsed)) decode_chunked_input(c);
        return in;
    }
    if (c.phase == Phase::ReadHead && (c.has(flag::peer_eof) || c.remote.complete)) close_after_step(c);
    in.ended = c.has(flag::peer_eof);
    return in;
}

// ReadHead: once the blank line has come, the request is parsed and dispatched.
void read_head_step(connection& c) {
    if (c.remote.head == 0) return;
    c.request_len = head_length(c.remote.buf, static_cast<int>(c.remote.head));
    if (c.request_len == -1) {
        senderr(c, 400, "Bad Request", "", "Bad request");
    } else if (c.request_len == 0) {
        if (kIoBufferSize - 1 - c.remote.head <= 1) senderr(c, 400, "Bad Request", "", "Request is too big");
    } else {
        parse_request(c, c.remote.buf);
        // A handler that has not answered yet goes on producing the reply.
        if (c.phase == Phase::ReadHead) c.phase = Phase::Handling;
    }
}

// The peer ended its stream before the announced body was complete: the
// request is abandoned and nothing may act on the part that came.
bool request_abandoned(const connection& c) {
    return c.phase == Phase::Handling && c.io_handler && c.has(flag::peer_eof) && !body_received(c);
}

// Whether the content function is called in this round: it can go on at once,
// or something it waits for happened.
// A handler that keeps what it reads is called again once the client took bytes.
bool takes_room(const connection& c) { return wants_no_wait(c) || c.want == Want::FdInKeeping; }

bool handler_due(const connection& c, int round, const Input& in) {
    bool has_room = takes_room(c) && c.local.has_room();
    if (round > 0) return has_room;
    return has_room || c.has(flag::fd_readable | flag::fd_writable) || in.bytes || in.ended;
}

// Sends what `local` holds. False when the socket took nothing more. A reply
// whose framing is still open gets it before its first byte goes out.
bool send_queued(connection& c) {
    if (c.local.pending() == 0 || c.remote.complete) return false;
    if (c.sent == 0 && c.framing == Framing::Undecided) frame_before_sending(c);
    int n = writeremote(c, c.local.buf + c.local.tail, c.local.pending());
    server_log(LOG_DEBUG, "serve: writeremote returned %d", n);
    if (n <= 0) return false;
    io_consume(c.local, static_cast<unsigned>(n));
    return true;
}

// ---- kept connections ----

void end_of_step(ServerContext& ctx, connection& c);

// Whether the connection can carry the next request: the reply said so, it
// went out whole, and the request's body is all taken or dropped.
bool can_carry_next(connection& c) {
    if (!c.keep_alive || c.has(flag::peer_failed)) return false;
    bool bodiless = c.method == METHOD_HEAD || c.status == 204 || c.status == 304;
    if (bodiless && c.sent > c.header_length) return false;  // a program sent a body anyway
    if (!bodiless && c.body_length != 0 && c.sent < c.header_length + c.body_length) return false;  // cut short
    drop_body(c);
    if (c.body_left > 0) return false;
    return !c.has(flag::peer_eof) || c.remote.pending() > 0;
}

// The request on a kept connection is over: it is logged, its handler's work
// ends, and the record starts again as a new connection's would, holding the
// bytes of the next request that came already.
void start_next_request(ServerContext& ctx, connection& c) {
    request_ended(ctx, c);
    end_handler(c, false);
    static thread_local char carried[kIoBufferSize];
    unsigned n = c.remote.pending();
    std::memcpy(carried, c.remote.buf + c.remote.tail, n);
    sockaddr_in peer = c.peer;
    socklen_t peer_len = c.peer_len;
    UniqueFd sock = std::move(c.sock);
    SslPtr ssl = std::move(c.ssl);
    unsigned kept_flags = c.flags & (flag::tls_accepted | flag::peer_eof);
    int requests = c.requests + 1;
    OnReady on_ready = c.on_ready;

    c.~connection();
    new (&c) connection();
    c.ctx = &ctx;
    c.peer = peer;
    c.peer_len = peer_len;
    c.sock = std::move(sock);
    c.ssl = std::move(ssl);
    c.flags = kept_flags;
    c.requests = requests;
    c.on_ready = on_ready;
    c.created = current_time;
    c.expires = current_time + kIdleSeconds;
    std::memcpy(c.remote.buf, carried, n);
    c.remote.head = n;
    c.remote.buf[n] = '\0';
    c.received = n;
    if (n > 0) c.request_started = std::chrono::steady_clock::now();
    bool tls_waiting = c.ssl && SSL_pending(c.ssl.get()) > 0;
    c.phase = n > 0 || tls_waiting ? Phase::ReadHead : Phase::Idle;
}

// The reply has gone out, or cannot go out any more: the connection carries
// the next request, or ends.
void reply_done(connection& c) {
    if (!can_carry_next(c)) return close_after_step(c);
    start_next_request(*c.ctx, c);
}

// An idle kept connection gives up its record until its next request comes.
void park(ServerContext& ctx, connection& c) {
    IdleConnection idle;
    idle.sock = std::move(c.sock);
    idle.ssl = std::move(c.ssl);
    idle.peer = c.peer;
    idle.peer_len = c.peer_len;
    idle.requests = c.requests;
    idle.expires = current_time + ctx.keep_alive_timeout;
    if (auto owned = unlink_connection(ctx, &c)) recycle(ctx, std::move(owned));
    ctx.idle.push_back(std::move(idle));
}

// Bytes arrived on an idle connection: it takes a record again and is served at once.
void unpark(ServerContext& ctx, IdleConnection& idle) {
    auto c = new_record(ctx);
    if (!c) {
        server_log(LOG_ERROR, "server_add: calloc: %s", std::strerror(ENOMEM));
        return;
    }
    c->peer = idle.peer;
    c->peer_len = idle.peer_len;
    c->sock = std::move(idle.sock);
    c->ssl = std::move(idle.ssl);
    if (c->ssl) c->flags |= flag::tls_accepted;
    c->requests = idle.requests;
    c->on_ready = serve;
    c->created = current_time;
    c->expires = current_time + kIdleSeconds;
    connection* raw = c.get();
    link_connection(ctx, std::move(c));
    raw->flags |= flag::sock_readable;
    serve(ctx, *raw);
    raw->flags &= ~flag::readiness;
    end_of_step(ctx, *raw);
}

void register_idle(ServerContext& ctx) {
    for (IdleConnection& idle : ctx.idle) idle.poll = add_poll(ctx, idle.sock.get(), POLLIN);
}

// Idle connections with news are served; those idle too long are closed.
void wake_idle(ServerContext& ctx) {
    for (auto it = ctx.idle.begin(); it != ctx.idle.end();) {
        if (revents_of(ctx, it->poll) != 0) {
            unpark(ctx, *it);
            it = ctx.idle.erase(it);
        } else if (it->expires < current_time) {
            it = ctx.idle.erase(it);
        } else {
            ++it;
        }
    }
}

// Out of descriptors: idle connections go first, oldest first.
bool close_idle_for_room(ServerContext& ctx) {
    constexpr std::size_t kClosedAtOnce = 16;
    if (ctx.idle.empty()) return false;
    for (std::size_t i = 0; i < kClosedAtOnce && !ctx.idle.empty(); ++i) ctx.idle.pop_front();
    return true;
}

// Handling: produces and sends until the socket is full, nothing is left, the
// round budget is spent, or the handler has finished (another phase).
void handling_step(connection& c, const Input& in) {
    for (int round = 0; round < kWriteRounds; ++round) {
        if (c.io_handler && handler_due(c, round, in)) {
            c.io_handler(c);
            c.expires = current_time + kIdleSeconds;
        }
        if (c.phase != Phase::Handling) return;
        bool sent = send_queued(c);
        if (c.remote.complete) return reply_done(c);  // the announced length has gone out
        if (!sent || c.local.pending() > 0 || !takes_room(c)) return;
    }
}

// SendReply: what is left of the reply goes out; then the connection ends.
void send_reply_step(connection& c) {
    for (int round = 0; round < kWriteRounds && send_queued(c); ++round) {
    }
    if (c.local.pending() == 0 || c.remote.complete) reply_done(c);
}

// Sends the next piece of a file body straight from `fd`. False when the socket
// is full or the body has ended.
bool send_direct_piece(connection& c) {
    std::size_t want = static_cast<std::size_t>(std::min<unsigned long long>(c.file_left, kDirectChunk));
    int n = want > 0 ? sendfile_remote(c, c.fd.get(), want) : 0;
    if (n > 0) c.file_left -= static_cast<unsigned long long>(n);
    if (c.file_left == 0 || n == 0 || (n < 0 && c.has(flag::peer_failed))) {
        body_done(c);
        return false;
    }
    return n > 0 && static_cast<std::size_t>(n) == want;
}

// SendDirect: the head in `local` first, then the file body by sendfile.
void send_direct_step(connection& c) {
    for (int round = 0; round < kWriteRounds; ++round) {
        if (c.local.pending() > 0) {
            if (!send_queued(c)) return;
            continue;
        }
        if (!send_direct_piece(c)) return;
    }
}

// ---- end of a step ----

bool head_overdue(const connection& c) {
    return c.phase == Phase::ReadHead && current_time > c.created + kHeadSeconds;
}

// The request head did not arrive in time: one try to say so, then close.
void answer_slow_head(connection& c) {
    server_log(LOG_DEBUG, "serve: %p: request head incomplete after %ld s", static_cast<void*>(&c), kHeadSeconds);
    senderr(c, 408, "Request Timeout", "", "Request Timeout");
    if (!c.ssl || c.has(flag::tls_accepted)) writeremote(c, c.local.buf + c.local.tail, c.local.pending());
    close_after_step(c);
}

// What every step does with a record after serving it: a finished record
// lingers while unread input remains (so the reply is not cut by a reset),
// otherwise it is freed, as is a record past its idle deadline. A handler past
// its own time limit is ended first.
void end_of_step(ServerContext& ctx, connection& c) {
    if (c.on_overdue && c.phase == Phase::Handling && SteadyClock::now() >= c.deadline)
        std::exchange(c.on_overdue, nullptr)(c);
    if (head_overdue(c)) answer_slow_head(c);
    if (c.phase == Phase::Idle) return park(ctx, c);
    if (c.phase == Phase::Closing && !c.has(flag::peer_failed) && has_unread_input(c)) {
        start_lingering(c);
        return;
    }
    if (c.phase == Phase::Closing || c.expires < current_time) disconnect(ctx, &c);
}

// Byte counting and the end-of-stream rule shared by every send to the peer.
int account_send(connection& c, int n, bool failed, int err, std::size_t asked) {
    unsigned long limit = c.body_length + c.header_length;
    if (n > 0) {
        c.sent += static_cast<unsigned long>(n);
        c.expires = current_time + kIdleSeconds;  // any progress renews the deadline
    }
    if (failed) c.flags |= flag::peer_failed;
    if (n == 0 || failed || (c.body_length != 0 && c.sent >= limit)) c.remote.complete = 1;
    if (debug_mode.load())
        server_log(LOG_DEBUG, "writeremote: %d %d %lu %lu %lu %d [%d: %s]", n, static_cast<int>(asked), c.sent,
                   c.body_length, c.header_length, c.remote.complete, err, std::strerror(err));
    return n;
}

// A connection never sends more than its announced head plus entity.
std::size_t allowed_length(const connection& c, std::size_t len) {
    unsigned long limit = c.body_length + c.header_length;
    if (c.body_length != 0 && c.sent + len > limit) return limit > c.sent ? limit - c.sent : 0;
    return len;
}

}  // namespace

bool try_again(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

bool set_nonblocking(int fd) {
    int fl = fcntl(fd, F_GETFL, 0);
    return fl != -1 && fcntl(fd, F_SETFL, fl | O_NONBLOCK) == 0;
}

bool body_received(const connection& c) {
    if (!c.has(flag::parsed) || c.request_len <= 0) return false;
    if (c.chunked_body) return c.chunks.done();
    return c.received >= static_cast<unsigned long long>(c.request_len) + c.content_length;
}

unsigned body_available(const connection& c) {
    unsigned long long left = c.chunked_body ? c.body_ready : c.body_left;
    return static_cast<unsigned>(std::min<unsigned long long>(c.remote.pending(), left));
}

void take_body(connection& c, unsigned n) {
    n = std::min(n, body_available(c));
    io_consume(c.remote, n);
    c.body_left -= n;
    if (c.chunked_body) c.body_ready -= n;
}

void drop_body(connection& c) { take_body(c, body_available(c)); }

namespace {

// A body in chunks cannot be taken: nothing of it goes on, and since its end
// is not known the connection ends after the reply.
bool refuse_chunked_body(connection& c, int status, const char* reason) {
    server_log(LOG_DEBUG, "serve: %p: request body in chunks refused: %d", static_cast<void*>(&c), status);
    c.remote.clear();
    c.body_ready = 0;
    c.keep_alive = false;
    if (c.phase != Phase::ReadHead && c.phase != Phase::Handling) return false;  // a reply is already complete
    end_handler(c, false);
    if (c.sent == 0)
        senderr(c, status, reason, "", "%s", reason);
    else
        close_after_step(c);  // too late for a status reply
    return false;
}

}  // namespace

bool decode_chunked_input(connection& c) {
    if (!c.chunked_body || c.chunks.done() || c.chunks.malformed()) return true;
    io_buffer& r = c.remote;
    unsigned start = r.tail + c.body_ready;
    char* raw = r.buf + start;
    std::size_t length = r.head - start;
    ChunkedBody::Step step = c.chunks.feed(raw, length, raw, length);
    // Whatever follows the body (the next request) moves up behind its data.
    std::size_t rest = length - step.used;
    if (rest > 0 && step.used > step.produced) std::memmove(raw + step.produced, raw + step.used, rest);
    c.body_ready += static_cast<unsigned>(step.produced);
    r.head = start + static_cast<unsigned>(step.produced + rest);
    if (r.head == r.tail) r.clear();
    r.buf[r.head] = '\0';
    if (c.chunks.malformed()) return refuse_chunked_body(c, 400, "Bad Request");
    unsigned long long limit = c.ctx ? c.ctx->max_body_size : 0;
    if (limit != 0 && c.chunks.decoded() > limit) return refuse_chunked_body(c, 413, "Payload Too Large");
    if (c.chunks.done()) {
        c.content_length = static_cast<unsigned long>(c.chunks.decoded());
        c.body_left = c.body_ready;
    }
    return true;
}

void body_done(connection& c) {
    if (c.has(flag::corked)) set_cork(c, false);
    end_body_framing(c);
    c.local.complete = 1;
    c.io_handler = nullptr;
    c.want = Want::Nothing;
    if (c.phase == Phase::ReadHead || c.phase == Phase::Handling || c.phase == Phase::SendDirect)
        c.phase = Phase::SendReply;
}

void send_rest_directly(connection& c) {
    // Two more system calls are nothing beside a large body, and downloads are
    // faster in full segments; smaller bodies rely on the head's MSG_MORE.
    if (c.file_left >= kDirectChunk) set_cork(c, true);
    c.phase = Phase::SendDirect;
}

void close_after_step(connection& c) {
    c.phase = Phase::Closing;
    c.flags |= flag::closing;
}

namespace {

// TLS writes go through write(): a peer that went away must not end the process.
void ignore_sigpipe() {
    struct sigaction current {};
    if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace

int server_open_port(int port, const char* address) {
    ignore_sigpipe();
    if (port < 0 || port > kHighestPort) {
        server_log(LOG_FATAL, "server_open_port: bind(%d): %s", port, std::strerror(EINVAL));
        return -1;
    }
    UniqueFd sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
    if (!sock.valid()) {
        server_log(LOG_FATAL, "server_open_port: socket: %s", std::strerror(errno));
        return -1;
    }
    if (!set_nonblocking(sock.get())) {
        server_log(LOG_FATAL, "server_open_port: nonblock");
        return -1;
    }
    int on = 1;
    if (setsockopt(sock.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        server_log(LOG_FATAL, "server_open_port: setsockopt");
        return -1;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (address && *address && inet_pton(AF_INET, address, &addr.sin_addr) != 1) {
        server_log(LOG_FATAL, "server_open_port: not an IPv4 address: [%s]", address);
        return -1;
    }
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        server_log(LOG_FATAL, "server_open_port: bind(%d): %s", port, std::strerror(errno));
        return -1;
    }
    // Accepted sockets inherit it: replies go out as soon as they are written.
    setsockopt(sock.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (listen(sock.get(), SOMAXCONN) != 0) {
        server_log(LOG_FATAL, "server_open_port: listen: %s", std::strerror(errno));
        return -1;
    }
    return sock.release();
}

int bound_port(int sock) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (getsockname(sock, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return -1;
    return ntohs(addr.sin_port);
}

void server_listen(ServerContext& ctx, int sock) {
    auto c = new_record(ctx);
    if (!c) {
        close(sock);
        server_log(LOG_FATAL, "server_listen: cannot allocate connection");
        return;
    }
    c->on_ready = do_accept;
    c->phase = Phase::Listening;
    c->sock.reset(sock);
    c->expires = kNeverExpires;
    connection* raw = c.get();
    link_connection(ctx, std::move(c));
    server_log(LOG_DEBUG, "server_listen: ctx %p, sock %d, conn %p", static_cast<void*>(&ctx), sock,
               static_cast<void*>(raw));
}

void do_accept(ServerContext& ctx, connection& listener) {
    for (int i = 0; i < kAcceptBatch; ++i) {
        sockaddr_in peer{};
        socklen_t peer_len = sizeof peer;
        int sock = accept4(listener.sock.get(), reinterpret_cast<sockaddr*>(&peer), &peer_len,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (sock < 0) {
            int err = errno;
            bool out_of_descriptors = err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
            if (out_of_descriptors && close_idle_for_room(ctx)) continue;
            if (out_of_descriptors) {
                // Out of descriptors: rest the listener until a connection is freed or
                // the retry time has come. Only the first failure in a row is an error.
                bool again = ctx.accept_retry_at != SteadyClock::time_point{};
                ctx.accepting = false;
                ctx.accept_retry_at = SteadyClock::now() + kAcceptRetry;
                server_log(again ? LOG_DEBUG : LOG_ERROR, "do_accept(%d): %s", listener.sock.get(), std::strerror(err));
            } else if (!try_again(err) && err != ECONNABORTED) {
                server_log(LOG_ERROR, "do_accept(%d): %s", listener.sock.get(), std::strerror(err));
            }
            return;
        }
        ctx.accept_retry_at = SteadyClock::time_point{};
        server_add(ctx, sock, &peer);
    }
}

namespace {

// The peer's address: the one accept returned, or else asked of the socket.
bool peer_address(int sock, const sockaddr_in* accepted_peer, sockaddr_in& peer, socklen_t& peer_len) {
    peer_len = sizeof peer;
    if (accepted_peer) {
        peer = *accepted_peer;
        return true;
    }
    set_nonblocking(sock);
    if (getpeername(sock, reinterpret_cast<sockaddr*>(&peer), &peer_len) == 0) return true;
    server_log(LOG_ERROR, "server_add: %s", std::strerror(errno));
    return false;
}

// A TLS session on the socket; false (logged) when one was needed and could not be made.
bool tls_session(ServerContext& ctx, int sock, SslPtr& ssl) {
    if (!ctx.ssl_ctx) return true;
    ssl.reset(SSL_new(ctx.ssl_ctx.get()));
    if (!ssl) {
        server_log(LOG_ERROR, "server_add: SSL_new: %s", ERR_error_string(ERR_get_error(), nullptr));
        return false;
    }
    if (SSL_set_fd(ssl.get(), sock) == 0) {
        server_log(LOG_ERROR, "server_add: SSL_set_fd: %s", ERR_error_string(ERR_get_error(), nullptr));
        return false;
    }
    return true;
}

}  // namespace

void server_add(ServerContext& ctx, int sock, const sockaddr_in* accepted_peer) {
    UniqueFd owned(sock);
    sockaddr_in peer{};
    socklen_t peer_len = 0;
    SslPtr ssl;
    if (!peer_address(sock, accepted_peer, peer, peer_len) || !tls_session(ctx, sock, ssl)) return;
    auto c = new_record(ctx);
    if (!c) {
        server_log(LOG_ERROR, "server_add: calloc: %s", std::strerror(ENOMEM));
        return;
    }
    c->peer = peer;
    c->peer_len = peer_len;
    c->sock = std::move(owned);
    c->on_ready = serve;
    c->ssl = std::move(ssl);
    c->created = current_time;
    c->expires = current_time + kIdleSeconds;
    if (c->ssl) handshake(*c);
    connection* raw = c.get();
    link_connection(ctx, std::move(c));
    server_log(LOG_DEBUG, "server_add: ctx %p, sock %d, conn %p", static_cast<void*>(&ctx), sock,
               static_cast<void*>(raw));
    // The request is often there already: serve it now instead of after another wait.
    if (!raw->ssl) {
        raw->flags |= flag::sock_readable;
        serve(ctx, *raw);
        raw->flags &= ~flag::readiness;
        end_of_step(ctx, *raw);
    }
}

void handshake(connection& c) {
    ERR_clear_error();
    int r = SSL_accept(c.ssl.get());
    if (r == 1) {
        server_log(LOG_DEBUG, "handshake: SSL accepted");
        c.flags |= flag::tls_accepted;
        c.tls_wait = 0;
        return;
    }
    int e = SSL_get_error(c.ssl.get(), r);
    if (e == SSL_ERROR_WANT_READ) {
        c.tls_wait = POLLIN;
        return;
    }
    if (e == SSL_ERROR_WANT_WRITE) {
        c.tls_wait = POLLOUT;
        return;
    }
    close_after_step(c);
    server_log(LOG_ERROR, "handshake: SSL_accept error %d", e);
}

int readremote(connection& c, char* dst, std::size_t len) {
    if (c.ssl) {
        ERR_clear_error();
        int n = SSL_read(c.ssl.get(), dst, static_cast<int>(len));
        if (n > 0) return n;
        int e = SSL_get_error(c.ssl.get(), n);
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return -1;
        c.flags |= flag::peer_eof;
        if (e != SSL_ERROR_ZERO_RETURN) {
            c.remote.complete = 1;
            c.flags |= flag::peer_failed;
        }
        return n;
    }
    int n = static_cast<int>(recv(c.sock.get(), dst, len, 0));
    if (n == 0) {
        c.flags |= flag::peer_eof;
    } else if (n < 0 && !try_again(errno)) {
        c.flags |= flag::peer_eof | flag::peer_failed;
        c.remote.complete = 1;
    }
    return n;
}

int writeremote(connection& c, const char* src, std::size_t len) {
    len = allowed_length(c, len);
    if (len == 0) return account_send(c, 0, false, 0, len);
    if (c.ssl) {
        ERR_clear_error();
        int n = SSL_write(c.ssl.get(), src, static_cast<int>(len));
        if (n > 0) return account_send(c, n, false, 0, len);
        int e = SSL_get_error(c.ssl.get(), n);
        return account_send(c, -1, !(e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE), 0, len);
    }
    // A head whose file body follows by sendfile shares its first segment.
    int more = c.phase == Phase::SendDirect && c.file_left > 0 && !c.has(flag::corked) ? MSG_MORE : 0;
    int n = static_cast<int>(send(c.sock.get(), src, len, MSG_NOSIGNAL | more));
    int err = n < 0 ? errno : 0;
    return account_send(c, n, n < 0 && !try_again(err), err, len);
}

int sendfile_remote(connection& c, int file_fd, std::size_t len) {
    len = allowed_length(c, len);
    if (len == 0) return account_send(c, 0, false, 0, len);
    int n = static_cast<int>(sendfile(c.sock.get(), file_fd, nullptr, len));
    int err = n < 0 ? errno : 0;
    return account_send(c, n, n < 0 && !try_again(err), err, len);
}

void serve(ServerContext& ctx, connection& c) {
    assert(&ctx == c.ctx && "ctx == c->ctx");
    assert(c.sock.valid() && "c->sock != -1");
    (void)ctx;
    if (c.phase == Phase::Lingering) return linger_step(c);
    Input in = c.has(flag::sock_readable) ? receive(c) : Input{};
    if (request_abandoned(c)) {
        server_log(LOG_DEBUG, "serve: %p: request body cut short", static_cast<void*>(&c));
        return close_after_step(c);
    }
    // Each phase runs until it hands over to the next; the loop ends when the
    // phase stops changing (it waits for something) or the record closes.
    for (Phase before = c.phase;; before = c.phase) {
        switch (c.phase) {
            case Phase::ReadHead: read_head_step(c); break;
            case Phase::Handling: handling_step(c, in); break;
            case Phase::SendReply: send_reply_step(c); break;
            case Phase::SendDirect: send_direct_step(c); break;
            case Phase::Listening:
            case Phase::Lingering:
            case Phase::Idle:
            case Phase::Closing: break;
        }
        in = Input{};  // what came is news for the first phase only
        if (c.phase == before) break;
    }
    if (c.has(flag::peer_failed) && c.phase != Phase::Closing) close_after_step(c);
}

void server_step(ServerContext& ctx, int ms) {
    refresh_current_time();
    ctx.pollfds.clear();
    int timeout = ms;
    for (auto& c : ctx.connections) timeout = register_interest(ctx, *c, timeout);
    register_idle(ctx);
    if (!wait_for_events(ctx, timeout, ms)) return;
    refresh_current_time();

    for (auto& c : ctx.connections) {
        mark_ready(ctx, *c);
        if (revents_of(ctx, c->poll_err)) read_program_errors(*c);
    }
    for (auto it = ctx.connections.begin(); it != ctx.connections.end();) {
        connection* c = it->get();
        ++it;
        if (c->flags & flag::readiness) c->on_ready(ctx, *c);
        end_of_step(ctx, *c);
    }
    wake_idle(ctx);
}

void link_connection(ServerContext& ctx, std::unique_ptr<connection> c) {
    std::lock_guard<std::mutex> guard(ctx.lock);
    c->ctx = &ctx;
    ctx.connections.push_front(std::move(c));
    ctx.nactive++;
}

std::unique_ptr<connection> unlink_connection(ServerContext& ctx, connection* c) {
    std::lock_guard<std::mutex> guard(ctx.lock);
    for (auto it = ctx.connections.begin(); it != ctx.connections.end(); ++it) {
        if (it->get() != c) continue;
        auto owned = std::move(*it);
        ctx.connections.erase(it);
        ctx.nactive--;
        assert(ctx.nactive >= 0 && "ctx->nactive >= 0");
        return owned;
    }
    return nullptr;
}

namespace {

void free_record(ServerContext& ctx, connection* c, bool stopping) {
    server_log(LOG_DEBUG, "disconnecting %p", static_cast<void*>(c));
    auto owned = unlink_connection(ctx, c);
    if (!owned) return;
    // A kept connection that closes between two requests has nothing to log.
    if (!is_listener(*owned) && (owned->requests == 0 || owned->received > 0)) request_ended(ctx, *owned);
    end_handler(*owned, stopping);
    owned->ssl.reset();
    owned->sock.reset();
    ctx.accepting = true;
    recycle(ctx, std::move(owned));
}

}  // namespace

void disconnect(ServerContext& ctx, connection* c) { free_record(ctx, c, false); }

void disconnect_all(ServerContext& ctx) {
    while (!ctx.connections.empty()) free_record(ctx, ctx.connections.front().get(), true);
    ctx.idle.clear();
}

}  // namespace vantrel
