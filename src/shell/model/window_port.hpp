// What the shell's logic needs from the window and the browser. The desktop
// program implements it with GTK and WebKitGTK; tests implement it with a
// recording fake.
#pragma once

#include <string>
#include <vector>

namespace vantrel::shell {

// A parsed shortcut text. `key` is empty when the item has no shortcut. For the
// key names the parser knows it holds the toolkit's key name ("a", "F5",
// "BackSpace", "Page_Up", ...); any other name is passed through for the desktop
// side to resolve (no shortcut when it cannot).
struct Shortcut {
    bool shift = false;
    bool ctrl = false;
    bool alt = false;
    std::string key;

    bool empty() const { return key.empty(); }
    bool operator==(const Shortcut&) const = default;
};

// One item of a top-level menu. `command_index` is the item's entry in the
// command table; the window reports a click by that index.
struct MenuItemModel {
    std::string name;     // component name (empty or an identifier)
    std::string caption;  // "&" marks the access key, "&&" a literal "&"
    Shortcut shortcut;
    int command_index = -1;
};

struct TopMenuModel {
    std::string name;
    std::string caption;
    std::vector<MenuItemModel> items;
};

class WindowPort {
public:
    virtual ~WindowPort() = default;

    virtual void set_caption(const std::string& text) = 0;
    virtual void set_application_title(const std::string& text) = 0;
    // Starts an asynchronous navigation; failures are silent.
    virtual void navigate(const std::string& url) = 0;
    // Reloads the page bypassing the cache.
    virtual void refresh() = 0;
    // Runs the browser's print flow.
    virtual void print() = 0;
    // Opens the find bar over the page (or moves to it when it is open).
    virtual void find() = 0;
    // Closes the main window as its own close control does.
    virtual void close() = 0;
    // A modal error dialog with one OK button.
    virtual void show_error(const std::string& text) = 0;
    // A modal dialog titled "Error" for a fatal server message (the caller exits).
    virtual void show_fatal(const std::string& text) = 0;
    // Installs the main menu ("mnuMain") built from these menus, in order.
    virtual void set_menu_bar(const std::vector<TopMenuModel>& menus) = 0;
    // Dispatches the "vantrel" event with `detail` (a JSON object) to the page.
    virtual void send_page_event(const std::string& detail) = 0;
    // Developer mode: a request of the site whose program wrote `errors` (its
    // error output) or that answered `status` 500 or more. Called on the
    // server's thread; the window shows it on its own.
    virtual void request_errors(const std::string& /*method*/, const std::string& /*path*/, int /*status*/,
                                const std::string& /*errors*/) {}
};

}  // namespace vantrel::shell
