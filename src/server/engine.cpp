// The connection engine: listening, accepting, reading, writing and the poll step.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cassert>
#include <csignal>
#include <cerrno>
#include <cstring>
#include <new>

#include <openssl/err.h>

#include "server/connection.hpp"
#include "server/handlers.hpp"
#include "server/log.hpp"
#include "server/request.hpp"

namespace vantrel {

namespace {

constexpr int kAcceptBatch = 32;        // connections accepted per listening socket per step
constexpr int kWriteRounds = 16;        // produce/send rounds per connection per step
constexpr std::size_t kSpareRecords = 64;
constexpr long kLingerSeconds = 2;

bool would_block(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

bool set_nonblocking(int fd) {
    int fl = fcntl(fd, F_GETFL, 0);
    return fl != -1 && fcntl(fd, F_SETFL, fl | O_NONBLOCK) == 0;
}

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

// True while bytes the peer sent are still unread: closing now would reset the
// connection and could cut the reply still in flight.
bool has_unread_input(const connection& c) {
    if (c.has(flag::peer_eof)) return false;
    if (c.remote.pending() > 0) return true;
    // A request without a body rarely leaves input behind; spare the system call.
    if (c.content_length == 0 && c.has(flag::parsed)) return false;
    int queued = 0;
    return ioctl(c.sock.get(), FIONREAD, &queued) == 0 && queued > 0;
}

void linger_read(ServerContext&, connection& c) {
    char scratch[4096];
    for (;;) {
        ssize_t n = recv(c.sock.get(), scratch, sizeof scratch, 0);
        if (n > 0) continue;
        if (n < 0 && would_block(errno)) return;
        c.flags |= flag::closing;
        return;
    }
}

// Shuts the write side so the reply ends with FIN, then drains input briefly.
void start_lingering(connection& c) {
    shutdown(c.sock.get(), SHUT_WR);
    c.flags = (c.flags & ~flag::closing) | flag::lingering;
    c.io_handler = nullptr;
    c.remote.clear();
    c.local.clear();
    c.on_ready = linger_read;
    c.expires = current_time + kLingerSeconds;
}

// Whether the content function can make progress without waiting for a socket.
bool can_produce(const connection& c) {
    if (!c.io_handler || !c.has(flag::always_ready) || sends_file_directly(c)) return false;
    if (c.method == METHOD_PUT) return c.remote.pending() > 0;
    return c.local.pending() == 0;
}

int add_poll(ServerContext& ctx, int fd, short events) {
    ctx.pollfds.push_back({fd, events, 0});
    return static_cast<int>(ctx.pollfds.size() - 1);
}

short revents_of(const ServerContext& ctx, int index) {
    return index < 0 ? 0 : ctx.pollfds[static_cast<std::size_t>(index)].revents;
}

// Registers a record's interest for this step; returns true when the step must not wait.
bool register_interest(ServerContext& ctx, connection& c) {
    c.flags &= ~flag::readiness;
    c.poll_sock = c.poll_fd = -1;
    if (c.on_ready == do_accept) {
        if (ctx.accepting) c.poll_sock = add_poll(ctx, c.sock.get(), POLLIN);
        return false;
    }
    short events = 0;
    if (c.ssl && !c.has(flag::tls_accepted)) {
        events = c.tls_wait ? c.tls_wait : POLLIN;
    } else {
        if (c.remote.has_room() && !c.has(flag::peer_eof)) events |= POLLIN;
        if (c.local.pending() > 0 || sends_file_directly(c)) events |= POLLOUT;
    }
    if (events) c.poll_sock = add_poll(ctx, c.sock.get(), events);
    bool no_wait = c.ssl && c.has(flag::tls_accepted) && SSL_pending(c.ssl.get()) > 0;
    if (c.has(flag::always_ready)) return no_wait || can_produce(c);
    if (c.fd.valid() && c.io_handler) {
        short fd_events = 0;
        if (c.local.has_room()) fd_events |= POLLIN;
        if (c.remote.pending() > 0) fd_events |= POLLOUT;
        if (fd_events) c.poll_fd = add_poll(ctx, c.fd.get(), fd_events);
    }
    return no_wait;
}

// Turns this step's poll results into the record's readiness bits.
void mark_ready(ServerContext& ctx, connection& c) {
    short s = revents_of(ctx, c.poll_sock);
    if (s & (POLLIN | POLLHUP | POLLERR)) {
        server_log(LOG_DEBUG, "%d readable", c.sock.get());
        c.flags |= flag::sock_readable;
    }
    if (c.ssl && c.has(flag::tls_accepted) && SSL_pending(c.ssl.get()) > 0) c.flags |= flag::sock_readable;
    if (c.ssl && !c.has(flag::tls_accepted) && (s & POLLOUT)) c.flags |= flag::sock_readable;
    if (s & (POLLOUT | POLLERR)) c.flags |= flag::sock_writable;
    short f = revents_of(ctx, c.poll_fd);
    // A body sent straight from the file waits for the socket like any other reply.
    bool ready_always = c.has(flag::always_ready) && !sends_file_directly(c);
    if (c.local.has_room() && (ready_always || (f & (POLLIN | POLLHUP | POLLERR)))) c.flags |= flag::fd_readable;
    if (c.remote.pending() > 0 && (ready_always || (f & (POLLOUT | POLLERR)))) c.flags |= flag::fd_writable;
}

void read_step(connection& c) {
    if (c.ssl && !c.has(flag::tls_accepted)) {
        handshake(c);
        if (!c.has(flag::tls_accepted)) return;
    }
    if (!c.remote.has_room() || c.has(flag::peer_eof)) return;
    int n = readremote(c, c.remote.buf + c.remote.head, kIoBufferSize - c.remote.head - 1);
    if (n > 0) {
        c.remote.head += static_cast<unsigned>(n);
        c.remote.buf[c.remote.head] = '\0';
        c.expires = current_time + kIdleSeconds;
    } else if (!c.has(flag::parsed) && (c.has(flag::peer_eof) || c.remote.complete)) {
        c.flags |= flag::closing;
    }
    server_log(LOG_DEBUG, "serve: readremote returned %d", n);
}

void parse_step(connection& c) {
    // A rejected request is answered once: rebuilding its reply after part of it
    // went out would send those bytes twice.
    if (c.has(flag::parsed) || c.remote.head == 0 || c.local.complete) return;
    c.request_len = head_length(c.remote.buf, static_cast<int>(c.remote.head));
    if (c.request_len == -1) {
        senderr(c, 400, "Bad Request", "", "Bad request");
    } else if (c.request_len == 0) {
        if (kIoBufferSize - 1 - c.remote.head <= 1) senderr(c, 400, "Bad Request", "", "Request is too big");
    } else {
        parse_request(c, c.remote.buf);
    }
}

// Produces and sends until the socket is full, nothing is left, or the round budget is spent.
void produce_and_write(connection& c) {
    for (int round = 0; round < kWriteRounds; ++round) {
        if (sends_file_directly(c)) {
            if (!send_file_directly(c)) return;
            continue;
        }
        bool handler_due = round == 0 ? c.has(flag::fd_readable | flag::fd_writable) ||
                                            (c.has(flag::always_ready) && c.local.has_room())
                                      : c.has(flag::always_ready) && c.local.has_room();
        if (c.io_handler && handler_due) {
            c.io_handler(c);
            c.expires = current_time + kIdleSeconds;
        }
        if (c.local.pending() == 0 || c.remote.complete) return;
        int n = writeremote(c, c.local.buf + c.local.tail, c.local.pending());
        server_log(LOG_DEBUG, "serve: writeremote returned %d", n);
        if (n <= 0) return;
        io_consume(c.local, static_cast<unsigned>(n));
        if (c.local.pending() > 0 || !c.has(flag::always_ready)) return;
    }
}

}  // namespace

void io_consume(io_buffer& io, unsigned n) {
    assert(io.tail <= io.head && "io->tail <= io->head");
    assert(io.head <= sizeof(io.buf) && "io->head <= sizeof(io->buf)");
    io.tail += n;
    if (io.tail > io.head) io.tail = io.head;
    if (io.tail == io.head) io.head = io.tail = 0;
}

int server_open_port(int port) {
    // TLS writes go through write(): a peer that went away must not end the process.
    struct sigaction current {};
    if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) std::signal(SIGPIPE, SIG_IGN);
    if (port < 0 || port > 65535) {
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
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        server_log(LOG_FATAL, "server_open_port: bind(%d): %s", port, std::strerror(errno));
        return -1;
    }
    // Accepted sockets inherit it: replies go out as soon as they are written.
    setsockopt(sock.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (listen(sock.get(), 128) != 0) {
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
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: stop watching the listener until a connection is freed.
                ctx.accepting = false;
                server_log(LOG_ERROR, "do_accept(%d): %s", listener.sock.get(), std::strerror(errno));
            } else if (!would_block(errno) && errno != ECONNABORTED) {
                server_log(LOG_ERROR, "do_accept(%d): %s", listener.sock.get(), std::strerror(errno));
            }
            return;
        }
        server_add(ctx, sock, &peer);
    }
}

