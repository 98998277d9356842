#include "server/access/htaccess.hpp"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include "server/core/handles.hpp"
#include "server/engine/connection.hpp"
#include "server/http/paths.hpp"

namespace vantrel {

namespace {

// Longest .htaccess read; real ones are a few hundred bytes.
constexpr std::size_t kMaxHtaccessSize = 64 * 1024;

bool same_time(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

std::vector<std::string_view> words_of(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) i++;
        std::size_t start = i;
        while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) i++;
        if (i > start) words.push_back(line.substr(start, i - start));
    }
    return words;
}

bool word_is(std::string_view word, const char* expected) {
    std::size_t n = std::strlen(expected);
    return word.size() == n && strncasecmp(word.data(), expected, n) == 0;
}

// The section name of "<Name ...>" or "</Name>" (without brackets), in `name`.
bool section_tag(std::string_view first, bool& closing, std::string_view& name) {
    if (first.size() < 2 || first[0] != '<') return false;
    closing = first[1] == '/';
    name = first.substr(closing ? 2 : 1);
    if (!name.empty() && name.back() == '>') name.remove_suffix(1);
    return true;
}

// Sections whose content applies to the whole folder when it applies at all.
bool transparent_section(std::string_view name) {
    return word_is(name, "IfModule") || word_is(name, "IfDefine") || word_is(name, "IfVersion");
}

// Reads the file whole (up to the limit); false when it cannot be read.
bool read_small_file(int fd, std::string& text) {
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        text.append(buf, static_cast<std::size_t>(n));
        if (text.size() >= kMaxHtaccessSize) return true;
    }
}

// File times lag the clock by up to a tick: an .htaccess made in the same
// second as the folder's last change might not have moved its time, so a
// folder changed a moment ago is looked into again.
bool absence_is_settled(bool has_file, bool has_password_file, const struct stat& folder) {
    return !has_file && !has_password_file && std::time(nullptr) > folder.st_mtim.tv_sec + 1;
}

}  // namespace

bool htaccess_denies_all(std::string_view text) {
    int narrowing = 0;  // depth of sections that apply to part of the folder only
    std::vector<bool> opened;  // per open section: does it narrow?
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::vector<std::string_view> words = words_of(text.substr(pos, end - pos));
        pos = end + 1;
        if (words.empty() || words[0][0] == '#') continue;
        bool closing = false;
        std::string_view name;
        if (section_tag(words[0], closing, name)) {
            if (!closing) {
                bool narrows = !transparent_section(name);
                opened.push_back(narrows);
                narrowing += narrows ? 1 : 0;
            } else if (!opened.empty()) {
                narrowing -= opened.back() ? 1 : 0;
                opened.pop_back();
            }
            continue;
        }
        if (narrowing > 0 || words.size() < 3) continue;
        bool trailing_comment_or_nothing = words.size() == 3 || words[3][0] == '#';
        if (!trailing_comment_or_nothing) continue;
        if (word_is(words[0], "Deny") && word_is(words[1], "from") && word_is(words[2], "all")) return true;
        if (word_is(words[0], "Require") && word_is(words[1], "all") && word_is(words[2], "denied")) return true;
    }
    return false;
}

HtaccessCache::Answer HtaccessCache::check(const std::string& folder) {
    struct stat dir;
    if (stat_path(folder.c_str(), &dir) != 0 || !S_ISDIR(dir.st_mode)) return FOLDER_MISSING;
    auto found = entries_.find(folder);
    // A folder known to have neither file, unchanged since: adding one would
    // have changed the folder's time.
    if (found != entries_.end() && found->second.absence_settled && same_time(found->second.folder_mtime, dir.st_mtim) &&
        found->second.folder_ino == dir.st_ino) {
        found->second.looked_at = generation_;
        return FOLDER_OPEN;
    }
    std::string prefix = folder + (folder.empty() || folder.back() != '/' ? "/" : "");
    std::string file = prefix + ".htaccess";
    struct stat st;
    bool has_file = stat_path(file.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    struct stat password_file;
    bool has_password_file = stat_path((prefix + ".htpasswd").c_str(), &password_file) == 0;

    if (found != entries_.end()) {
        Entry& e = found->second;
        bool unchanged = same_time(e.folder_mtime, dir.st_mtim) && e.has_file == has_file &&
                         e.has_password_file == has_password_file &&
                         (!has_file || (same_time(e.file_mtime, st.st_mtim) && e.file_ino == st.st_ino &&
                                        e.file_size == st.st_size));
        if (unchanged) {
            // A folder first seen just after a change settles once its time is old enough.
            e.absence_settled = absence_is_settled(has_file, has_password_file, dir);
            e.looked_at = generation_;
            return e.denied ? FOLDER_DENIED : FOLDER_OPEN;
        }
    }

    Entry e;
    e.folder_mtime = dir.st_mtim;
    e.folder_ino = dir.st_ino;
    e.has_file = has_file;
    e.has_password_file = has_password_file;
    e.absence_settled = absence_is_settled(has_file, has_password_file, dir);
    e.looked_at = generation_;
    if (has_file) {
        e.file_mtime = st.st_mtim;
        e.file_ino = st.st_ino;
        e.file_size = st.st_size;
        UniqueFd fd(open_path(file.c_str(), O_RDONLY));
        std::string text;
        // A file that exists but cannot be read may hold a denial: treated as one.
        e.denied = !fd.valid() || !read_small_file(fd.get(), text) || htaccess_denies_all(text);
    }
    if (entries_.size() >= kMaxEntries) entries_.clear();
    entries_[folder] = e;
    return e.denied ? FOLDER_DENIED : FOLDER_OPEN;
}

bool HtaccessCache::has_no_password_file(const std::string& folder) const {
    auto found = entries_.find(folder);
    return found != entries_.end() && found->second.looked_at == generation_ && found->second.absence_settled;
}

bool path_is_denied(HtaccessCache& cache, std::string_view base, std::string_view path) {
    cache.begin_request();
    // The base folder, then each folder below it named by a "/" in the rest of the path.
    std::size_t from = base.size();
    while (from > 1 && path[from - 1] == '/') from--;
    std::string previous;
    for (std::size_t i = from; i <= path.size(); i++) {
        if (i != from && (i == path.size() || path[i] != '/')) continue;
        if (i == path.size() && i != from) break;  // the last name is the file itself
        std::string folder(path.substr(0, i == 0 ? 1 : i));
        while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
        if (folder == previous) continue;
        previous = folder;
        HtaccessCache::Answer a = cache.check(folder);
        if (a == HtaccessCache::FOLDER_DENIED) return true;
        if (a == HtaccessCache::FOLDER_MISSING) return false;
    }
    return false;
}

}  // namespace vantrel
