// The desktop's services on a test's own session bus: a notification server
// (org.freedesktop.Notifications) and a tray host's watcher
// (org.kde.StatusNotifierWatcher) that record what the program sends them,
// and can click a notification or a tray menu item as a user would.
#pragma once

#include <gio/gio.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace desktop {

class DesktopServices {
public:
    struct Notification {
        uint32_t id = 0;
        std::string app_name, summary, body, desktop_entry;
        std::vector<std::string> actions;
    };

    explicit DesktopServices(const std::string& bus_address) : address_(bus_address) {
        thread_ = std::thread([this] { Serve(); });
        std::unique_lock<std::mutex> guard(lock_);
        ready_.wait(guard, [this] { return started_; });
        if (!error_.empty()) {
            guard.unlock();
            thread_.join();
            throw std::runtime_error("desktop services: " + error_);
        }
    }
    ~DesktopServices() {
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (loop_) g_main_loop_quit(loop_);
        }
        thread_.join();
    }
    DesktopServices(const DesktopServices&) = delete;
    DesktopServices& operator=(const DesktopServices&) = delete;

    std::vector<Notification> notifications() {
        std::lock_guard<std::mutex> guard(lock_);
        return notifications_;
    }
    // "bus name" + "object path" of every tray item registered.
    std::vector<std::string> tray_items() {
        std::lock_guard<std::mutex> guard(lock_);
        return items_;
    }

    // The user clicks the notification (action "default") or one of its buttons.
    void invoke(uint32_t id, const std::string& action) {
        g_dbus_connection_emit_signal(bus_, nullptr, "/org/freedesktop/Notifications", "org.freedesktop.Notifications",
                                      "ActionInvoked", g_variant_new("(us)", id, action.c_str()), nullptr);
        g_dbus_connection_flush_sync(bus_, nullptr, nullptr);
    }

    // The labels of the first tray item's menu (mnemonic underscores removed).
    std::vector<std::string> tray_menu_labels() {
        std::vector<std::string> labels;
        each_menu_item([&](int, const std::string& label) {
            labels.push_back(label);
            return false;
        });
        return labels;
    }

    // Clicks the first tray item's menu entry labelled `label`; false if there is none.
    bool click_tray_item(const std::string& label) {
        int found = -1;
        each_menu_item([&](int id, const std::string& l) {
            if (l == label) found = id;
            return found >= 0;
        });
        if (found < 0) return false;
        auto [name, path] = menu_of_first_item();
        GVariant* reply = g_dbus_connection_call_sync(
            bus_, name.c_str(), path.c_str(), "com.canonical.dbusmenu", "Event",
            g_variant_new("(isvu)", found, "clicked", g_variant_new_int32(0), 0u), nullptr, G_DBUS_CALL_FLAGS_NONE,
            5000, nullptr, nullptr);
        if (reply) g_variant_unref(reply);
        return reply != nullptr;
    }

