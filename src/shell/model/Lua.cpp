#include "shell/model/Lua.hpp"

#include <lua.hpp>

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "shell/model/developer.hpp"

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

// Message handler of a script run: an error raised inside a native function
// (an argument error of the script API) carries no position, so the position of
// the script line that called it is put in front, as the engine does for errors
// raised by script code ("onInit.lua:3: bad argument #1 to 'SetTitle' ...").
int add_position(lua_State* L) {
    if (!lua_isstring(L, 1)) {
        lua_pushliteral(L, "(error object is not a string)");
        return 1;
    }
    lua_Debug ar;
    for (int level = 1; lua_getstack(L, level, &ar); ++level) {
        lua_getinfo(L, "Sl", &ar);
        if (ar.currentline <= 0) continue;  // a native function: look further up
        char where[LUA_IDSIZE + 24];
        std::snprintf(where, sizeof where, "%s:%d:", ar.short_src, ar.currentline);
        if (std::strncmp(lua_tostring(L, 1), where, std::strlen(where)) != 0) {
            lua_pushfstring(L, "%s %s", where, lua_tostring(L, 1));
            return 1;
        }
        break;
    }
    lua_settop(L, 1);
    return 1;
}

// A file that is there but cannot be loaded is worth a report; a missing one
// (an absent hook script) is not.
bool exists(const std::string& path) {
    struct stat st;
    return !path.empty() && stat(path.c_str(), &st) == 0;
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
    lua_pushcfunction(L, add_position);
    int status = luaL_loadfile(L, path.c_str());
    if (status == 0) status = lua_pcall(L, 0, 0, top + 1);
    // The rest of a failed script is skipped; its message goes to the author
    // (nothing for a hook script that is simply not there).
    if (status != 0 && (status != LUA_ERRFILE || exists(path))) {
        const char* message = lua_tostring(L, -1);
        ReportScriptError(message ? message : "(error object is not a string)");
    }
    lua_settop(L, top);
}

void CloseLua() {
    if (g_lua == nullptr) return;
    lua_close(g_lua);
    g_lua = nullptr;
}

lua_State* LuaState() { return g_lua; }

}  // namespace vantrel::shell
