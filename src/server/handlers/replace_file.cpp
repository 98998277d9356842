#include "server/handlers/replace_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>

#include "server/core/limits.hpp"

namespace vantrel {

namespace {

// ".<base>.put-XXXXXX": the dot keeps it out of listings, the suffix is mkstemp's.
constexpr std::string_view kTempSuffix = ".put-XXXXXX";
constexpr std::size_t kTempFixed = 1 + kTempSuffix.size();  // the leading dot and the suffix
static_assert(kTempFixed < NAME_MAX, "a temporary name always fits");

}  // namespace

int create_temp_beside(const std::string& target, mode_t mode, std::string& temp) {
    std::size_t slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    // The base name only makes the temporary recognisable: it is cut to what fits
    // both a name and a path.
    if (dir.size() + kTempFixed >= kPathSize) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::size_t keep = std::min({base.size(), NAME_MAX - kTempFixed, kPathSize - 1 - dir.size() - kTempFixed});
    std::string name = dir + "." + base.substr(0, keep) + std::string(kTempSuffix);
    int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return -1;
    if (fchmod(fd, mode) != 0) {
        int err = errno;
        ::close(fd);
        ::unlink(name.c_str());
        errno = err;
        return -1;
    }
    temp = name;
    return fd;
}

int commit_temp(int fd, const std::string& temp, const std::string& target) {
    int err = 0;
    if (fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && err == 0) err = errno;
    if (err == 0 && std::rename(temp.c_str(), target.c_str()) != 0) err = errno;
    if (err != 0) ::unlink(temp.c_str());
    return err;
}

int replace_file_atomically(const std::string& target, std::string_view content, mode_t mode) {
    std::string temp;
    int fd = create_temp_beside(target, mode, temp);
    if (fd < 0) return errno;
    std::size_t off = 0;
    while (off < content.size()) {
        ssize_t n = ::write(fd, content.data() + off, content.size() - off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int err = n < 0 ? errno : EIO;
            ::close(fd);
            ::unlink(temp.c_str());
            return err;
        }
        off += static_cast<std::size_t>(n);
    }
    return commit_temp(fd, temp, target);
}

}  // namespace vantrel
