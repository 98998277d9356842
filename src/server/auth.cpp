// HTTP Digest authentication (qop "auth", MD5) against password files of
// "user:realm:HA1" lines, and the writer of such lines for `vantrel-httpd -A`.
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <openssl/evp.h>

#include "server/auth.hpp"
#include "server/handlers.hpp"
#include "server/log.hpp"
#include "server/request.hpp"

namespace vantrel {

namespace {

// One password-file line split into its three fields; false when it has not all three.
bool parse_password_line(const char* line, char (&user)[65], char (&realm)[65], char (&ha1)[65]) {
    return std::sscanf(line, "%64[^:]:%64[^:]:%64s", user, realm, ha1) == 3;
}

// Reads one whole line into `line` without its LF and a CR before it. False at end of file.
bool read_line(std::FILE* f, std::string& line) {
    line.clear();
    int ch;
    bool any = false;
    while ((ch = std::fgetc(f)) != EOF) {
        any = true;
        if (ch == '\n') break;
        line.push_back(static_cast<char>(ch));
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return any;
}

}  // namespace

void md5_hex(char out[33], std::initializer_list<std::string_view> parts) {
    static const char digits[] = "0123456789abcdef";
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> md(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    bool ok = md && EVP_DigestInit_ex(md.get(), EVP_md5(), nullptr) == 1;
    for (std::string_view p : parts)
        ok = ok && EVP_DigestUpdate(md.get(), p.data(), p.size()) == 1;
    ok = ok && EVP_DigestFinal_ex(md.get(), digest, &len) == 1 && len == 16;
    if (!ok) {
        // No digest means no match: an empty text never equals a 32-digit response.
        server_log(LOG_ERROR, "md5_hex: MD5 unavailable");
        out[0] = '\0';
        return;
    }
    for (unsigned i = 0; i < 16; i++) {
        out[2 * i] = digits[digest[i] >> 4];
        out[2 * i + 1] = digits[digest[i] & 0x0f];
    }
    out[32] = '\0';
}

bool secure_equal(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); i++)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

bool nonce_is_fresh(const char* nonce, long now) {
    std::size_t n = std::strlen(nonce);
    if (n == 0 || n > 18) return false;
    for (std::size_t i = 0; i < n; i++)
        if (nonce[i] < '0' || nonce[i] > '9') return false;
    long long issued = std::strtoll(nonce, nullptr, 10);
    return issued <= now && now - issued <= kNonceLifetime;
}

std::FILE* open_auth_file(const ServerContext& ctx, const char* path) {
    char name[kPathSize];
    if (!ctx.global_htpasswd.empty()) {
        if (!copy_bounded(name, ctx.global_htpasswd.c_str(), sizeof name)) {
            server_log(LOG_DEBUG, "open_auth_file: open(%s)", ctx.global_htpasswd.c_str());
            errno = ENAMETOOLONG;
            return nullptr;
        }
    } else {
        const char* slash = std::strrchr(path, '/');
        if (slash == nullptr) return nullptr;  // no directory part, so no directory password file
        int dir_len = static_cast<int>(slash - path);
        int n = std::snprintf(name, sizeof name, "%.*s/%s", dir_len, path, ".htpasswd");
        if (n < 0 || static_cast<std::size_t>(n) >= sizeof name) {
            server_log(LOG_DEBUG, "open_auth_file: open(%.*s/.htpasswd)", dir_len, path);
            errno = ENAMETOOLONG;
            return nullptr;
        }
    }
    int fd = open_path(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        server_log(LOG_DEBUG, "open_auth_file: open(%s)", name);
        errno = err;
        return nullptr;
    }
    std::FILE* f = fdopen(fd, "r");
    if (f == nullptr) {
        server_log(LOG_DEBUG, "open_auth_file: fdopen(%s)", name);
        ::close(fd);
        errno = 0;
    }
    return f;
}

int fetchfield(const char*& cursor, char* dst, std::size_t dst_size, std::size_t keyword_len) {
    cursor += keyword_len;
    const bool quoted = *cursor == '"';
    const char* stop = quoted ? "\"" : " \t,";
    char pattern[20];
    std::snprintf(pattern, sizeof pattern, quoted ? "%%%zu[^\"]%%n" : "%%%zu[^ \t,]%%n", dst_size - 1);
    server_log(LOG_DEBUG, "fetchfield: [%s] [%s]", pattern, cursor);
    if (quoted) cursor++;
    // The value: at most dst_size - 1 characters up to a stop character.
    std::size_t n = 0;
    while (cursor[n] != '\0' && std::strchr(stop, cursor[n]) == nullptr && n < dst_size - 1) n++;
    if (n == 0) {
        if (quoted) cursor--;  // an empty quoted value leaves the cursor on its opening quote
        return 0;
    }
    std::memcpy(dst, cursor, n);
    dst[n] = '\0';
    cursor += n;
    return 1;
}

int parse_credentials(const connection& c, Credentials& cred) {
    const char* value = c.authorization.c_str();
    if (strncasecmp(value, "Digest ", 7) != 0) return 0;
    cred.user[0] = cred.uri[0] = cred.cnonce[0] = cred.nonce[0] = '\0';
    cred.response[0] = cred.qop[0] = cred.nc[0] = '\0';
    struct Field {
        const char* keyword;
        char* dst;
        std::size_t size;
    };
    const Field fields[] = {
        {"username=", cred.user, sizeof cred.user},     {"nonce=", cred.nonce, sizeof cred.nonce},
        {"response=", cred.response, sizeof cred.response}, {"uri=", cred.uri, sizeof cred.uri},
        {"qop=", cred.qop, sizeof cred.qop},             {"cnonce=", cred.cnonce, sizeof cred.cnonce},
        {"nc=", cred.nc, sizeof cred.nc},
    };
    for (const char* p = value + 7; *p != '\0'; p++) {
        for (const Field& f : fields) {
            std::size_t len = std::strlen(f.keyword);
            if (strncasecmp(p, f.keyword, len) == 0) {
                fetchfield(p, f.dst, f.size, len);
                break;
            }
        }
        if (*p == '\0') break;  // a bare value may end the header
    }
    server_log(LOG_DEBUG, "[%s] [%s] [%s] [%s] [%s] [%s]", cred.user, cred.uri, cred.response, cred.qop,
               cred.cnonce, cred.nc);
    return 1;
}

int checkpass(const connection& c, const char* ha1, const Credentials& cred) {
    if (std::strlen(cred.response) != 32) return 0;
    // The nonce must be one this server could have issued within the last hour,
    // and the digest must cover the very URI that was requested.
    if (!nonce_is_fresh(cred.nonce, current_time.load())) {
        server_log(LOG_DEBUG, "checkpass: stale nonce [%s]", cred.nonce);
        return 0;
    }
    if (std::strcmp(cred.uri, c.request_uri) != 0) {
        server_log(LOG_DEBUG, "checkpass: uri [%s] is not [%s]", cred.uri, c.request_uri);
        return 0;
    }
    char ha2[33], expected[33];
    md5_hex(ha2, {c.method_name, ":", cred.uri});
    md5_hex(expected, {ha1, ":", cred.nonce, ":", cred.nc, ":", cred.cnonce, ":", cred.qop, ":", ha2});
    server_log(LOG_DEBUG, "checkpass: [%s] [%s]", expected, cred.response);
    return secure_equal(expected, cred.response) ? 1 : 0;
}

int check_password(connection& c, std::FILE* password_file) {
    if (c.authorization.empty()) return 0;
    // The credentials record is large (its uri field); keep it off the stack.
    auto cred = std::make_unique<Credentials>();
    if (!parse_credentials(c, *cred)) return 0;
    c.user = cred->user;
    const std::string& realm = c.ctx->auth_realm;
    std::string line;
    while (read_line(password_file, line)) {
        char user[65], line_realm[65], ha1[65];
        if (!parse_password_line(line.c_str(), user, line_realm, ha1)) continue;
        if (std::strcmp(user, cred->user) == 0 && realm == line_realm) return checkpass(c, ha1, *cred);
    }
    return 0;
}

int check_authorization(connection& c, const char* path) {
    errno = 0;
    FilePtr file(open_auth_file(*c.ctx, path));
    // No password file: the path is open. A password-file name too long to
    // look up proves nothing, so such a request is challenged instead.
    if (!file) return errno == ENAMETOOLONG ? 0 : 1;
    return check_password(c, file.get());
}

void send_challenge(connection& c) {
    char header[512];
    format_bounded(header, sizeof header, "WWW-Authenticate: Digest qop=\"auth\", realm=\"%s\", nonce=\"%lu\"",
                   c.ctx->auth_realm.c_str(), static_cast<unsigned long>(current_time.load()));
    senderr(c, 401, "Unauthorized", header, "Authorization required");
}

int htpasswd_add(const char* file, const char* realm, const char* user, const char* password) {
    auto refuse = [&](const char* why) {
        std::fprintf(stderr, "htpasswd_add: %s: %s\n", file, why);
        return -1;
    };
    // The reader takes at most 64 characters per field and the credentials
    // hold a user name of at most 63: longer names could never match.
    auto valid_field = [](const char* s, std::size_t max) {
        std::size_t n = std::strlen(s);
        return n > 0 && n <= max && std::strpbrk(s, ":\r\n") == nullptr;
    };
    if (!valid_field(user, sizeof(Credentials::user) - 1)) return refuse("bad user name");
    if (!valid_field(realm, 64) || std::strchr(realm, '"') != nullptr) return refuse("bad realm");
    if (std::strpbrk(password, "\r\n") != nullptr) return refuse("bad password");

    char ha1[33];
    md5_hex(ha1, {user, ":", realm, ":", password});
    if (ha1[0] == '\0') return refuse("MD5 unavailable");
    const std::string entry = std::string(user) + ":" + realm + ":" + ha1 + "\n";

    // Keep every other line as it is; the user's line for this realm takes the
    // place of the first one there was, or goes at the end.
    std::string content;
    bool placed = false;
    mode_t mode = 0644;
    if (FilePtr in{std::fopen(file, "r")}) {
        struct stat st;
        if (fstat(fileno(in.get()), &st) == 0) mode = st.st_mode & 07777;
        std::string line;
        int ch;
        while (true) {
            line.clear();
            while ((ch = std::fgetc(in.get())) != EOF && ch != '\n') line.push_back(static_cast<char>(ch));
            if (line.empty() && ch == EOF) break;
            std::string bare = line;
            if (!bare.empty() && bare.back() == '\r') bare.pop_back();
            char u[65], r[65], h[65];
            if (parse_password_line(bare.c_str(), u, r, h) && std::strcmp(u, user) == 0 &&
                std::strcmp(r, realm) == 0) {
                if (!placed) content += entry;
                placed = true;
            } else {
                content += line + "\n";
            }
            if (ch == EOF) break;
        }
        if (std::ferror(in.get())) return refuse(std::strerror(errno));
    } else if (errno != ENOENT) {
        return refuse(std::strerror(errno));
    }
    if (!placed) content += entry;

    // Write beside the file and rename over it, so readers see the old or the new file whole.
    std::string temp = std::string(file) + ".XXXXXX";
    int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return refuse(std::strerror(errno));
    UniqueFd guard(fd);
    std::size_t off = 0;
    while (off < content.size()) {
        ssize_t n = ::write(fd, content.data() + off, content.size() - off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int err = errno;
            ::unlink(temp.c_str());
            return refuse(std::strerror(err));
        }
        off += static_cast<std::size_t>(n);
    }
    if (fchmod(fd, mode) != 0 || fsync(fd) != 0 || ::close(guard.release()) != 0 ||
        std::rename(temp.c_str(), file) != 0) {
        int err = errno;
        ::unlink(temp.c_str());
        return refuse(std::strerror(err));
    }
    return 0;
}

}  // namespace vantrel
