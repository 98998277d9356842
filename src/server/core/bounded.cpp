// Bounded copies and formatting into fixed buffers.
#include "server/core/bounded.hpp"

#include <cstdio>
#include <cstring>

#include "server/core/log.hpp"

namespace vantrel {

bool copy_bounded(char* dst, const char* src, std::size_t n) {
    if (n == 0) return false;
    std::size_t len = std::strlen(src);
    bool fits = len < n;
    if (!fits) len = n - 1;
    std::memcpy(dst, src, len);
    dst[len] = '\0';
    return fits;
}

int vformat_bounded(char* buf, std::size_t n, const char* format, va_list ap) {
    if (n == 0) return 0;
    int r = std::vsnprintf(buf, n, format, ap);
    if (r < 0 || static_cast<std::size_t>(r) >= n) {
        server_log(LOG_DEBUG, "vsnprintf returned %d (%s)", r, format);
        if (r < 0) buf[0] = '\0';
        return static_cast<int>(std::strlen(buf));
    }
    return r;
}

int format_bounded(char* buf, std::size_t n, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    int r = vformat_bounded(buf, n, format, ap);
    va_end(ap);
    return r;
}

}  // namespace vantrel
