// A program's reply head: the fields the server acts on.
#include "server/cgi/cgi_reply.hpp"

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "server/http/reply.hpp"
#include "server/http/request.hpp"

namespace vantrel {

namespace {

bool is_blank(char ch) { return ch == ' ' || ch == '\t'; }

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

int CgiReplyHead::reply_status() const {
    if (status != 0) return status;
    return location.empty() ? 200 : 302;
}

std::string CgiReplyHead::status_line() const {
    return reply_status_line(reply_status(), status != 0 ? std::string_view(reason) : std::string_view());
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
        if (const char* code = header_field_value(line, "Status")) {
            if (!read_status(code, text_end, out)) return false;
        } else {
            const char* target = header_field_value(line, "Location");
            if (target && out.location.empty()) out.location.assign(target, text_end);
            out.fields.append(p, next);
        }
        p = next;
    }
    return true;
}

}  // namespace vantrel
