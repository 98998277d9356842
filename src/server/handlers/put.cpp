// PUT and DELETE behind the put_auth password file. An upload goes into a
// temporary file beside the target, which replaces the target only once the
// whole body has been written.
#include "server/handlers/put.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <string>

#include "server/access/auth.hpp"
#include "server/core/bounded.hpp"
#include "server/core/handles.hpp"
#include "server/core/io_buffer.hpp"
#include "server/core/limits.hpp"
#include "server/core/log.hpp"
#include "server/engine/connection.hpp"
#include "server/engine/engine.hpp"
#include "server/handlers/replace_file.hpp"
#include "server/http/paths.hpp"
#include "server/http/reply.hpp"

namespace vantrel {

namespace {

// The request's credentials against the put_auth file (an AuthResult).
int put_authorization(connection& c) {
    const std::string& file = c.ctx->put_auth;
    if (file.empty()) return AUTH_REFUSED;
    int fd = open_path(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        server_log(LOG_DEBUG, "handle: open(%s): %s", file.c_str(), std::strerror(errno));
        return AUTH_REFUSED;
    }
    FilePtr f(fdopen(fd, "r"));
    if (!f) {
        ::close(fd);
        return AUTH_REFUSED;
    }
    return check_password(c, f.get());
}

// Abandons an upload: the temporary file goes, the target stays as it was.
void put_failed(connection& c, int err) {
    server_log(LOG_ERROR, "put_file: %s: %s", c.put_target.c_str(), std::strerror(err));
    c.fd.reset();
    if (!c.put_temp.empty()) {
        ::unlink(c.put_temp.c_str());
        c.put_temp.clear();
    }
    drop_body(c);
    senderr(c, 500, "Error", "", "PUT error");
}

// The whole body is in the temporary file: make it the target and answer.
void put_finished(connection& c) {
    int err = commit_temp(c.fd.release(), c.put_temp, c.put_target);
    if (err != 0) {
        c.put_temp.clear();  // already removed
        put_failed(c, err);
        return;
    }
    c.put_temp.clear();  // renamed: nothing left to clean up
    ::stat(c.put_target.c_str(), &c.file_stat);

    // A head only: no body follows, so it announces a length of 0.
    ReplyHead(c, c.status, "OK").end_with_length(0);
    body_done(c);
}

// True when `path`, with every symbolic link on its existing part followed,
// still lies inside `folder` (both resolved). A path whose existing part cannot
// be resolved counts as outside.
bool resolves_inside(const char* path, const std::string& folder) {
    char base[PATH_MAX], resolved[PATH_MAX];
    if (!realpath(folder.c_str(), base)) return false;
    // The longest existing prefix: what is still missing is made by put_dir as
    // plain folders, so it cannot lead anywhere else.
    std::string existing(path);
    while (!realpath(existing.c_str(), resolved)) {
        if (errno != ENOENT && errno != ENOTDIR) return false;
        std::size_t slash = existing.find_last_of('/', existing.size() > 1 ? existing.size() - 2 : 0);
        if (slash == std::string::npos) return false;
        existing.resize(slash == 0 ? 1 : slash);
    }
    std::size_t n = std::strlen(base);
    if (std::strcmp(base, "/") == 0) return true;
    return std::strncmp(resolved, base, n) == 0 && (resolved[n] == '\0' || resolved[n] == '/');
}

// An upload that never finished leaves the target as it was.
void discard_put_temp(connection& c, bool) {
    if (!c.put_temp.empty()) ::unlink(c.put_temp.c_str());
    c.put_temp.clear();
}

}  // namespace

int put_dir(const char* path) {
    std::size_t len = std::strlen(path);
    for (std::size_t i = 2; i < len; i++) {
        if (path[i] != '/') continue;
        if (i >= kPathSize) {
            errno = ENAMETOOLONG;
            return -1;
        }
        char dir[kPathSize];
        std::memcpy(dir, path, i);
        dir[i] = '\0';
        struct stat st;
        if (stat_path(dir, &st) != 0 && ::mkdir(dir, 0755) != 0 && errno != EEXIST) return -1;
        if (i == len - 1) return 0;
    }
    return 1;
}

void put_file(connection& c) {
    unsigned pending = body_available(c);
    // A body in chunks has no length until its end: all of it that is decoded is wanted.
    unsigned long wanted = c.chunked_body ? pending : c.content_length - c.posted;
    if (pending > 0 && wanted > 0) {
        std::size_t n = std::min<unsigned long>(pending, wanted);
        ssize_t written = ::write(c.fd.get(), c.remote.buf + c.remote.tail, n);
        int err = errno;
        server_log(LOG_DEBUG, "put_file(%p, %d): %d bytes", static_cast<void*>(&c), static_cast<int>(pending),
                   static_cast<int>(written));
        if (written > 0) {
            take_body(c, static_cast<unsigned>(written));
            c.posted += static_cast<unsigned long>(written);
        } else if (written < 0 && (err == EINTR || err == EAGAIN)) {
            return;
        } else {
            put_failed(c, written == 0 ? EIO : err);
            return;
        }
    }
    if (c.chunked_body ? body_received(c) && c.body_left == 0 : c.posted >= c.content_length) {
        put_finished(c);
    } else if ((c.remote.complete || c.has(flag::peer_eof)) && body_available(c) == 0) {
        // The peer stopped sending before the announced length: keep the old file.
        put_failed(c, EPIPE);
    }
}

void handle_put_delete(connection& c, char* path, const std::string& folder) {
    if (int auth = authorize(c, put_authorization(c)); auth != AUTH_OK) {
        send_challenge(c, auth == AUTH_STALE);
        return;
    }

    // Reads may follow links out of the folder; writes never do.
    if (!resolves_inside(path, folder)) {
        server_log(LOG_DEBUG, "handle: %s leaves %s", path, folder.c_str());
        senderr(c, 403, "Forbidden", "", "Permission Denied");
        return;
    }

    if (c.method == METHOD_DELETE) {
        // unlink removes files only: a directory answers 500 with its error text.
        if (::unlink(path) == 0)
            senderr(c, 200, "OK", "", "%s", "");
        else
            senderr(c, 500, "Error", "", "%s", std::strerror(errno));
        return;
    }

    struct stat st;
    bool exists = ::stat(path, &st) == 0;
    if (exists) c.file_stat = st;
    c.status = exists ? 200 : 201;

    if (!c.range.empty()) {
        senderr(c, 501, "Not Implemented", "", "Range for PUT not implemented");
        return;
    }
    int dirs = put_dir(path);
    if (dirs == 0) {
        senderr(c, 200, "OK", "", "%s", "");
        return;
    }
    if (dirs < 0) {
        senderr(c, 500, "Error", "", "%s", std::strerror(errno));
        return;
    }
    if (c.content_length == 0 && !c.chunked_body) {
        senderr(c, 411, "Length Required", "", "Length Required");
        return;
    }

    int fd = -1;
    if (exists && S_ISDIR(st.st_mode)) {
        errno = EISDIR;
    } else {
        std::string temp;
        fd = create_temp_beside(path, exists ? (st.st_mode & 07777) : 0644, temp);
        if (fd >= 0) c.put_temp = temp;
    }
    if (fd < 0) {
        server_log(LOG_ERROR, "handle: open(%s): %s", path, std::strerror(errno));
        senderr(c, 500, "Error", "", "PUT error");
        return;
    }
    c.fd.reset(fd);
    c.put_target = path;
    c.posted = 0;
    c.io_handler = put_file;
    c.want = Want::Body;
    c.cleanup = discard_put_temp;
    send_continue_if_expected(c);
}

}  // namespace vantrel
