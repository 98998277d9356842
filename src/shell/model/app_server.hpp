// What makes the embedded server the application's own: the address it
// listens on, the loopback check while that is a loopback address, the private
// token, and the variables its CGI programs receive.
#pragma once

#include <string>

namespace vantrel {
struct ServerContext;
}

namespace vantrel::shell {

// True for an IPv4 address in 127.0.0.0/8 (dotted form).
bool IsLoopbackAddress(const std::string& address);

// A new random 256-bit token as 64 lower-case hex digits.
std::string NewServerToken();

// The PHP library of the native interface, in the program folder.
inline constexpr const char* kNativePhpLibrary = "vantrel.php";

// Applies the application's settings to a context made for port `port` (the
// bound one): the loopback check while ListenAddress is loopback, a fresh token
// (which a private server asks of every request), and in the CGI environment
// VANTREL_DATA_DIR, VANTREL_SERVER_TOKEN, VANTREL_NATIVE_URL (the native
// interface's address) and VANTREL_PHP (its PHP library); and /_vantrel/, the
// native interface, answered with the capabilities allowed so far. Call before
// the server thread starts.
void ConfigureApplicationServer(ServerContext& ctx, int port);

// The token of the running server (empty before it starts).
const std::string& ServerToken();

}  // namespace vantrel::shell
