#include "shell/model/Fmain.hpp"

#include <sys/stat.h>

#include <lua.hpp>

#include <array>
#include <climits>
#include <cmath>
#include <cstring>
#include <exception>
#include <optional>
#include <utility>

#include "shell/model/Globals.hpp"
#include "shell/model/Lua.hpp"
#include "shell/model/app_port.hpp"
#include "shell/model/app_script_api.hpp"
#include "shell/model/php_extensions.hpp"
#include "shell/model/native_events.hpp"
#include "shell/model/native_script_api.hpp"

namespace vantrel::shell {
namespace {

constexpr int kMaxPHPWorkers = 64;

WindowPort* g_window = nullptr;  // borrowed: `frmMain`
std::string g_application_title = "Vantrel";

// The menu being filled between NewMenu and AddMenu.
struct MenuBuffer {
    std::vector<MenuItemModel> items;
};
std::optional<MenuBuffer> g_open_menu;
std::vector<TopMenuModel> g_main_menu_items;
std::vector<TopMenuModel> g_tray_menu_items;
// Where AddMenu puts a finished menu: the main menu, or the tray's while
// "onBuildTrayMenu.lua" runs.
std::vector<TopMenuModel>* g_menu_target = &g_main_menu_items;
// Commands of every item added over the process's life, by command index.
std::array<std::string, kMenuCommandsMax> g_menu_commands;
int g_menu_command_count = 0;

bool is_identifier(const char* s) {
    if (*s == '\0') return true;  // an empty name is allowed
    auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
    if (!letter(*s)) return false;
    for (++s; *s != '\0'; ++s) {
        if (!letter(*s) && !(*s >= '0' && *s <= '9')) return false;
    }
    return true;
}

// Runs `action`, turning any C++ exception into `false` with its text in `why`.
// The script functions use it so that no C++ object is alive when they raise a
// script error (the engine unwinds with longjmp, which skips destructors).
template <class Action>
bool contained(Action&& action, char (&why)[256]) noexcept {
    try {
        action();
        return true;
    } catch (const std::exception& e) {
        std::strncpy(why, e.what(), sizeof why - 1);
    } catch (...) {
        std::strncpy(why, "unknown error", sizeof why - 1);
    }
    why[sizeof why - 1] = '\0';
    return false;
}

// Runs a script function's effect; a C++ error it throws becomes a script error.
// Only trivially destructible objects (the lambda's references, the message
// buffer) are alive when luaL_error jumps out.
template <class Action>
int act_or_raise(lua_State* L, Action&& action) {
    char why[256] = {};
    if (contained(std::forward<Action>(action), why)) return 0;
    return luaL_error(L, "%s", why);
}

// Fetches a text argument (numbers are converted); raises the argument error.
const char* check_text(lua_State* L, int narg) { return luaL_checklstring(L, narg, nullptr); }

// Raises the argument error for a component name that is not an identifier.
// Nothing C++ is alive in the callers at this point.
int name_error(lua_State* L, int narg, const char* name) {
    return luaL_argerror(L, narg, lua_pushfstring(L, "'%s' is not a valid component name", name));
}

// --- the eleven script functions -------------------------------------------

int l_SetTitle(lua_State* L) {
    const char* text = check_text(L, 1);
    return act_or_raise(L, [&] { if (g_window) g_window->set_caption(text); });
}

int l_SetTaskbarTitle(lua_State* L) {
    const char* text = check_text(L, 1);
    return act_or_raise(L, [&] {
        g_application_title = text;
        if (g_window) g_window->set_application_title(g_application_title);
    });
}

int l_SetBaseURL(lua_State* L) {
    check_text(L, 1);  // accepted and ignored: the first page's base is the program folder
    return 0;
}

// luaL_checkinteger accepts exactly what luaL_checknumber accepts; the number
// is truncated toward zero like the engine does, but a value no int can hold
// becomes -1 instead of wrapping round to some other, valid value.
int check_int(lua_State* L, int narg) {
    lua_Number n = luaL_checknumber(L, narg);
    if (!std::isfinite(n)) return -1;
    lua_Number t = std::trunc(n);
    if (t < static_cast<lua_Number>(INT_MIN) || t > static_cast<lua_Number>(INT_MAX)) return -1;
    return static_cast<int>(t);
}

int l_SetWebserverPort(lua_State* L) {
    // An unusable port is refused at start as one outside 0 to 65535; 0 asks
    // for any free port.
    Settings().WebserverPort = check_int(L, 1);
    return 0;
}

// --- added after the eleven ------------------------------------------------

int l_SetPHPWorkers(lua_State* L) {
    int n = check_int(L, 1);
    luaL_argcheck(L, n >= 0 && n <= kMaxPHPWorkers, 1, "PHP workers must be from 0 to 64");
    Settings().PHPWorkers = n;
    return 0;
}

int l_SetInitialHTML(lua_State* L) {
    const char* text = check_text(L, 1);
    return act_or_raise(L, [&] { Settings().InitialHTML = text; });
}

int l_SetPHPPath(lua_State* L) {
    const char* text = check_text(L, 1);
    return act_or_raise(L, [&] { Settings().PHPPath = text; });
}

int l_NavigateTo(lua_State* L) {
    const char* url = check_text(L, 1);
    return act_or_raise(L, [&] { if (g_window) g_window->navigate(url); });
}

int l_NewMenu(lua_State* L) {
    return act_or_raise(L, [&] { if (!g_open_menu) g_open_menu.emplace(); });
}

int l_AddMenuItem(lua_State* L) {
    if (!g_open_menu) return 0;  // no open menu: nothing is even checked
    const char* name = check_text(L, 1);
    const char* caption = check_text(L, 2);
    const char* shortcut = check_text(L, 3);
    const char* command = check_text(L, 4);
    if (!is_identifier(name)) return name_error(L, 1, name);
    // A full menu or a full command table refuses the item silently.
    if (static_cast<int>(g_open_menu->items.size()) >= kMenuItemsMax) return 0;
    if (g_menu_command_count >= kMenuCommandsMax) return 0;
    return act_or_raise(L, [&] {
        MenuItemModel item;
        item.name = name;
        item.caption = caption;
        item.shortcut = ParseShortcut(shortcut);
        item.command_index = g_menu_command_count;
        std::string text = command;
        g_open_menu->items.reserve(kMenuItemsMax);
        g_open_menu->items.push_back(std::move(item));
        g_menu_commands[g_menu_command_count] = std::move(text);
        ++g_menu_command_count;
    });
}

int l_AddMenu(lua_State* L) {
    const char* name = check_text(L, 1);
    const char* caption = check_text(L, 2);
    if (!g_open_menu) return 0;
    if (!is_identifier(name)) return name_error(L, 1, name);
    // No room for another top-level menu: refused, the menu stays open.
    if (static_cast<int>(g_menu_target->size()) >= kMainMenuItemsMax) return 0;
    return act_or_raise(L, [&] {
        TopMenuModel menu;
        menu.name = name;
        menu.caption = caption;
        menu.items = g_open_menu->items;
        g_menu_target->reserve(kMainMenuItemsMax);
        g_menu_target->push_back(std::move(menu));
        g_open_menu.reset();
    });
}

int l_SetSitesPath(lua_State* L) {
    const char* text = check_text(L, 1);
    return act_or_raise(L, [&] { Settings().SitesPath = text; });
}

bool is_regular_file(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool starts_with(const std::string& s, const char* prefix) {
    return s.compare(0, std::strlen(prefix), prefix) == 0;
}

bool equals_ignoring_case(const std::string& a, const char* b) {
    std::size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (std::size_t i = 0; i < n; ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// Strips `prefix` (compared without regard to case) from the front of `s`.
bool take_prefix(std::string& s, const char* prefix) {
    std::size_t n = std::strlen(prefix);
    if (s.size() < n || !equals_ignoring_case(s.substr(0, n), prefix)) return false;
    s.erase(0, n);
    return true;
}

}  // namespace

void SetMainWindow(WindowPort* window) { g_window = window; }
WindowPort* MainWindow() { return g_window; }
const std::string& ApplicationTitle() { return g_application_title; }

void RegisterScriptApi(lua_State* L) {
    static const std::pair<const char*, lua_CFunction> api[] = {
        {"SetTitle", l_SetTitle},
        {"SetTaskbarTitle", l_SetTaskbarTitle},
        {"SetBaseURL", l_SetBaseURL},
        {"SetWebserverPort", l_SetWebserverPort},
        {"SetInitialHTML", l_SetInitialHTML},
        {"SetPHPPath", l_SetPHPPath},
        {"NavigateTo", l_NavigateTo},
        {"NewMenu", l_NewMenu},
        {"AddMenuItem", l_AddMenuItem},
        {"AddMenu", l_AddMenu},
        {"SetSitesPath", l_SetSitesPath},
        {"SetPHPWorkers", l_SetPHPWorkers},
        {"SetListenAddress", l_SetListenAddress},
        {"SetPrivateServer", l_SetPrivateServer},
        {"GetDataPath", l_GetDataPath},
        {"GetWebserverPort", l_GetWebserverPort},
        {"RequirePHPExtensions", l_RequirePHPExtensions},
        {"AllowNative", l_AllowNative},
        {"GetArguments", l_GetArguments},
        {"SetTrayIcon", l_SetTrayIcon},
        {"SetCloseToTray", l_SetCloseToTray},
        {"Notify", l_Notify},
        {"SetFullscreen", l_SetFullscreen},
        {"SetClipboardText", l_SetClipboardText},
        {"OpenExternal", l_OpenExternal},
    };
    for (const auto& [name, fn] : api) {
        lua_pushcclosure(L, fn, 0);
        lua_setfield(L, LUA_GLOBALSINDEX, name);
    }
}

void BuildMainMenu() {
    RunScript("onBuildMainMenu.lua");
    if (g_main_menu_items.empty() || g_window == nullptr) return;
    g_window->set_menu_bar(g_main_menu_items);
}

const std::vector<TopMenuModel>& BuildTrayMenu() {
    // A menu left open by the main menu's scripts is not the tray's.
    g_open_menu.reset();
    g_tray_menu_items.clear();
    g_menu_target = &g_tray_menu_items;
    RunScript("onBuildTrayMenu.lua");
    g_menu_target = &g_main_menu_items;
    g_open_menu.reset();
    return g_tray_menu_items;
}

const std::vector<TopMenuModel>& TrayMenuItems() { return g_tray_menu_items; }

void MenuItemClick(int command_index) {
    if (command_index < 0 || command_index >= g_menu_command_count) return;
    // A copy: a "lua:" script may add commands while this one runs.
    std::string command = g_menu_commands[command_index];
    DispatchCommand(command);
}

void DispatchCommand(const std::string& command) {
    if (starts_with(command, "cmd:")) {
        if (command == "cmd:Exit") {
            if (g_window) g_window->close();
        } else if (command == "cmd:Print") {
            actPrintExecute();
        } else if (command == "cmd:Refresh") {
            actRefreshExecute();
        } else if (command == "cmd:Find") {
            if (g_window) g_window->find();
        }
        return;  // any other "cmd:" text does nothing
    }
    if (starts_with(command, "event:")) {
        // The page handles it: a single-page application's menus work without a reload.
        if (g_window && command.size() > 6) g_window->send_page_event(CommandEvent(command.substr(6)));
        return;
    }
    if (starts_with(command, "lua:")) {
        std::string path = command.substr(4);
        if (is_regular_file(path)) {
            RunScript(path);
        } else if (g_window) {
            g_window->show_error("File " + path + " not found.");
        }
        return;
    }
    if (g_window) g_window->navigate(command);
}

void actRefreshExecute() {
    if (g_window) g_window->refresh();
}

void actPrintExecute() {
    if (g_window) g_window->print();
}

namespace {

// Takes the "Shift+", "Ctrl+" (or "^") and "Alt+" prefixes off `rest` into `result`.
void take_modifiers(std::string& rest, Shortcut& result) {
    for (;;) {
        if (take_prefix(rest, "Shift+")) {
            result.shift = true;
        } else if (take_prefix(rest, "Ctrl+") || take_prefix(rest, "^")) {
            result.ctrl = true;
        } else if (take_prefix(rest, "Alt+")) {
            result.alt = true;
        } else {
            return;
        }
    }
}

// A letter (lower-cased), a digit, or a punctuation key by the toolkit's name; "" for none.
std::string single_key_name(char c) {
    // Single punctuation keys, which the toolkit knows by name only.
    static const std::pair<char, const char*> punctuation[] = {
        {'+', "plus"},         {'-', "minus"},        {'*', "asterisk"},  {'/', "slash"},
        {'\\', "backslash"},   {',', "comma"},        {'.', "period"},    {';', "semicolon"},
        {'=', "equal"},        {'[', "bracketleft"},  {']', "bracketright"}, {'\'', "apostrophe"},
        {'`', "grave"},
    };
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return std::string(1, c);
    for (const auto& [ch, name] : punctuation)
        if (c == ch) return name;
    return {};
}

// "F1" to "F24" (either case, no leading zero) as the toolkit's name; "" otherwise.
std::string function_key_name(const std::string& rest) {
    if ((rest[0] != 'F' && rest[0] != 'f') || rest.size() > 3) return {};
    int n = 0;
    for (std::size_t i = 1; i < rest.size(); ++i) {
        if (rest[i] < '0' || rest[i] > '9') return {};
        n = n * 10 + (rest[i] - '0');
    }
    if (rest[1] == '0' || n < 1 || n > 24) return {};
    return "F" + std::to_string(n);
}

// Key names written the way menus show them, as the toolkit's names; "" otherwise.
std::string named_key(const std::string& rest) {
    static const std::pair<const char*, const char*> named_keys[] = {
        {"BkSp", "BackSpace"}, {"Tab", "Tab"},        {"Esc", "Escape"},   {"Enter", "Return"},
        {"Space", "space"},    {"PgUp", "Page_Up"},   {"PgDn", "Page_Down"}, {"End", "End"},
        {"Home", "Home"},      {"Left", "Left"},      {"Up", "Up"},        {"Right", "Right"},
        {"Down", "Down"},      {"Ins", "Insert"},     {"Del", "Delete"},
    };
    for (const auto& [shown, name] : named_keys)
        if (equals_ignoring_case(rest, shown)) return name;
    return {};
}

// Any other key name goes to the desktop side as written, if it can be one
// (letters, digits and underscores); anything else is no key at all.
bool plain_key_name(const std::string& rest) {
    for (char c : rest) {
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
        if (!ok) return false;
    }
    return true;
}

}  // namespace

Shortcut ParseShortcut(const std::string& text) {
    Shortcut result;
    std::string rest = text;
    take_modifiers(rest, result);
    if (rest.empty()) return {};
    if (rest.size() == 1) {
        result.key = single_key_name(rest[0]);
    } else if (std::string f = function_key_name(rest); !f.empty()) {
        result.key = f;
    } else if (std::string named = named_key(rest); !named.empty()) {
        result.key = named;
    } else if (plain_key_name(rest)) {
        result.key = rest;
    }
    return result.key.empty() ? Shortcut{} : result;
}

const std::vector<TopMenuModel>& MainMenuItems() { return g_main_menu_items; }
bool MenuIsOpen() { return g_open_menu.has_value(); }
std::optional<std::vector<MenuItemModel>> OpenMenuItems() {
    if (!g_open_menu) return std::nullopt;
    return g_open_menu->items;
}
int MenuCommandCount() { return g_menu_command_count; }

std::string MenuCommand(int index) {
    if (index < 0 || index >= g_menu_command_count) return {};
    return g_menu_commands[index];
}

void ResetMenuModel() {
    g_open_menu.reset();
    g_main_menu_items.clear();
    g_tray_menu_items.clear();
    g_menu_target = &g_main_menu_items;
    for (auto& c : g_menu_commands) c.clear();
    g_menu_command_count = 0;
}

}  // namespace vantrel::shell
