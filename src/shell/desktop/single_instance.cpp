#include "single_instance.hpp"

#include <gtk/gtk.h>

#include <cstdio>

namespace vantrel::desktop {

SingleInstance::SingleInstance(const std::string& id) {
    app_ = g_application_new(id.c_str(), G_APPLICATION_DEFAULT_FLAGS);
    g_signal_connect(app_, "activate", G_CALLBACK(appActivate), this);
    GError* error = nullptr;
    // Without a session bus this succeeds as an application of its own.
    if (!g_application_register(app_, nullptr, &error)) {
        std::fprintf(stderr, "vantrel: %s\n", error ? error->message : "cannot register the application");
        g_clear_error(&error);
    }
}

SingleInstance::~SingleInstance() {
    g_signal_handlers_disconnect_by_data(app_, this);
    g_object_unref(app_);
}

bool SingleInstance::IsSecond() const {
    return g_application_get_is_registered(app_) && g_application_get_is_remote(app_);
}

void SingleInstance::ActivateFirst() {
    g_application_activate(app_);
    // The request goes out asynchronously: make sure it has left before the process ends.
    if (GDBusConnection* bus = g_application_get_dbus_connection(app_))
        g_dbus_connection_flush_sync(bus, nullptr, nullptr);
}

void SingleInstance::OnActivate(std::function<void()> present) { present_ = std::move(present); }

void SingleInstance::appActivate(GApplication*, SingleInstance* self) {
    if (self->present_) self->present_();
}

void PresentMainWindow() {
    GList* windows = gtk_window_list_toplevels();
    for (GList* w = windows; w; w = w->next) {
        GtkWindow* window = GTK_WINDOW(w->data);
        if (g_strcmp0(gtk_widget_get_name(GTK_WIDGET(window)), "frmMain") == 0 &&
            gtk_widget_get_visible(GTK_WIDGET(window)))
            gtk_window_present(window);
    }
    g_list_free(windows);
}

}  // namespace vantrel::desktop
