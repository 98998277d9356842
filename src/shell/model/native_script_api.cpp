#include "shell/model/native_script_api.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <glib.h>
#include <lua.hpp>

#include <climits>
#include <string>

#include "shell/model/native_port.hpp"
#include "shell/model/native_settings.hpp"

namespace vantrel::shell {
namespace {

NativePort* g_port = nullptr;  // borrowed: the desktop's implementation

// `path` made absolute against the working folder (the application folder).
std::string absolute(const char* path) {
    if (path[0] == '/') return path;
    char cwd[PATH_MAX];
    return std::string(getcwd(cwd, sizeof cwd) ? cwd : ".") + "/" + path;
}

bool is_file(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool check_boolean(lua_State* L, int narg) {
    luaL_checktype(L, narg, LUA_TBOOLEAN);
    return lua_toboolean(L, narg) != 0;
}

// Optional text argument: nil or missing gives "".
const char* optional_text(lua_State* L, int narg) {
    return lua_isnoneornil(L, narg) ? "" : luaL_checklstring(L, narg, nullptr);
}

}  // namespace

void SetNativePort(NativePort* port) { g_port = port; }
NativePort* NativeDesktop() { return g_port; }

// Every function checks all of its arguments before any C++ object is made:
// the engine's errors jump out with longjmp, which would skip its destructor.

int l_AllowNative(lua_State* L) {
    luaL_checklstring(L, 1, nullptr);
    unsigned allowed = 0;
    const int n = lua_gettop(L);
    for (int i = 1; i <= n; ++i) {
        const char* name = luaL_checklstring(L, i, nullptr);
        std::optional<Capability> capability = CapabilityNamed(name);
        if (!capability)
            return luaL_argerror(L, i, lua_pushfstring(L, "unknown capability '%s' (known: %s)", name, KnownCapabilities()));
        allowed |= *capability;
    }
    Native().allowed |= allowed;
    return 0;
}

int l_GetArguments(lua_State* L) {
    const std::vector<std::string>& arguments = Native().arguments;
    lua_createtable(L, static_cast<int>(arguments.size()), 0);
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        lua_pushlstring(L, arguments[i].data(), arguments[i].size());
        lua_rawseti(L, -2, static_cast<int>(i + 1));
    }
    return 1;
}

int l_SetTrayIcon(lua_State* L) {
    const char* path = luaL_checklstring(L, 1, nullptr);
    if (!is_file(absolute(path))) return luaL_argerror(L, 1, lua_pushfstring(L, "no image file '%s'", path));
    Native().tray_icon = absolute(path);
    Native().tray_wanted = true;
    if (g_port) g_port->update_tray();
    return 0;
}

int l_SetCloseToTray(lua_State* L) {
    bool on = check_boolean(L, 1);
    Native().close_to_tray = on;
    if (on) Native().tray_wanted = true;
    if (g_port) g_port->update_tray();
    return 0;
}

int l_Notify(lua_State* L) {
    const char* title = luaL_checklstring(L, 1, nullptr);
    const char* body = optional_text(L, 2);
    const char* open = optional_text(L, 3);
    if (title[0] == '\0') return luaL_argerror(L, 1, "the title must not be empty");
    if (open[0] != '\0' && (open[0] != '/' || open[1] == '/'))
        return luaL_argerror(L, 3, "a path of the site, starting with \"/\"");
    std::optional<std::string> id;
    if (g_port) {
        Refusal why;
        id = g_port->notify(NotificationRequest{title, body, "", open}, why);
    }
    if (id)
        lua_pushlstring(L, id->data(), id->size());
    else
        lua_pushnil(L);
    return 1;
}

int l_SetFullscreen(lua_State* L) {
    bool on = check_boolean(L, 1);
    if (g_port) {
        WindowChange change;
        change.fullscreen = on;
        g_port->change_window(change);
    }
    return 0;
}

int l_SetClipboardText(lua_State* L) {
    size_t length = 0;
    const char* text = luaL_checklstring(L, 1, &length);
    if (g_port) g_port->set_clipboard_text(std::string(text, length));
    return 0;
}

int l_OpenExternal(lua_State* L) {
    const char* target = luaL_checklstring(L, 1, nullptr);
    bool started = false;
    if (g_port) {
        std::string uri;
        if (g_uri_peek_scheme(target) != nullptr) {
            uri = target;
        } else if (gchar* file_uri = g_filename_to_uri(absolute(target).c_str(), nullptr, nullptr)) {
            uri = file_uri;
            g_free(file_uri);
        }
        started = !uri.empty() && !g_port->open_with_default(uri);
    }
    lua_pushboolean(L, started);
    return 1;
}

}  // namespace vantrel::shell
