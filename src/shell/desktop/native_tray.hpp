// The application's icon in the panel's tray (a StatusNotifierItem, through
// libayatana-appindicator3) with the menu "onBuildTrayMenu.lua" built: its
// items run the same commands as the main menu's; with close-to-tray (or no
// items of its own) it ends with Show and Quit.
#pragma once

#include <gtk/gtk.h>
#include <libayatana-appindicator/app-indicator.h>

#include <functional>
#include <string>
#include <vector>

#include "gtk_owner.hpp"
#include "shell/model/native_port.hpp"
#include "shell/model/window_port.hpp"

namespace vantrel::desktop {

class Tray {
public:
    // `show` presents the main window; `quit` is the main window's close request.
    Tray(std::function<void()> show, std::function<void()> quit);
    ~Tray();
    Tray(const Tray&) = delete;
    Tray& operator=(const Tray&) = delete;

    // Makes the icon (once) and its menu from `menus`, with Show and Quit when
    // `close_to_tray` is set or the menus have no items; `icon` is an absolute
    // path or an icon name ("" for the application's own).
    void Build(const std::vector<vantrel::shell::TopMenuModel>& menus, const std::string& icon, bool close_to_tray);
    vantrel::shell::Outcome Change(const vantrel::shell::TrayChange& change);
    bool Exists() const { return indicator_ != nullptr; }
    // The icon is shown somewhere the user can reach: a tray host took it.
    bool Reachable() const;

private:
    GtkWidget* MenuFrom(const std::vector<vantrel::shell::MenuItemModel>& items);
    static void itemActivate(GtkMenuItem*, gpointer command_index);
    static void indicatorConnectionChanged(AppIndicator*, gboolean connected, Tray* self);

    std::function<void()> show_, quit_;
    GObjectPtr<AppIndicator> indicator_;
    GtkWidget* menu_ = nullptr;  // owned through a reference of our own
    bool connected_ = false;
    bool visible_ = true;
};

}  // namespace vantrel::desktop