void server_add(ServerContext& ctx, int sock, const sockaddr_in* accepted_peer) {
    UniqueFd owned(sock);
    sockaddr_in peer{};
    socklen_t peer_len = sizeof peer;
    if (accepted_peer) {
        peer = *accepted_peer;
    } else {
        set_nonblocking(sock);
        if (getpeername(sock, reinterpret_cast<sockaddr*>(&peer), &peer_len) != 0) {
            server_log(LOG_ERROR, "server_add: %s", std::strerror(errno));
            return;
        }
    }
    SslPtr ssl;
    if (ctx.ssl_ctx) {
        ssl.reset(SSL_new(ctx.ssl_ctx.get()));
        if (!ssl) {
            server_log(LOG_ERROR, "server_add: SSL_new: %s", ERR_error_string(ERR_get_error(), nullptr));
            return;
        }
        if (SSL_set_fd(ssl.get(), sock) == 0) {
            server_log(LOG_ERROR, "server_add: SSL_set_fd: %s", ERR_error_string(ERR_get_error(), nullptr));
            return;
        }
    }
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
        if (raw->has(flag::closing)) disconnect(ctx, raw);
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
    c.flags |= flag::closing;
    server_log(LOG_ERROR, "handshake: SSL_accept error %d", e);
}

int readremote(connection& c, char* dst, std::size_t len) {
    int n;
    if (c.ssl) {
        ERR_clear_error();
        n = SSL_read(c.ssl.get(), dst, static_cast<int>(len));
        if (n <= 0) {
            int e = SSL_get_error(c.ssl.get(), n);
            if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return -1;
            c.flags |= flag::peer_eof;
            if (e != SSL_ERROR_ZERO_RETURN) c.remote.complete = 1;
            return n;
        }
        return n;
    }
    n = static_cast<int>(recv(c.sock.get(), dst, len, 0));
    if (n == 0) {
        c.flags |= flag::peer_eof;
    } else if (n < 0 && !would_block(errno)) {
        c.flags |= flag::peer_eof;
        c.remote.complete = 1;
    }
    return n;
}

