#include "native_notifications.hpp"

#include <cstdlib>

#include "page_text.hpp"

namespace vantrel::desktop {
namespace {

constexpr const char* kClickAction = "vantrel-notification";
constexpr std::size_t kRememberedMax = 256;

// The application's own icon: icon.png or icon.svg of its folder, else Vantrel's.
GIcon* ApplicationIcon() {
    for (const char* name : {"icon.png", "icon.svg"}) {
        if (!g_file_test(name, G_FILE_TEST_IS_REGULAR)) continue;
        GFile* file = g_file_new_for_path(name);
        GIcon* icon = g_file_icon_new(file);
        g_object_unref(file);
        return icon;
    }
    return g_themed_icon_new("vantrel");
}

}  // namespace

Notifications::Notifications(std::function<void(const std::string&, const std::string&)> clicked)
    : app_(g_application_get_default()), clicked_(std::move(clicked)) {
    if (!app_) return;
    action_ = g_simple_action_new(kClickAction, G_VARIANT_TYPE_STRING);
    g_signal_connect(action_, "activate", G_CALLBACK(actionActivated), this);
    g_action_map_add_action(G_ACTION_MAP(app_), G_ACTION(action_));
}

Notifications::~Notifications() {
    if (!action_) return;
    g_signal_handlers_disconnect_by_data(action_, this);
    if (g_application_get_default() == app_) g_action_map_remove_action(G_ACTION_MAP(app_), kClickAction);
    g_object_unref(action_);
}

std::optional<std::string> Notifications::Send(const vantrel::shell::NotificationRequest& request,
                                               vantrel::shell::Refusal& why) {
    if (!app_ || !g_application_get_dbus_connection(app_)) {
        why.message = "there is no session bus, so no notification service";
        return std::nullopt;
    }
    const unsigned long number = next_++;
    const std::string id = "n" + std::to_string(number);
    GNotification* notification = g_notification_new(MakeValidUtf8(request.title).c_str());
    if (!request.body.empty()) g_notification_set_body(notification, MakeValidUtf8(request.body).c_str());
    GIcon* icon = request.icon.empty() ? ApplicationIcon() : g_icon_new_for_string(request.icon.c_str(), nullptr);
    if (icon) {
        g_notification_set_icon(notification, icon);
        g_object_unref(icon);
    }
    g_notification_set_default_action_and_target_value(notification, (std::string("app.") + kClickAction).c_str(),
                                                       g_variant_new_string(id.c_str()));
    g_application_send_notification(app_, id.c_str(), notification);
    g_object_unref(notification);
    if (open_paths_.size() >= kRememberedMax) open_paths_.erase(open_paths_.begin());
    open_paths_[number] = request.open;
    return id;
}

void Notifications::actionActivated(GSimpleAction*, GVariant* parameter, Notifications* self) {
    const std::string id = g_variant_get_string(parameter, nullptr);
    // Only the ids handed out here count; a click on another one just presents the window.
    auto found = id.size() > 1 && id[0] == 'n' ? self->open_paths_.find(std::strtoul(id.c_str() + 1, nullptr, 10))
                                               : self->open_paths_.end();
    if (found == self->open_paths_.end()) {
        if (self->clicked_) self->clicked_("", "");
        return;
    }
    if (self->clicked_) self->clicked_(id, found->second);
}

}  // namespace vantrel::desktop
