-- Runs first, before the window's first page is written: settings that the
-- first page and the web server use.
SetTitle("Vantrel Demo")
SetTaskbarTitle("Vantrel Demo")
-- The port is written once: PORT is a global, and globals carry over to
-- onBuildMainMenu.lua, onReady.lua and the menu scripts.
PORT = 8080
SetWebserverPort(PORT)
-- The demo shows its pages to other programs too, so that
-- `curl http://127.0.0.1:8080/hello.php` works beside the window. An
-- application of your own keeps the default instead: only its window and the
-- programs it starts get in, not other users or programs of this computer.
SetPrivateServer(false)
SetSitesPath("site")              -- relative to this folder (the working folder)
SetPHPPath("/usr/bin/php-cgi")    -- Debian's php-cgi package
-- The desktop capabilities the pages and PHP may use (menu Native).
AllowNative("notify", "clipboard", "window", "dialog", "shell", "tray", "autostart")
-- The page shown until onReady.lua points the browser at the server.
SetInitialHTML([[<html><head><style type='text/css'>
body { font-family: sans-serif; background: #20303f; color: white; }
#idLoading { margin: 40px; font-size: 24px; }
</style></head><body><div id='idLoading'>Starting the Vantrel demo&hellip;</div></body></html>]])
