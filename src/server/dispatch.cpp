// Maps a request's URI under the document root and hands it to its handler.
#include <fcntl.h>

#include <cstring>

#include "server/handlers.hpp"
#include "server/log.hpp"
#include "server/request.hpp"

namespace vantrel {

namespace {

// Document root (or an alias target) followed by the URI; false when it does not fit.
bool map_path(const connection& c, char* path, std::size_t size) {
    const ServerContext& ctx = *c.ctx;
    for (const auto& alias : ctx.aliases) {
        std::size_t n = alias.value.size();
        if (std::strncmp(c.uri, alias.value.c_str(), n) != 0) continue;
        int len = std::snprintf(path, size, "%s%s", alias.name.c_str(), c.uri + n);
        return len >= 0 && static_cast<std::size_t>(len) < size;
    }
    int len = std::snprintf(path, size, "%s%s", ctx.root, c.uri);
    return len >= 0 && static_cast<std::size_t>(len) < size;
}

// 301 to the same URI plus "/", built from the URI as it was received.
void redirect_to_directory(connection& c) {
    char location[1100];
    std::size_t path_len = std::strcspn(c.request_uri, "?");
    if (path_len > 1023) path_len = 1023;
    const char* query = c.request_uri[path_len] == '?' ? c.request_uri + path_len : "";
    format_bounded(location, sizeof location, "Location: %.*s/%.64s", static_cast<int>(path_len), c.request_uri,
                   query);
    senderr(c, 301, "Moved Permanently", location, "Moved, %s", location);
}

void start_cgi(connection& c, const char* path) {
    if (run_cgi(c, path) != 0) {
        senderr(c, 500, "Server Error", "", "Cannot exec CGI");
        return;
    }
    c.remote.tail = static_cast<unsigned>(c.request_len);
    io_consume(c.remote, 0);
    if (c.method == METHOD_GET) c.remote.clear();
    c.io_handler = get_cgi;
    c.flags |= flag::fd_is_socket;
}

void serve_file(connection& c, const char* path) {
    if (c.if_modified_since != 0 && c.if_modified_since >= c.file_stat.st_mtime) {
        senderr(c, 304, "Not Modified", "", "%s", "");
        return;
    }
    c.fd.reset(open_path(path, O_RDONLY));
    if (!c.fd.valid()) {
        senderr(c, 500, "Error", "", "Internal Error");
        return;
    }
    get_file(c);
}

// Directory steps; returns true when the request was answered here.
bool handle_directory(connection& c, char* path, std::size_t size) {
    std::size_t n = std::strlen(path);
    if (n == 0 || path[n - 1] != '/') {
        redirect_to_directory(c);
        return true;
    }
    if (find_index_file(c, path, size) != 0 && !c.ctx->list_directories) {
        senderr(c, 403, "Forbidden", "", "Directory Listing Denied");
        return true;
    }
    if (!S_ISDIR(c.file_stat.st_mode)) return false;
    if (c.ctx->list_directories) {
        c.dir_path = path;
        list_dir(c);
        return true;
    }
    server_log(LOG_ERROR, "handle: %s: Denied", path);
    senderr(c, 403, "Forbidden", "", "Directory listing denied");
    return true;
}

}  // namespace

void handle(connection& c) {
    server_log(LOG_DEBUG, "handle: [%s]", c.request_text);
    if (char* q = std::strchr(c.uri, '?')) {
        *q = '\0';
        c.query = q + 1;
    }
    decode_uri(c.uri, c.uri);
    // Dot segments are dropped below, which would turn /dir/.htpasswd into
    // /dir/htpasswd: remember that a password file was asked for by name.
    bool names_password_file = std::strstr(c.uri, ".htpasswd") != nullptr;
    strip_dot_segments(c.uri);

    static thread_local char path[kMappedPathSize];
    if (!map_path(c, path, sizeof path)) {
        bool writes = c.method == METHOD_PUT || c.method == METHOD_DELETE;
        if (writes)
            senderr(c, 500, "Error", "", "%s", std::strerror(ENAMETOOLONG));
        else
            senderr(c, 404, "Not Found", "", "Not Found: [%s]", c.uri);
        return;
    }

    if (c.method == METHOD_PUT || c.method == METHOD_DELETE) {
        if (check_authorization(c, path) != 1) return send_challenge(c);
        if (names_password_file || std::strstr(path, ".htpasswd"))
            return senderr(c, 403, "Forbidden", "", "Permission Denied");
        return handle_put_delete(c, path);
    }

    // Authorization is decided for the file actually served, after the PATH_INFO split.
    int found = find_path_info(c, path);
    if (check_authorization(c, path) != 1) return send_challenge(c);
    if (names_password_file || std::strstr(path, ".htpasswd"))
        return senderr(c, 403, "Forbidden", "", "Permission Denied");
    if (found != 0) return senderr(c, 404, "Not Found", "", "Not Found: [%s]", c.uri);

    if (S_ISDIR(c.file_stat.st_mode) && handle_directory(c, path, sizeof path)) return;
    if (!S_ISREG(c.file_stat.st_mode)) return senderr(c, 404, "Not Found", "", "Not Found: [%s]", c.uri);
    if (is_cgi(*c.ctx, path)) return start_cgi(c, path);
    serve_file(c, path);
}

}  // namespace vantrel
