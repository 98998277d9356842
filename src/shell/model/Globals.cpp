#include "shell/model/Globals.hpp"

#include <unistd.h>

#include <climits>

namespace vantrel::shell {

const char* const kLoadingPage =
    "<html><head><style type='text/css'>\r\n"
    "#idLoading { padding-left: 5px; background-color: red; display:block; color: white;} "
    "</style>\r\n"
    "</head><body><div id='idLoading'>Loading...</div></body></html>";

ShellSettings& Settings() {
    static ShellSettings settings;
    return settings;
}

std::string ProgramFolder() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof buf) return "./";
    std::string path(buf, static_cast<size_t>(n));
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return "./";
    return path.substr(0, slash + 1);
}

}  // namespace vantrel::shell
