#include "shell/model/app_script_api.hpp"

#include <arpa/inet.h>

#include <lua.hpp>

#include "shell/model/Globals.hpp"

namespace vantrel::shell {

int l_SetListenAddress(lua_State* L) {
    const char* address = luaL_checklstring(L, 1, nullptr);
    in_addr parsed{};
    if (inet_pton(AF_INET, address, &parsed) != 1)
        return luaL_argerror(L, 1, lua_pushfstring(L, "'%s' is not an IPv4 address", address));
    Settings().ListenAddress = address;
    return 0;
}

int l_SetPrivateServer(lua_State* L) {
    luaL_checktype(L, 1, LUA_TBOOLEAN);
    Settings().PrivateServer = lua_toboolean(L, 1) != 0;
    return 0;
}

int l_GetDataPath(lua_State* L) {
    const std::string& path = Settings().DataPath;
    lua_pushlstring(L, path.data(), path.size());
    return 1;
}

}  // namespace vantrel::shell
