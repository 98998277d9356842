// The option table, configuration file and switches, and the context's life.
#include "server/config/options.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "server/cgi/cgi_gate.hpp"
#include "server/config/context.hpp"
#include "server/config/mime.hpp"
#include "server/config/tls.hpp"
#include "server/core/bounded.hpp"
#include "server/core/handles.hpp"
#include "server/core/limits.hpp"
#include "server/core/log.hpp"
#include "server/engine/engine.hpp"
#include "server/fastcgi/fastcgi_address.hpp"
#include "server/fastcgi/worker_pool.hpp"

namespace vantrel {

namespace {

// Leading blanks and a sign allowed, digits up to the first non-digit; no digits: 0.
int decimal_value(const std::string& text) {
    long v = std::strtol(text.c_str(), nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

void set_root(ServerContext& ctx, const std::string& v) { copy_bounded(ctx.root, v.c_str(), sizeof ctx.root); }
void set_index_files(ServerContext& ctx, const std::string& v) { ctx.index_files = v; }
void set_listen_port(ServerContext& ctx, const std::string& v) { ctx.listen_port = decimal_value(v); }
void set_list_directories(ServerContext& ctx, const std::string& v) { ctx.list_directories = decimal_value(v); }
void set_cgi_extention(ServerContext& ctx, const std::string& v) { ctx.cgi_extention = v; }
void set_cgi_interpreter(ServerContext& ctx, const std::string& v) { ctx.cgi_interpreter = v; }
void set_auth_realm(ServerContext& ctx, const std::string& v) { ctx.auth_realm = v; }
void set_global_htpasswd(ServerContext& ctx, const std::string& v) { ctx.global_htpasswd = v; }
void set_debug(ServerContext&, const std::string& v) { debug_mode = decimal_value(v); }
void set_put_auth(ServerContext& ctx, const std::string& v) { ctx.put_auth = v; }
void set_enable_gui(ServerContext& ctx, const std::string& v) { ctx.enable_gui = decimal_value(v); }

// 0 (one process per request) to 64; anything else, a word or a number out of
// range, is fatal like a bad port: a typo must not silently mean something else.
void set_cgi_workers(ServerContext& ctx, const std::string& v) {
    char* end = nullptr;
    errno = 0;
    long n = std::strtol(v.c_str(), &end, 10);
    while (end && (*end == ' ' || *end == '\t')) ++end;
    if (v.empty() || errno != 0 || *end != '\0' || n < 0 || n > kMaxCgiWorkers) {
        server_log(LOG_FATAL, "cgi_workers: [%s] is not a number from 0 to %d", v.c_str(), kMaxCgiWorkers);
        return;
    }
    ctx.cgi_workers = static_cast<int>(n);
}

// A whole number from `low` to `high`, blanks after it allowed; anything else is
// fatal with the keyword named.
bool strict_number(const char* keyword, const std::string& v, long long low, long long high, long long& out) {
    char* end = nullptr;
    errno = 0;
    long long n = std::strtoll(v.c_str(), &end, 10);
    while (end && (*end == ' ' || *end == '\t')) ++end;
    if (v.empty() || errno != 0 || *end != '\0' || n < low || n > high) {
        server_log(LOG_FATAL, "%s: [%s] is not a number from %lld to %lld", keyword, v.c_str(), low, high);
        return false;
    }
    out = n;
    return true;
}

void set_keep_alive(ServerContext& ctx, const std::string& v) {
    long long n = 0;
    if (strict_number("keep_alive", v, 0, 1, n)) ctx.keep_alive = static_cast<int>(n);
}

void set_keep_alive_timeout(ServerContext& ctx, const std::string& v) {
    long long n = 0;
    if (strict_number("keep_alive_timeout", v, 1, 86400, n)) ctx.keep_alive_timeout = static_cast<long>(n);
}

void set_cgi_timeout(ServerContext& ctx, const std::string& v) {
    long long n = 0;
    if (strict_number("cgi_timeout", v, 0, 86400 * 365, n)) ctx.cgi_timeout = static_cast<long>(n);
}

// Bytes, with an optional K, M or G (powers of 1024); 0 means no limit.
void set_max_body_size(ServerContext& ctx, const std::string& v) {
    std::string digits = v;
    unsigned long long unit = 1;
    if (!digits.empty()) {
        switch (digits.back()) {
            case 'k': case 'K': unit = 1ULL << 10; break;
            case 'm': case 'M': unit = 1ULL << 20; break;
            case 'g': case 'G': unit = 1ULL << 30; break;
            default: break;
        }
        if (unit != 1) digits.pop_back();
    }
    bool ok = !digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos && digits.size() <= 12;
    if (!ok) {
        server_log(LOG_FATAL, "max_body_size: [%s] is not a size (bytes, or a number with K, M or G)", v.c_str());
        return;
    }
    unsigned long long n = std::stoull(digits);
    if (n > std::numeric_limits<unsigned long long>::max() / unit) {
        server_log(LOG_FATAL, "max_body_size: [%s] is too large", v.c_str());
        return;
    }
    ctx.max_body_size = n * unit;
}

void set_fastcgi_address(ServerContext& ctx, const std::string& v) {
    if (v.empty()) return;
    FcgiAddress address;
    std::string why;
    if (!parse_fastcgi_address(v, address, why)) {
        server_log(LOG_FATAL, "fastcgi_address: cannot use [%s]: %s", v.c_str(), why.c_str());
        return;
    }
    ctx.fastcgi = std::make_unique<FcgiAddress>(address);
}

void set_listen_address(ServerContext& ctx, const std::string& v) {
    in_addr addr{};
    if (inet_pton(AF_INET, v.c_str(), &addr) != 1) {
        server_log(LOG_FATAL, "set_listen_address: not an IPv4 address: [%s]", v.c_str());
        return;
    }
    ctx.listen_address = v;
}

void set_access_log(ServerContext& ctx, const std::string& v) {
    std::FILE* f = std::fopen(v.c_str(), "ae");
    if (!f) {
        server_log(LOG_ERROR, "cannot open log file %s: %s", v.c_str(), std::strerror(errno));
        return;
    }
    ctx.accesslog.reset(f);
}

// Opens the file first and only then puts it in place of descriptor 2: when it
// cannot be opened, stderr stays where it was and says why.
void set_error_log(ServerContext&, const std::string& v) {
    UniqueFd file(open(v.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!file.valid()) {
        server_log(LOG_ERROR, "freopen(%s): %s", v.c_str(), std::strerror(errno));
        return;
    }
    std::fflush(stderr);
    if (dup2(file.get(), STDERR_FILENO) < 0)
        server_log(LOG_ERROR, "freopen(%s): %s", v.c_str(), std::strerror(errno));
}

std::vector<OptionRow> make_table() {
    return {
        {'d', "document_root", "Web root directory", set_root, "directory", nullptr, {}, KIND_DIR},
        {'i', "index_files", "Index files", set_index_files, "file_names", "index.html,index.php,index.cgi", {}, KIND_TEXT},
        {'p', "listen_port", "Listening port", set_listen_port, "port", "80", {}, KIND_NUMBER},
        {'D', "list_directories", "Directory listing", set_list_directories, "0|1", "1", {}, KIND_BOOL},
        {'c', "cgi_extention", "CGI extention", set_cgi_extention, "extention", ".cgi", {}, KIND_TEXT},
        {'C', "cgi_interpreter", "CGI interpreter", set_cgi_interpreter, "file", nullptr, {}, KIND_FILE},
        {'N', "auth_realm", "Authentication realm", set_auth_realm, "auth_realm", "vantrel.local", {}, KIND_TEXT},
        {'l', "access_log", "Access log file", set_access_log, "file", nullptr, {}, KIND_FILE},
        {'e', "error_log", "Error log file", set_error_log, "file", nullptr, {}, KIND_FILE},
        {'m', "mime_types", "Mime types file", setmimetypes, "file", "builtin", {}, KIND_FILE},
        {'P', "global_htpasswd", "Global passwords file", set_global_htpasswd, "file", nullptr, {}, KIND_FILE},
        {'v', "debug", "Debug mode", set_debug, "0|1", "0", {}, KIND_BOOL},
        {'s', "ssl_certificate", "SSL certificate file", set_ssl, "pem_file", nullptr, {}, KIND_FILE},
        {'U', "put_auth", "PUT,DELETE auth file", set_put_auth, "file", nullptr, {}, KIND_FILE},
        {'V', "cgi_envvar", "CGI envir variables", set_envvars, "X=Y,....", nullptr, {}, KIND_TEXT},
        {'a', "aliases", "Aliases", set_aliases, "X=Y,...", nullptr, {}, KIND_TEXT},
        {'g', "enable_gui", "GUI support", set_enable_gui, "0|1", "1", {}, KIND_BOOL},
        {'W', "cgi_workers", "Persistent FastCGI workers", set_cgi_workers, "0-64", "0", {}, KIND_NUMBER},
        {'F', "fastcgi_address", "External FastCGI server", set_fastcgi_address, "unix:/path|host:port", nullptr, {}, KIND_TEXT},
        {'b', "listen_address", "Listening address", set_listen_address, "address", "0.0.0.0", {}, KIND_TEXT},
        {'k', "keep_alive", "Persistent connections", set_keep_alive, "0|1", "0", {}, KIND_BOOL},
        {'K', "keep_alive_timeout", "Idle persistent connection time-out (s)", set_keep_alive_timeout, "seconds", "15",
         {}, KIND_NUMBER},
        {'B', "max_body_size", "Largest request body (0: no limit)", set_max_body_size, "bytes[K|M|G]", "256M", {},
         KIND_TEXT},
        {'T', "cgi_timeout", "Longest program run (s, 0: no limit)", set_cgi_timeout, "seconds", "300", {},
         KIND_NUMBER},
    };
}

// Strips a trailing newline and a CR before it.
void chomp(char* line) {
    std::size_t n = std::strlen(line);
    if (n > 0 && line[n - 1] == '\n') line[--n] = '\0';
    if (n > 0 && line[n - 1] == '\r') line[--n] = '\0';
}

// The first two blank-separated words of a line; anything after them is ignored.
// False when the line holds fewer than two.
bool split_config_line(const char* line, std::string& keyword, std::string& value) {
    std::string* words[] = {&keyword, &value};
    const char* p = line;
    for (std::string* word : words) {
        while (*p != '\0' && std::isspace(static_cast<unsigned char>(*p))) p++;
        const char* start = p;
        while (*p != '\0' && !std::isspace(static_cast<unsigned char>(*p))) p++;
        if (p == start) return false;
        word->assign(start, p);
    }
    return true;
}

// Reads "keyword value" lines; false after a fatal message.
bool read_config_file(const char* path) {
    std::FILE* f = std::fopen(path, "re");
    if (!f) return true;
    server_log(LOG_DEBUG, "using config file %s", path);
    FilePtr file(f);
    char line[kPathSize];
    while (std::fgets(line, sizeof line, f)) {
        if (line[0] == '#' || line[0] == '\n' || (line[0] == '\r' && line[1] == '\n')) continue;
        chomp(line);
        if (line[0] == '\0') continue;
        std::string keyword, value;
        if (!split_config_line(line, keyword, value)) {
            server_log(LOG_FATAL, "do_init: bad line: [%s]", line);
            return false;
        }
        OptionRow* row = find_option(0, keyword.c_str());
        if (!row) {
            server_log(LOG_FATAL, "Unknown variable [%s]", keyword.c_str());
            return false;
        }
        row->value = value;
    }
    return true;
}

// Reads "-xVALUE" and "-x VALUE" switches up to the first non-switch argument.
void read_arguments(int argc, const char* const* argv) {
    const char* program = argc > 0 ? argv[0] : "vantrel-httpd";
    for (int i = 1; i < argc && argv[i][0] == '-'; i++) {
        OptionRow* row = argv[i][1] ? find_option(argv[i][1], nullptr) : nullptr;
        if (!row) usage(program);
        const char* value = argv[i] + 2;
        if (*value == '\0') {
            if (i + 1 >= argc) usage(program);
            value = argv[++i];
        }
        row->value = value;
    }
}

}  // namespace

std::vector<OptionRow>& option_table() {
    static std::vector<OptionRow> table = make_table();
    return table;
}

void reset_options() {
    for (auto& row : option_table()) row.value.reset();
}

OptionRow* find_option(char letter, const char* keyword) {
    for (auto& row : option_table()) {
        if (row.letter == letter) return &row;
        if (keyword && std::strcmp(row.keyword, keyword) == 0) return &row;
    }
    return nullptr;
}

bool setopt(const char* keyword, const char* value) {
    OptionRow* row = find_option(0, keyword);
    if (!row) {
        server_log(LOG_FATAL, "setopt: unknown variable [%s]", keyword);
        return false;
    }
    row->value = value ? value : "";
    return true;
}

ServerContext::ServerContext() = default;
ServerContext::~ServerContext() = default;

std::unique_ptr<ServerContext> do_init(const char* config_file, int argc, const char* const* argv) {
    clear_fatal();
    refresh_current_time();
    auto ctx = std::make_unique<ServerContext>();

    for (auto& row : option_table())
        if (!row.value && row.default_value) row.value = row.default_value;
    if (config_file && !read_config_file(config_file)) return nullptr;
    read_arguments(argc, argv);

    for (auto& row : option_table()) {
        if (!row.value) continue;
        row.setter(*ctx, *row.value);
        if (fatal_happened()) return nullptr;
    }
    if (ctx->listen_port == 80 && ctx->ssl_ctx) ctx->listen_port = 443;
    if (ctx->root[0] == '\0' && !getcwd(ctx->root, sizeof ctx->root)) ctx->root[0] = '\0';
    server_log(LOG_DEBUG, "do_init: initialized context %p", static_cast<void*>(ctx.get()));
    return ctx;
}

std::unique_ptr<ServerContext> init_context(
    const char* config_file, const std::vector<std::pair<std::string, std::string>>& options) {
    clear_fatal();
    for (const auto& [keyword, value] : options)
        if (!setopt(keyword.c_str(), value.c_str())) return nullptr;
    return do_init(config_file, 0, nullptr);
}

void free_context(std::unique_ptr<ServerContext> ctx) {
    if (!ctx) return;
    ctx->cgi_stopping = true;  // closing connections must not start waiting requests
    disconnect_all(*ctx);
    stop_cgi_workers(*ctx);
    ctx->mimetypes.clear();
    ctx->accesslog.reset();
}

void print_usage(std::FILE* stream, const char* program) {
    std::fprintf(stream,
                 "Vantrel web server version 1.35\n"
                 "Usage: %s [OPTIONS] [config_file]\n"
                 "Each option's configuration-file keyword is given in round brackets.\n",
                 program);
    std::fputs("-A <htpasswd_file> <realm> <user> <passwd>\n", stream);
    for (const auto& row : option_table())
        std::fprintf(stream, "-%c <%s>\t\t%s (%s)\n", row.letter, row.arg_label, row.description, row.keyword);
}

void usage(const char* program) {
    print_usage(stderr, program);
    std::exit(1);
}

}  // namespace vantrel
