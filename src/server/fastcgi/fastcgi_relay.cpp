// One request over its own FastCGI connection, driven by the poll loop: the
// records go out as the socket takes them (the body as it arrives), the reply's
// FCGI_STDOUT goes through the same reply-head handling as a CGI program's output.
// The reply is read as fast as the worker writes it; what the client has not
// taken yet waits in the reply spool, so a slow client never holds a worker.
#include "server/fastcgi/fastcgi_relay.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "server/cgi/cgi.hpp"
#include "server/cgi/cgi_env.hpp"
#include "server/cgi/cgi_gate.hpp"
#include "server/cgi/cgi_job.hpp"
#include "server/cgi/cgi_reply.hpp"
#include "server/core/io_buffer.hpp"
#include "server/core/log.hpp"
#include "server/engine/connection.hpp"
#include "server/engine/engine.hpp"
#include "server/fastcgi/fastcgi_address.hpp"
#include "server/fastcgi/fastcgi_record.hpp"
#include "server/http/reply.hpp"

namespace vantrel {

namespace {

// Request body bytes per FCGI_STDIN record.
constexpr std::size_t kStdinChunk = 16384;
// Reads per call: the loop serves other connections in between.
constexpr int kReadsPerCall = 64;

// Whether the worker's reply is still being relayed: neither has the exchange
// ended nor has the reply been decided otherwise (an invalid head answered).
bool relaying(const connection& c) {
    return c.job->state != Exchange::Ended && !c.local.complete && c.fd.valid();
}

// The exchange is over: the worker's socket is closed and its slot freed.
void end_exchange(connection& c) {
    c.fd.reset();
    c.want = Want::Nothing;
    program_done(c);
}

// The worker went away or could not be reached. Before anything of the reply
// has gone out the client gets 502; after that only closing is left.
void worker_failed(connection& c, const char* what) {
    server_log(LOG_ERROR, "fastcgi: %s: %s", c.job->path.c_str(), what);
    end_reply_early(c, 502, "Bad Gateway");
    end_exchange(c);
}

struct ReplySink : FcgiRecordReader::Sink {
    explicit ReplySink(connection& conn) : c(conn) {}
    connection& c;
    bool ended = false;  // FCGI_END_REQUEST arrived

    void content(unsigned type, const char* data, std::size_t length) override {
        CgiJob& job = *c.job;
        if (type == FCGI_STDOUT) {
            if (!relaying(c) || ended) return;  // the reply was already decided
            if (c.has(flag::cgi_head_parsed)) return relay_body(data, length);
            std::memcpy(c.local.buf + c.local.head, data, length);
            c.local.head += static_cast<unsigned>(length);
            cgi_reply_head_step(c);
        } else if (type == FCGI_STDERR) {
            c.program_errors.take(data, length, c.ctx->observer != nullptr);
        } else if (type == FCGI_END_REQUEST) {
            std::size_t n = std::min(length, sizeof job.end_body - job.end_have);
            std::memcpy(job.end_body + job.end_have, data, n);
            job.end_have += n;
        }
    }
    void record_end(unsigned type, std::size_t) override {
        if (type == FCGI_END_REQUEST) ended = true;
    }

