// The server context, the process-wide option table and start-up configuration.
#pragma once

#include <chrono>
#include <cstdio>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <netinet/in.h>
#include <poll.h>

#include <openssl/ssl.h>

#include "server/access/access_guard.hpp"
#include "server/access/htaccess.hpp"
#include "server/access/nonce_memory.hpp"
#include "server/core/handles.hpp"
#include "server/core/limits.hpp"
#include "server/embed/hosted.hpp"
#include "server/embed/observer.hpp"

namespace vantrel {

struct connection;
struct FcgiAddress;

// A kept connection between two requests: the socket and its TLS session
// only, so that an idle browser does not hold a whole record.
struct IdleConnection {
    UniqueFd sock;
    SslPtr ssl;
    sockaddr_in peer{};
    socklen_t peer_len = 0;
    long expires = 0;     // closed after this (keep_alive_timeout)
    int requests = 0;     // answered on this connection so far
    int poll = -1;        // index in this step's poll set, or -1
};
class WorkerPool;

struct MimeEntry {
    std::string extension;  // without the dot, compared without regard to case
    std::string type;
};

struct NameValue {
    std::string name;
    std::string value;
};

struct ServerContext {
    ServerContext();
    ~ServerContext();
    ServerContext(const ServerContext&) = delete;
    ServerContext& operator=(const ServerContext&) = delete;

    int nactive = 0;                   // records in `connections`; changed under `lock`
    std::deque<MimeEntry> mimetypes;   // newest first
    std::deque<NameValue> aliases;     // name: directory, value: URI prefix; newest first
    std::deque<NameValue> envvars;     // extra CGI variables; newest first
    std::list<std::unique_ptr<connection>> connections;  // newest first; guarded by `lock`
    SslCtxPtr ssl_ctx;
    std::mutex lock;
    FilePtr accesslog;
    std::string put_auth;              // empty: PUT and DELETE are refused
    char root[kPathSize] = {};         // document root
    std::string index_files;
    std::string cgi_extention;
    std::string cgi_interpreter;       // empty: the script's "#!" line or the script itself
    std::string auth_realm;
    std::string global_htpasswd;       // empty: each directory's own .htpasswd
    int listen_port = 0;
    int list_directories = 0;
    int enable_gui = 0;
    int cgi_workers = 0;               // 0: one process per request
    int keep_alive = 0;                // 1: a connection carries more than one request
    long keep_alive_timeout = 15;      // seconds an idle kept connection waits for its next request
    unsigned long long max_body_size = 256ULL << 20;  // 0: no limit
    long cgi_timeout = 300;            // seconds a program may run for a request; 0: no limit
    std::unique_ptr<FcgiAddress> fastcgi;  // an external FastCGI server, if configured
    std::unique_ptr<WorkerPool> pool;      // the running worker pool, if any
    std::vector<std::string> cgi_worker_arguments;  // extra interpreter arguments for the pool
    std::vector<std::string> cgi_arguments;         // the same for a process per request

    // Requests for programs: how many run (or are with a worker), and who waits.
    int cgi_running = 0;
    std::deque<connection*> cgi_waiting;  // oldest first
    bool cgi_stopping = false;            // being freed: nothing new starts
    std::string listen_address;        // IPv4, dotted; empty: every address
    AccessGuard guard;                 // set by the embedding after the context is made
    std::vector<HostedPrefix> hosted;  // paths the embedding answers itself
    RequestObserver observer;          // told of every finished request, if set
    bool capture_program_errors = false;  // a per-request program's stderr goes through a pipe

    // Engine bookkeeping (not options).
    bool accepting = true;             // false while descriptors ran out
    std::chrono::steady_clock::time_point accept_retry_at{};  // when to try accepting again
    std::vector<std::unique_ptr<connection>> spare;  // freed records kept for reuse
    std::list<IdleConnection> idle;    // kept connections between requests, oldest first
    std::vector<struct pollfd> pollfds;               // this step's poll set

    // Handler memory that outlives a request (server thread only).
    NonceCountMemory digest_nonces;   // Digest nonce counts already used
    HtaccessCache htaccess;           // folders closed by their .htaccess
};

}  // namespace vantrel
