// The web server library as a program that embeds it sees it: making a context
// from options, starting it, driving its poll step, and freeing it.
#pragma once

#include <functional>

#include "server/access/access_guard.hpp"  // AccessGuard, kServerTokenCookie
#include "server/access/auth.hpp"          // htpasswd_add
#include "server/config/context.hpp"       // ServerContext
#include "server/config/options.hpp"       // init_context, do_init, free_context, usage
#include "server/core/log.hpp"             // server_log, set_fatal_hook
#include "server/embed/hosted.hpp"         // server_host_prefix, HostedRequest, HostedReply
#include "server/embed/observer.hpp"       // server_observe_requests, RequestRecord
#include "server/engine/engine.hpp"        // server_step
#include "server/handlers/replace_file.hpp" // replace_file_atomically

namespace vantrel {

// Opens the listening socket on the context's listen_port and listen_address,
// calls `on_bound` with the bound port (the embedding finishes configuring the
// context there, before anything is served), registers the socket, and starts
// the worker pool when the context asks for one. Returns the bound port, or -1
// after a fatal message whose hook returned.
int server_start(ServerContext& ctx, const std::function<void(int port)>& on_bound = {});

}  // namespace vantrel
