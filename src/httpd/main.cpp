// vantrel-httpd [OPTIONS] [config_file]: the web server as a program of its own.
#include <csignal>
#include <cstdio>
#include <cstring>

#include "server/server.hpp"

namespace {

volatile std::sig_atomic_t stop_requested = 0;

void request_stop(int) { stop_requested = 1; }

// SIGINT and SIGTERM end the serving loop; poll returns early with EINTR.
void install_signal_handlers() {
    struct sigaction sa {};
    sa.sa_handler = request_stop;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: poll must return so the loop sees the request
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

// The configuration file is the first argument after the switches, if any.
const char* find_config_file(int argc, char** argv) {
    int i = 1;
    while (i < argc && argv[i][0] == '-') {
        bool value_follows = argv[i][1] != '\0' && argv[i][2] == '\0';
        i += value_follows ? 2 : 1;
    }
    return i < argc ? argv[i] : nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace vantrel;
    if (argc > 1 && std::strcmp(argv[1], "-A") == 0) {
        if (argc != 6) usage(argv[0]);
        return htpasswd_add(argv[2], argv[3], argv[4], argv[5]) == 0 ? 0 : 1;
    }
    install_signal_handlers();
    auto ctx = do_init(find_config_file(argc, argv), argc, argv);
    if (!ctx) return 1;
    if (server_start(*ctx) < 0) return 1;
    while (!stop_requested) server_step(*ctx, 1000);
    free_context(std::move(ctx));
    return 0;
}
