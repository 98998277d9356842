#include "shell/model/app_port.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <lua.hpp>
#include <openssl/evp.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

#include "server/server.hpp"
#include "shell/model/Globals.hpp"
#include "shell/model/Webserver.hpp"
#include "shell/model/app_data.hpp"
#include "shell/model/developer.hpp"

namespace vantrel::shell {
namespace {

constexpr int kDerivedPortCount = kDerivedPortLast - kDerivedPortFirst + 1;

bool in_derived_range(int port) { return port >= kDerivedPortFirst && port <= kDerivedPortLast; }

// The port in PortFile(), or 0 when there is none that could be one.
int remembered_port() {
    std::string file = PortFile();
    if (file.empty()) return 0;
    std::ifstream in(file);
    std::string text;
    if (!std::getline(in, text)) return 0;
    char* end = nullptr;
    long port = std::strtol(text.c_str(), &end, 10);
    if (end == text.c_str() || *end != '\0' || port < 1 || port > 65535) return 0;
    return static_cast<int>(port);
}

// The port after `port` in the derived range, wrapping round at its end.
int next_in_range(int port) {
    if (!in_derived_range(port)) return kDerivedPortFirst;
    return port == kDerivedPortLast ? kDerivedPortFirst : port + 1;
}

}  // namespace

int DerivedPort(const std::string& id, uid_t user) {
    std::string text = id + "\n" + std::to_string(user);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr) != 1 || length < 4)
        return kDerivedPortFirst;
    unsigned long value = (static_cast<unsigned long>(digest[0]) << 24) | (static_cast<unsigned long>(digest[1]) << 16) |
                          (static_cast<unsigned long>(digest[2]) << 8) | digest[3];
    return kDerivedPortFirst + static_cast<int>(value % kDerivedPortCount);
}

std::string PortFile() {
    const std::string& id = Settings().ApplicationId;
    return id.empty() ? std::string() : FoldersFor(id).port_file();
}

int PortToTry() {
    const ShellSettings& settings = Settings();
    if (settings.WebserverPort) return *settings.WebserverPort;
    if (int port = remembered_port()) return port;
    return DerivedPort(settings.ApplicationId, getuid());
}

bool PortIsFree(const std::string& address, int port) {
    int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (sock < 0) return false;
    // As the server binds: a port left in TIME_WAIT by an earlier run counts as free.
    int on = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    bool free = inet_pton(AF_INET, address.c_str(), &addr.sin_addr) == 1 &&
                bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(sock);
    return free;
}

int ChooseServerPort() {
    const ShellSettings& settings = Settings();
    if (settings.WebserverPort) return *settings.WebserverPort;
    int first = PortToTry();
    int port = first;
    for (int tried = 0; tried < kPortTries; ++tried) {
        if (PortIsFree(settings.ListenAddress, port)) return port;
        port = next_in_range(port);
    }
    ReportNote("port " + std::to_string(first) + " and the " + std::to_string(kPortTries - 1) +
               " after it are taken; the server takes any free port this time");
    return 0;
}

void RememberServerPort(int bound) {
    if (Settings().WebserverPort || bound <= 0) return;
    std::string file = PortFile();
    if (file.empty() || remembered_port() == bound) return;
    if (int error = replace_file_atomically(file, std::to_string(bound) + "\n", 0600))
        ReportNote("cannot remember the port in " + file + ": " + std::strerror(error));
}

int l_GetWebserverPort(lua_State* L) {
    int port = ServerPort();
    lua_pushinteger(L, port > 0 ? port : PortToTry());
    return 1;
}

}  // namespace vantrel::shell
