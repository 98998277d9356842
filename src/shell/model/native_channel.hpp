// The native interface on the application's server: every request for a path
// under /_vantrel/ is checked on the server's poll thread, and an accepted
// call is handed to the user-interface thread (the process's default GLib
// main context), where the desktop performs it. Its reply goes back through
// the server whenever the call is done (a file dialog may take minutes); the
// server goes on serving every other request meanwhile.
#pragma once

#include <functional>

#include "server/server.hpp"
#include "shell/model/native_router.hpp"

namespace vantrel::shell {

// Makes `ctx` answer /_vantrel/ with `channel` (token, port and capabilities as
// they are when the server starts). Call before the poll thread starts.
void HostNativeInterface(ServerContext& ctx, NativeChannel channel);

// Runs `work` on the user-interface thread, from the main loop; never inline,
// whichever thread asks. Safe on any thread.
void RunOnUserInterface(std::function<void()> work);

}  // namespace vantrel::shell
