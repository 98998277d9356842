#include "shell/model/app_server.hpp"

#include <arpa/inet.h>
#include <unistd.h>

#include <openssl/rand.h>

#include <cstdio>
#include <stdexcept>

#include "server/server.hpp"
#include "shell/model/Globals.hpp"
#include "shell/model/native_channel.hpp"
#include "shell/model/native_settings.hpp"

namespace vantrel::shell {
namespace {

std::string g_token;  // the running server's token

}  // namespace

bool IsLoopbackAddress(const std::string& address) {
    in_addr addr{};
    if (inet_pton(AF_INET, address.c_str(), &addr) != 1) return false;
    return (ntohl(addr.s_addr) >> 24) == 127;
}

std::string NewServerToken() {
    unsigned char bytes[32];
    if (RAND_bytes(bytes, sizeof bytes) != 1) throw std::runtime_error("no random bytes for the server token");
    std::string hex;
    char digits[3];
    for (unsigned char b : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", b);
        hex += digits;
    }
    return hex;
}

void ConfigureApplicationServer(ServerContext& ctx, int port) {
    const ShellSettings& settings = Settings();
    ctx.guard.loopback_only = IsLoopbackAddress(settings.ListenAddress);
    ctx.guard.port = port;
    // Every run has a token: it guards the native interface; a private server
    // also asks it of every other request.
    g_token = NewServerToken();
    ctx.guard.token = settings.PrivateServer ? g_token : std::string();
    // Straight into the list the cgi_envvar option fills, so that the token is
    // never written to a debug log on the way.
    if (!settings.DataPath.empty()) ctx.envvars.push_front({"VANTREL_DATA_DIR", settings.DataPath});
    ctx.envvars.push_front({"VANTREL_SERVER_TOKEN", g_token});
    ctx.envvars.push_front({"VANTREL_NATIVE_URL", "http://127.0.0.1:" + std::to_string(port) + "/_vantrel/"});
    const std::string library = ProgramFolder() + kNativePhpLibrary;
    if (access(library.c_str(), R_OK) == 0) ctx.envvars.push_front({"VANTREL_PHP", library});
    // The capabilities are those the scripts allowed before the server started.
    HostNativeInterface(ctx, NativeChannel{g_token, port, Native().allowed});
}

const std::string& ServerToken() { return g_token; }

}  // namespace vantrel::shell
