// Status replies and the interim "100 Continue".
#include "server/http/reply.hpp"

#include <strings.h>

#include <algorithm>
#include <cstring>
#include <string_view>

#include "server/core/bounded.hpp"
#include "server/core/limits.hpp"
#include "server/core/log.hpp"
#include "server/engine/connection.hpp"
#include "server/engine/engine.hpp"

namespace vantrel {

namespace {

constexpr const char kStatusReplyType[] =
    "Content-Type: text/plain; charset=utf-8\r\nX-Content-Type-Options: nosniff\r\n";

}  // namespace

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

}  // namespace vantrel
