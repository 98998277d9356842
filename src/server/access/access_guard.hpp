// Who may use the server beyond password files: a loopback-only check of the
// Host and Origin headers, and a private token carried in a cookie. Both are
// off unless the embedding turns them on after the context is made.
#pragma once

#include <cstddef>
#include <string>

namespace vantrel {

struct connection;

// The cookie that carries the private token, and the header that carries it
// for the programs the embedding starts.
inline constexpr const char* kServerTokenCookie = "vantrel_token";
inline constexpr const char* kServerTokenHeader = "X-Vantrel-Token";

struct AccessGuard {
    // A Host that is not 127.0.0.1, localhost or [::1] (with or without `port`)
    // is refused, and so is a POST, PUT or DELETE whose Origin is not
    // http://<one of them>:<port>.
    bool loopback_only = false;
    int port = 0;  // the listening port
    // Not empty: a request with neither the cookie kServerTokenCookie=token nor
    // the header kServerTokenHeader: token is refused.
    std::string token;
};

// True when the request may go on; otherwise it has been answered 403.
bool admit_request(connection& c);

}  // namespace vantrel