    // Body bytes go to `local` while nothing waits before them, the rest to
    // the spool; content_room() bounded them by what both take.
    void relay_body(const char* data, std::size_t length) {
        ReplySpool& spool = c.job->reply_spool;
        if (spool.empty()) {
            BodySpace space = body_space(c);
            std::size_t now = std::min(length, space.size);
            std::memcpy(space.data, data, now);
            body_written(c, now);
            data += now;
            length -= now;
        }
        if (length > 0 && !spool.append(data, length)) spool_failed = true;
    }
    bool spool_failed = false;  // a reply body byte could not be kept
};

// Moves waiting reply bytes to `local` as far as it has room. False when the
// spool cannot be read.
bool drain_spool(connection& c) {
    ReplySpool& spool = c.job->reply_spool;
    while (!spool.empty()) {
        BodySpace space = body_space(c);
        if (space.size == 0) break;
        std::size_t n = spool.take(space.data, space.size);
        body_written(c, n);
        if (spool.failed()) {
            server_log(LOG_ERROR, "fastcgi: %s: the kept reply cannot be read: %s", c.job->path.c_str(),
                       std::strerror(errno));
            return false;
        }
    }
    return true;
}

// The worker is done while part of its reply still waits for the client: its
// slot goes to the next request now, and the reply goes on from the spool.
void keep_sending_after_worker(connection& c) {
    c.fd.reset();
    program_done(c);
    c.job->state = Exchange::Buffering;
    c.want = Want::Again;
}

// Buffering: the spool feeds `local` until it is empty, and the body ends.
void send_kept_reply(connection& c) {
    if (!drain_spool(c)) {
        c.want = Want::Nothing;
        return close_after_step(c);
    }
    if (!c.job->reply_spool.empty()) return;  // more once `local` has room
    c.job->state = Exchange::Ended;
    body_done(c);
}

// FCGI_END_REQUEST arrived: the reply is complete.
void finish(connection& c) {
    CgiJob& job = *c.job;
    c.program_errors.finish(c.ctx->observer != nullptr);
    FcgiEndRequest end;
    if (fcgi_parse_end_request(job.end_body, job.end_have, end) && end.protocol_status != FCGI_REQUEST_COMPLETE)
        server_log(LOG_ERROR, "fastcgi: %s: request refused (protocol status %u)", job.path.c_str(),
                   end.protocol_status);
    if (!relaying(c)) return;  // an invalid head already answered it
    if (!c.has(flag::cgi_head_parsed)) {
        std::string received(c.local.buf, c.local.head);  // senderr rewrites `local`
        senderr(c, 500, "CGI Error", "", "Bad headers sent:\n[%.*s]\n", static_cast<int>(received.size()),
                received.data());
        end_exchange(c);
        return;
    }
    if (!c.job->reply_spool.empty()) return keep_sending_after_worker(c);
    body_done(c);
    end_exchange(c);
}

// Room in `local` for FCGI_STDOUT content: while the head is incomplete what
// the longer head needs stays free, then what the body's framing needs.
std::size_t content_room(connection& c) {
    if (c.has(flag::cgi_head_parsed)) {
        const ReplySpool& spool = c.job->reply_spool;
        std::size_t local_room = spool.empty() ? body_space(c).size : 0;
        return local_room + static_cast<std::size_t>(spool.room());
    }
    std::size_t room = c.local.room();
    return room > kCgiHeadReserve ? room - kCgiHeadReserve : 0;
}

// Hands the bytes read from the worker on as far as `local` has room for their
// FCGI_STDOUT content. False once the exchange is over.
bool hand_on_replies(connection& c) {
    CgiJob& job = *c.job;
    io_buffer& in = job.reply_in;
    ReplySink sink(c);
    if (c.has(flag::cgi_head_parsed) && !drain_spool(c)) {
        worker_failed(c, "the kept reply cannot be read");
        return false;
    }
    while (in.pending() > 0 && relaying(c)) {
        std::size_t take = job.reader.safe_read_size(FCGI_STDOUT, content_room(c), in.pending());
        if (take == 0) break;  // `local` is full: the rest waits for the client
        job.reader.feed(in.buf + in.tail, take, sink);
        io_consume(in, static_cast<unsigned>(take));
        if (job.reader.take_foreign_notice())
            server_log(LOG_ERROR, "FastCGI: records of another request id ignored (%s)", c.request_uri);
        if (!job.reader.valid()) {
            worker_failed(c, "not a FastCGI reply");
            return false;
        }
        if (sink.spool_failed) {
            worker_failed(c, "the reply cannot be kept");
            return false;
        }
        if (sink.ended) {
            finish(c);
            return false;
        }
    }
    return relaying(c);
}

// Reads the worker's records a buffer at a time. Bytes that cannot be handed on
// yet stay in `reply_in`; while any do, the handler is called again whenever
// `local` has room, since the socket may have nothing more to report.
void read_replies(connection& c) {
    CgiJob& job = *c.job;
    io_buffer& in = job.reply_in;
    for (int i = 0; i < kReadsPerCall && hand_on_replies(c) && in.pending() == 0; ++i) {
        ssize_t n = recv(c.fd.get(), in.buf, in.room(), 0);
        if (n < 0 && try_again(errno)) break;
        if (n <= 0) {
            return worker_failed(c, n == 0 ? "connection closed before the reply ended" : std::strerror(errno));
        }
        in.head = static_cast<unsigned>(n);
    }
}

// Moves request body bytes from `remote` into FCGI_STDIN records; after the
// whole body (or for a request without one) comes the empty record.
void fill_stdin(connection& c) {
    CgiJob& job = *c.job;
    if (job.state != Exchange::Sending) {
        drop_body(c);  // nothing more goes to the worker
        return;
    }
    // Back-pressure: more goes in only while little waits for the socket.
    if (job.out.size() - job.out_sent >= kStdinChunk) return;
    if (job.out_sent > 0) {
        job.out.erase(0, job.out_sent);
        job.out_sent = 0;
    }
    unsigned long expected = c.method == METHOD_POST ? c.content_length : 0;
    if (job.spool != -1) {
        // The whole body is in the file.
        char chunk[kStdinChunk];
        std::size_t want = std::min<std::size_t>(sizeof chunk, expected - job.body_sent);
        ssize_t n = want > 0 ? read(job.spool, chunk, want) : 0;
        if (n > 0) {
            fcgi_append_stream(job.out, FCGI_STDIN, chunk, static_cast<std::size_t>(n));
            job.body_sent += static_cast<unsigned long>(n);
        }
        if (job.body_sent == expected || n <= 0) {
            fcgi_append_header(job.out, FCGI_STDIN, 0);
            job.state = Exchange::Reading;
        }
        return;
    }
    if (c.method != METHOD_POST) drop_body(c);
    std::size_t take = std::min<std::size_t>({body_available(c), expected - job.body_sent, kStdinChunk});
    if (take > 0) {
        fcgi_append_stream(job.out, FCGI_STDIN, c.remote.buf + c.remote.tail, take);
        take_body(c, static_cast<unsigned>(take));
        job.body_sent += take;
    }
    if (job.body_sent == expected) {
        fcgi_append_header(job.out, FCGI_STDIN, 0);
        job.state = Exchange::Reading;
    }
}

// Writes what the socket takes; false when the worker no longer reads.
bool flush_out(connection& c) {
    CgiJob& job = *c.job;
    while (job.out_sent < job.out.size()) {
        ssize_t n = send(c.fd.get(), job.out.data() + job.out_sent, job.out.size() - job.out_sent, MSG_NOSIGNAL);
        if (n > 0) {
            job.out_sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && try_again(errno)) return true;
        return false;
    }
    job.out.clear();
    job.out_sent = 0;
    return true;
}

void write_requests(connection& c) {
    CgiJob& job = *c.job;
    for (;;) {
        fill_stdin(c);
        if (job.out.empty()) return;
        if (!flush_out(c)) {
            // The worker stopped reading (it may answer without the body): the
            // rest of the body is dropped and the reply decides.
            server_log(LOG_DEBUG, "fastcgi: %s: worker input closed: %s", job.path.c_str(), std::strerror(errno));
            job.out.clear();
            job.out_sent = 0;
            job.state = Exchange::Reading;
            drop_body(c);
            return;
        }
        if (!job.out.empty()) return;  // the socket is full
    }
}

// What the exchange waits for: room in `local` for bytes already read, the
// worker's socket to take more, or its reply.
void update_interest(connection& c) {
    if (!relaying(c)) return;
    const CgiJob& job = *c.job;
    if (job.reply_in.pending() > 0)
        c.want = Want::Again;
    else if (job.state == Exchange::Connecting || !job.out.empty())
        c.want = Want::FdInOut;
    else if (c.has(flag::cgi_head_parsed))
        c.want = Want::FdInKeeping;  // read on while the client is slow: the spool keeps it
    else
        c.want = Want::FdIn;
}

}  // namespace

bool prepare_fastcgi_params(connection& c, const char* path) {
    CgiJob& job = *c.job;
    std::string script;
    if (!absolute_path(path, script)) {
        server_log(LOG_ERROR, "start_fastcgi: getcwd: %s", std::strerror(errno));
        return false;
    }
    CgiEnvironment env;
    if (!build_cgi_environment(c, script.c_str(), env)) {
        server_log(LOG_ERROR, "start_fastcgi: %s: environment does not fit", script.c_str());
        return false;
    }
    job.out.clear();
    job.out_sent = 0;
    fcgi_append_begin_request(job.out);
    fcgi_append_params(job.out, env.envp());
    return true;
}

int start_fastcgi(connection& c, const char* path, const FcgiAddress& address) {
    CgiJob& job = *c.job;
    std::string script;
    // A body kept for the worker had its variables made while its head was at hand.
    bool params_ready = job.state == Exchange::Sending && !job.out.empty();
    if ((!params_ready && !prepare_fastcgi_params(c, path)) || !absolute_path(path, script)) {
        senderr(c, 500, "Server Error", "", "Cannot exec CGI");
        return -1;
    }

    bool pending = false;
    int fd = fcgi_connect(address, pending);
    if (fd < 0) {
        server_log(LOG_ERROR, "fastcgi: cannot reach %s: %s", address.text.c_str(), std::strerror(errno));
        senderr(c, 502, "Bad Gateway", "", "Bad Gateway");
        return -1;
    }
    c.fd.reset(fd);
    c.flags = (c.flags | flag::fd_is_socket) & ~flag::cgi_head_parsed;
    c.io_handler = get_fastcgi;
    if (pending) job.state = Exchange::Connecting;
    job.path = script + " at " + address.text;
    if (job.spool == -1) keep_body_only(c);
    if (!pending) write_requests(c);
    update_interest(c);
    return 0;
}

void get_fastcgi(connection& c) {
    if (!c.job) return;
    CgiJob& job = *c.job;
    if (job.state == Exchange::Buffering) return send_kept_reply(c);
    if (!c.fd.valid()) return;
    if (job.state == Exchange::Connecting && c.has(flag::fd_writable | flag::fd_readable)) {
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(c.fd.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
        if (err != 0) {
            errno = err;
            server_log(LOG_ERROR, "fastcgi: cannot reach %s", job.path.c_str());
            return worker_failed(c, std::strerror(err));
        }
        job.state = Exchange::Sending;
    }
    if (job.state == Exchange::Connecting) return update_interest(c);
    write_requests(c);
    if (c.has(flag::fd_readable))
        read_replies(c);
    else if (relaying(c))
        hand_on_replies(c);  // the client took bytes: kept ones follow
    update_interest(c);
}

}  // namespace vantrel
