closeToTray = not closeToTray
SetCloseToTray(closeToTray)
Notify("Vantrel demo", closeToTray and "Closing the window now hides it to the tray"
                                   or "Closing the window ends the demo again")
