// Static files: MIME type, one byte range, validators, the body streamed through `local`.
#include "server/handlers/static_file.hpp"

#include <strings.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include "server/config/context.hpp"
#include "server/core/bounded.hpp"
#include "server/core/limits.hpp"
#include "server/core/log.hpp"
#include "server/engine/connection.hpp"
#include "server/engine/engine.hpp"
#include "server/http/http_date.hpp"
#include "server/http/reply.hpp"

namespace vantrel {

namespace {

struct ByteRange {
    unsigned long long first = 0;
    unsigned long long length = 0;
};

enum RangeResult { RANGE_NONE, RANGE_OK, RANGE_UNSATISFIABLE };

bool read_number(const char*& p, unsigned long long& out) {
    if (*p < '0' || *p > '9') return false;
    errno = 0;
    char* end = nullptr;
    out = std::strtoull(p, &end, 10);
    if (errno == ERANGE) return false;
    p = end;
    return true;
}

// "bytes=FIRST-LAST", "bytes=FIRST-" or "bytes=-SUFFIX" against a file of `size` bytes.
RangeResult parse_range(const std::string& header, unsigned long long size, ByteRange& range) {
    if (header.compare(0, 6, "bytes=") != 0) return RANGE_NONE;
    const char* p = header.c_str() + 6;
    unsigned long long first = 0, last = 0;
    if (*p == '-') {
        ++p;
        unsigned long long suffix;
        if (!read_number(p, suffix)) return RANGE_NONE;
        if (suffix == 0) return RANGE_UNSATISFIABLE;
        if (size == 0) return RANGE_UNSATISFIABLE;
        range.length = suffix < size ? suffix : size;
        range.first = size - range.length;
        return RANGE_OK;
    }
    if (!read_number(p, first)) return RANGE_NONE;
    if (first >= size) return RANGE_UNSATISFIABLE;
    bool has_last = *p == '-' && (++p, read_number(p, last));
    if (has_last && last < first) return RANGE_NONE;
    if (!has_last || last >= size) last = size - 1;
    range.first = first;
    range.length = last - first + 1;
    return RANGE_OK;
}

// Room for the quoted tag: two 64-bit numbers in hex, a dot and the quotes.
constexpr std::size_t kEntityTagSize = 40;

// "\"<mtime hex>.<size hex>\"", the validator a file keeps until it changes.
std::string_view entity_tag(const struct stat& st, unsigned long long size, char (&out)[kEntityTagSize]) {
    char* p = out;
    *p++ = '"';
    p = std::to_chars(p, out + kEntityTagSize, static_cast<unsigned long>(st.st_mtime), 16).ptr;
    *p++ = '.';
    p = std::to_chars(p, out + kEntityTagSize, static_cast<unsigned long>(size), 16).ptr;
    *p++ = '"';
    return std::string_view(out, static_cast<std::size_t>(p - out));
}

void answer_unsatisfiable(connection& c, unsigned long long size) {
    char header[64];
    format_bounded(header, sizeof header, "Content-Range: bytes */%llu", size);
    senderr(c, 416, "Requested Range Not Satisfiable", header, "Requested Range Not Satisfiable");
}

}  // namespace

const char* mime_type_for(const ServerContext& ctx, const char* uri) {
    std::size_t n = std::strlen(uri);
    for (const auto& entry : ctx.mimetypes) {
        std::size_t len = entry.extension.size();
        if (n <= len || uri[n - len - 1] != '.') continue;
        if (strcasecmp(uri + n - len, entry.extension.c_str()) == 0) return entry.type.c_str();
    }
    return "text/plain";
}

void get_file(connection& c) {
    unsigned long long size = static_cast<unsigned long long>(c.file_stat.st_size);
    int status = 200;
    const char* reason = "OK";
    char range_line[96] = "";
    ByteRange range{0, size};
    if (!c.range.empty()) {
        RangeResult r = parse_range(c.range, size, range);
        if (r == RANGE_UNSATISFIABLE) return answer_unsatisfiable(c, size);
        if (r == RANGE_OK) {
            status = 206;
            reason = "Partial Content";
            format_bounded(range_line, sizeof range_line, "Content-Range: bytes %llu-%llu/%llu", range.first,
                           range.first + range.length - 1, size);
            if (lseek(c.fd.get(), static_cast<off_t>(range.first), SEEK_SET) < 0) {
                senderr(c, 500, "Error", "", "Internal Error");
                return;
            }
        } else {
            range = {0, size};
        }
    }
    char date[kDateSize], modified[kDateSize], etag[kEntityTagSize];
    format_http_date(current_time, date, sizeof date);
    format_http_date(static_cast<long>(c.file_stat.st_mtime), modified, sizeof modified);

    c.body_length = static_cast<unsigned long>(range.length);
    ReplyHead head(c, status, reason);
    head.line("Date", date)
        .line("Last-Modified", modified)
        .line("Etag", entity_tag(c.file_stat, size, etag))
        .line("Content-Type", mime_type_for(*c.ctx, c.uri));
    if (range_line[0]) head.field("%s", range_line);
    head.end_with_length(c.body_length);
    server_log(LOG_DEBUG, "get_file: [%s]", c.local.buf);
    drop_body(c);
    c.file_left = range.length;
    if (c.method == METHOD_HEAD) return body_done(c);
    c.io_handler = get_file_body;  // GET, and POST answered like GET
    c.want = Want::Again;
    // Plain TCP: a body larger than the queue goes from the page cache to the
    // socket without passing through `local`.
    if (!c.ssl && c.file_left > c.local.room()) send_rest_directly(c);
}

void get_file_body(connection& c) {
    unsigned long long want = c.local.room();
    if (want == 0 && c.file_left > 0) return;  // the queue is full: wait until it drains
    if (want > c.file_left) want = c.file_left;
    ssize_t n = want > 0 ? read(c.fd.get(), c.local.buf + c.local.head, static_cast<std::size_t>(want)) : 0;
    if (n > 0) {
        c.local.head += static_cast<unsigned>(n);
        c.file_left -= static_cast<unsigned long long>(n);
    }
    if (n <= 0 || c.file_left == 0) {
        if (n < 0 && try_again(errno)) return;
        body_done(c);
    }
}

}  // namespace vantrel
