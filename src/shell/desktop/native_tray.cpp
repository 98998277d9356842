#include "native_tray.hpp"

#ifdef GDK_WINDOWING_X11
#include <gdk/gdkx.h>
#endif

#include "page_text.hpp"
#include "shell/model/Fmain.hpp"
#include "shell/model/Globals.hpp"

namespace vantrel::desktop {

namespace shell = vantrel::shell;

namespace {

// The application's own icon: icon.png or icon.svg of its folder (as an
// absolute path, which tray hosts take as the icon), else Vantrel's.
std::string ApplicationIcon() {
    for (const char* name : {"icon.png", "icon.svg"}) {
        if (!g_file_test(name, G_FILE_TEST_IS_REGULAR)) continue;
        char* path = g_canonicalize_filename(name, nullptr);
        std::string out = path;
        g_free(path);
        return out;
    }
    return "vantrel";
}

void AddItem(GtkWidget* menu, const char* label, GCallback handler, gpointer data) {
    GtkWidget* item = gtk_menu_item_new_with_mnemonic(label);
    g_signal_connect(item, "activate", handler, data);
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), item);
}

}  // namespace

Tray::Tray(std::function<void()> show, std::function<void()> quit) : show_(std::move(show)), quit_(std::move(quit)) {}

Tray::~Tray() {
    if (indicator_) g_signal_handlers_disconnect_by_data(indicator_.get(), this);
    if (menu_) {
        gtk_widget_destroy(menu_);
        g_object_unref(menu_);
    }
}

GtkWidget* Tray::MenuFrom(const std::vector<shell::MenuItemModel>& items) {
    GtkWidget* menu = gtk_menu_new();
    for (const shell::MenuItemModel& item : items) {
        GtkWidget* widget = item.caption == "-"
                                ? gtk_separator_menu_item_new()
                                : gtk_menu_item_new_with_mnemonic(MnemonicLabel(MakeValidUtf8(item.caption)).c_str());
        if (item.caption != "-")
            g_signal_connect(widget, "activate", G_CALLBACK(itemActivate), GINT_TO_POINTER(item.command_index));
        if (!item.name.empty()) gtk_widget_set_name(widget, item.name.c_str());
        gtk_menu_shell_append(GTK_MENU_SHELL(menu), widget);
    }
    return menu;
}

void Tray::Build(const std::vector<shell::TopMenuModel>& menus, const std::string& icon, bool close_to_tray) {
    const std::string& id = shell::Settings().ApplicationId;
    const std::string image = icon.empty() ? ApplicationIcon() : icon;
    if (!indicator_) {
        indicator_.reset(app_indicator_new(id.empty() ? "vantrel" : id.c_str(), image.c_str(),
                                           APP_INDICATOR_CATEGORY_APPLICATION_STATUS));
        g_signal_connect(indicator_.get(), "connection-changed", G_CALLBACK(indicatorConnectionChanged), this);
        app_indicator_set_title(indicator_.get(), MakeValidUtf8(shell::ApplicationTitle()).c_str());
    } else {
        app_indicator_set_icon_full(indicator_.get(), image.c_str(), nullptr);
    }
    // One menu's items go straight into the tray's menu; several become submenus.
    GtkWidget* menu = nullptr;
    bool has_items = false;
    if (menus.size() == 1) {
        menu = MenuFrom(menus[0].items);
        has_items = !menus[0].items.empty();
    } else {
        menu = gtk_menu_new();
        for (const shell::TopMenuModel& top : menus) {
            GtkWidget* item = gtk_menu_item_new_with_mnemonic(MnemonicLabel(MakeValidUtf8(top.caption)).c_str());
            gtk_menu_item_set_submenu(GTK_MENU_ITEM(item), MenuFrom(top.items));
            gtk_menu_shell_append(GTK_MENU_SHELL(menu), item);
            has_items = true;
        }
    }
    if (close_to_tray || !has_items) {
        if (has_items) gtk_menu_shell_append(GTK_MENU_SHELL(menu), gtk_separator_menu_item_new());
        AddItem(menu, "_Show", G_CALLBACK(+[](GtkMenuItem*, Tray* self) { self->show_(); }), this);
        AddItem(menu, "_Quit", G_CALLBACK(+[](GtkMenuItem*, Tray* self) { self->quit_(); }), this);
    }
    gtk_widget_show_all(menu);
    g_object_ref_sink(menu);
    app_indicator_set_menu(indicator_.get(), GTK_MENU(menu));
    if (menu_) {
        gtk_widget_destroy(menu_);
        g_object_unref(menu_);
    }
    menu_ = menu;
    app_indicator_set_status(indicator_.get(), visible_ ? APP_INDICATOR_STATUS_ACTIVE : APP_INDICATOR_STATUS_PASSIVE);
}

shell::Outcome Tray::Change(const shell::TrayChange& change) {
    if (!indicator_) Build(shell::TrayMenuItems(), "", false);
    // Tray hosts show the item's title as its name and tooltip.
    if (change.tooltip) app_indicator_set_title(indicator_.get(), MakeValidUtf8(*change.tooltip).c_str());
    if (change.icon) app_indicator_set_icon_full(indicator_.get(), change.icon->c_str(), nullptr);
    if (change.visible) {
        visible_ = *change.visible;
        app_indicator_set_status(indicator_.get(), visible_ ? APP_INDICATOR_STATUS_ACTIVE : APP_INDICATOR_STATUS_PASSIVE);
    }
    return std::nullopt;
}

bool Tray::Reachable() const {
    if (!indicator_ || !visible_) return false;
    if (connected_) return true;
    // Without a StatusNotifierItem host the library falls back to the X tray,
    // which is there when some client owns its selection.
#ifdef GDK_WINDOWING_X11
    GdkDisplay* display = gdk_display_get_default();
    if (display && GDK_IS_X11_DISPLAY(display)) {
        Display* x = GDK_DISPLAY_XDISPLAY(display);
        const std::string selection = "_NET_SYSTEM_TRAY_S" + std::to_string(DefaultScreen(x));
        return XGetSelectionOwner(x, gdk_x11_get_xatom_by_name_for_display(display, selection.c_str())) != None;
    }
#endif
    return false;
}

void Tray::itemActivate(GtkMenuItem*, gpointer command_index) { shell::MenuItemClick(GPOINTER_TO_INT(command_index)); }

void Tray::indicatorConnectionChanged(AppIndicator*, gboolean connected, Tray* self) { self->connected_ = connected; }

}  // namespace vantrel::desktop
