// Request head: end detection, request line, headers, URI decoding, status replies.
#include "server/http/request.hpp"

#include <fcntl.h>
#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <algorithm>

#include "server/core/bounded.hpp"
#include "server/core/limits.hpp"
#include "server/engine/connection.hpp"
#include "server/engine/engine.hpp"
#include "server/http/dispatch.hpp"
#include "server/http/http_date.hpp"
#include "server/http/reply.hpp"

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
    {"Connection: ", 12, HDR_TEXT, &connection::connection_header, nullptr},
    {"Transfer-Encoding: ", 19, HDR_TEXT, &connection::transfer_encoding, nullptr},
};

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
            if (row.text == &connection::transfer_encoding && !field.empty()) {
                // Codings on several lines are one list: none of them may be missed.
                field.append(", ").append(value);
                break;
            }
            if (field.empty()) field = value;
            break;
        }
        case HDR_NUMBER:
            if (row.number == &connection::content_length) {
                // A length that is not plain digits, or a second one that differs,
                // would let the client and the server disagree on where the body ends.
                unsigned long n = leading_number(value);
                bool digits = value[0] != '\0' && std::strspn(value, "0123456789") == std::strlen(value);
                if (!digits || (c.has_content_length && n != c.content_length)) c.bad_framing = true;
                c.has_content_length = true;
                c.content_length = n;
            } else if (row.number)
                c.*row.number = leading_number(value);
            else
                c.status = static_cast<int>(leading_number(value) & 0x7fffffff);
            break;
        case HDR_DATE:
            c.if_modified_since = date_to_time(value);
            break;
    }
}

// How the request's transfer codings leave its body.
enum class Coding { Chunked, Unknown, Unframed };

// Reads a Transfer-Encoding list. Chunked last (and only once) frames the
// body; other codings before it are not undone here; a list that does not end
// with chunked leaves the body's end unknown.
Coding transfer_coding(const std::string& list) {
    std::string_view rest = list;
    std::size_t codings = 0, chunked = 0;
    bool last_chunked = false;
    while (!rest.empty()) {
        std::size_t comma = rest.find(',');
        std::string_view item = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
        while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.remove_prefix(1);
        while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
        if (item.empty()) continue;
        ++codings;
        last_chunked = item.size() == 7 && strncasecmp(item.data(), "chunked", 7) == 0;
        if (last_chunked) ++chunked;
    }
    if (!last_chunked || chunked > 1) return Coding::Unframed;
    return codings == 1 ? Coding::Chunked : Coding::Unknown;
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

namespace {

// A field that says where the body ends, in a form the table does not read
// ("Content-Length:5", a blank before the colon).
bool unread_framing_field(const char* line) {
    for (std::string_view name : {std::string_view("Content-Length"), std::string_view("Transfer-Encoding")}) {
        if (strncasecmp(line, name.data(), name.size()) != 0) continue;
        const char* p = line + name.size();
        while (*p == ' ' || *p == '\t') ++p;
        if (*p == ':') return true;
    }
    return false;
}

}  // namespace

void parse_headers(connection& c, const char* text) {
    static thread_local char value[kIoBufferSize];
    const char* line = text;
    while (line && *line && *line != '\n' && *line != '\r') {
        bool read = false;
        for (const auto& row : kHeaderTable) {
            if (strncasecmp(line, row.name, row.length) != 0) continue;
            header_value(line + row.length, value, sizeof value);
            store_header(c, row, value);
            read = true;
            break;
        }
        // Its body's end would be unknown, and the body taken for a next request.
        if (!read && unread_framing_field(line)) c.bad_framing = true;
        line = std::strchr(line, '\n');
        if (line) ++line;
    }
}

const char* header_field_value(std::string_view line, std::string_view name) {
    if (line.size() <= name.size() || line[name.size()] != ':') return nullptr;
    if (strncasecmp(line.data(), name.data(), name.size()) != 0) return nullptr;
    const char* v = line.data() + name.size() + 1;
    while (v < line.data() + line.size() && (*v == ' ' || *v == '\t')) ++v;
    return v;
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

namespace {

bool is_blank(char ch) { return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r'; }

// The next word of the request line: blanks skipped, then at most `size` - 1
// characters up to the next blank (a longer word goes on in the next one).
// False at the end of the text.
bool next_word(const char*& text, char* out, std::size_t size) {
    while (is_blank(*text)) ++text;
    if (*text == '\0') return false;
    std::size_t n = 0;
    while (n + 1 < size && *text != '\0' && !is_blank(*text)) out[n++] = *text++;
    out[n] = '\0';
    return true;
}

// Method, target and protocol, read as the three words of the first line;
// how many were there.
int request_line_words(const char* text, char (&method)[kWordSize], char (&uri)[kIoBufferSize],
                       char (&protocol)[kWordSize]) {
    if (!next_word(text, method, sizeof method)) return 0;
    if (!next_word(text, uri, sizeof uri)) return 1;
    return next_word(text, protocol, sizeof protocol) ? 3 : 2;
}

}  // namespace

void parse_request(connection& c, const char* text) {
    char method[kWordSize], protocol[kWordSize];
    static thread_local char uri[kIoBufferSize];
    int words = request_line_words(text, method, uri, protocol);
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
    // Both a length and a transfer coding, or a length that cannot be trusted:
    // where this body ends (and the next request begins) is not known.
    if (c.bad_framing || (c.has_content_length && !c.transfer_encoding.empty())) {
        senderr(c, 400, "Bad Request", "", "Bad Request");
        return;
    }
    // A body in chunks is decoded as it comes. Where the body ends is unknown
    // when chunked is not the last coding (400); another coding before it is
    // one the server cannot undo for the handlers (501). Both close.
    if (!c.transfer_encoding.empty()) {
        Coding coding = transfer_coding(c.transfer_encoding);
        if (coding == Coding::Unframed) {
            senderr(c, 400, "Bad Request", "", "Bad Request");
            return;
        }
        if (coding == Coding::Unknown) {
            senderr(c, 501, "Not Implemented", "", "Transfer-Encoding Not Implemented");
            return;
        }
        c.chunked_body = true;
    }
    // A body larger than the server takes is refused before any of it is kept or passed on.
    if (c.ctx && c.ctx->max_body_size != 0 && c.content_length > c.ctx->max_body_size) {
        senderr(c, 413, "Payload Too Large", "", "Payload Too Large");
        return;
    }
    // From here `remote` holds the body (and whatever follows it); the head
    // stays in `request_text`.
    io_consume(c.remote, static_cast<unsigned>(c.request_len));
    c.body_left = c.chunked_body ? kBodyLengthUnknown : c.content_length;
    c.flags |= flag::parsed;
    // What came of a body in chunks with the head: a malformed start is answered now.
    if (c.chunked_body && !decode_chunked_input(c)) return;
    handle(c);
}

}  // namespace vantrel
