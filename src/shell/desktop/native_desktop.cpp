#include "native_desktop.hpp"

#include <gio/gdesktopappinfo.h>
#include <unistd.h>

#include <climits>
#include <memory>

#include "page_text.hpp"
#include "shell/model/Fmain.hpp"
#include "shell/model/Globals.hpp"
#include "shell/model/app_identity.hpp"
#include "shell/model/native_autostart.hpp"
#include "shell/model/native_events.hpp"
#include "shell/model/native_settings.hpp"

namespace vantrel::desktop {

namespace shell = vantrel::shell;

namespace {

constexpr int kRevealTimeoutMs = 5000;

shell::Outcome Refused(const char* what, GError* error) {
    shell::Refusal refusal{std::string(what) + (error ? std::string(": ") + error->message : std::string())};
    g_clear_error(&error);
    return refusal;
}

shell::Outcome LaunchDefault(const std::string& uri) {
    GdkAppLaunchContext* context = gdk_display_get_app_launch_context(gdk_display_get_default());
    GError* error = nullptr;
    gboolean launched = g_app_info_launch_default_for_uri(uri.c_str(), G_APP_LAUNCH_CONTEXT(context), &error);
    g_object_unref(context);
    if (!launched) return Refused(("no application opens " + uri).c_str(), error);
    return std::nullopt;
}

struct PendingReveal {
    std::string folder_uri;
    std::function<void(shell::Outcome)> done;
};

// The file manager did not show the file: its folder is opened instead.
void revealAnswered(GObject* bus, GAsyncResult* result, gpointer data) {
    std::unique_ptr<PendingReveal> pending(static_cast<PendingReveal*>(data));
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(bus), result, &error);
    if (reply) {
        g_variant_unref(reply);
        pending->done(std::nullopt);
        return;
    }
    g_clear_error(&error);
    pending->done(LaunchDefault(pending->folder_uri));
}

}  // namespace

NativeDesktop::NativeDesktop(GtkWindow* window, WebKitWebView* view, shell::WindowPort& main)
    : window_(window),
      view_(view),
      main_(main),
      events_(view),
      notifications_([this](const std::string& id, const std::string& open) { NotificationClicked(id, open); }),
      dialogs_(window),
      tray_([this] { Present(); }, [this] { main_.close(); }) {
    shell::SetNativePort(this);
}

NativeDesktop::~NativeDesktop() {
    if (shell::NativeDesktop() == this) shell::SetNativePort(nullptr);
}

void NativeDesktop::BuildTray() {
    const std::vector<shell::TopMenuModel>& menus = shell::BuildTrayMenu();
    if (menus.empty() && !shell::Native().tray_wanted) return;
    tray_.Build(menus, shell::Native().tray_icon, shell::Native().close_to_tray);
}

void NativeDesktop::Start(int port) {
    port_ = port;
    events_.SetOwnPort(port);
}

bool NativeDesktop::HideToTray() {
    if (!shell::Native().close_to_tray || !tray_.Reachable()) return false;
    gtk_widget_hide(GTK_WIDGET(window_));
    hidden_to_tray_ = true;
    return true;
}

void NativeDesktop::Present() {
    if (port_ < 0) return;  // not shown yet
    if (hidden_to_tray_) {
        gtk_widget_show(GTK_WIDGET(window_));
        hidden_to_tray_ = false;
    }
    gtk_window_present(window_);
}

void NativeDesktop::OpenArguments(const std::vector<std::string>& arguments) {
    Present();
    events_.Send(shell::OpenEvent(arguments));
}

void NativeDesktop::NotificationClicked(const std::string& id, const std::string& open) {
    Present();
    if (id.empty()) return;
    if (!open.empty() && port_ >= 0) {
        main_.navigate("http://127.0.0.1:" + std::to_string(port_) + open);
        events_.SendAfterLoad(shell::NotificationEvent(id));
    } else {
        events_.Send(shell::NotificationEvent(id));
    }
}

/* NativePort */

std::optional<std::string> NativeDesktop::notify(const shell::NotificationRequest& request, shell::Refusal& why) {
    return notifications_.Send(request, why);
}

shell::Outcome NativeDesktop::set_clipboard_text(const std::string& text) {
    const std::string valid = MakeValidUtf8(text);
    gtk_clipboard_set_text(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD), valid.data(), static_cast<gint>(valid.size()));
    return std::nullopt;
}

void NativeDesktop::read_clipboard_text(std::function<void(std::string)> done) {
    auto* pending = new std::function<void(std::string)>(std::move(done));
    gtk_clipboard_request_text(
        gtk_clipboard_get(GDK_SELECTION_CLIPBOARD),
        [](GtkClipboard*, const gchar* text, gpointer data) {
            std::unique_ptr<std::function<void(std::string)>> reply(static_cast<std::function<void(std::string)>*>(data));
            (*reply)(text ? text : "");
        },
        pending);
}

