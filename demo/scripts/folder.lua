-- The working folder is the application folder: "." is the demo itself.
OpenExternal(".")
