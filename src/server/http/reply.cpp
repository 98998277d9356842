// The reply unit: status replies, reply heads, a program's head as the client
// gets it, the body's framing and the interim "100 Continue".
#include "server/http/reply.hpp"

#include <strings.h>

#include <algorithm>
#include <charconv>
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

namespace {

// A token of a comma-separated header value, in any case.
bool has_token(std::string_view value, std::string_view token) {
    while (!value.empty()) {
        std::size_t comma = value.find(',');
        std::string_view item = value.substr(0, comma);
        while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.remove_prefix(1);
        while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
        if (item.size() == token.size() && strncasecmp(item.data(), token.data(), token.size()) == 0) return true;
        if (comma == std::string_view::npos) break;
        value.remove_prefix(comma + 1);
    }
    return false;
}

bool persistent(const connection& c) { return c.ctx && c.ctx->keep_alive != 0; }

// A status that never carries a body, or a request that gets none.
bool bodiless(const connection& c) {
    return c.method == METHOD_HEAD || c.status < 200 || c.status == 204 || c.status == 304;
}

// Decides whether the connection stays open after this reply and returns the
// line that says so ("" when none is needed).
const char* decide_connection(connection& c, bool framed) {
    c.keep_alive = framed && request_keeps_connection(c);
    if (!c.keep_alive) return "Connection: close\r\n";
    return std::strcmp(c.protocol, "HTTP/1.1") == 0 ? "" : "Connection: keep-alive\r\n";
}

}  // namespace

bool request_keeps_connection(const connection& c) {
    if (!persistent(c) || !c.has(flag::parsed) || c.requests + 1 >= kMaxRequestsPerConnection) return false;
    // What is left of the body must be here already, to be dropped before the next request.
    if (c.body_left > c.remote.pending()) return false;
    // A body in chunks must have ended; an HTTP/1.0 client sending one is not trusted to frame the next request.
    if (!c.transfer_encoding.empty() && (!body_received(c) || std::strcmp(c.protocol, "HTTP/1.1") != 0))
        return false;
    if (std::strcmp(c.protocol, "HTTP/1.1") == 0) return !has_token(c.connection_header, "close");
    return std::strcmp(c.protocol, "HTTP/1.0") == 0 && has_token(c.connection_header, "keep-alive");
}

void senderr(connection& c, int status, const char* reason, const char* extra_header, const char* format, ...) {
    char* buf = c.local.buf;
    const std::size_t size = kIoBufferSize;
    c.status = status;
    // The body echoes request text: it is typed as plain text and must not be
    // sniffed as anything else. A 304 has no body, so it carries neither line.
    const char* typed = status == 304 ? "" : kStatusReplyType;
    va_list ap;
    va_start(ap, format);
    if (!persistent(c)) {
        // One request per connection: the body ends with the connection.
        int head = format_bounded(buf, size, "HTTP/1.1 %d %s\r\n%s%s%s\r\n%d ", status, reason, extra_header,
                                  extra_header[0] ? "\r\n" : "", typed, status);
        int body = vformat_bounded(buf + head, size - static_cast<std::size_t>(head), format, ap);
        reply_head_written(c, static_cast<unsigned>(head), static_cast<unsigned>(head + body));
        c.framing = Framing::Close;
    } else {
        static thread_local char text[kIoBufferSize];
        int n = format_bounded(text, sizeof text, "%d ", status);
        n += vformat_bounded(text + n, sizeof text - static_cast<std::size_t>(n), format, ap);
        bool none = bodiless(c);
        char length[48] = "";
        if (status != 304) format_bounded(length, sizeof length, "Content-Length: %d\r\n", n);
        const char* connection_line = decide_connection(c, true);
        int head = format_bounded(buf, size, "HTTP/1.1 %d %s\r\n%s%s%s%s%s\r\n", status, reason, extra_header,
                                  extra_header[0] ? "\r\n" : "", typed, length, connection_line);
        int body = none ? 0 : format_bounded(buf + head, size - static_cast<std::size_t>(head), "%s", text);
        reply_head_written(c, static_cast<unsigned>(head), static_cast<unsigned>(head + body));
        c.framing = Framing::Length;
    }
    va_end(ap);
    server_log(LOG_DEBUG, "%s: [%s]", "senderr", buf);
    body_done(c);
}

