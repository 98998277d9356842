-- Runs once the window is shown and the server listens: open the site.
NavigateTo("http://127.0.0.1:" .. PORT .. "/index.html")
