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

#include <poll.h>

#include <openssl/ssl.h>

#include "server/access_guard.hpp"
#include "server/htaccess.hpp"
#include "server/limits.hpp"
#include "server/nonce_memory.hpp"

namespace vantrel {

struct connection;
struct FcgiAddress;
class WorkerPool;

struct MimeEntry {
    std::string extension;  // without the dot, compared without regard to case
    std::string type;
};

struct NameValue {
    std::string name;
    std::string value;
};

struct SslCtxFree {
    void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
};
struct FileClose {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxFree>;
using FilePtr = std::unique_ptr<std::FILE, FileClose>;

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
    std::unique_ptr<FcgiAddress> fastcgi;  // an external FastCGI server, if configured
    std::unique_ptr<WorkerPool> pool;      // the running worker pool, if any
    std::vector<std::string> cgi_worker_arguments;  // extra interpreter arguments for the pool

    // Requests for programs: how many run (or are with a worker), and who waits.
    int cgi_running = 0;
    std::deque<connection*> cgi_waiting;  // oldest first
    bool cgi_stopping = false;            // being freed: nothing new starts
    std::string listen_address;        // IPv4, dotted; empty: every address
    AccessGuard guard;                 // set by the embedding after the context is made

    // Engine bookkeeping (not options).
    bool accepting = true;             // false while descriptors ran out
    std::chrono::steady_clock::time_point accept_retry_at{};  // when to try accepting again
    std::vector<std::unique_ptr<connection>> spare;  // freed records kept for reuse
    std::vector<struct pollfd> pollfds;               // this step's poll set

    // Handler memory that outlives a request (server thread only).
    NonceCountMemory digest_nonces;   // Digest nonce counts already used
    HtaccessCache htaccess;           // folders closed by their .htaccess
};

using Setter = void (*)(ServerContext& ctx, const std::string& value);

enum OptionKind { KIND_TEXT = 0, KIND_BOOL = 1, KIND_NUMBER = 2, KIND_FILE = 4, KIND_DIR = 8 };

struct OptionRow {
    char letter;
    const char* keyword;
    const char* description;
    Setter setter;
    const char* arg_label;
    const char* default_value;           // nullptr: none
    std::optional<std::string> value;    // current value, process-wide
    int kind;
};

constexpr std::size_t kOptionCount = 20;

// The 17-row table in its order (setters run and usage prints in this order).
std::vector<OptionRow>& option_table();
// Clears every current value (tests; a fresh process starts this way).
void reset_options();

// setopt for each pair in order, then do_init with the file and no arguments.
// Returns nullptr after a fatal message whose hook returned.
std::unique_ptr<ServerContext> init_context(
    const char* config_file, const std::vector<std::pair<std::string, std::string>>& options);
// Replaces a row's current value. Unknown keyword: fatal, false.
bool setopt(const char* keyword, const char* value);
// Defaults, configuration file, switches, setters, in that order.
std::unique_ptr<ServerContext> do_init(const char* config_file, int argc, const char* const* argv);
// First row whose letter equals `letter`, or (when given) whose keyword equals `keyword`.
OptionRow* find_option(char letter, const char* keyword);
// Closes every connection (access-log lines included), the log, the context.
void free_context(std::unique_ptr<ServerContext> ctx);
// Option listing on stderr, then exit code 1.
[[noreturn]] void usage(const char* program);
// Prints the listing without exiting.
void print_usage(std::FILE* stream, const char* program);

// Named setters.
void setmimetypes(ServerContext& ctx, const std::string& value);
void set_ssl(ServerContext& ctx, const std::string& value);
void set_aliases(ServerContext& ctx, const std::string& value);
void set_envvars(ServerContext& ctx, const std::string& value);

// The built-in MIME rows, in table order.
const std::vector<std::pair<const char*, const char*>>& builtin_mime_table();

}  // namespace vantrel
