// HTTP Digest authentication (qop "auth", MD5) against password files of
// "user:realm:HA1" lines, and the writer of such lines for `vantrel-httpd -A`.
#include "server/access/auth.hpp"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <openssl/evp.h>

#include "server/access/nonce_memory.hpp"
#include "server/config/context.hpp"
#include "server/core/bounded.hpp"
#include "server/core/handles.hpp"
#include "server/core/limits.hpp"
#include "server/core/log.hpp"
#include "server/engine/connection.hpp"
#include "server/handlers/replace_file.hpp"
#include "server/http/paths.hpp"
#include "server/http/reply.hpp"

namespace vantrel {

namespace {

// Longest user name, realm and HA1 that a password-file line may hold.
constexpr std::size_t kPasswordFieldMax = 64;

struct PasswordLine {
    std::string_view user, realm, ha1;
};

// One password-file line split into its three fields: user and realm of 1 to
// kPasswordFieldMax characters without ":", then an HA1 (the first blank-free
// run, at most kPasswordFieldMax characters kept). False when a field is missing.
bool parse_password_line(std::string_view line, PasswordLine& out) {
    std::size_t colon1 = line.find(':');
    if (colon1 == std::string_view::npos) return false;
    std::size_t colon2 = line.find(':', colon1 + 1);
    if (colon2 == std::string_view::npos) return false;
    out.user = line.substr(0, colon1);
    out.realm = line.substr(colon1 + 1, colon2 - colon1 - 1);
    std::string_view rest = line.substr(colon2 + 1);
    std::size_t start = rest.find_first_not_of(" \t\r\n\v\f");
    if (start == std::string_view::npos) return false;
    rest.remove_prefix(start);
    out.ha1 = rest.substr(0, std::min(rest.find_first_of(" \t\r\n\v\f"), kPasswordFieldMax));
    return !out.user.empty() && out.user.size() <= kPasswordFieldMax && !out.realm.empty() &&
           out.realm.size() <= kPasswordFieldMax;
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

NonceState nonce_state(const char* nonce, long now, long* issued_out) {
    // Every number of this many digits fits a long long, so none can overflow.
    constexpr std::size_t kMaxDigits = std::numeric_limits<long long>::digits10;
    std::size_t n = std::strlen(nonce);
    if (n == 0 || n > kMaxDigits) return NONCE_INVALID;
    for (std::size_t i = 0; i < n; i++)
        if (nonce[i] < '0' || nonce[i] > '9') return NONCE_INVALID;
    long long issued = std::strtoll(nonce, nullptr, 10);
    if (issued > now) return NONCE_INVALID;  // not one this server issued
    if (issued_out) *issued_out = static_cast<long>(issued);
    return now - issued <= kNonceLifetime ? NONCE_FRESH : NONCE_EXPIRED;
}

bool nonce_is_fresh(const char* nonce, long now) { return nonce_state(nonce, now) == NONCE_FRESH; }

bool parse_nonce_count(const char* nc, std::uint64_t& count) {
    // Sixteen hex digits fill the 64 bits; a count of 0 is never sent.
    constexpr std::size_t kMaxHexDigits = sizeof(std::uint64_t) * 2;
    std::size_t n = std::strlen(nc);
    if (n == 0 || n > kMaxHexDigits) return false;
    count = 0;
    for (std::size_t i = 0; i < n; i++) {
        char ch = nc[i];
        int digit = ch >= '0' && ch <= '9' ? ch - '0'
                    : ch >= 'a' && ch <= 'f' ? ch - 'a' + 10
                    : ch >= 'A' && ch <= 'F' ? ch - 'A' + 10
                                             : -1;
        if (digit < 0) return false;
        count = count * 16 + static_cast<std::uint64_t>(digit);
    }
    return count != 0;
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
    server_log(LOG_DEBUG, "fetchfield: [%s]", pattern);  // the value itself is a credential
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
    server_log(LOG_DEBUG, "parse_credentials: user [%s] uri [%s]", cred.user, cred.uri);
    return 1;
}

int checkpass(const connection& c, const char* ha1, const Credentials& cred) {
    if (std::strlen(cred.response) != 32) return AUTH_REFUSED;
    // The digest must cover the very URI that was requested.
    if (std::strcmp(cred.uri, c.request_uri) != 0) {
        server_log(LOG_DEBUG, "checkpass: uri [%s] is not [%s]", cred.uri, c.request_uri);
        return AUTH_REFUSED;
    }
    char ha2[33], expected[33];
    md5_hex(ha2, {c.method_name, ":", cred.uri});
    md5_hex(expected, {ha1, ":", cred.nonce, ":", cred.nc, ":", cred.cnonce, ":", cred.qop, ":", ha2});
    if (!secure_equal(expected, cred.response)) return AUTH_REFUSED;

    // The password was right. The nonce must be one this server issued within
    // its lifetime; an expired one is answered as stale, so the client retries
    // with a new nonce without asking its user again.
    switch (nonce_state(cred.nonce, current_time.load())) {
        case NONCE_INVALID:
            server_log(LOG_DEBUG, "checkpass: not our nonce [%s]", cred.nonce);
            return AUTH_REFUSED;
        case NONCE_EXPIRED:
            server_log(LOG_DEBUG, "checkpass: stale nonce [%s]", cred.nonce);
            return AUTH_STALE;
        case NONCE_FRESH:
            break;
    }
    std::uint64_t count = 0;
    return parse_nonce_count(cred.nc, count) ? AUTH_OK : AUTH_REFUSED;
}

int claim_nonce_count(connection& c) {
    auto cred = std::make_unique<Credentials>();
    if (!parse_credentials(c, *cred)) return AUTH_REFUSED;
    long issued = 0;
    std::uint64_t count = 0;
    if (nonce_state(cred->nonce, current_time.load(), &issued) != NONCE_FRESH ||
        !parse_nonce_count(cred->nc, count))
        return AUTH_REFUSED;
    switch (c.ctx->digest_nonces.use(cred->user, cred->nonce, cred->cnonce, count, issued)) {
        case NonceCountMemory::NC_FRESH:
            return AUTH_OK;
        case NonceCountMemory::NC_STALE:
            return AUTH_STALE;
        case NonceCountMemory::NC_REPLAYED:
            break;
    }
    server_log(LOG_DEBUG, "claim_nonce_count: nonce count [%s] used again", cred->nc);
    return AUTH_REFUSED;
}

int authorize(connection& c, int checked) {
    // A user name is set only where credentials were checked against a file.
    if (checked != AUTH_OK || c.user.empty()) return checked;
    return claim_nonce_count(c);
}

int check_password(connection& c, std::FILE* password_file) {
    if (c.authorization.empty()) return AUTH_REFUSED;
    // The credentials record is large (its uri field); keep it off the stack.
    auto cred = std::make_unique<Credentials>();
    if (!parse_credentials(c, *cred)) return AUTH_REFUSED;
    c.user = cred->user;
    const std::string& realm = c.ctx->auth_realm;
    std::string line;
    while (read_line(password_file, line)) {
        PasswordLine entry;
        if (!parse_password_line(line, entry)) continue;
        if (entry.user == cred->user && entry.realm == realm) return checkpass(c, std::string(entry.ha1).c_str(), *cred);
    }
    return AUTH_REFUSED;
}

namespace {

// True when the folder part of `path` exists: a password file there may exist
// even when its name is too long to open.
bool folder_exists(const char* path) {
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr) return false;
    std::string folder(path, static_cast<std::size_t>(slash - path));
    if (folder.empty()) folder = "/";
    struct stat st;
    return stat_path(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

int check_authorization(connection& c, const char* path) {
    // The folders on the way were just looked at: one known to have no
    // password file needs no attempt to open it.
    const char* slash = std::strrchr(path, '/');
    if (c.ctx->global_htpasswd.empty() && slash &&
        c.ctx->htaccess.has_no_password_file(std::string(path, slash == path ? 1 : slash - path)))
        return AUTH_OK;
    errno = 0;
    FilePtr file(open_auth_file(*c.ctx, path));
    if (file) return check_password(c, file.get());
    if (errno != ENAMETOOLONG) return AUTH_OK;  // no password file: the path is open
    // A name too long to look up: a global file that cannot be opened proves
    // nothing, nor does a folder that exists; a folder that cannot exist
    // protects nothing (its files will not be found either).
    if (!c.ctx->global_htpasswd.empty()) return AUTH_REFUSED;
    return folder_exists(path) ? AUTH_REFUSED : AUTH_OK;
}

void send_challenge(connection& c, bool stale) {
    char header[512];
    format_bounded(header, sizeof header, "WWW-Authenticate: Digest qop=\"auth\", realm=\"%s\", nonce=\"%lu\"%s",
                   c.ctx->auth_realm.c_str(), static_cast<unsigned long>(current_time.load()),
                   stale ? ", stale=true" : "");
    senderr(c, 401, "Unauthorized", header, "Authorization required");
}

namespace {

// The password file's text with USER's line for REALM set to `entry`: every other
// line stays as it is; the entry takes the place of the first matching line, or
// goes at the end. False with errno when the file exists but cannot be read.
bool merge_password_entry(const char* file, const char* realm, const char* user, const std::string& entry,
                          std::string& content, mode_t& mode) {
    content.clear();
    bool placed = false;
    FilePtr in{std::fopen(file, "re")};
    if (!in) {
        if (errno != ENOENT) return false;
        content = entry;
        return true;
    }
    struct stat st;
    if (fstat(fileno(in.get()), &st) == 0) mode = st.st_mode & 07777;
    std::string line;
    int ch;
    do {
        line.clear();
        while ((ch = std::fgetc(in.get())) != EOF && ch != '\n') line.push_back(static_cast<char>(ch));
        if (line.empty() && ch == EOF) break;
        std::string_view bare(line);
        if (!bare.empty() && bare.back() == '\r') bare.remove_suffix(1);
        PasswordLine old;
        if (parse_password_line(bare, old) && old.user == user && old.realm == realm) {
            if (!placed) content += entry;
            placed = true;
        } else {
            content += line + "\n";
        }
    } while (ch != EOF);
    if (std::ferror(in.get())) return false;
    if (!placed) content += entry;
    return true;
}

}  // namespace

int htpasswd_add(const char* file, const char* realm, const char* user, const char* password) {
    auto refuse = [&](const char* why) {
        std::fprintf(stderr, "htpasswd_add: %s: %s\n", file, why);
        return -1;
    };
    // The reader takes at most kPasswordFieldMax characters per field and the
    // credentials hold a shorter user name: longer names could never match.
    auto valid_field = [](const char* s, std::size_t max) {
        std::size_t n = std::strlen(s);
        return n > 0 && n <= max && std::strpbrk(s, ":\r\n") == nullptr;
    };
    if (!valid_field(user, sizeof(Credentials::user) - 1)) return refuse("bad user name");
    if (!valid_field(realm, kPasswordFieldMax) || std::strchr(realm, '"') != nullptr) return refuse("bad realm");
    if (std::strpbrk(password, "\r\n") != nullptr) return refuse("bad password");

    char ha1[33];
    md5_hex(ha1, {user, ":", realm, ":", password});
    if (ha1[0] == '\0') return refuse("MD5 unavailable");
    const std::string entry = std::string(user) + ":" + realm + ":" + ha1 + "\n";

    std::string content;
    mode_t mode = 0644;
    if (!merge_password_entry(file, realm, user, entry, content, mode)) return refuse(std::strerror(errno));
    int err = replace_file_atomically(file, content, mode);
    return err == 0 ? 0 : refuse(std::strerror(err));
}

}  // namespace vantrel
