-- The tray icon's menu: the same items and commands as the menu bar.
local site = "http://127.0.0.1:" .. PORT .. "/"

NewMenu()
AddMenuItem("miTrayNative", "&Native page", "", site .. "native.html")
AddMenuItem("miTrayPing", "Send the page a &command", "", "event:tray-ping")
AddMenuItem("miTrayNotify", "&Notify", "", "lua:scripts/notify.lua")
AddMenuItem("miTraySep", "-", "", "")
AddMenuItem("miTrayExit", "E&xit", "", "cmd:Exit")
AddMenu("mnuTray", "Vantrel Demo")
