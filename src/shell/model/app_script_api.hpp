// Script functions that make the application's server and data its own,
// registered after the eleven.
#pragma once

struct lua_State;

namespace vantrel::shell {

// SetListenAddress(address): the server's listening address, an IPv4 address
// in dotted form ("0.0.0.0" opens it to the network); anything else is an
// argument error. Matters until the server starts.
int l_SetListenAddress(lua_State* L);
// SetPrivateServer(on): a Lua boolean; true makes the server answer only
// requests that carry the token cookie the window's browser holds.
int l_SetPrivateServer(lua_State* L);
// GetDataPath(): the application's private writable folder (no trailing "/").
int l_GetDataPath(lua_State* L);

}  // namespace vantrel::shell
