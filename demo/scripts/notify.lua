-- A notification from a script; clicking it opens the Native page.
notified = (notified or 0) + 1
Notify("Vantrel demo", "Notification " .. notified .. " from Lua: click to open the Native page", "/native.html")
