// Maps a request's URI under the document root and hands it to its handler.
#include "server/http/dispatch.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "server/access/access_guard.hpp"
#include "server/access/auth.hpp"
#include "server/access/htaccess.hpp"
#include "server/cgi/cgi.hpp"
#include "server/cgi/cgi_gate.hpp"
#include "server/config/context.hpp"
#include "server/core/handles.hpp"
#include "server/core/limits.hpp"
#include "server/core/log.hpp"
#include "server/embed/hosted.hpp"
#include "server/engine/connection.hpp"
#include "server/handlers/listing.hpp"
#include "server/handlers/put.hpp"
#include "server/handlers/static_file.hpp"
#include "server/http/paths.hpp"
#include "server/http/reply.hpp"
#include "server/http/request.hpp"

namespace vantrel {

namespace {

// The mapped path of a request and the folder it must stay in.
struct MappedPath {
    const char* folder = nullptr;  // the document root or the alias folder
    bool fits = false;
};

// True when `uri` starts with the alias prefix `prefix` at a whole segment:
// "/al" matches "/al" and "/al/..." but neither "/al_x" nor "/al../x".
bool alias_matches(const char* uri, const std::string& prefix) {
    std::size_t n = prefix.size();
    if (n == 0 || std::strncmp(uri, prefix.c_str(), n) != 0) return false;
    return prefix.back() == '/' || uri[n] == '\0' || uri[n] == '/';
}

// True when `rest`, appended to a folder, names something inside it: no ".."
// segment, and it starts a new segment (or the folder ends with "/").
bool stays_inside(const std::string& folder, const char* rest) {
    if (rest[0] != '\0' && rest[0] != '/' && (folder.empty() || folder.back() != '/')) return false;
    for (const char* p = rest; (p = std::strstr(p, "..")) != nullptr; p += 2) {
        bool starts = p == rest || p[-1] == '/';
        bool ends = p[2] == '\0' || p[2] == '/';
        if (starts && ends) return false;
    }
    return true;
}

// Document root (or an alias folder) followed by the URI. `fits` is false when
// the result does not fit `path` or would leave its folder.
MappedPath map_path(const connection& c, char* path, std::size_t size) {
    const ServerContext& ctx = *c.ctx;
    MappedPath m;
    const std::string* alias_folder = nullptr;
    const char* rest = c.uri;
    for (const auto& alias : ctx.aliases) {
        if (!alias_matches(c.uri, alias.value)) continue;
        alias_folder = &alias.name;
        rest = c.uri + alias.value.size();
        break;
    }
    m.folder = alias_folder ? alias_folder->c_str() : ctx.root;
    if (!stays_inside(m.folder, rest)) return m;
    const std::size_t folder_len = std::strlen(m.folder), rest_len = std::strlen(rest);
    m.fits = folder_len + rest_len < size;
    if (!m.fits) return m;
    std::memcpy(path, m.folder, folder_len);
    std::memcpy(path + folder_len, rest, rest_len + 1);
    return m;
}

// 301 to the same URI plus "/", built from the URI as it was received, its query
// kept whole. A Location too long for the reply is refused rather than cut.
void redirect_to_directory(connection& c) {
    std::string_view received(c.request_uri);
    std::size_t path_len = received.find('?');
    if (path_len == std::string_view::npos) path_len = received.size();
    std::string location = "Location: ";
    location.append(received.substr(0, path_len)).append("/").append(received.substr(path_len));
    // The header line and the message that repeats it, with the status line and
    // the typed-reply lines around them.
    constexpr std::size_t kRedirectFixed = 256;
    if (2 * location.size() + kRedirectFixed > kIoBufferSize) {
        senderr(c, 414, "Request-URI Too Long", "", "Request-URI Too Long");
        return;
    }
    senderr(c, 301, "Moved Permanently", location.c_str(), "Moved, %s", location.c_str());
}

// The file a path names, opened, and its stat, in one walk of the path (a
// stat and then an open would walk it twice, and could see two different
// files). True when c.file_stat describes the path; `file` holds it when it is
// a regular file. False when it cannot be opened (missing, a PATH_INFO path,
// unreadable): find_path_info decides then.
bool open_and_stat(connection& c, const char* path, UniqueFd& file) {
    // Never waits (a FIFO) and never takes a terminal: only regular files are kept.
    UniqueFd fd(open_path(path, O_RDONLY | O_NONBLOCK | O_NOCTTY));
    if (!fd.valid() || fstat(fd.get(), &c.file_stat) != 0) return false;
    c.path_info = nullptr;
    if (S_ISREG(c.file_stat.st_mode)) file = std::move(fd);
    return true;
}

// `file` is the path opened by open_and_stat, when it was.
void serve_file(connection& c, const char* path, UniqueFd file) {
    if (c.if_modified_since != 0 && c.if_modified_since >= c.file_stat.st_mtime) {
        senderr(c, 304, "Not Modified", "", "%s", "");
        return;
    }
    c.fd = file.valid() ? std::move(file) : UniqueFd(open_path(path, O_RDONLY));
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

int find_path_info(connection& c, char* path) {
    c.path_info = nullptr;
    if (stat_path(path, &c.file_stat) == 0) return 0;
    std::size_t root_len = std::strlen(c.ctx->root);
    for (char* p = path + std::strlen(path); p > path; --p) {
        if (*p != '/' || static_cast<std::size_t>(p - path) <= root_len) continue;
        *p = '\0';
        struct stat st;
        // Only an existing regular file takes the rest as PATH_INFO.
        if (stat_path(path, &st) == 0 && S_ISREG(st.st_mode)) {
            c.file_stat = st;
            c.path_info = p + 1;
            return 0;
        }
        *p = '/';
    }
    return -1;
}

void handle(connection& c) {
    server_log(LOG_DEBUG, "handle: [%s]", c.request_text);
    if (!admit_request(c)) return;
    if (char* q = std::strchr(c.uri, '?')) {
        *q = '\0';
        c.query = q + 1;
    }
    decode_uri(c.uri, c.uri);
    // Dot segments are dropped below, which would turn /dir/.htpasswd into
    // /dir/htpasswd: remember that a password file was asked for by name.
    bool names_password_file = std::strstr(c.uri, ".htpasswd") != nullptr;
    strip_dot_segments(c.uri);
    // The embedding's own paths are never files of the site.
    if (const HostedPrefix* hosted = hosted_prefix_for(*c.ctx, c.uri)) return answer_hosted(c, *hosted);

    static thread_local char path[kMappedPathSize];
    MappedPath mapped = map_path(c, path, sizeof path);
    if (!mapped.fits) return senderr(c, 404, "Not Found", "", "Not Found: [%s]", c.uri);
    const std::string folder = mapped.folder;

    // A folder closed by its .htaccess is closed to every method and every user.
    if (path_is_denied(c.ctx->htaccess, folder, path)) return senderr(c, 403, "Forbidden", "", "Permission Denied");

    if (c.method == METHOD_PUT || c.method == METHOD_DELETE) {
        // The put_auth check follows; the nonce count is claimed after it.
        if (int auth = check_authorization(c, path); auth != AUTH_OK) return send_challenge(c, auth == AUTH_STALE);
        if (names_password_file || std::strstr(path, ".htpasswd"))
            return senderr(c, 403, "Forbidden", "", "Permission Denied");
        return handle_put_delete(c, path, folder);
    }

    // Authorization is decided for the file actually served, after the PATH_INFO split.
    UniqueFd file;
    // A program is only stat'ed: it is run, never read here.
    int found = !is_cgi(*c.ctx, path) && open_and_stat(c, path, file) ? 0 : find_path_info(c, path);
    if (int auth = authorize(c, check_authorization(c, path)); auth != AUTH_OK)
        return send_challenge(c, auth == AUTH_STALE);
    if (names_password_file || std::strstr(path, ".htpasswd"))
        return senderr(c, 403, "Forbidden", "", "Permission Denied");
    if (found != 0) return senderr(c, 404, "Not Found", "", "Not Found: [%s]", c.uri);

    if (S_ISDIR(c.file_stat.st_mode) && handle_directory(c, path, sizeof path)) return;
    if (!S_ISREG(c.file_stat.st_mode)) return senderr(c, 404, "Not Found", "", "Not Found: [%s]", c.uri);
    if (is_cgi(*c.ctx, path)) return dispatch_program(c, path);
    serve_file(c, path, std::move(file));
}

}  // namespace vantrel
