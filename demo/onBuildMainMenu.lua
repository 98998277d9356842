-- Builds the menu bar. Each item: name, caption ("&" marks the access key),
-- shortcut, command ("cmd:...", "lua:script", or an address to open).
local site = "http://127.0.0.1:" .. PORT .. "/"   -- PORT is set in onInit.lua

NewMenu()
AddMenuItem("miHome", "&Home", "Alt+Home", site .. "index.html")
AddMenuItem("miRefresh", "&Refresh", "F5", "cmd:Refresh")
AddMenuItem("miPrint", "&Print...", "Ctrl+P", "cmd:Print")
AddMenuItem("miSep1", "-", "", "")
AddMenuItem("miExit", "E&xit", "Ctrl+Q", "cmd:Exit")
AddMenu("mnuFile", "&File")

NewMenu()
AddMenuItem("miStatic", "&Static page", "Ctrl+1", site .. "static.html")
AddMenuItem("miPhp", "&PHP page", "Ctrl+2", site .. "hello.php?name=menu")
AddMenuItem("miForm", "&Forms (GET and POST)", "Ctrl+3", site .. "form.php")
AddMenuItem("miFiles", "&Downloads and uploads", "Ctrl+4", site .. "files.php")
AddMenuItem("miDialogs", "&JavaScript dialogs", "Ctrl+5", site .. "dialogs.html")
AddMenuItem("miWindows", "&Pop-ups and other sites", "Ctrl+6", site .. "windows.html")
AddMenuItem("miListing", "Folder &listing", "Ctrl+7", site .. "files/")
AddMenuItem("miNotes", "&Notes (data folder)", "Ctrl+8", site .. "notes.php")
AddMenu("mnuPages", "&Pages")

NewMenu()
AddMenuItem("miGreet", "&Greet from Lua", "Ctrl+G", "lua:scripts/greet.lua")
AddMenuItem("miTitle", "Reset the &title", "Ctrl+T", "lua:scripts/title.lua")
AddMenuItem("miMissing", "Run a &missing script", "", "lua:scripts/missing.lua")
AddMenu("mnuScripts", "&Scripts")

-- The desktop: scripts call the native functions themselves; event: items
-- are handled by the Native page (site/native.html) without reloading it.
NewMenu()
AddMenuItem("miNative", "&Native page", "Ctrl+9", site .. "native.html")
AddMenuItem("miNotify", "&Notify from Lua", "", "lua:scripts/notify.lua")
AddMenuItem("miFullscreen", "&Full screen on/off", "F11", "lua:scripts/fullscreen.lua")
AddMenuItem("miCopy", "&Copy the site's address", "", "lua:scripts/copy.lua")
AddMenuItem("miFolder", "Open the application &folder", "", "lua:scripts/folder.lua")
AddMenuItem("miSaveAs", "&Save the page's notes as...", "Ctrl+Shift+S", "event:save-as")
AddMenuItem("miAsk", "&Ask a question", "", "event:ask")
AddMenuItem("miPhp", "Notify from &PHP", "", site .. "native.php?notify=1")
AddMenuItem("miCloseToTray", "Close to the &tray on/off", "", "lua:scripts/close_to_tray.lua")
AddMenu("mnuNative", "&Native")

NewMenu()
AddMenuItem("miAbout", "&About && features", "F1", site .. "about.html")
AddMenu("mnuHelp", "&Help")
