// The window-independent half of the main window: the script API, the menu
// model, command dispatch and the two browser actions. The window itself is
// reached only through WindowPort.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "shell/model/window_port.hpp"

struct lua_State;

namespace vantrel::shell {

// Capacities of the menu model.
constexpr int kMenuItemsMax = 10;      // items in one menu
constexpr int kMainMenuItemsMax = 10;  // top-level menus
constexpr int kMenuCommandsMax = 100;  // items with commands over the process's life

// The main window (`frmMain`); nullptr while there is none. Borrowed.
void SetMainWindow(WindowPort* window);
WindowPort* MainWindow();

// The application title (the task-bar text): "Vantrel" until SetTaskbarTitle.
const std::string& ApplicationTitle();

// Makes the script functions globals of the state, in their fixed order:
// SetTitle, SetTaskbarTitle, SetBaseURL, SetWebserverPort, SetInitialHTML,
// SetPHPPath, NavigateTo, NewMenu, AddMenuItem, AddMenu, SetSitesPath; then
// SetPHPWorkers, SetListenAddress, SetPrivateServer, GetDataPath,
// GetWebserverPort and RequirePHPExtensions; then the native interface's
// AllowNative, GetArguments, SetTrayIcon, SetCloseToTray, Notify,
// SetFullscreen, SetClipboardText and OpenExternal.
void RegisterScriptApi(lua_State* L);

// Runs "onBuildMainMenu.lua", then hands the top-level menus added so far to the
// window's set_menu_bar; when there is none the window is left without a menu bar.
void BuildMainMenu();

// Runs "onBuildTrayMenu.lua", whose NewMenu/AddMenuItem/AddMenu calls build the
// tray's menus under the main menu's rules, and returns them (also kept for
// TrayMenuItems). Their items' commands share the main menu's command table.
const std::vector<TopMenuModel>& BuildTrayMenu();
const std::vector<TopMenuModel>& TrayMenuItems();

// The window reports a click on the item carrying command entry `command_index`.
void MenuItemClick(int command_index);

// Runs one command text: "cmd:Exit", "cmd:Print", "cmd:Refresh", "cmd:Find",
// "lua:<path>", "event:<name>" (a "command" event to the page), or anything
// else as an address to navigate to.
void DispatchCommand(const std::string& command);

// F5: reload without cached copies. Ctrl+P: the browser's print flow.
void actRefreshExecute();
void actPrintExecute();

// Reads a shortcut text ("Ctrl+P", "^P", "shift+alt+f12", "BkSp", ...); an empty
// or unusable text gives an empty Shortcut.
Shortcut ParseShortcut(const std::string& text);

// Read access to the menu model (the desktop side and tests).
const std::vector<TopMenuModel>& MainMenuItems();
bool MenuIsOpen();
// The items of the open menu, or nothing when no menu is open.
std::optional<std::vector<MenuItemModel>> OpenMenuItems();
int MenuCommandCount();
// The command text of entry `index` (empty when out of range).
std::string MenuCommand(int index);

// Empties the menu model: no open menu, no top-level menus, no commands (tests).
void ResetMenuModel();

}  // namespace vantrel::shell
