// MIME types (built-in table or a types file), aliases and CGI variables lists.
#include <cerrno>
#include <cstring>

#include "server/config/context.hpp"
#include "server/config/mime.hpp"
#include "server/core/handles.hpp"
#include "server/core/limits.hpp"
#include "server/core/log.hpp"

namespace vantrel {

const std::vector<std::pair<const char*, const char*>>& builtin_mime_table() {
    static const std::vector<std::pair<const char*, const char*>> table = {
        {"svg", "image/svg+xml"},
        {"torrent", "application/x-bittorrent"},
        {"wav", "audio/x-wav"},
        {"mp3", "audio/x-mp3"},
        {"mid", "audio/mid"},
        {"m3u", "audio/x-mpegurl"},
        {"ram", "audio/x-pn-realaudio"},
        {"ra", "audio/x-pn-realaudio"},
        {"doc", "application/msword"},
        {"exe", "application/octet-stream"},
        {"zip", "application/x-zip-compressed"},
        {"xls", "application/excel"},
        {"tgz", "application/x-tar-gz"},
        {"tar.gz", "application/x-tar-gz"},
        {"tar", "application/x-tar"},
        {"gz", "application/x-gunzip"},
        {"arj", "application/x-arj-compressed"},
        {"rar", "application/x-arj-compressed"},
        {"rtf", "application/rtf"},
        {"pdf", "application/pdf"},
        {"jpeg", "image/jpeg"},
        {"png", "image/png"},
        {"mpg", "video/mpeg"},
        {"mpeg", "video/mpeg"},
        {"asf", "video/x-ms-asf"},
        {"avi", "video/x-msvideo"},
        {"bmp", "image/bmp"},
        {"jpg", "image/jpeg"},
        {"gif", "image/gif"},
        {"ico", "image/x-icon"},
        {"txt", "text/plain"},
        {"css", "text/css"},
        {"htm", "text/html"},
        {"html", "text/html"},
        // Types that current web applications need.
        {"js", "text/javascript"},
        {"mjs", "text/javascript"},
        {"json", "application/json"},
        {"wasm", "application/wasm"},
        {"woff", "font/woff"},
        {"woff2", "font/woff2"},
        {"ttf", "font/ttf"},
        {"otf", "font/otf"},
        {"webp", "image/webp"},
        {"xml", "application/xml"},
        {"mp4", "video/mp4"},
        {"webm", "video/webm"},
        {"ogg", "audio/ogg"},
        {"csv", "text/csv"},
        {"avif", "image/avif"},
        {"eot", "application/vnd.ms-fontobject"},
        {"xhtml", "application/xhtml+xml"},
        {"bin", "application/octet-stream"},
        {"sqlite", "application/vnd.sqlite3"},
        {"db", "application/vnd.sqlite3"},
        {"7z", "application/x-7z-compressed"},
        {"xz", "application/x-xz"},
        {"bz2", "application/x-bzip2"},
        {"epub", "application/epub+zip"},
        {"map", "application/json"},
        {"md", "text/markdown"},
    };
    return table;
}

void setmimetypes(ServerContext& ctx, const std::string& value) {
    if (value == "builtin") {
        for (const auto& [ext, type] : builtin_mime_table()) ctx.mimetypes.push_front({ext, type});
        return;
    }
    std::FILE* f = std::fopen(value.c_str(), "re");
    if (!f) {
        server_log(LOG_FATAL, "setmimetypes: fopen(%s): %s", value.c_str(), std::strerror(errno));
        return;
    }
    FilePtr file(f);
    char line[512];
    while (std::fgets(line, sizeof line, f)) {
        if (line[0] == '#') continue;
        const char* blanks = " \t\r\n";
        char* save = nullptr;
        char* type = strtok_r(line, blanks, &save);
        if (!type) continue;
        while (char* ext = strtok_r(nullptr, blanks, &save)) ctx.mimetypes.push_front({ext, type});
    }
}

namespace {

// Reads "X=Y,..." items into `list`; `max_name` bounds a name's length.
void set_name_values(std::deque<NameValue>& list, const std::string& value, std::size_t max_name,
                     const char* who) {
    std::size_t start = 0;
    while (start <= value.size()) {
        std::size_t comma = value.find(',', start);
        std::string item = value.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        std::size_t eq = item.find('=');
        std::string name = eq == std::string::npos ? "" : item.substr(0, eq);
        std::string rest = eq == std::string::npos ? "" : item.substr(eq + 1);
        // The value is the run of non-blank characters after "=".
        std::size_t lead = rest.find_first_not_of(" \t\r\n");
        rest = lead == std::string::npos ? "" : rest.substr(lead);
        rest = rest.substr(0, rest.find_first_of(" \t\r\n"));
        if (!name.empty() && !rest.empty() && name.size() <= max_name && rest.size() < kIoBufferSize) {
            list.push_front({name, rest});
            server_log(LOG_DEBUG, "%s: [%s]=[%s]", who, name.c_str(), rest.c_str());
        } else {
            server_log(LOG_DEBUG, "%s: bad format: %s", who, value.c_str());
        }
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
}

}  // namespace

void set_aliases(ServerContext& ctx, const std::string& value) {
    set_name_values(ctx.aliases, value, kPathSize - 1, "set_aliases");
}

void set_envvars(ServerContext& ctx, const std::string& value) {
    set_name_values(ctx.envvars, value, kIoBufferSize - 1, "set_envvars");
}

}  // namespace vantrel
