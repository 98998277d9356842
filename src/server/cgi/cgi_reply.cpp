// A program's reply head as the client gets it, and the framing of its body.
#include "server/cgi/cgi_reply.hpp"

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "server/core/io_buffer.hpp"
#include "server/core/limits.hpp"
#include "server/engine/connection.hpp"
#include "server/engine/engine.hpp"

namespace vantrel {

namespace {

struct ReasonRow {
    int status;
    const char* reason;
};
constexpr ReasonRow kReasons[] = {
    {100, "Continue"}, {101, "Switching Protocols"}, {200, "OK"}, {201, "Created"}, {202, "Accepted"},
    {203, "Non-Authoritative Information"}, {204, "No Content"}, {205, "Reset Content"},
    {206, "Partial Content"}, {300, "Multiple Choices"}, {301, "Moved Permanently"}, {302, "Found"},
    {303, "See Other"}, {304, "Not Modified"}, {307, "Temporary Redirect"}, {308, "Permanent Redirect"},
    {400, "Bad Request"}, {401, "Unauthorized"}, {402, "Payment Required"}, {403, "Forbidden"},
    {404, "Not Found"}, {405, "Method Not Allowed"}, {406, "Not Acceptable"}, {408, "Request Timeout"},
    {409, "Conflict"}, {410, "Gone"}, {411, "Length Required"}, {412, "Precondition Failed"},
    {413, "Content Too Large"}, {414, "URI Too Long"}, {415, "Unsupported Media Type"},
    {416, "Range Not Satisfiable"}, {417, "Expectation Failed"}, {421, "Misdirected Request"},
    {422, "Unprocessable Content"}, {423, "Locked"}, {424, "Failed Dependency"}, {426, "Upgrade Required"},
    {428, "Precondition Required"}, {429, "Too Many Requests"}, {431, "Request Header Fields Too Large"},
    {451, "Unavailable For Legal Reasons"}, {500, "Internal Server Error"}, {501, "Not Implemented"},
    {502, "Bad Gateway"}, {503, "Service Unavailable"}, {504, "Gateway Timeout"},
    {505, "HTTP Version Not Supported"}, {507, "Insufficient Storage"},
};

bool is_blank(char ch) { return ch == ' ' || ch == '\t'; }

// The value after "Name:" when `line` is that header (any case), else nullptr.
const char* field_value(std::string_view line, std::string_view name) {
    if (line.size() <= name.size() || line[name.size()] != ':') return nullptr;
    if (strncasecmp(line.data(), name.data(), name.size()) != 0) return nullptr;
    const char* v = line.data() + name.size() + 1;
    while (v < line.data() + line.size() && is_blank(*v)) ++v;
    return v;
}

// "NNN" or "NNN reason": false unless a three-digit code comes first.
bool read_status(const char* value, const char* end, CgiReplyHead& out) {
    if (end - value < 3) return false;
    for (int i = 0; i < 3; ++i)
        if (value[i] < '0' || value[i] > '9') return false;
    if (value[0] == '0' || (end - value > 3 && !is_blank(value[3]))) return false;
    out.status = (value[0] - '0') * 100 + (value[1] - '0') * 10 + (value[2] - '0');
    const char* reason = value + 3;
    while (reason < end && is_blank(*reason)) ++reason;
    out.reason.assign(reason, end);
    return true;
}

}  // namespace

const char* standard_reason(int status) {
    for (const ReasonRow& row : kReasons)
        if (row.status == status) return row.reason;
    return "";
}

int CgiReplyHead::reply_status() const {
    if (status != 0) return status;
    return location.empty() ? 200 : 302;
}

std::string CgiReplyHead::status_line() const {
    int code = reply_status();
    const char* text = status != 0 && !reason.empty() ? reason.c_str() : standard_reason(code);
    return "HTTP/1.1 " + std::to_string(code) + " " + text + "\r\n";
}

bool parse_cgi_reply_head(const char* head, std::size_t length, CgiReplyHead& out) {
    out = CgiReplyHead{};
    const char* p = head;
    const char* end = head + length;
    while (p < end) {
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
        const char* next = nl ? nl + 1 : end;
        const char* text_end = nl ? nl : end;
        if (text_end > p && text_end[-1] == '\r') --text_end;
        std::string_view line(p, static_cast<std::size_t>(text_end - p));
        if (const char* code = field_value(line, "Status")) {
            if (!read_status(code, text_end, out)) return false;
        } else {
            const char* target = field_value(line, "Location");
            if (target && out.location.empty()) out.location.assign(target, text_end);
            out.fields.append(p, next);
        }
        p = next;
    }
    return true;
}

namespace {

// Whether the head (status line, fields, blank line) has a field of this name.
bool head_has_field(std::string_view head, std::string_view name) {
    for (std::size_t p = head.find('\n'); p != std::string_view::npos && p + 1 < head.size();
         p = head.find('\n', p + 1)) {
        std::string_view rest = head.substr(p + 1);
        std::size_t eol = rest.find('\n');
        if (field_value(rest.substr(0, eol == std::string_view::npos ? rest.size() : eol), name)) return true;
    }
    return false;
}

// 2 for a head ending in "\r\n\r\n", else 1 (a bare "\n" blank line).
std::size_t blank_line_size(std::string_view head) {
    return head.size() >= 2 && head.substr(head.size() - 2) == "\r\n" ? 2 : 1;
}

}  // namespace

bool place_cgi_reply_head(connection& c, unsigned length) {
    CgiReplyHead reply;
    if (length > c.local.head || !parse_cgi_reply_head(c.local.buf, length, reply)) return false;
    std::string head = reply.status_line() + reply.fields;
    // The server closes every connection after its reply, and says so.
    if (!head_has_field(head, "Connection")) head.insert(head.size() - blank_line_size(head), "Connection: close\r\n");
    unsigned body = c.local.head - length;
    if (head.size() + body > kIoBufferSize - 1) return false;
    std::memmove(c.local.buf + head.size(), c.local.buf + length, body);
    std::memcpy(c.local.buf, head.data(), head.size());
    c.status = reply.reply_status();
    reply_head_written(c, static_cast<unsigned>(head.size()), static_cast<unsigned>(head.size()) + body);
    return true;
}

namespace {

// Whether nothing of the reply has gone out and its body may still be framed
// by the server: a request and status with a body, a head that frames nothing.
bool reply_framing_open(const connection& c) {
    if (c.sent != 0 || c.local.tail != 0 || c.method == METHOD_HEAD) return false;
    if (c.status < 200 || c.status == 204 || c.status == 304) return false;
    if (c.header_length < 2 || c.header_length > c.local.head) return false;
    std::string_view head(c.local.buf, c.header_length);
    return !head_has_field(head, "Content-Length") && !head_has_field(head, "Transfer-Encoding");
}

// Rewrites `local` as the head plus `line` (before its blank line), then
// `before`, the body so far, and `after`. False when that does not fit with
// `keep_free` bytes to spare.
bool rewrite_reply(connection& c, std::string_view line, std::string_view before, std::string_view after,
                   std::size_t keep_free) {
    std::string_view head(c.local.buf, c.header_length);
    std::string_view body(c.local.buf + c.header_length, c.local.head - c.header_length);
    std::size_t blank = blank_line_size(head);
    std::string out;
    out.reserve(head.size() + line.size() + before.size() + body.size() + after.size());
    out.append(head.substr(0, head.size() - blank)).append(line).append(head.substr(head.size() - blank));
    std::size_t header_bytes = out.size();
    if (!body.empty()) out.append(before).append(body).append(after);
    if (out.size() + keep_free > kIoBufferSize - 1) return false;
    std::memcpy(c.local.buf, out.data(), out.size());
    reply_head_written(c, static_cast<unsigned>(header_bytes), static_cast<unsigned>(out.size()));
    return true;
}

}  // namespace

void add_cgi_reply_length(connection& c) {
    if (!reply_framing_open(c)) return;
    std::string line = "Content-Length: " + std::to_string(c.local.head - c.header_length) + "\r\n";
    rewrite_reply(c, line, "", "", 0);
}

bool start_chunked_cgi_reply(connection& c) {
    if (std::strcmp(c.protocol, "HTTP/1.1") != 0 || !reply_framing_open(c)) return false;
    char size_line[24];
    std::snprintf(size_line, sizeof size_line, "%lx\r\n", c.local.head - c.header_length);
    return rewrite_reply(c, "Transfer-Encoding: chunked\r\n", size_line, "\r\n", kChunkReserve);
}

void append_chunk(io_buffer& out, const char* data, std::size_t length) {
    if (length == 0) return;  // an empty chunk would end the body
    char size_line[24];
    int n = std::snprintf(size_line, sizeof size_line, "%zx\r\n", length);
    std::memcpy(out.buf + out.head, size_line, static_cast<std::size_t>(n));
    std::memcpy(out.buf + out.head + n, data, length);
    std::memcpy(out.buf + out.head + n + length, "\r\n", 2);
    out.head += static_cast<unsigned>(static_cast<std::size_t>(n) + length + 2);
}

void append_last_chunk(io_buffer& out) {
    std::memcpy(out.buf + out.head, "0\r\n\r\n", 5);
    out.head += 5;
}

}  // namespace vantrel