int writeremote(connection& c, const char* src, std::size_t len) {
    unsigned long limit = c.body_length + c.header_length;
    if (c.body_length != 0 && c.sent + len > limit) len = limit > c.sent ? limit - c.sent : 0;
    int n;
    int err = 0;
    bool failed = false;
    if (len == 0) {
        n = 0;
    } else if (c.ssl) {
        ERR_clear_error();
        n = SSL_write(c.ssl.get(), src, static_cast<int>(len));
        if (n <= 0) {
            int e = SSL_get_error(c.ssl.get(), n);
            failed = !(e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE);
            n = -1;
        }
    } else {
        n = static_cast<int>(send(c.sock.get(), src, len, MSG_NOSIGNAL));
        err = errno;
        failed = n < 0 && !would_block(err);
    }
    if (n > 0) c.sent += static_cast<unsigned long>(n);
    if (n == 0 || failed || (c.body_length != 0 && c.sent >= limit)) c.remote.complete = 1;
    if (debug_mode.load())
        server_log(LOG_DEBUG, "writeremote: %d %d %lu %lu %lu %d [%d: %s]", n, static_cast<int>(len), c.sent,
                   c.body_length, c.header_length, c.remote.complete, err, std::strerror(err));
    return n;
}

void serve(ServerContext& ctx, connection& c) {
    assert(&ctx == c.ctx && "ctx == c->ctx");
    assert(c.sock.valid() && "c->sock != -1");
    (void)ctx;
    if (c.has(flag::sock_readable)) read_step(c);
    parse_step(c);
    produce_and_write(c);

    // An upload whose sender went away will never complete.
    if (c.has(flag::parsed) && c.has(flag::peer_eof) && c.method == METHOD_PUT && c.io_handler &&
        c.remote.pending() == 0)
        c.flags |= flag::closing;
    if ((c.remote.complete && c.remote.head == 0) || (c.local.complete && c.local.head == 0))
        c.flags |= flag::closing;
}

void server_step(ServerContext& ctx, int ms) {
    refresh_current_time();
    ctx.pollfds.clear();
    int timeout = ms;
    for (auto& c : ctx.connections)
        if (register_interest(ctx, *c)) timeout = 0;

    int r = poll(ctx.pollfds.data(), ctx.pollfds.size(), timeout);
    if (r < 0) return;
    refresh_current_time();

    for (auto& c : ctx.connections) mark_ready(ctx, *c);
    for (auto it = ctx.connections.begin(); it != ctx.connections.end();) {
        connection* c = it->get();
        ++it;
        if (c->flags & flag::readiness) c->on_ready(ctx, *c);
        if (c->has(flag::closing) && !c->has(flag::lingering) && c->on_ready == serve && has_unread_input(*c))
            start_lingering(*c);
        if (c->has(flag::closing) || c->expires < current_time) disconnect(ctx, c);
    }
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

void disconnect(ServerContext& ctx, connection* c) {
    server_log(LOG_DEBUG, "disconnecting %p", static_cast<void*>(c));
    auto owned = unlink_connection(ctx, c);
    if (!owned) return;
    if (ctx.accesslog && owned->on_ready != do_accept) log_access(ctx.accesslog.get(), *owned);
    if (owned->cgi_pid != -1) cgi_release(*owned);
    if (!owned->put_temp.empty()) unlink(owned->put_temp.c_str());
    owned->fd.reset();
    owned->dirp.reset();
    owned->ssl.reset();
    owned->sock.reset();
    ctx.accepting = true;
    recycle(ctx, std::move(owned));
}

}  // namespace vantrel
