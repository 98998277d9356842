// Directory index files and generated listings.
#include "server/handlers/listing.hpp"

#include <dirent.h>
#include <locale.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>

#include "server/core/bounded.hpp"
#include "server/core/limits.hpp"
#include "server/core/log.hpp"
#include "server/engine/connection.hpp"
#include "server/engine/engine.hpp"
#include "server/http/paths.hpp"
#include "server/http/reply.hpp"

namespace vantrel {

namespace {

// Longest index-file name taken from the option; longer names are skipped.
constexpr std::size_t kIndexNameMax = 259;
// Longest shown URI in the page title and heading (escaped), so that the head
// always leaves room for rows.
constexpr std::size_t kTitleMax = 4096;
// The fixed text of one row, the date ("%d-%b-%Y %H:%M", 17 characters) and the
// size column, with room to spare.
constexpr std::size_t kRowFixed = sizeof "<tr><td><a href=\"" + sizeof "/\">" + sizeof "/</a></td><td>" +
                                  sizeof "</td><td>&nbsp;&nbsp;" + sizeof "</td></tr>\n" + 64 + 32;

// Dates and numbers in the listing use the C locale whatever the process chose.
class CLocaleScope {
public:
    CLocaleScope() {
        static locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
        if (c_locale != static_cast<locale_t>(nullptr)) previous_ = uselocale(c_locale);
    }
    ~CLocaleScope() {
        if (previous_ != static_cast<locale_t>(nullptr)) uselocale(previous_);
    }
    CLocaleScope(const CLocaleScope&) = delete;
    CLocaleScope& operator=(const CLocaleScope&) = delete;

private:
    locale_t previous_ = static_cast<locale_t>(nullptr);
};

bool ends_with_slash(std::string_view s) { return !s.empty() && s.back() == '/'; }

void finish_listing(connection& c) { body_done(c); }

}  // namespace

void Appender::put(const char* text, std::size_t n) {
    if (cut) return;
    if (n > room) {
        cut = true;
        return;
    }
    std::memcpy(out + length, text, n);
    length += n;
    room -= n;
    out[length] = '\0';
}

void Appender::raw(const char* text) { put(text, std::strlen(text)); }

void Appender::html(std::string_view text) {
    for (const char* p = text.data(); p != text.data() + text.size() && !cut; p++) {
        switch (*p) {
            case '&': put("&amp;", 5); break;
            case '<': put("&lt;", 4); break;
            case '>': put("&gt;", 4); break;
            case '"': put("&quot;", 6); break;
            case '\'': put("&#39;", 5); break;
            default: put(p, 1);
        }
    }
}

void Appender::url(std::string_view text) {
    static const char hex[] = "0123456789ABCDEF";
    for (const char* p = text.data(); p != text.data() + text.size() && !cut; p++) {
        unsigned char ch = static_cast<unsigned char>(*p);
        bool plain = (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') ||
                     ch == '-' || ch == '.' || ch == '_' || ch == '~' || ch == '/';
        if (plain) {
            put(p, 1);
        } else {
            char esc[3] = {'%', hex[ch >> 4], hex[ch & 0x0f]};
            put(esc, 3);
        }
    }
}

void format_size(const struct stat& st, char* out, std::size_t size) {
    unsigned long long bytes = static_cast<unsigned long long>(st.st_size);
    if (S_ISDIR(st.st_mode)) {
        std::snprintf(out, size, "&lt;DIR&gt;");
    } else if (bytes < 1024) {
        std::snprintf(out, size, "%llu", bytes);
    } else if (bytes < 1048576) {
        std::snprintf(out, size, "%lluk", bytes / 1024 + 1);
    } else {
        // Tenths of a MiB, rounded to nearest (ties to even, as "%.1f" does),
        // computed in integers so no locale can change the decimal point.
        unsigned long long tenths = bytes * 10 / 1048576, rest = bytes * 10 % 1048576;
        if (rest > 524288 || (rest == 524288 && tenths % 2 == 1)) tenths++;
        std::snprintf(out, size, "%llu.%lluM", tenths / 10, tenths % 10);
    }
}

std::size_t parent_uri_length(std::string_view uri) {
    std::size_t end = uri.size();
    if (end > 1 && uri[end - 1] == '/') end--;
    std::size_t slash = uri.rfind('/', end - 1);
    return slash == std::string_view::npos ? uri.size() : slash + 1;
}

std::size_t listing_row_limit(const char* uri) {
    // The link holds the URI and the name percent-encoded (3 characters a
    // byte); the shown name is HTML-escaped (at most 6 characters a byte).
    return kRowFixed + 3 * std::strlen(uri) + 3 * NAME_MAX + 6 * NAME_MAX;
}

int find_index_file(connection& c, char* path, std::size_t path_size) {
    const std::string& list = c.ctx->index_files;
    const char* sep = ends_with_slash(path) ? "" : "/";
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t comma = list.find(',', start);
        if (comma == std::string::npos) comma = list.size();
        std::string_view name(list.data() + start, comma - start);
        start = comma + 1;
        if (name.empty() || name.size() > kIndexNameMax) continue;

        char candidate[kPathSize];
        int n = std::snprintf(candidate, sizeof candidate, "%s%s%.*s", path, sep, static_cast<int>(name.size()),
                              name.data());
        if (n < 0 || static_cast<std::size_t>(n) >= sizeof candidate || static_cast<std::size_t>(n) >= path_size)
            continue;
        struct stat st;
        if (stat_path(candidate, &st) != 0) continue;

        copy_bounded(path, candidate, path_size);
        std::size_t used = std::strlen(c.uri);
        if (used < sizeof c.uri - 1)
            copy_bounded(c.uri + used, std::string(name).c_str(), sizeof c.uri - used);
        c.file_stat = st;
        return 0;
    }
    return -1;
}

void list_dir(connection& c) {
    if (listing_row_limit(c.uri) > kIoBufferSize - 1) {
        // A URI so long that one row could not fit the buffer (only reachable
        // through a long alias prefix).
        senderr(c, 500, "Error", "", "Cannot open dir");
        return;
    }
    DIR* dir = opendir(c.dir_path.c_str());
    if (dir == nullptr) {
        senderr(c, 500, "Error", "", "Cannot open dir");
        return;
    }
    c.dirp.reset(dir);

    char title[kTitleMax + 1];
    Appender shown(title, sizeof title);
    shown.html(c.uri);

    ReplyHead(c, 200, "OK").field("Content-Type: text/html; charset=utf-8").end_unframed();
    Appender top(c.local.buf + c.local.head, kIoBufferSize - c.local.head);
    top.raw("<html><head><title>Index of ");
    top.raw(title);
    top.raw("</title><style>th {text-align: left;}</style></head><body><h1>Index of ");
    top.raw(title);
    top.raw("</h1><pre><table cellpadding=\"0\"><tr><th>Name</th><th>Modified</th><th>Size</th></tr>"
            "<tr><td colspan=\"3\"><hr></td></tr>");
    c.local.head += static_cast<unsigned>(top.length);

    c.io_handler = list_dir_rows;
    c.want = Want::Again;
    drop_body(c);
}

namespace {

// Names starting with "." stay out (password files, upload temporaries,
// dot-folders); the ".." row stays so the page links to its parent.
bool listed(const char* name) { return name[0] != '.' || std::strcmp(name, "..") == 0; }

// The next entry to list, or nullptr at the end (a read error is logged).
const dirent* next_listed_entry(connection& c) {
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(c.dirp.get());
        if (entry == nullptr) {
            if (errno != 0) server_log(LOG_ERROR, "list_dir_rows: %s: %s", c.dir_path.c_str(), std::strerror(errno));
            return nullptr;
        }
        if (listed(entry->d_name)) return entry;
    }
}

// The date and size columns of one entry; "-" for both when its status cannot be
// read (a dangling link).
struct RowColumns {
    bool is_dir = false;
    char size[32] = "-";
    char date[64] = "-";
};

RowColumns row_columns(const connection& c, const char* name) {
    RowColumns cols;
    const char* file_sep = ends_with_slash(c.dir_path) ? "" : "/";
    char file[kPathSize];
    struct stat st {};
    int n = std::snprintf(file, sizeof file, "%s%s%s", c.dir_path.c_str(), file_sep, name);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof file || stat_path(file, &st) != 0) return cols;
    cols.is_dir = S_ISDIR(st.st_mode);
    format_size(st, cols.size, sizeof cols.size);
    std::tm tm{};
    std::time_t mtime = st.st_mtime;
    if (localtime_r(&mtime, &tm) == nullptr || std::strftime(cols.date, sizeof cols.date, "%d-%b-%Y %H:%M", &tm) == 0)
        std::strcpy(cols.date, "-");
    return cols;
}

