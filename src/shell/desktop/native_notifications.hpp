// Desktop notifications through the application's GApplication (the
// desktop's notification service), and what a click on one does.
#pragma once

#include <gio/gio.h>

#include <functional>
#include <map>
#include <optional>
#include <string>

#include "shell/model/native_port.hpp"

namespace vantrel::desktop {

class Notifications {
public:
    // `clicked` gets the id and the notification's "open" path ("" for none).
    explicit Notifications(std::function<void(const std::string& id, const std::string& open)> clicked);
    ~Notifications();
    Notifications(const Notifications&) = delete;
    Notifications& operator=(const Notifications&) = delete;

    // Sends one; its id, or nullopt with `why` when there is no service to show it.
    std::optional<std::string> Send(const vantrel::shell::NotificationRequest& request, vantrel::shell::Refusal& why);

private:
    static void actionActivated(GSimpleAction*, GVariant* parameter, Notifications* self);

    GApplication* app_ = nullptr;  // borrowed: the process's application
    GSimpleAction* action_ = nullptr;  // owned
    std::function<void(const std::string&, const std::string&)> clicked_;
    unsigned long next_ = 1;
    std::map<unsigned long, std::string> open_paths_;  // number of the id -> "open", the latest ones
};

}  // namespace vantrel::desktop
