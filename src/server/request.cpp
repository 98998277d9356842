// Request head: end detection, request line, headers, URI decoding, status replies.
#include "server/request.hpp"

#include <fcntl.h>
#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <algorithm>

#include "server/http_date.hpp"
#include "server/log.hpp"

namespace vantrel {

namespace {

struct MethodRow {
    const char* text;
    std::size_t compared;
    int method;
};
constexpr MethodRow kMethods[] = {
    {"GET", 3, METHOD_GET}, {"POST", 4, METHOD_POST}, {"HEAD", 4, METHOD_HEAD},
    {"PUT", 3, METHOD_PUT}, {"DELETE", 6, METHOD_DELETE},
};

enum HeaderKind { HDR_TEXT, HDR_NUMBER, HDR_DATE };

struct HeaderRow {
    const char* name;  // with the colon and one space
    std::size_t length;
    HeaderKind kind;
    std::string connection::*text;
    unsigned long connection::*number;
};

const HeaderRow kHeaderTable[] = {
    {"User-Agent: ", 12, HDR_TEXT, &connection::user_agent, nullptr},
    {"Content-Type: ", 14, HDR_TEXT, &connection::content_type, nullptr},
    {"Content-Length: ", 16, HDR_NUMBER, nullptr, &connection::content_length},
    {"If-Modified-Since: ", 19, HDR_DATE, nullptr, nullptr},
    {"Authorization: ", 15, HDR_TEXT, &connection::authorization, nullptr},
    {"Referer: ", 9, HDR_TEXT, &connection::referer, nullptr},
    {"Cookie: ", 8, HDR_TEXT, &connection::cookie, nullptr},
    {"Location: ", 10, HDR_TEXT, &connection::location, nullptr},
    {"Status: ", 8, HDR_NUMBER, nullptr, nullptr},
    {"Range: ", 7, HDR_TEXT, &connection::range, nullptr},
};

constexpr const char kStatusReplyType[] =
    "Content-Type: text/plain; charset=utf-8\r\nX-Content-Type-Options: nosniff\r\n";

bool printable(unsigned char ch) { return ch >= 0x20 && ch <= 0x7E; }

int hex_digit(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

// Leading decimal digits as an unsigned number; 0 when there are none. Saturates.
unsigned long leading_number(const char* text) {
    unsigned long v = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        unsigned long next = v * 10 + static_cast<unsigned long>(*text - '0');
        if (next < v) return ~0UL;
        v = next;
    }
    return v;
}

void store_header(connection& c, const HeaderRow& row, const char* value) {
    switch (row.kind) {
        case HDR_TEXT: {
            std::string& field = c.*row.text;
            if (row.text == &connection::content_type) c.has_content_type = true;
            if (field.empty()) field = value;
            break;
        }
        case HDR_NUMBER:
            if (row.number)
                c.*row.number = leading_number(value);
            else
                c.status = static_cast<int>(leading_number(value) & 0x7fffffff);
            break;
        case HDR_DATE:
            c.if_modified_since = date_to_time(value);
            break;
    }
}

}  // namespace

int head_length(const char* text, int length) {
    for (int i = 0; i < length - 1; ++i) {
        unsigned char ch = static_cast<unsigned char>(text[i]);
        if (!printable(ch) && ch != '\r' && ch != '\n') return -1;
        if (ch != '\n') continue;
        if (text[i + 1] == '\n') return i + 2;
        if (text[i + 1] == '\r' && i + 2 < length && text[i + 2] == '\n') return i + 3;
    }
    return 0;
}

void header_value(const char* text, char* dst, std::size_t capacity) {
    // The value ends with its own line: a bare LF ends it too, so one header can
    // never swallow the lines after it.
    const char* end = std::strpbrk(text, "\r\n");
    std::size_t n = end ? static_cast<std::size_t>(end - text) : 0;
    if (n > capacity - 1) n = capacity - 1;
    std::memcpy(dst, text, n);
    dst[n] = '\0';
}

void parse_headers(connection& c, const char* text) {
    static thread_local char value[kIoBufferSize];
    const char* line = text;
    while (line && *line && *line != '\n' && *line != '\r') {
        for (const auto& row : kHeaderTable) {
            if (strncasecmp(line, row.name, row.length) != 0) continue;
            header_value(line + row.length, value, sizeof value);
            store_header(c, row, value);
            break;
        }
        line = std::strchr(line, '\n');
        if (line) ++line;
    }
}

void decode_uri(const char* src, char* dst) {
    while (*src) {
        int hi, lo;
        if (*src == '%' && (hi = hex_digit(src[1])) >= 0 && (lo = hex_digit(src[2])) >= 0) {
            *dst++ = static_cast<char>(hi * 16 + lo);
            src += 3;
        } else if (*src == '+') {
            *dst++ = ' ';
            ++src;
        } else {
            *dst++ = *src++;
        }
    }
    *dst = '\0';
}

void strip_dot_segments(char* text) {
    // Writing never runs ahead of reading, so the copy is made in place.
    char* out = text;
    const char* in = text;
    while (*in) {
        char ch = *in++;
        *out++ = ch;
        if (ch == '/')
            while (*in == '.' || *in == '/') ++in;
    }
    *out = '\0';
}

void parse_request(connection& c, const char* text) {
    char method[kWordSize], protocol[kWordSize];
    static thread_local char uri[kIoBufferSize];
    int words = std::sscanf(text, "%15s %16383s %15s", method, uri, protocol);
    // What was read is kept for the access log, the rejected requests included.
    if (words >= 1) copy_bounded(c.method_name, method, sizeof c.method_name);
    if (words >= 2) copy_bounded(c.request_uri, uri, sizeof c.request_uri);
    if (words >= 3) copy_bounded(c.protocol, protocol, sizeof c.protocol);
    if (words < 3) {
        senderr(c, 400, "Bad Request", "", "Bad Request");
        return;
    }
    if (uri[0] != '/') {
        senderr(c, 400, "Bad Request", "", "Bad Request");
        return;
    }
    if (strncasecmp(protocol, "HTTP", 4) != 0) {
        senderr(c, 501, "Bad Protocol", "", "Procotol Not Supported");
        return;
    }
    int code = -1;
    for (const auto& m : kMethods)
        if (strncasecmp(method, m.text, m.compared) == 0) {
            code = m.method;
            break;
        }
    if (code < 0) {
        senderr(c, 501, "Not Implemented", "", "Method Not Implemented");
        return;
    }
    copy_bounded(c.uri, uri, sizeof c.uri);
    copy_bounded(c.request_text, text, sizeof c.request_text);
    c.method = code;
    const char* first_header = std::strchr(text, '\n');
    if (first_header) parse_headers(c, first_header + 1);
    handle(c);
    c.flags |= flag::parsed;
}

void senderr(connection& c, int status, const char* reason, const char* extra_header, const char* format, ...) {
    char* buf = c.local.buf;
    const std::size_t size = kIoBufferSize;
    // The body echoes request text: it is typed as plain text and must not be
    // sniffed as anything else. A 304 has no body, so it carries neither line.
    const char* typed = status == 304 ? "" : kStatusReplyType;
    int head = format_bounded(buf, size, "HTTP/1.1 %d %s\r\n%s%s%s\r\n%d ", status, reason, extra_header,
                              extra_header[0] ? "\r\n" : "", typed, status);
    va_list ap;
    va_start(ap, format);
    int body = vformat_bounded(buf + head, size - static_cast<std::size_t>(head), format, ap);
    va_end(ap);
    reply_head_written(c, static_cast<unsigned>(head), static_cast<unsigned>(head + body));
    server_log(LOG_DEBUG, "%s: [%s]", "senderr", buf);
    c.status = status;
    body_done(c);
}

bool expects_continue(const connection& c) {
    if (c.request_len <= 0) return false;
    std::string_view head(c.request_text, std::min<std::size_t>(static_cast<std::size_t>(c.request_len),
                                                                 std::strlen(c.request_text)));
    static constexpr std::string_view kName = "expect:";
    for (std::size_t pos = head.find('\n'); pos != std::string_view::npos; pos = head.find('\n', pos + 1)) {
        std::string_view line = head.substr(pos + 1);
        line = line.substr(0, line.find_first_of("\r\n"));
        if (line.size() < kName.size() || strncasecmp(line.data(), kName.data(), kName.size()) != 0) continue;
        std::string_view value = line.substr(kName.size());
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
        static constexpr std::string_view kContinue = "100-continue";
        return value.size() == kContinue.size() && strncasecmp(value.data(), kContinue.data(), kContinue.size()) == 0;
    }
    return false;
}

void send_continue_if_expected(connection& c) {
    // Only while no body byte has come (the head is consumed from `remote` by
    // now): a client that sent the body anyway needs no go-ahead.
    if (c.content_length == 0 || c.remote.pending() > 0 || !expects_continue(c)) return;
    static constexpr std::string_view kInterim = "HTTP/1.1 100 Continue\r\n\r\n";
    int n = writeremote(c, kInterim.data(), kInterim.size());
    // The interim response is not part of the final reply's byte count.
    if (n > 0) c.sent -= static_cast<unsigned long>(n);
    if (n != static_cast<int>(kInterim.size()))
        server_log(LOG_DEBUG, "send_continue: wrote %d of %zu bytes", n, kInterim.size());
}

bool copy_bounded(char* dst, const char* src, std::size_t n) {
    if (n == 0) return false;
    std::size_t len = std::strlen(src);
    bool fits = len < n;
    if (!fits) len = n - 1;
    std::memcpy(dst, src, len);
    dst[len] = '\0';
    return fits;
}

int vformat_bounded(char* buf, std::size_t n, const char* format, va_list ap) {
    if (n == 0) return 0;
    int r = std::vsnprintf(buf, n, format, ap);
    if (r < 0 || static_cast<std::size_t>(r) >= n) {
        server_log(LOG_DEBUG, "vsnprintf returned %d (%s)", r, format);
        if (r < 0) buf[0] = '\0';
        return static_cast<int>(std::strlen(buf));
    }
    return r;
}

int format_bounded(char* buf, std::size_t n, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    int r = vformat_bounded(buf, n, format, ap);
    va_end(ap);
    return r;
}

void normalize_path(char* path) {
    char* out = path;
    for (const char* in = path; *in; ++in) {
        if (*in == '/' && out > path && out[-1] == '/') continue;
        *out++ = *in;
    }
    *out = '\0';
}

namespace {

// Copies a mapped path for the file system; false (errno set) when it does not fit.
bool fs_copy(char (&dst)[kPathSize], const char* path) {
    if (!copy_bounded(dst, path, sizeof dst)) {
        errno = ENAMETOOLONG;
        return false;
    }
    normalize_path(dst);
    return true;
}

}  // namespace

int open_path(const char* path, int flags, int mode) {
    char buf[kPathSize];
    if (!fs_copy(buf, path)) return -1;
    return open(buf, flags | O_CLOEXEC, mode);
}

int stat_path(const char* path, struct stat* st) {
    char buf[kPathSize];
    if (!fs_copy(buf, path)) return -1;
    std::size_t n = std::strlen(buf);
    while (n > 1 && buf[n - 1] == '/') buf[--n] = '\0';
    return stat(buf, st);
}

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

}  // namespace vantrel
