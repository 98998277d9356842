// The reply unit: status replies, reply heads, a program's head as the client
// gets it, the body's framing and the interim "100 Continue".
#include "server/http/reply.hpp"

#include <strings.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "server/core/bounded.hpp"
#include "server/core/limits.hpp"
#include "server/core/log.hpp"
#include "server/engine/connection.hpp"
#include "server/engine/engine.hpp"
#include "server/http/request.hpp"

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

constexpr const char kStatusReplyType[] =
    "Content-Type: text/plain; charset=utf-8\r\nX-Content-Type-Options: nosniff\r\n";

// Whether the head (status line, fields, blank line) has a field of this name.
bool head_has_field(std::string_view head, std::string_view name) {
    for (std::size_t p = head.find('\n'); p != std::string_view::npos && p + 1 < head.size();
         p = head.find('\n', p + 1)) {
        std::string_view rest = head.substr(p + 1);
        std::size_t eol = rest.find('\n');
        if (header_field_value(rest.substr(0, eol == std::string_view::npos ? rest.size() : eol), name)) return true;
    }
    return false;
}

// 2 for a head ending in "\r\n\r\n", else 1 (a bare "\n" blank line).
std::size_t blank_line_size(std::string_view head) {
    return head.size() >= 2 && head.substr(head.size() - 2) == "\r\n" ? 2 : 1;
}

}  // namespace

const char* standard_reason(int status) {
    for (const ReasonRow& row : kReasons)
        if (row.status == status) return row.reason;
    return "";
}

std::string reply_status_line(int status, std::string_view reason) {
    std::string line = "HTTP/1.1 " + std::to_string(status) + " ";
    line.append(reason.empty() ? std::string_view(standard_reason(status)) : reason);
    return line.append("\r\n");
}

void reply_head_written(connection& c, unsigned header_bytes, unsigned queued) {
    c.local.head = queued;
    c.local.tail = 0;
    c.header_length = header_bytes;
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

// ---- reply heads ----

ReplyHead::ReplyHead(connection& c, int status, const char* reason) : c_(c) {
    c_.status = status;
    int n = format_bounded(c_.local.buf, kIoBufferSize, "HTTP/1.1 %d %s\r\n", status,
                           reason ? reason : standard_reason(status));
    used_ = static_cast<std::size_t>(n);
}

ReplyHead& ReplyHead::field(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    int n = vformat_bounded(c_.local.buf + used_, kIoBufferSize - used_, format, ap);
    va_end(ap);
    used_ += static_cast<std::size_t>(n);
    used_ += static_cast<std::size_t>(format_bounded(c_.local.buf + used_, kIoBufferSize - used_, "\r\n"));
    return *this;
}

void ReplyHead::end_with_length(unsigned long long length) {
    field("Content-Length: %llu", length);
    field("Connection: close");
    finish();
}

void ReplyHead::end_without_body() {
    field("Connection: close");
    finish();
}

void ReplyHead::end_unframed() { finish(); }

void ReplyHead::finish() {
    used_ += static_cast<std::size_t>(format_bounded(c_.local.buf + used_, kIoBufferSize - used_, "\r\n"));
    reply_head_written(c_, static_cast<unsigned>(used_), static_cast<unsigned>(used_));
}

// ---- 100 Continue ----

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

// ---- a program's reply ----

bool place_program_head(connection& c, int status, std::string_view status_line, std::string_view fields,
                        unsigned consumed) {
    if (consumed > c.local.head) return false;
    std::string head(status_line);
    head.append(fields);
    // The server closes every connection after its reply, and says so.
    if (!head_has_field(head, "Connection")) head.insert(head.size() - blank_line_size(head), "Connection: close\r\n");
    unsigned body = c.local.head - consumed;
    if (head.size() + body > kIoBufferSize - 1) return false;
    std::memmove(c.local.buf + head.size(), c.local.buf + consumed, body);
    std::memcpy(c.local.buf, head.data(), head.size());
    c.status = status;
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

void add_program_length(connection& c) {
    if (!reply_framing_open(c)) return;
    std::string line = "Content-Length: " + std::to_string(c.local.head - c.header_length) + "\r\n";
    rewrite_reply(c, line, "", "", 0);
}

bool start_program_chunks(connection& c) {
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
