#include "app_window.hpp"

#ifdef GDK_WINDOWING_X11
#include <gdk/gdkx.h>
#endif

#include "shell/model/Globals.hpp"
#include "shell/model/app_data.hpp"
#include "shell/model/window_geometry.hpp"

namespace vantrel::desktop {

namespace shell = vantrel::shell;

namespace {

constexpr const char* kGeometryKey = "vantrel-geometry";
constexpr const char* kRestoreKey = "vantrel-restore";

std::string state_file() {
    const std::string& id = shell::Settings().ApplicationId;
    return id.empty() ? std::string() : shell::FoldersFor(id).window_state();
}

// The window's place in the toolkit's units while it runs, and the file's
// geometry (device pixels) it was restored from.
struct TrackedGeometry {
    shell::WindowGeometry now;
    shell::WindowGeometry remembered;
};

TrackedGeometry* tracked_state(GtkWindow* window) {
    return static_cast<TrackedGeometry*>(g_object_get_data(G_OBJECT(window), kGeometryKey));
}

shell::WindowGeometry* tracked(GtkWindow* window) {
    TrackedGeometry* t = tracked_state(window);
    return t ? &t->now : nullptr;
}

// Without a window manager that maximises, the toolkit still reports the
// maximised state it asked for; it means nothing then.
bool maximizing_desktop(GtkWidget* widget) {
    GdkScreen* screen = gtk_widget_get_screen(widget);
#ifdef GDK_WINDOWING_X11
    if (GDK_IS_X11_SCREEN(screen))
        return gdk_x11_screen_supports_net_wm_hint(screen, gdk_atom_intern_static_string("_NET_WM_STATE_MAXIMIZED_VERT"));
#endif
    return screen != nullptr;
}

// The un-maximised place is what a restart restores, so it is only taken while
// the window is neither maximised nor full-screen.
gboolean windowConfigure(GtkWidget* widget, GdkEvent*, gpointer) {
    GtkWindow* window = GTK_WINDOW(widget);
    shell::WindowGeometry* g = tracked(window);
    GdkWindow* gdk_window = gtk_widget_get_window(widget);
    if (!g || !gdk_window) return FALSE;
    GdkWindowState state = gdk_window_get_state(gdk_window);
    GdkWindowState managed = GDK_WINDOW_STATE_ICONIFIED;
    if (maximizing_desktop(widget))
        managed = static_cast<GdkWindowState>(managed | GDK_WINDOW_STATE_MAXIMIZED | GDK_WINDOW_STATE_FULLSCREEN);
    if (state & managed) return FALSE;
    gtk_window_get_position(window, &g->x, &g->y);
    gtk_window_get_size(window, &g->width, &g->height);
    return FALSE;
}

gboolean windowStateChanged(GtkWidget* widget, GdkEventWindowState* event, gpointer) {
    GtkWindow* window = GTK_WINDOW(widget);
    bool maximized = (event->new_window_state & GDK_WINDOW_STATE_MAXIMIZED) != 0;
    if (shell::WindowGeometry* g = tracked(window)) g->maximized = maximized;
    // A window presized to the work area: the window manager would restore it
    // to that size, so the first un-maximising puts back the remembered place.
    auto* restore = static_cast<GdkRectangle*>(g_object_get_data(G_OBJECT(window), kRestoreKey));
    if (restore && !maximized && (event->changed_mask & GDK_WINDOW_STATE_MAXIMIZED)) {
        gtk_window_resize(window, restore->width, restore->height);
        gtk_window_move(window, restore->x, restore->y);
        g_object_set_data(G_OBJECT(window), kRestoreKey, nullptr);
    }
    return FALSE;
}

// Left at its remembered size until the window manager maximises it, the
// window would be laid out at that size first, and the page's first frame drawn
// at that size into the maximised window. Sized to the work area of its monitor
// it is drawn once, whole.
void PresizeToWorkArea(GtkWindow* window, const shell::WindowGeometry& g) {
    GdkDisplay* display = gtk_widget_get_display(GTK_WIDGET(window));
    GdkMonitor* monitor = gdk_display_get_monitor_at_point(display, g.x, g.y);
    if (!monitor) return;
    GdkRectangle area;
    gdk_monitor_get_workarea(monitor, &area);
    if (area.width <= 0 || area.height <= 0) return;
    g_object_set_data_full(G_OBJECT(window), kRestoreKey, new GdkRectangle{g.x, g.y, g.width, g.height},
                           [](gpointer p) { delete static_cast<GdkRectangle*>(p); });
    gtk_window_set_default_size(window, area.width, area.height);
    gtk_window_move(window, area.x, area.y);
}

}  // namespace

void ApplyWindowIcon(GtkWindow* window) {
    for (const char* name : {"icon.png", "icon.svg"}) {
        if (!g_file_test(name, G_FILE_TEST_IS_REGULAR)) continue;
        if (gtk_window_set_icon_from_file(window, name, nullptr)) return;
    }
    gtk_window_set_icon_name(window, "vantrel");
}

void RestoreWindowState(GtkWindow* window) {
    std::string file = state_file();
    shell::WindowGeometry remembered;
    if (!file.empty()) remembered = shell::LoadWindowGeometry(file).value_or(shell::WindowGeometry{});
    int scale = gtk_widget_get_scale_factor(GTK_WIDGET(window));
    auto* t = new TrackedGeometry{shell::ToToolkitUnits(remembered, scale), remembered};
    g_object_set_data_full(G_OBJECT(window), kGeometryKey, t,
                           [](gpointer p) { delete static_cast<TrackedGeometry*>(p); });
    shell::WindowGeometry* g = &t->now;
    gtk_window_set_default_size(window, g->width, g->height);
    gtk_window_move(window, g->x, g->y);
    if (g->maximized)
        gtk_window_maximize(window);
    else
        gtk_window_unmaximize(window);
    if (g->maximized && maximizing_desktop(GTK_WIDGET(window))) PresizeToWorkArea(window, *g);
    g_signal_connect(window, "configure-event", G_CALLBACK(windowConfigure), nullptr);
    g_signal_connect(window, "window-state-event", G_CALLBACK(windowStateChanged), nullptr);
}

void SaveWindowState(GtkWindow* window) {
    std::string file = state_file();
    TrackedGeometry* t = tracked_state(window);
    if (file.empty() || !t) return;
    if (gtk_widget_get_realized(GTK_WIDGET(window))) {
        windowConfigure(GTK_WIDGET(window), nullptr, nullptr);
        t->now.maximized = t->now.maximized && maximizing_desktop(GTK_WIDGET(window));
    }
    int scale = gtk_widget_get_scale_factor(GTK_WIDGET(window));
    shell::SaveWindowGeometry(file, shell::ToDeviceUnits(t->now, scale, t->remembered));
}

}  // namespace vantrel::desktop
