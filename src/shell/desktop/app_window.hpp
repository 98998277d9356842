// The main window as the application's own: its icon, and its place and size
// remembered from the last run.
#pragma once

#include <gtk/gtk.h>

namespace vantrel::desktop {

// "icon.png" or "icon.svg" of the working folder (the application folder), else
// the installed icon "vantrel".
void ApplyWindowIcon(GtkWindow* window);

// Puts the window where it was when the application last closed (maximised on
// the first start, and always without an application id) and from now on
// follows its moves, so SaveWindowState can remember them. Under a window
// manager that maximises, a window that will be maximised is mapped at the
// size of its monitor's work area, and its first un-maximising returns it to
// the remembered place.
void RestoreWindowState(GtkWindow* window);
void SaveWindowState(GtkWindow* window);

}  // namespace vantrel::desktop