// ---- reply heads ----

ReplyHead::ReplyHead(connection& c, int status, const char* reason) : c_(c) {
    c_.status = status;
    append("HTTP/1.1 ");
    append_decimal(static_cast<unsigned long long>(status));
    append(" ");
    append(reason ? reason : standard_reason(status));
    append("\r\n");
}

void ReplyHead::append(std::string_view text) {
    // One byte stays free for the terminator the debug log reads the head by.
    std::size_t room = kIoBufferSize - 1 - used_;
    std::size_t n = std::min(text.size(), room);
    if (n < text.size()) server_log(LOG_DEBUG, "reply head: %zu bytes cut", text.size() - n);
    std::memcpy(c_.local.buf + used_, text.data(), n);
    used_ += n;
    c_.local.buf[used_] = '\0';
}

void ReplyHead::append_decimal(unsigned long long value) {
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    append(std::string_view(digits, static_cast<std::size_t>(end - digits)));
}

ReplyHead& ReplyHead::field(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    int n = vformat_bounded(c_.local.buf + used_, kIoBufferSize - used_, format, ap);
    va_end(ap);
    used_ += static_cast<std::size_t>(n);
    append("\r\n");
    return *this;
}

ReplyHead& ReplyHead::line(std::string_view name, std::string_view value) {
    append(name);
    append(": ");
    append(value);
    append("\r\n");
    return *this;
}

void ReplyHead::end_with_length(unsigned long long length) {
    append("Content-Length: ");
    append_decimal(length);
    append("\r\n");
    c_.framing = Framing::Length;
    connection_line();
    finish();
}

void ReplyHead::end_without_body() {
    c_.framing = Framing::Length;
    connection_line();
    finish();
}

void ReplyHead::end_unframed() {
    // One request per connection: the body ends with it, as it always has.
    // Otherwise the framing is chosen when the head goes out.
    c_.framing = persistent(c_) ? Framing::Undecided : Framing::Close;
    finish();
}

void ReplyHead::connection_line() { append(persistent(c_) ? decide_connection(c_, true) : "Connection: close\r\n"); }

void ReplyHead::finish() {
    append("\r\n");
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
    if ((c.content_length == 0 && !c.chunked_body) || c.remote.pending() > 0 || !expects_continue(c)) return;
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
    // With one request per connection the server closes it after the reply,
    // and says so; otherwise the connection line comes with the framing.
    if (!persistent(c) && !head_has_field(head, "Connection"))
        head.insert(head.size() - blank_line_size(head), "Connection: close\r\n");
    unsigned body = c.local.head - consumed;
    if (head.size() + body > kIoBufferSize - 1) return false;
    std::memmove(c.local.buf + head.size(), c.local.buf + consumed, body);
    std::memcpy(c.local.buf, head.data(), head.size());
    c.status = status;
    c.framing = Framing::Undecided;
    reply_head_written(c, static_cast<unsigned>(head.size()), static_cast<unsigned>(head.size()) + body);
    return true;
}

