#include "shell/model/app_data.hpp"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

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

// Copies every file of `seed` that `target` lacks; folders are made as needed.
bool copy_missing(const fs::path& seed, const fs::path& target, std::string& error) {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(seed, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        fs::path to = target / fs::relative(it->path(), seed, ec);
        if (ec) break;
        if (it->is_directory(ec)) {
            if (!fs::exists(to, ec) && mkdir(to.c_str(), 0700) != 0) {
                error = "cannot make the folder " + to.string() + ": " + std::strerror(errno);
                return false;
            }
        } else if (it->is_regular_file(ec)) {
            if (fs::exists(fs::symlink_status(to, ec))) continue;  // never overwritten
            if (!fs::copy_file(it->path(), to, fs::copy_options::skip_existing, ec)) break;
            // A seed in a read-only installation may be read-only itself; the copy is the user's.
            fs::permissions(to, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add, ec);
            ec.clear();
        }
    }
    if (ec) {
        error = "cannot copy " + seed.string() + ": " + ec.message();
        return false;
    }
    return true;
}

}  // namespace

ApplicationFolders FoldersFor(const std::string& id) {
    ApplicationFolders folders;
    folders.data = base_folder("XDG_DATA_HOME", ".local/share") + "/vantrel/" + id + "/";
    folders.cache = base_folder("XDG_CACHE_HOME", ".cache") + "/vantrel/" + id + "/";
    folders.writable = folders.data + "data";
    return folders;
}

bool PrepareApplicationFolders(const ApplicationFolders& folders, const std::string& seed, std::string& error) {
    if (!make_private_folders(folders.data.substr(0, folders.data.size() - 1), error)) return false;
    if (!make_private_folders(folders.cache.substr(0, folders.cache.size() - 1), error)) return false;
    if (!make_private_folders(folders.writable, error)) return false;
    if (chmod(folders.writable.c_str(), 0700) != 0) {
        error = "cannot set the mode of " + folders.writable + ": " + std::strerror(errno);
        return false;
    }
    std::error_code ec;
    if (!fs::is_directory(seed, ec) || fs::exists(folders.seed_marker(), ec)) return true;
    if (!copy_missing(seed, folders.writable, error)) return false;
    // Marked only once the copy is complete, so an interrupted first start copies the rest next time.
    std::ofstream(folders.seed_marker()) << "data.seed copied\n";
    return true;
}

}  // namespace vantrel::shell
