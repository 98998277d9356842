// Script functions of the native interface, registered after the others:
// the capabilities the application allows, its arguments, the tray, and the
// desktop operations that fit a script.
#pragma once

struct lua_State;

namespace vantrel::shell {

// AllowNative(name, ...): allows each named capability to the application's
// pages and programs; an unknown name is an argument error and allows nothing.
// Takes effect when the server starts (onInit.lua, onBuildMainMenu.lua).
int l_AllowNative(lua_State* L);
// GetArguments(): the arguments after the application folder, as a table.
int l_GetArguments(lua_State* L);
// SetTrayIcon(path): the tray icon's image (relative to the application
// folder); the application gets a tray icon.
int l_SetTrayIcon(lua_State* L);
// SetCloseToTray(on): closing the window hides it; the tray menu gets Show and Quit.
int l_SetCloseToTray(lua_State* L);
// Notify(title [, body [, open]]): a desktop notification; its id, or nil
// when the desktop refused it. `open` is a path of the site shown on a click.
int l_Notify(lua_State* L);
// SetFullscreen(on)
int l_SetFullscreen(lua_State* L);
// SetClipboardText(text)
int l_SetClipboardText(lua_State* L);
// OpenExternal(uri or path): the desktop's default handler; true when it started.
int l_OpenExternal(lua_State* L);

}  // namespace vantrel::shell
