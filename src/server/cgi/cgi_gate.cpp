// Counting the server's own programs in flight, queueing the rest, and choosing
// per request between one process, the worker pool and an external server.
#include "server/cgi/cgi_gate.hpp"

#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

#include "server/cgi/cgi.hpp"
#include "server/cgi/cgi_job.hpp"
#include "server/cgi/cgi_spawn.hpp"
#include "server/config/context.hpp"
#include "server/core/handles.hpp"
#include "server/core/io_buffer.hpp"
#include "server/core/log.hpp"
#include "server/core/temp_file.hpp"
#include "server/engine/connection.hpp"
#include "server/engine/engine.hpp"
#include "server/fastcgi/fastcgi_address.hpp"
#include "server/fastcgi/fastcgi_relay.hpp"
#include "server/fastcgi/worker_pool.hpp"
#include "server/http/reply.hpp"

namespace vantrel {

namespace {

bool pool_serving(const ServerContext& ctx) { return !ctx.fastcgi && ctx.pool && ctx.pool->serving(); }

// Whether requests go to FastCGI now (an external server or the pool) rather
// than to one process each.
bool uses_fastcgi(const ServerContext& ctx) { return ctx.fastcgi || pool_serving(ctx); }

// Each worker of the pool takes one request at a time, handed to it by the server.
int program_limit(const ServerContext& ctx) {
    if (pool_serving(ctx)) return ctx.pool->size();
    return kMaxProgramsAtOnce;
}

// Runs when the record's work ends: the program's own clean-up, then its place
// in the count or the queue is given up.
void program_cleanup(connection& c, bool stopping) {
    if (c.job && c.job->inner_cleanup) std::exchange(c.job->inner_cleanup, nullptr)(c, stopping);
    release_program(c);
}

void start_per_request(connection& c, const char* path) {
    if (c.job->spool != -1 && !c.chunked_body) {
        // The pool was given up while the body was being kept for it.
        senderr(c, 503, "Service Unavailable", "", "Service Unavailable");
        program_done(c);
        return;
    }
    // A body that came in chunks was kept whole: the program reads it from the file.
    if (run_cgi(c, path, c.job->spool) != 0) {
        senderr(c, 500, "Server Error", "", "Cannot exec CGI");
        program_done(c);
        return;
    }
    // The program's clean-up runs first, inside ours.
    c.job->inner_cleanup = std::exchange(c.cleanup, program_cleanup);
    keep_body_only(c);
    c.io_handler = get_cgi;
    c.want = body_available(c) > 0 ? Want::FdInOut : Want::FdIn;
    c.flags |= flag::fd_is_socket;
    if (c.method == METHOD_POST && c.job->spool == -1) send_continue_if_expected(c);  // a kept body was asked for
}

// The request ran longer than cgi_timeout, whether or not its client is still
// there. A program of its own is stopped and reaped; a worker of the pool
// cannot abandon a request, so it is killed and the pool starts it afresh; an
// external server is only left (its connection closed).
void program_overdue(connection& c) {
    if (!c.job || !c.job->holds_slot()) return;
    ServerContext& ctx = *c.ctx;
    CgiJob& job = *c.job;
    server_log(LOG_ERROR, "cgi_timeout: %s still running after %ld s; stopped", job.path.c_str(), ctx.cgi_timeout);
    if (c.cgi_pid > 0)
        cgi_terminate(std::exchange(c.cgi_pid, -1));
    else if (job.worker >= 0 && ctx.pool)
        ctx.pool->stop_worker(job.worker);
    c.fd.reset();
    end_reply_early(c, 504, "Gateway Timeout");
    program_done(c);
}

// The request's running time is limited from now on.
void watch_running_time(connection& c) {
    long limit = c.ctx->cgi_timeout;
    if (limit <= 0) return;
    c.deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limit);
    c.on_overdue = program_overdue;
}

void start_now(connection& c, const char* path) {
    ServerContext& ctx = *c.ctx;
    CgiJob& job = *c.job;
    job.state = Exchange::Sending;
    ctx.cgi_running++;
    if (job.path.empty()) job.path = path;
    watch_running_time(c);
    if (ctx.fastcgi) {
        if (start_fastcgi(c, path, *ctx.fastcgi) != 0) program_done(c);
    } else if (pool_serving(ctx)) {
        // There is a free worker whenever a slot is free: each holds one.
        job.worker = ctx.pool->take_worker();
        if (job.worker < 0) {
            server_log(LOG_ERROR, "dispatch_program: %s: no free worker", path);
            senderr(c, 503, "Service Unavailable", "", "Service Unavailable");
            program_done(c);
        } else if (start_fastcgi(c, path, ctx.pool->address(job.worker)) != 0) {
            program_done(c);
        }
    } else {
        start_per_request(c, path);
    }
}

// The io_handler of a waiting request: its `fd` is a timer that fires when the
// wait is over.
void wait_for_program(connection& c) {
    if (!c.has(flag::fd_readable)) return;
    ServerContext& ctx = *c.ctx;
    auto& q = ctx.cgi_waiting;
    q.erase(std::remove(q.begin(), q.end(), &c), q.end());
    c.job->state = Exchange::Ended;
    c.fd.reset();
    server_log(LOG_ERROR, "no free program for %s after %ld s", c.job->path.c_str(), kProgramWaitSeconds);
    senderr(c, 503, "Service Unavailable", "", "Service Unavailable");
}

void enqueue(connection& c, const char* path) {
    CgiJob& job = *c.job;
    UniqueFd timer(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
    itimerspec when{};
    when.it_value.tv_sec = kProgramWaitSeconds;
    if (!timer.valid() || timerfd_settime(timer.get(), 0, &when, nullptr) != 0) {
        server_log(LOG_ERROR, "dispatch_program: timerfd: %s", std::strerror(errno));
        senderr(c, 503, "Service Unavailable", "", "Service Unavailable");
        return;
    }
    job.path = path;
    if (c.path_info) job.path_info = c.path_info;
    job.state = Exchange::Queued;
    c.fd = std::move(timer);
    c.io_handler = wait_for_program;
    c.want = Want::FdIn;
    c.ctx->cgi_waiting.push_back(&c);
}

// Starts waiting requests while programs are free.
void start_waiting(ServerContext& ctx) {
    while (!ctx.cgi_waiting.empty() && ctx.cgi_running < program_limit(ctx) && !ctx.cgi_stopping) {
        connection& next = *ctx.cgi_waiting.front();
        ctx.cgi_waiting.pop_front();
        CgiJob& job = *next.job;
        next.fd.reset();  // the timer
        next.path_info = job.path_info ? job.path_info->c_str() : nullptr;
        start_now(next, job.path.c_str());
        next.path_info = nullptr;
    }
}

}  // namespace

void start_cgi_workers(ServerContext& ctx) {
    if (ctx.cgi_workers <= 0 || ctx.cgi_interpreter.empty() || ctx.fastcgi || ctx.pool) return;
    WorkerPoolConfig config;
    config.interpreter = ctx.cgi_interpreter;
    config.arguments = ctx.cgi_worker_arguments;
    config.workers = ctx.cgi_workers;
    ctx.pool = WorkerPool::start(config);
    if (!ctx.pool)
        server_log(LOG_ERROR, "start_cgi_workers: no worker pool; running one process per request");
}

void stop_cgi_workers(ServerContext& ctx) {
    ctx.cgi_stopping = true;
    cgi_end_terminating();  // programs ended for running too long, not yet gone
    ctx.pool.reset();
}

namespace {

// Starts the request when a program is free, else queues it.
void admit(connection& c, const char* path) {
    ServerContext& ctx = *c.ctx;
    if (ctx.cgi_running < program_limit(ctx) && ctx.cgi_waiting.empty())
        start_now(c, path);
    else
        enqueue(c, path);
}

// The io_handler while a body is kept for a worker: it takes what arrived and,
// once the body is whole, hands the request on.
void spool_body(connection& c) {
    CgiJob& job = *c.job;
    std::size_t take = body_available(c);  // never beyond the announced length
    const char* p = c.remote.buf + c.remote.tail;
    for (std::size_t done = 0; done < take;) {
        ssize_t n = write(job.spool, p + done, take - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            server_log(LOG_ERROR, "spool_body: %s: %s", job.path.c_str(), std::strerror(errno));
            senderr(c, 500, "Server Error", "", "Cannot exec CGI");
            return;
        }
        done += static_cast<std::size_t>(n);
    }
    take_body(c, static_cast<unsigned>(take));
    job.spooled += take;
    // A body in chunks is whole at its last chunk; content_length is its decoded length then.
    if (c.body_left > 0 || !body_received(c)) return;
    lseek(job.spool, 0, SEEK_SET);
    std::string path = job.path;
    c.path_info = job.path_info ? job.path_info->c_str() : nullptr;
    admit(c, path.c_str());
    c.path_info = nullptr;
}

// A body still on its way to a FastCGI worker is kept in an unnamed file first
// (never whole in memory); the request's variables are made now, while its
// head is still in `remote`. So is a body in chunks for any program, which
// needs its length before it starts.
bool start_spool(connection& c, const char* path) {
    CgiJob& job = *c.job;
    job.spool = open_unnamed_temp_file();
    if (job.spool == -1) {
        server_log(LOG_ERROR, "start_spool: %s", std::strerror(errno));
        return false;
    }
    // A body in chunks has its length once it is whole: its variables are made then.
    if (!c.chunked_body && !prepare_fastcgi_params(c, path)) return false;
    job.path = path;
    if (c.path_info) job.path_info = c.path_info;
    job.state = Exchange::Spooling;
    keep_body_only(c);  // a POST: its body bytes stay
    c.io_handler = spool_body;
    c.want = Want::Body;
    send_continue_if_expected(c);
    spool_body(c);
    return true;
}

}  // namespace

void dispatch_program(connection& c, const char* path) {
    c.job = std::make_unique<CgiJob>();
    c.cleanup = program_cleanup;
    if ((uses_fastcgi(*c.ctx) || c.chunked_body) && c.method == METHOD_POST && !body_received(c)) {
        if (!start_spool(c, path)) senderr(c, 500, "Server Error", "", "Cannot exec CGI");
        return;
    }
    admit(c, path);
}

void end_reply_early(connection& c, int status, const char* reason) {
    if (c.sent == 0) {
        c.local.clear();
        c.local.complete = 0;
        c.flags &= ~flag::cgi_head_parsed;
        senderr(c, status, reason, "", "%s", reason);
    } else {
        close_after_step(c);
    }
}

void program_done(connection& c) {
    if (!c.job || !c.job->holds_slot()) return;
    c.job->state = Exchange::Ended;
    c.on_overdue = nullptr;
    ServerContext& ctx = *c.ctx;
    if (c.job->worker >= 0 && ctx.pool) ctx.pool->give_back(std::exchange(c.job->worker, -1));
    ctx.cgi_running--;
    start_waiting(ctx);
}

void release_program(connection& c) {
    if (!c.job) return;
    if (c.job->state == Exchange::Queued) {
        auto& q = c.ctx->cgi_waiting;
        q.erase(std::remove(q.begin(), q.end(), &c), q.end());
        c.job->state = Exchange::Ended;
    }
    program_done(c);
    c.job.reset();
}

}  // namespace vantrel
