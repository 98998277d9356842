-- A menu script: scripts keep one state, so this counter grows per click.
greetings = (greetings or 0) + 1
SetTitle("Vantrel Demo - greeted " .. greetings .. " time(s) from Lua")
NavigateTo("http://127.0.0.1:" .. PORT .. "/hello.php?name=Lua&count=" .. greetings)
