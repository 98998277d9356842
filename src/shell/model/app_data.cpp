#include "shell/model/app_data.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <algorithm>
#include <set>
#include <system_error>
#include <vector>

#include "server/server.hpp"

namespace vantrel::shell {
namespace fs = std::filesystem;
namespace {

std::string home_folder() {
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/') return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "/tmp";
}

// An XDG base folder: the variable when it holds an absolute path, else the fallback under HOME.
std::string base_folder(const char* variable, const char* fallback) {
    const char* value = std::getenv(variable);
    if (value && value[0] == '/') return value;
    return home_folder() + "/" + fallback;
}

// Makes `path` and any missing parents with mode 0700.
bool make_private_folders(const std::string& path, std::string& error) {
    std::string partial;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (partial.empty()) continue;
        if (mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
            error = "cannot make the folder " + partial + ": " + std::strerror(errno);
            return false;
        }
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = path + " is not a folder";
        return false;
    }
    return true;
}

// The seed files copied so far, by path relative to the seed, one a line.
std::set<std::string> read_record(const std::string& file) {
    std::set<std::string> names;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty()) names.insert(line);
    return names;
}

// Closes a descriptor when it goes.
struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

// Copies one seed file into `dir` (a descriptor of a folder inside the data
// folder) as `name`. The new file is made there and only there: never over
// anything, never through a link.
bool copy_seed_file(const std::string& from, int dir, const char* name, const std::string& shown, std::string& error) {
    Fd in(open(from.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (in.fd < 0 || fstat(in.fd, &st) != 0) {
        error = "cannot read " + shown + ": " + std::strerror(errno);
        return false;
    }
    // A seed in a read-only installation may be read-only itself; the copy is the user's.
    Fd out(openat(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, (st.st_mode & 0777) | 0600));
    if (out.fd < 0) {
        if (errno == EEXIST) return true;  // there already: never overwritten
        error = "cannot copy " + shown + ": " + std::strerror(errno);
        return false;
    }
    char buf[65536];
    for (;;) {
        ssize_t n = read(in.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = "cannot read " + shown + ": " + std::strerror(errno);
            return false;
        }
        if (n == 0) break;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(out.fd, buf + done, static_cast<std::size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) {
                error = "cannot copy " + shown + ": " + std::strerror(errno);
                unlinkat(dir, name, 0);  // no half copy: the next start tries again
                return false;
            }
            done += w;
        }
    }
    return true;
}

// Copies what the seed has and the data folder has never had. The seed is read
// through its links only where they stay inside it; the data folder is written
// through descriptors opened without following links.
class SeedCopy {
public:
    SeedCopy(const fs::path& seed, std::set<std::string>& record, std::vector<std::string>& notes)
        : seed_(seed), record_(record), notes_(notes) {
        std::error_code ec;
        seed_real_ = fs::canonical(seed, ec);
    }

    // With `copy` false the files are only recorded (data folders seeded
    // before a record was kept).
    bool run(int target, bool copy, std::string& error) {
        copy_ = copy;
        visiting_.push_back(seed_real_);
        return folder(seed_, target, "", error);
    }

private:
    static constexpr int kDepthMax = 32;

    bool inside_seed(const fs::path& real) const {
        auto [end, at] = std::mismatch(seed_real_.begin(), seed_real_.end(), real.begin(), real.end());
        return end == seed_real_.end();
    }

    void note(const std::string& text) { notes_.push_back(text); }

    bool folder(const fs::path& from, int target, const std::string& prefix, std::string& error) {
        if (visiting_.size() > kDepthMax) {
            note(std::string(kSeedFolder) + "/" + prefix + " is nested too deeply; left out");
            return true;
        }
        std::error_code ec;
        std::vector<fs::path> entries;
        for (const auto& entry : fs::directory_iterator(from, ec)) entries.push_back(entry.path());
        if (ec) {
            error = "cannot read " + from.string() + ": " + ec.message();
            return false;
        }
        std::sort(entries.begin(), entries.end());
        for (const fs::path& path : entries)
            if (!entry(path, target, prefix + path.filename().string(), error)) return false;
        return true;
    }

    bool entry(const fs::path& path, int target, const std::string& relative, std::string& error) {
        const std::string shown = std::string(kSeedFolder) + "/" + relative;
        if (relative.find('\n') != std::string::npos) {
            note(shown + ": a name with a line break; left out");
            return true;
        }
        std::error_code ec;
        fs::path source = path;
        if (fs::is_symlink(fs::symlink_status(path, ec))) {
            fs::path real = fs::canonical(path, ec);
            if (ec) {
                note(shown + " is a link to nothing; left out");
                return true;
            }
            if (!inside_seed(real)) {
                note(shown + " is a link that leads out of " + kSeedFolder + "; left out");
                return true;
            }
            source = real;  // copied as what it points to
        }
        fs::file_status status = fs::status(source, ec);
        const std::string name = path.filename().string();
        if (fs::is_directory(status)) {
            fs::path real = fs::canonical(source, ec);
            if (std::find(visiting_.begin(), visiting_.end(), real) != visiting_.end()) {
                note(shown + " leads back into a folder it is in; left out");
                return true;
            }
            if (copy_ && mkdirat(target, name.c_str(), 0700) != 0 && errno != EEXIST) {
                error = "cannot make the folder for " + shown + ": " + std::strerror(errno);
                return false;
            }
            Fd inner(openat(target, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (inner.fd < 0 && copy_) {
                // Not a folder of the data folder's own (a file, or a link to elsewhere): nothing goes in.
                note(shown + ": the data folder holds something else of that name; its files are left out");
                return true;
            }
            visiting_.push_back(real);
            bool ok = folder(source, inner.fd, relative + "/", error);
            visiting_.pop_back();
            return ok;
        }
        if (!fs::is_regular_file(status)) {
            note(shown + " is neither a file nor a folder; left out");
            return true;
        }
        if (record_.count(relative)) return true;  // copied once; the user may have removed it since
        if (copy_) {
            struct stat st;
            if (fstatat(target, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 &&
                !copy_seed_file(source, target, name.c_str(), shown, error))
                return false;
        }
        record_.insert(relative);
        return true;
    }

    fs::path seed_;
    fs::path seed_real_;
    std::set<std::string>& record_;
    std::vector<std::string>& notes_;
    std::vector<fs::path> visiting_;
    bool copy_ = true;
};

std::string record_text(const std::set<std::string>& record) {
    std::string text;
    for (const std::string& name : record) text += name + "\n";
    return text;
}

}  // namespace

ApplicationFolders FoldersFor(const std::string& id) {
    ApplicationFolders folders;
    folders.data = base_folder("XDG_DATA_HOME", ".local/share") + "/vantrel/" + id + "/";
    folders.cache = base_folder("XDG_CACHE_HOME", ".cache") + "/vantrel/" + id + "/";
    folders.writable = folders.data + "data";
    return folders;
}

bool PrepareApplicationFolders(const ApplicationFolders& folders, const std::string& seed, std::string& error,
                               std::vector<std::string>* notes) {
    if (!make_private_folders(folders.data.substr(0, folders.data.size() - 1), error)) return false;
    if (!make_private_folders(folders.cache.substr(0, folders.cache.size() - 1), error)) return false;
    if (!make_private_folders(folders.writable, error)) return false;
    if (chmod(folders.writable.c_str(), 0700) != 0) {
        error = "cannot set the mode of " + folders.writable + ": " + std::strerror(errno);
        return false;
    }
    std::error_code ec;
    if (!fs::is_directory(seed, ec)) return true;
    Fd target(open(folders.writable.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (target.fd < 0) {
        error = "cannot open " + folders.writable + ": " + std::strerror(errno);
        return false;
    }
    // Every seed file copied so far is recorded, so that what a newer version
    // adds arrives and what the user removed stays removed. A folder seeded
    // before the record was kept counts every file of today's seed as copied.
    const bool recorded = fs::exists(folders.seed_record(), ec);
    const bool seeded_before = !recorded && fs::exists(folders.seed_marker(), ec);
    std::set<std::string> record = read_record(folders.seed_record());
    const std::set<std::string> before = record;
    std::vector<std::string> left_out;
    SeedCopy copy(seed, record, left_out);
    bool ok = copy.run(target.fd, !seeded_before, error);
    if (notes) notes->insert(notes->end(), left_out.begin(), left_out.end());
    // Kept even after a failed copy: what did arrive is not copied again.
    if (record != before || !recorded) {
        if (int e = replace_file_atomically(folders.seed_record(), record_text(record), 0600); e != 0 && ok) {
            error = "cannot write " + folders.seed_record() + ": " + std::strerror(e);
            return false;
        }
    }
    return ok;
}

}  // namespace vantrel::shell
