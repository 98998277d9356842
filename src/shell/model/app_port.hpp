// The port of the application's server. SetWebserverPort(n) fixes it and
// SetWebserverPort(0) asks for any free port at each start; an application that
// sets none gets a port of its own per user: derived from its id and the user
// (the same at every start, so the origin, and with it local storage, stays),
// remembered in its data folder, and moved to the next free port when another
// program holds it.
#pragma once

#include <sys/types.h>

#include <string>

struct lua_State;

namespace vantrel::shell {

// Derived ports lie in [kDerivedPortFirst, kDerivedPortLast]: above the ports
// services are usually given, below the kernel's range for outgoing
// connections (32768 and up), so no client socket holds one by chance.
inline constexpr int kDerivedPortFirst = 20000;
inline constexpr int kDerivedPortLast = 32767;
// How many ports after a taken one are tried before any free port is taken.
inline constexpr int kPortTries = 64;

// The port for application `id` and user `user`, always the same for both.
int DerivedPort(const std::string& id, uid_t user);

// The file that remembers the chosen port: "port" in the application's data
// folder ($XDG_DATA_HOME/vantrel/<id>/); empty without an application id.
std::string PortFile();

// The port the server will try first: the one a script set, else the
// remembered one, else the derived one.
int PortToTry();

// The port to bind: the one a script set (0 included), else PortToTry() when
// it is free on the listening address, else the next free one after it (in the
// derived range), else 0 (any free port) after a note on stderr.
int ChooseServerPort();

// After a successful start on `bound`: an automatic port is remembered in
// PortFile() when it differs from what is there.
void RememberServerPort(int bound);

// True when a socket could be bound to address:port right now.
bool PortIsFree(const std::string& address, int port);

// GetWebserverPort(): the port the server listens on; before it has started,
// the port it will try (0 for "any free port").
int l_GetWebserverPort(lua_State* L);

}  // namespace vantrel::shell
