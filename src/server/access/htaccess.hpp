// Folders closed by an ".htaccess" file: one holding "Deny from all" or
// "Require all denied" makes its folder and everything below it answer 403.
// No other directive is honoured.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>

namespace vantrel {

// True when the text of an .htaccess file denies every request: one of the two
// directives (any case) outside comments, at top level or inside <IfModule>,
// <IfDefine> or <IfVersion> sections. Inside other sections (<Files>,
// <Limit>, ...) a directive applies to part of the folder only and is ignored.
bool htaccess_denies_all(std::string_view text);

// What each folder's .htaccess says, remembered until the folder or the file changes.
class HtaccessCache {
public:
    enum Answer { FOLDER_MISSING, FOLDER_OPEN, FOLDER_DENIED };
    // Looks at `folder`/.htaccess (read again only when the folder's or the
    // file's modification time changed).
    Answer check(const std::string& folder);

private:
    struct Entry {
        struct timespec folder_mtime {};
        bool has_file = false;
        struct timespec file_mtime {};
        ino_t file_ino = 0;
        off_t file_size = 0;
        bool denied = false;
    };
    static constexpr std::size_t kMaxEntries = 4096;
    std::unordered_map<std::string, Entry> entries_;
};

// True when `base` (the document root or an alias folder) or a folder below it
// on the way to `path` (which starts with `base`) is closed.
bool path_is_denied(HtaccessCache& cache, std::string_view base, std::string_view path);

}  // namespace vantrel