private:
    static constexpr const char* kIntrospection =
        "<node>"
        " <interface name='org.freedesktop.Notifications'>"
        "  <method name='Notify'><arg type='s' direction='in'/><arg type='u' direction='in'/>"
        "   <arg type='s' direction='in'/><arg type='s' direction='in'/><arg type='s' direction='in'/>"
        "   <arg type='as' direction='in'/><arg type='a{sv}' direction='in'/><arg type='i' direction='in'/>"
        "   <arg type='u' direction='out'/></method>"
        "  <method name='CloseNotification'><arg type='u' direction='in'/></method>"
        "  <method name='GetCapabilities'><arg type='as' direction='out'/></method>"
        "  <method name='GetServerInformation'><arg type='s' direction='out'/><arg type='s' direction='out'/>"
        "   <arg type='s' direction='out'/><arg type='s' direction='out'/></method>"
        "  <signal name='ActionInvoked'><arg type='u'/><arg type='s'/></signal>"
        "  <signal name='NotificationClosed'><arg type='u'/><arg type='u'/></signal>"
        " </interface>"
        " <interface name='org.kde.StatusNotifierWatcher'>"
        "  <method name='RegisterStatusNotifierItem'><arg type='s' direction='in'/></method>"
        "  <method name='RegisterStatusNotifierHost'><arg type='s' direction='in'/></method>"
        "  <property name='RegisteredStatusNotifierItems' type='as' access='read'/>"
        "  <property name='IsStatusNotifierHostRegistered' type='b' access='read'/>"
        "  <property name='ProtocolVersion' type='i' access='read'/>"
        "  <signal name='StatusNotifierItemRegistered'><arg type='s'/></signal>"
        "  <signal name='StatusNotifierHostRegistered'/>"
        " </interface>"
        "</node>";

    void Serve() {
        GMainContext* context = g_main_context_new();
        g_main_context_push_thread_default(context);
        GError* error = nullptr;
        bus_ = g_dbus_connection_new_for_address_sync(
            address_.c_str(),
            GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                 G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &error);
        GDBusNodeInfo* node = bus_ ? g_dbus_node_info_new_for_xml(kIntrospection, &error) : nullptr;
        std::vector<guint> registrations;
        if (node) {
            static const GDBusInterfaceVTable vtable = {MethodCall, GetProperty, nullptr, {}};
            registrations.push_back(g_dbus_connection_register_object(bus_, "/org/freedesktop/Notifications",
                                                                      node->interfaces[0], &vtable, this, nullptr,
                                                                      &error));
            if (!error)
                registrations.push_back(g_dbus_connection_register_object(bus_, "/StatusNotifierWatcher",
                                                                          node->interfaces[1], &vtable, this, nullptr,
                                                                          &error));
        }
        for (const char* name : {"org.freedesktop.Notifications", "org.kde.StatusNotifierWatcher"}) {
            if (error) break;
            GVariant* reply = g_dbus_connection_call_sync(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                          "org.freedesktop.DBus", "RequestName",
                                                          g_variant_new("(su)", name, 4u), G_VARIANT_TYPE("(u)"),
                                                          G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
            if (reply) g_variant_unref(reply);
        }
        GMainLoop* loop = g_main_loop_new(context, FALSE);
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (error) error_ = error->message;
            loop_ = error ? nullptr : loop;
            started_ = true;
        }
        ready_.notify_all();
        if (!error) g_main_loop_run(loop);
        g_clear_error(&error);
        {
            std::lock_guard<std::mutex> guard(lock_);
            loop_ = nullptr;
        }
        for (guint id : registrations)
            if (id) g_dbus_connection_unregister_object(bus_, id);
        if (node) g_dbus_node_info_unref(node);
        if (bus_) {
            g_dbus_connection_close_sync(bus_, nullptr, nullptr);
            g_object_unref(bus_);
        }
        g_main_loop_unref(loop);
        g_main_context_pop_thread_default(context);
        g_main_context_unref(context);
    }

    static void MethodCall(GDBusConnection* bus, const gchar* sender, const gchar*, const gchar*, const gchar* method,
                           GVariant* parameters, GDBusMethodInvocation* invocation, gpointer data) {
        auto* self = static_cast<DesktopServices*>(data);
        const std::string name = method;
        if (name == "Notify") {
            const gchar *app, *icon, *summary, *body;
            guint32 replaces;
            GVariantIter* actions;
            GVariant* hints;
            gint32 timeout;
            g_variant_get(parameters, "(&su&s&s&sas@a{sv}i)", &app, &replaces, &icon, &summary, &body, &actions, &hints,
                          &timeout);
            Notification n;
            n.app_name = app;
            n.summary = summary;
            n.body = body;
            const gchar* action;
            while (g_variant_iter_next(actions, "&s", &action)) n.actions.emplace_back(action);
            g_variant_iter_free(actions);
            const gchar* entry = nullptr;
            if (g_variant_lookup(hints, "desktop-entry", "&s", &entry)) n.desktop_entry = entry;
            g_variant_unref(hints);
            {
                std::lock_guard<std::mutex> guard(self->lock_);
                n.id = replaces ? replaces : static_cast<uint32_t>(self->notifications_.size() + 1);
                self->notifications_.push_back(n);
            }
            g_dbus_method_invocation_return_value(invocation, g_variant_new("(u)", n.id));
        } else if (name == "GetCapabilities") {
            const gchar* caps[] = {"actions", "body", nullptr};
            g_dbus_method_invocation_return_value(invocation, g_variant_new("(^as)", caps));
        } else if (name == "GetServerInformation") {
            g_dbus_method_invocation_return_value(invocation, g_variant_new("(ssss)", "test", "vantrel", "1", "1.2"));
        } else if (name == "RegisterStatusNotifierItem") {
            const gchar* service;
            g_variant_get(parameters, "(&s)", &service);
            // An object path means "this path of the calling connection".
            std::string item = service[0] == '/' ? std::string(sender) + service
                                                 : std::string(service) + "/StatusNotifierItem";
            {
                std::lock_guard<std::mutex> guard(self->lock_);
                self->items_.push_back(item);
            }
            g_dbus_method_invocation_return_value(invocation, nullptr);
            g_dbus_connection_emit_signal(bus, nullptr, "/StatusNotifierWatcher", "org.kde.StatusNotifierWatcher",
                                          "StatusNotifierItemRegistered", g_variant_new("(s)", item.c_str()), nullptr);
        } else {
            g_dbus_method_invocation_return_value(invocation, nullptr);
        }
    }

    static GVariant* GetProperty(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* property,
                                 GError**, gpointer data) {
        auto* self = static_cast<DesktopServices*>(data);
        const std::string name = property;
        if (name == "IsStatusNotifierHostRegistered") return g_variant_new_boolean(TRUE);
        if (name == "ProtocolVersion") return g_variant_new_int32(0);
        GVariantBuilder items;
        g_variant_builder_init(&items, G_VARIANT_TYPE("as"));
        std::lock_guard<std::mutex> guard(self->lock_);
        for (const std::string& item : self->items_) g_variant_builder_add(&items, "s", item.c_str());
        return g_variant_builder_end(&items);
    }

    // The first tray item's bus name and its menu's object path.
    std::pair<std::string, std::string> menu_of_first_item() {
        std::vector<std::string> items = tray_items();
        if (items.empty()) return {};
        const std::string& item = items[0];
        std::size_t slash = item.find('/');
        std::string name = item.substr(0, slash), path = item.substr(slash);
        GVariant* reply = g_dbus_connection_call_sync(
            bus_, name.c_str(), path.c_str(), "org.freedesktop.DBus.Properties", "Get",
            g_variant_new("(ss)", "org.kde.StatusNotifierItem", "Menu"), G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NONE,
            5000, nullptr, nullptr);
        if (!reply) return {};
        GVariant* menu = nullptr;
        g_variant_get(reply, "(v)", &menu);
        std::string menu_path = g_variant_get_string(menu, nullptr);
        g_variant_unref(menu);
        g_variant_unref(reply);
        return {name, menu_path};
    }

    // Calls `visit(id, label)` for every entry of the menu, depth first, until it returns true.
    template <class Visit>
    void each_menu_item(Visit visit) {
        auto [name, path] = menu_of_first_item();
        if (name.empty()) return;
        GVariant* shown = g_dbus_connection_call_sync(bus_, name.c_str(), path.c_str(), "com.canonical.dbusmenu",
                                                      "AboutToShow", g_variant_new("(i)", 0), nullptr,
                                                      G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
        if (shown) g_variant_unref(shown);
        const gchar* no_properties[] = {nullptr};
        GVariant* reply = g_dbus_connection_call_sync(
            bus_, name.c_str(), path.c_str(), "com.canonical.dbusmenu", "GetLayout",
            g_variant_new("(ii^as)", 0, -1, no_properties), nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
        if (!reply) return;
        GVariant* layout = g_variant_get_child_value(reply, 1);
        walk(layout, visit);
        g_variant_unref(layout);
        g_variant_unref(reply);
    }

    template <class Visit>
    static bool walk(GVariant* node, Visit& visit) {
        gint32 id = 0;
        GVariant* properties = nullptr;
        GVariant* children = nullptr;
        g_variant_get(node, "(i@a{sv}@av)", &id, &properties, &children);
        const gchar* label = nullptr;
        bool stop = false;
        if (g_variant_lookup(properties, "label", "&s", &label)) {
            std::string plain;
            for (const char* c = label; *c; ++c)
                if (*c != '_') plain += *c;
            stop = visit(id, plain);
        }
        for (gsize i = 0, n = g_variant_n_children(children); !stop && i < n; ++i) {
            GVariant* boxed = g_variant_get_child_value(children, i);
            GVariant* child = g_variant_get_variant(boxed);
            stop = walk(child, visit);
            g_variant_unref(child);
            g_variant_unref(boxed);
        }
        g_variant_unref(properties);
        g_variant_unref(children);
        return stop;
    }

    std::string address_;
    std::thread thread_;
    std::mutex lock_;
    std::condition_variable ready_;
    bool started_ = false;
    std::string error_;
    GMainLoop* loop_ = nullptr;
    GDBusConnection* bus_ = nullptr;
    std::vector<Notification> notifications_;
    std::vector<std::string> items_;
};

}  // namespace desktop