namespace {

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

namespace {

// The value of the first field `name` in a head (status line, fields, blank line).
bool field_text(std::string_view head, std::string_view name, std::string_view& out) {
    for (std::size_t p = head.find('\n'); p != std::string_view::npos && p + 1 < head.size();
         p = head.find('\n', p + 1)) {
        std::string_view rest = head.substr(p + 1);
        rest = rest.substr(0, rest.find_first_of("\r\n"));
        if (const char* v = header_field_value(rest, name)) {
            out = std::string_view(v, static_cast<std::size_t>(rest.data() + rest.size() - v));
            return true;
        }
    }
    return false;
}

// The program's own Content-Length value, if its head has one.
bool own_length(std::string_view head, unsigned long& out) {
    std::string_view value;
    if (!field_text(head, "Content-Length", value)) return false;
    out = std::strtoul(std::string(value).c_str(), nullptr, 10);
    return true;
}

}  // namespace

void frame_before_sending(connection& c) {
    if (c.framing != Framing::Undecided || c.header_length < 2 || c.header_length > c.local.head) return;
    std::string_view head(c.local.buf, c.header_length);
    std::size_t body = c.local.head - c.header_length;
    unsigned long length = 0;
    std::string lines;
    const char* before = "";
    const char* after = "";
    char size_line[24] = "";
    std::size_t keep_free = 0;
    if (bodiless(c)) {
        c.framing = Framing::Length;  // nothing follows the head
    } else if (head_has_field(head, "Transfer-Encoding")) {
        c.framing = Framing::Close;  // the program frames its body itself
    } else if (own_length(head, length)) {
        c.framing = Framing::Length;
        c.body_length = length;  // never more than it announced
    } else if (c.local.complete) {
        c.framing = Framing::Length;
        lines = "Content-Length: " + std::to_string(body) + "\r\n";
    } else if (std::strcmp(c.protocol, "HTTP/1.1") == 0 && c.local.tail == 0) {
        c.framing = Framing::Chunked;
        lines = "Transfer-Encoding: chunked\r\n";
        std::snprintf(size_line, sizeof size_line, "%zx\r\n", body);
        before = size_line;
        after = "\r\n";
        keep_free = kChunkReserve;
    } else {
        c.framing = Framing::Close;
    }
    if (persistent(c)) {
        bool framed = c.framing != Framing::Close;
        if (std::string_view own; field_text(head, "Connection", own))
            c.keep_alive = framed && request_keeps_connection(c) && !has_token(own, "close");  // the program's line stands
        else
            lines += decide_connection(c, framed);
    }
    if (lines.empty() && (body == 0 || before[0] == '\0')) return;
    if (!rewrite_reply(c, lines, body ? before : "", body ? after : "", keep_free)) {
        // No room for the framing: the body ends with the connection.
        c.framing = Framing::Close;
        c.keep_alive = false;
    }
}

BodySpace body_space(connection& c) {
    std::size_t room = c.local.room();
    char* end = c.local.buf + c.local.head;
    switch (c.framing) {
        case Framing::Undecided:
            return {end, room > kFramingReserve ? room - kFramingReserve : 0};
        case Framing::Chunked: {
            // "XXXX\r\n" before the bytes, "\r\n" after them, the last chunk after all.
            constexpr std::size_t kAround = 6 + 2;
            std::size_t reserve = kAround + kChunkReserve;
            return {end + 6, room > reserve ? room - reserve : 0};
        }
        case Framing::Length:
        case Framing::Close:
            break;
    }
    return {end, room};
}

// A chunk never exceeds the send queue, so its size line is four hex digits.
static_assert(kIoBufferSize <= 0x10000, "chunk size lines are \"XXXX\\r\\n\"");

void body_written(connection& c, std::size_t n) {
    if (n == 0) return;  // an empty chunk would end the body
    if (c.framing == Framing::Chunked) {
        char* at = c.local.buf + c.local.head;
        char size_line[24];  // room for any size_t; four digits are used
        std::snprintf(size_line, sizeof size_line, "%04zx\r\n", n);
        std::memcpy(at, size_line, 6);
        std::memcpy(at + 6 + n, "\r\n", 2);
        n += 8;
    }
    c.local.head += static_cast<unsigned>(n);
}

void end_body_framing(connection& c) {
    if (c.framing != Framing::Chunked) return;
    std::memcpy(c.local.buf + c.local.head, "0\r\n\r\n", 5);
    c.local.head += 5;
}

}  // namespace vantrel
