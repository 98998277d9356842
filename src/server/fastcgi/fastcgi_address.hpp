// Where a FastCGI server listens: "unix:/path/to/socket" or "host:port".
#pragma once

#include <sys/socket.h>

#include <string>

namespace vantrel {

struct FcgiAddress {
    sockaddr_storage addr{};
    socklen_t length = 0;
    std::string text;  // as configured, for log lines
};

// Parses (and for a host name, resolves) an address. False, with the reason in
// `why`, for a text that names no usable address.
bool parse_fastcgi_address(const std::string& text, FcgiAddress& out, std::string& why);

// A Unix-domain address for a socket path (false when the path is too long).
bool unix_address(const std::string& path, FcgiAddress& out);

// Starts a non-blocking connection. Returns the socket (close-on-exec) or -1
// with errno set; `pending` tells that the connection is still being made and
// the socket becomes writable once it is (or has failed).
int fcgi_connect(const FcgiAddress& address, bool& pending);

}  // namespace vantrel
