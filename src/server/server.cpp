// Starting a context's server.
#include "server/server.hpp"

#include "server/cgi/cgi_gate.hpp"
#include "server/config/context.hpp"
#include "server/engine/engine.hpp"

namespace vantrel {

int server_start(ServerContext& ctx, const std::function<void(int port)>& on_bound) {
    int sock = server_open_port(ctx.listen_port, ctx.listen_address.c_str());
    if (sock < 0) return -1;
    int port = bound_port(sock);
    // Port 0 asked for any free port: programs are told the one chosen (SERVER_PORT).
    ctx.listen_port = port;
    if (on_bound) on_bound(port);
    server_listen(ctx, sock);
    start_cgi_workers(ctx);
    return port;
}

}  // namespace vantrel
