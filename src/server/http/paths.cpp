// Mapped paths as the file system sees them.
#include "server/http/paths.hpp"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "server/core/bounded.hpp"
#include "server/core/limits.hpp"

namespace vantrel {

void normalize_path(char* path) {
    char* out = path;
    for (const char* in = path; *in; ++in) {
        if (*in == '/' && out > path && out[-1] == '/') continue;
        *out++ = *in;
    }
    *out = '\0';
}

namespace {

// Copies a mapped path for the file system; false (errno set) when it does not fit.
bool fs_copy(char (&dst)[kPathSize], const char* path) {
    if (!copy_bounded(dst, path, sizeof dst)) {
        errno = ENAMETOOLONG;
        return false;
    }
    normalize_path(dst);
    return true;
}

}  // namespace

int open_path(const char* path, int flags, int mode) {
    char buf[kPathSize];
    if (!fs_copy(buf, path)) return -1;
    return open(buf, flags | O_CLOEXEC, mode);
}

int stat_path(const char* path, struct stat* st) {
    char buf[kPathSize];
    if (!fs_copy(buf, path)) return -1;
    std::size_t n = std::strlen(buf);
    while (n > 1 && buf[n - 1] == '/') buf[--n] = '\0';
    return stat(buf, st);
}

}  // namespace vantrel
