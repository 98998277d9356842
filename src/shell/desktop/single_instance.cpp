#include "single_instance.hpp"

#include <gtk/gtk.h>

#include <cstdio>

namespace vantrel::desktop {

namespace {

// The application's action that a later start activates with its arguments.
constexpr const char* kOpenAction = "vantrel-open";

}  // namespace

SingleInstance::SingleInstance(const std::string& id) {
    app_ = g_application_new(id.c_str(), G_APPLICATION_DEFAULT_FLAGS);
    g_signal_connect(app_, "activate", G_CALLBACK(appActivate), this);
    open_action_ = g_simple_action_new(kOpenAction, G_VARIANT_TYPE_STRING_ARRAY);
    g_signal_connect(open_action_, "activate", G_CALLBACK(openActivated), this);
    g_action_map_add_action(G_ACTION_MAP(app_), G_ACTION(open_action_));
    GError* error = nullptr;
    // Without a session bus this succeeds as an application of its own.
    if (!g_application_register(app_, nullptr, &error)) {
        std::fprintf(stderr, "vantrel: %s\n", error ? error->message : "cannot register the application");
        g_clear_error(&error);
    }
}

SingleInstance::~SingleInstance() {
    g_signal_handlers_disconnect_by_data(open_action_, this);
    g_signal_handlers_disconnect_by_data(app_, this);
    g_object_unref(open_action_);
    g_object_unref(app_);
}

bool SingleInstance::IsSecond() const {
    return g_application_get_is_registered(app_) && g_application_get_is_remote(app_);
}

void SingleInstance::ActivateFirst() {
    g_application_activate(app_);
    Flush();
}

void SingleInstance::ForwardToFirst(const std::vector<std::string>& arguments) {
    std::vector<const char*> list;
    for (const std::string& a : arguments) list.push_back(a.c_str());
    list.push_back(nullptr);
    // Activated in the first instance, over the session bus.
    g_action_group_activate_action(G_ACTION_GROUP(app_), kOpenAction, g_variant_new_strv(list.data(), -1));
    Flush();
}

// The request goes out asynchronously: make sure it has left before the process ends.
void SingleInstance::Flush() {
    if (GDBusConnection* bus = g_application_get_dbus_connection(app_))
        g_dbus_connection_flush_sync(bus, nullptr, nullptr);
}

void SingleInstance::OnActivate(std::function<void()> present) { present_ = std::move(present); }

void SingleInstance::OnOpen(std::function<void(std::vector<std::string>)> open) { open_ = std::move(open); }

void SingleInstance::openActivated(GSimpleAction*, GVariant* arguments, SingleInstance* self) {
    gsize n = 0;
    const gchar** strings = g_variant_get_strv(arguments, &n);
    std::vector<std::string> list(strings, strings + n);
    g_free(strings);
    if (self->open_) self->open_(std::move(list));
}

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
