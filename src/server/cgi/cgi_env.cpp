// The CGI/1.1 environment of a program: the block and the variables of a request.
#include "server/cgi/cgi_env.hpp"

#include <arpa/inet.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "server/config/context.hpp"
#include "server/core/log.hpp"
#include "server/engine/connection.hpp"

namespace vantrel {

CgiEnvironment::CgiEnvironment(std::size_t capacity) : capacity_(capacity > 0 ? capacity : 1) {
    block_.resize(std::min<std::size_t>(capacity_, 2048));
    block_[0] = '\0';
}

bool CgiEnvironment::make_room(std::size_t need) {
    if (need + 1 > capacity_ - used_) return false;
    std::size_t want = used_ + need + 1;
    if (want > block_.size()) block_.resize(std::min(capacity_, std::max(want, 2 * block_.size())));
    return true;
}

bool CgiEnvironment::add(const char* format, ...) {
    if (failed_) return false;
    va_list ap;
    va_start(ap, format);
    va_list again;
    va_copy(again, ap);
    // The free part of the block first; when the entry is longer, the block
    // grows once to its size and it is written again.
    std::size_t free_before = block_.size() - used_;
    int n = std::vsnprintf(block_.data() + used_, free_before, format, ap);
    bool fits = n >= 0 && make_room(static_cast<std::size_t>(n) + 1);
    if (fits && static_cast<std::size_t>(n) + 1 > free_before)
        std::vsnprintf(block_.data() + used_, block_.size() - used_, format, again);
    va_end(again);
    va_end(ap);
    if (!fits) {
        failed_ = true;
        server_log(LOG_ERROR, "CGI environment full: %s does not fit", format);
        return false;
    }
    offsets_.push_back(used_);
    used_ += static_cast<std::size_t>(n) + 1;
    return true;
}

bool CgiEnvironment::add_header(const char* name, std::size_t name_len, const char* value,
                                std::size_t value_len) {
    if (failed_) return false;
    static constexpr char prefix[] = "HTTP_";
    std::size_t need = sizeof prefix - 1 + name_len + 1 + value_len + 1;
    if (!make_room(need)) {
        failed_ = true;
        server_log(LOG_ERROR, "CGI environment full: header %.*s does not fit", static_cast<int>(name_len),
                   name);
        return false;
    }
    char* dst = block_.data() + used_;
    std::memcpy(dst, prefix, sizeof prefix - 1);
    dst += sizeof prefix - 1;
    for (std::size_t i = 0; i < name_len; ++i) {
        char ch = name[i];
        *dst++ = ch == '-' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    }
    *dst++ = '=';
    std::memcpy(dst, value, value_len);
    dst[value_len] = '\0';
    offsets_.push_back(used_);
    used_ += need;
    return true;
}

char* const* CgiEnvironment::envp() {
    block_[used_] = '\0';  // the block's closing NUL
    table_.clear();
    table_.reserve(offsets_.size() + 1);
    for (std::size_t off : offsets_) table_.push_back(block_.data() + off);
    table_.push_back(nullptr);
    return table_.data();
}

namespace {

bool is_name_char(char ch) {
    return std::isalnum(static_cast<unsigned char>(ch)) != 0 || ch == '-';
}

// One HTTP_* variable per request header line "Name: value" (a name of letters,
// digits and "-", a colon, optional spaces, a non-empty value up to the line's
// end); other lines are skipped. The walk ends at the empty line or at `end`.
bool add_request_headers(const char* text, const char* end, CgiEnvironment& env) {
    const char* p = static_cast<const char*>(std::memchr(text, '\n', static_cast<std::size_t>(end - text)));
    if (!p) return true;
    ++p;  // past the request line
    while (p < end && *p != '\r' && *p != '\n') {
        const char* line_end = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
        if (!line_end) line_end = end;
        const char* q = p;
        while (q < line_end && is_name_char(*q)) ++q;
        if (q > p && q < line_end && *q == ':') {
            const char* v = q + 1;
            while (v < line_end && (*v == ' ' || *v == '\t')) ++v;
            const char* v_end = v;
            while (v_end < line_end && *v_end != '\r') ++v_end;
            std::size_t name_len = static_cast<std::size_t>(q - p);
            // A client's "Proxy:" header would become HTTP_PROXY, which programs
            // read as their outgoing proxy: never pass it on.
            bool proxy = name_len == 5 && strncasecmp(p, "Proxy", 5) == 0;
            // A body in chunks reaches the program decoded, with its length: its
            // coding is not the program's to undo again.
            bool coding = name_len == 17 && strncasecmp(p, "Transfer-Encoding", 17) == 0;
            if (v_end > v && !proxy && !coding &&
                !env.add_header(p, name_len, v, static_cast<std::size_t>(v_end - v)))
                return false;
        }
        p = line_end + 1;
    }
    return true;
}

// The script's URI: the request URI less the "/PATH_INFO" that followed the script.
std::string script_name(const connection& c) {
    std::string uri = c.uri;
    if (c.path_info) {
        std::string rest = std::string("/") + c.path_info;
        if (uri.size() >= rest.size() && uri.compare(uri.size() - rest.size(), rest.size(), rest) == 0)
            uri.resize(uri.size() - rest.size());
    }
    return uri;
}

}  // namespace

bool build_cgi_environment(const connection& c, const char* path, CgiEnvironment& env) {
    const ServerContext& ctx = *c.ctx;
    env.add("GATEWAY_INTERFACE=CGI/1.1");
    env.add("SERVER_PROTOCOL=HTTP/1.1");
    env.add("REDIRECT_STATUS=200");
    if (ctx.listen_port != 0) env.add("SERVER_PORT=%d", ctx.listen_port);
    if (!ctx.auth_realm.empty()) env.add("SERVER_NAME=%s", ctx.auth_realm.c_str());
    env.add("SERVER_ROOT=%s", ctx.root);
    env.add("DOCUMENT_ROOT=%s", ctx.root);
    env.add("REQUEST_METHOD=%s", c.method_name);
    // Defined for every method, empty when the URI had no query.
    env.add("QUERY_STRING=%s", c.query.c_str());

    char addr[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &c.peer.sin_addr, addr, sizeof addr);
    env.add("REMOTE_ADDR=%s", addr);
    if (c.peer.sin_port != 0) env.add("REMOTE_PORT=%u", static_cast<unsigned>(ntohs(c.peer.sin_port)));

    env.add("REQUEST_URI=%s", c.uri);
    env.add("SCRIPT_NAME=%s", script_name(c).c_str());
    env.add("SCRIPT_FILENAME=%s", path);
    env.add("PATH_TRANSLATED=%s", path);
    if (c.has_content_type) env.add("CONTENT_TYPE=%s", c.content_type.c_str());
    if (c.content_length != 0) env.add("CONTENT_LENGTH=%lu", c.content_length);

    for (const char* name : {"PATH", "COMSPEC", "SYSTEMROOT", "LD_LIBRARY_PATH", "PERLLIB"}) {
        if (const char* value = std::getenv(name)) env.add("%s=%s", name, value);
    }
    if (c.path_info) env.add("PATH_INFO=/%s", c.path_info);
    if (!c.user.empty()) {
        env.add("REMOTE_USER=%s", c.user.c_str());
        env.add("AUTH_TYPE=Digest");
    }
    for (const NameValue& var : ctx.envvars) env.add("%s=%s", var.name.c_str(), var.value.c_str());

    std::size_t head = std::strlen(c.request_text);
    if (c.request_len > 0 && static_cast<std::size_t>(c.request_len) < head) head = static_cast<std::size_t>(c.request_len);
    if (env.ok()) add_request_headers(c.request_text, c.request_text + head, env);
    return env.ok();
}

}  // namespace vantrel
