#include "shell/model/Lua.hpp"

#include <lua.hpp>

#include <stdexcept>

namespace vantrel::shell {
namespace {

lua_State* g_lua = nullptr;  // owned; the process's one state

// Opens the four libraries in protected mode, so that running out of memory
// here becomes an error instead of the engine's panic.
int open_libraries(lua_State* L) {
    const lua_CFunction openers[] = {luaopen_base, luaopen_table, luaopen_string, luaopen_math};
    for (lua_CFunction open : openers) {
        lua_pushcfunction(L, open);
        lua_pushstring(L, "");
        lua_call(L, 1, 0);
    }
    return 0;
}

}  // namespace

void InitLua() {
    CloseLua();
    lua_State* L = luaL_newstate();
    if (L == nullptr) throw std::runtime_error("Error Initializing lua\n");
    if (lua_cpcall(L, open_libraries, nullptr) != 0) {
        lua_close(L);
        throw std::runtime_error("Error Initializing lua\n");
    }
    lua_settop(L, 0);
    g_lua = L;
}

void RunScript(const std::string& path) {
    lua_State* L = g_lua;
    if (L == nullptr) return;
    const int top = lua_gettop(L);
    // The name goes to the engine unchanged: relative names are relative to the
    // current working directory. An empty name cannot be opened.
    if (luaL_loadfile(L, path.c_str()) == 0) lua_pcall(L, 0, 0, 0);
    // Whatever failed left its message on the stack; drop it silently.
    lua_settop(L, top);
}

void CloseLua() {
    if (g_lua == nullptr) return;
    lua_close(g_lua);
    g_lua = nullptr;
}

lua_State* LuaState() { return g_lua; }

}  // namespace vantrel::shell
