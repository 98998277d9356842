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
    // Starts looking at one request's folders (path_is_denied calls it).
    void begin_request() { ++generation_; }
    // True when `folder` was looked at for the current request and has neither
    // an .htaccess nor an .htpasswd, which its unchanged time proves.
    bool has_no_password_file(const std::string& folder) const;

private:
    struct Entry {
        struct timespec folder_mtime {};
        ino_t folder_ino = 0;
        bool has_file = false;
        bool has_password_file = false;
        // Neither file, and the folder's time says so reliably.
        bool absence_settled = false;
        unsigned long looked_at = 0;  // the request (generation) that last looked
        struct timespec file_mtime {};
        ino_t file_ino = 0;
        off_t file_size = 0;
        bool denied = false;
    };
    static constexpr std::size_t kMaxEntries = 4096;
    std::unordered_map<std::string, Entry> entries_;
    unsigned long generation_ = 0;
};

// True when `base` (the document root or an alias folder) or a folder below it
// on the way to `path` (which starts with `base`) is closed.
bool path_is_denied(HtaccessCache& cache, std::string_view base, std::string_view path);

}  // namespace vantrel
