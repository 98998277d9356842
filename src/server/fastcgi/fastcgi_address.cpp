// Parsing FastCGI server addresses and connecting to them without waiting.
#include "server/fastcgi/fastcgi_address.hpp"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace vantrel {

bool unix_address(const std::string& path, FcgiAddress& out) {
    sockaddr_un un{};
    if (path.empty() || path.size() >= sizeof un.sun_path) return false;
    un.sun_family = AF_UNIX;
    std::memcpy(un.sun_path, path.data(), path.size());
    out.addr = {};
    std::memcpy(&out.addr, &un, sizeof un);
    out.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    return true;
}

bool parse_fastcgi_address(const std::string& text, FcgiAddress& out, std::string& why) {
    out.text = text;
    if (text.rfind("unix:", 0) == 0) {
        std::string path = text.substr(5);
        if (path.empty() || path[0] != '/') {
            why = "a Unix socket needs an absolute path";
            return false;
        }
        if (!unix_address(path, out)) {
            why = "the socket path is too long";
            return false;
        }
        return true;
    }
    std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) {
        why = "expected unix:/path or host:port";
        return false;
    }
    std::string host = text.substr(0, colon), port = text.substr(colon + 1);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    char* end = nullptr;
    long number = std::strtol(port.c_str(), &end, 10);
    if (*end != '\0' || port[0] < '0' || port[0] > '9' || number < 1 || number > 65535) {
        why = "the port must be a number from 1 to 65535";
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    if (rc != 0 || !found) {
        why = gai_strerror(rc);
        return false;
    }
    std::memcpy(&out.addr, found->ai_addr, found->ai_addrlen);
    out.length = found->ai_addrlen;
    freeaddrinfo(found);
    return true;
}

int fcgi_connect(const FcgiAddress& address, bool& pending) {
    pending = false;
    int family = address.addr.ss_family;
    int fd = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (family != AF_UNIX) {
        int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    int rc;
    do rc = connect(fd, reinterpret_cast<const sockaddr*>(&address.addr), address.length);
    while (rc != 0 && errno == EINTR);
    if (rc == 0) return fd;
    // A Unix socket whose backlog is full answers EAGAIN: treated as a failure,
    // since the server never has more requests out than the backlog holds.
    if (errno == EINPROGRESS) {
        pending = true;
        return fd;
    }
    int err = errno;
    close(fd);
    errno = err;
    return -1;
}

}  // namespace vantrel