shell::WindowState NativeDesktop::window_state() {
    shell::WindowState s;
    s.visible = gtk_widget_get_visible(GTK_WIDGET(window_));
    s.focused = gtk_window_is_active(window_);
    gtk_window_get_size(window_, &s.width, &s.height);
    if (GdkWindow* gdk_window = gtk_widget_get_window(GTK_WIDGET(window_))) {
        GdkWindowState state = gdk_window_get_state(gdk_window);
        s.fullscreen = state & GDK_WINDOW_STATE_FULLSCREEN;
        s.maximized = state & GDK_WINDOW_STATE_MAXIMIZED;
        s.minimized = state & GDK_WINDOW_STATE_ICONIFIED;
        s.above = state & GDK_WINDOW_STATE_ABOVE;
    }
    return s;
}

shell::Outcome NativeDesktop::change_window(const shell::WindowChange& change) {
    if (change.fullscreen) *change.fullscreen ? gtk_window_fullscreen(window_) : gtk_window_unfullscreen(window_);
    if (change.maximized) *change.maximized ? gtk_window_maximize(window_) : gtk_window_unmaximize(window_);
    if (change.minimized) *change.minimized ? gtk_window_iconify(window_) : gtk_window_deiconify(window_);
    if (change.above) gtk_window_set_keep_above(window_, *change.above);
    if (change.width || change.height) {
        int width = 0, height = 0;
        gtk_window_get_size(window_, &width, &height);
        gtk_window_resize(window_, change.width.value_or(width), change.height.value_or(height));
    }
    if (change.present) Present();
    return std::nullopt;
}

shell::Outcome NativeDesktop::run_dialog(const shell::DialogRequest& request,
                                         std::function<void(shell::DialogResult)> done) {
    // A dialog modal to a hidden window would be one nobody sees.
    if (!gtk_widget_get_visible(GTK_WIDGET(window_))) Present();
    return dialogs_.Run(request, std::move(done));
}

shell::Outcome NativeDesktop::open_with_default(const std::string& uri) { return LaunchDefault(uri); }

void NativeDesktop::reveal(const std::string& path, std::function<void(shell::Outcome)> done) {
    gchar* file_uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
    gchar* folder = g_path_get_dirname(path.c_str());
    gchar* folder_uri = g_filename_to_uri(folder, nullptr, nullptr);
    auto* pending = new PendingReveal{folder_uri ? folder_uri : "", std::move(done)};
    GApplication* app = g_application_get_default();
    GDBusConnection* bus = app ? g_application_get_dbus_connection(app) : nullptr;
    if (bus && file_uri) {
        const gchar* uris[] = {file_uri, nullptr};
        g_dbus_connection_call(bus, "org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
                               "org.freedesktop.FileManager1", "ShowItems", g_variant_new("(^ass)", uris, ""),
                               nullptr, G_DBUS_CALL_FLAGS_NONE, kRevealTimeoutMs, nullptr, revealAnswered, pending);
    } else {
        std::unique_ptr<PendingReveal> now(pending);
        now->done(LaunchDefault(now->folder_uri));
    }
    g_free(file_uri);
    g_free(folder);
    g_free(folder_uri);
}

shell::Outcome NativeDesktop::trash(const std::string& path) {
    GFile* file = g_file_new_for_path(path.c_str());
    GError* error = nullptr;
    gboolean trashed = g_file_trash(file, nullptr, &error);
    g_object_unref(file);
    if (!trashed) return Refused(("cannot move " + path + " to the trash").c_str(), error);
    return std::nullopt;
}

shell::Outcome NativeDesktop::change_tray(const shell::TrayChange& change) { return tray_.Change(change); }

void NativeDesktop::update_tray() {
    // Before the tray is built (onInit.lua) the settings are all it needs.
    if (port_ < 0 && !tray_.Exists()) return;
    tray_.Build(shell::TrayMenuItems(), shell::Native().tray_icon, shell::Native().close_to_tray);
}

std::string NativeDesktop::launcher_command() {
    const std::string& id = shell::Settings().ApplicationId;
    // An installed application starts through its own entry's command.
    if (GDesktopAppInfo* installed = g_desktop_app_info_new((id + ".desktop").c_str())) {
        char* exec = g_desktop_app_info_get_string(installed, "Exec");
        std::string command = exec ? shell::WithoutFieldCodes(exec) : "";
        g_free(exec);
        g_object_unref(installed);
        if (!command.empty()) return command;
    }
    char folder[PATH_MAX];
    if (!getcwd(folder, sizeof folder)) return "";
    return shell::DesktopExec({"env", std::string(shell::kAppIdVariable) + "=" + id,
                               shell::ProgramFolder() + "vantrel", folder});
}

}  // namespace vantrel::desktop
