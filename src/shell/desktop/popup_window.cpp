#include "popup_window.hpp"

#include "edit_menu.hpp"
#include "page_behaviour.hpp"
#include "print_folder.hpp"

namespace vantrel::desktop {

PopupWindow::PopupWindow(PageBehaviour& behaviour, WebKitWebView* opener)
    : behaviour_(behaviour),
      scripts_(webkit_user_content_manager_new()),
      keys_(gtk_accel_group_new()),
      window_(gtk_window_new(GTK_WINDOW_TOPLEVEL)) {
    // Related to the opener (same web process, so window.opener works), with the
    // opener's settings and a script manager of its own, so that its
    // window.close() closes this window and not the application.
    view_ = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "related-view", opener, "settings",
                                         webkit_web_view_get_settings(opener), "user-content-manager",
                                         scripts_.get(), nullptr));
    GtkWindow* window = GTK_WINDOW(window_.get());
    gtk_window_set_title(window, "");
    // Over its opener, not where the window manager puts new windows.
    gtk_window_set_transient_for(window, GTK_WINDOW(gtk_widget_get_toplevel(GTK_WIDGET(opener))));
    gtk_window_set_position(window, GTK_WIN_POS_CENTER_ON_PARENT);
    gtk_window_set_default_size(window, 800, 600);
    gtk_window_add_accel_group(window, keys_.get());
    gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(view_));
    g_signal_connect(view_, "ready-to-show", G_CALLBACK(viewReadyToShow), this);
    g_signal_connect(view_, "close", G_CALLBACK(viewClose), this);
    g_signal_connect(view_, "context-menu", G_CALLBACK(EditOnlyContextMenu), nullptr);
    g_signal_connect(view_, "print", G_CALLBACK(ViewPrintToDocuments), nullptr);
    g_signal_connect(view_, "notify::title", G_CALLBACK(viewTitleChanged), this);
    g_signal_connect(window, "delete-event", G_CALLBACK(windowDeleteEvent), this);
}

PopupWindow::~PopupWindow() {
    g_signal_handlers_disconnect_by_data(view_, this);
    g_signal_handlers_disconnect_by_data(window_.get(), this);
}

void PopupWindow::viewReadyToShow(WebKitWebView*, PopupWindow* self) {
    WebKitWindowProperties* properties = webkit_web_view_get_window_properties(self->view_);
    GdkRectangle geometry{};
    webkit_window_properties_get_geometry(properties, &geometry);
    // The size window.open asked for, before the window is placed, so that it
    // is centred at that size.
    if (geometry.width > 0 && geometry.height > 0)
        gtk_window_set_default_size(GTK_WINDOW(self->window_.get()), geometry.width, geometry.height);
    gtk_widget_show_all(self->window_.get());
}

void PopupWindow::viewClose(WebKitWebView*, PopupWindow* self) { self->behaviour_.PopupAgreed(self); }

void PopupWindow::viewTitleChanged(GObject*, GParamSpec*, PopupWindow* self) {
    const char* title = webkit_web_view_get_title(self->view_);
    gtk_window_set_title(GTK_WINDOW(self->window_.get()), title ? title : "");
}

// The close button asks the page first, as the main window does.
gboolean PopupWindow::windowDeleteEvent(GtkWidget*, GdkEvent*, PopupWindow* self) {
    webkit_web_view_try_close(self->view_);
    return TRUE;
}

}  // namespace vantrel::desktop
