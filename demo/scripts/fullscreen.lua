-- Scripts keep one state: the global remembers the last choice.
fullscreen = not fullscreen
SetFullscreen(fullscreen)