// Writes one row at `out` (`room` bytes); its length, or 0 when it did not fit whole.
std::size_t write_row(const connection& c, char* out, std::size_t room, const char* name, const RowColumns& cols) {
    Appender row(out, room);
    row.raw("<tr><td><a href=\"");
    if (std::strcmp(name, "..") == 0) {
        // Dot segments are dropped from request URIs, so ".." links to the parent by name.
        row.url(std::string_view(c.uri, parent_uri_length(c.uri)));
    } else {
        row.url(c.uri);
        row.raw(ends_with_slash(c.uri) ? "" : "/");
        row.url(name);
    }
    row.raw("\">");
    row.html(name);
    if (cols.is_dir) row.raw("/");
    row.raw("</a></td><td>");
    row.raw(cols.date);
    row.raw("</td><td>&nbsp;&nbsp;");
    row.raw(cols.size);
    row.raw("</td></tr>\n");
    return row.cut ? 0 : row.length;
}

}  // namespace

void list_dir_rows(connection& c) {
    if (!c.dirp) {
        finish_listing(c);
        return;
    }
    CLocaleScope c_locale;
    const std::size_t limit = listing_row_limit(c.uri);
    BodySpace space = body_space(c);
    std::size_t used = 0;
    // Every row fits whole: rows are added only while the longest possible one still fits.
    while (space.size - used >= limit) {
        const dirent* entry = next_listed_entry(c);
        if (entry == nullptr) {
            body_written(c, used);
            finish_listing(c);
            return;
        }
        std::size_t n = write_row(c, space.data + used, space.size - used, entry->d_name,
                                  row_columns(c, entry->d_name));
        if (n == 0) {
            // Cannot happen while the limit above holds; never send half a row.
            server_log(LOG_ERROR, "list_dir_rows: row for %s does not fit", entry->d_name);
            body_written(c, used);
            finish_listing(c);
            return;
        }
        used += n;
    }
    body_written(c, used);
}

}  // namespace vantrel
