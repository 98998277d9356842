// What the native interface asks of the desktop: notifications, the clipboard,
// the window's state, dialogs, the default handlers, the trash and the tray.
// The desktop program implements it with GTK and GIO; tests implement it with a
// recording fake. Every function is called on the user-interface thread.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vantrel::shell {

// Why the desktop did not do what was asked, for a 409 reply.
struct Refusal {
    std::string message;
};
// Nothing when it was done.
using Outcome = std::optional<Refusal>;

struct NotificationRequest {
    std::string title;
    std::string body;
    std::string icon;  // an icon name or an absolute image path; "" for the application's own
    std::string open;  // a path of the site to show when the notification is clicked; "" for none
};

struct WindowChange {
    std::optional<bool> fullscreen, maximized, minimized, above;
    std::optional<int> width, height;
    bool present = false;
};

struct WindowState {
    bool visible = false;
    bool focused = false;
    bool fullscreen = false;
    bool maximized = false;
    bool minimized = false;
    bool above = false;
    int width = 0, height = 0;
};

struct FileFilter {
    std::string name;
    std::vector<std::string> patterns;  // "*.txt", ...
};

struct DialogRequest {
    enum Kind { Open, OpenMultiple, Folder, Save, Message } kind = Open;
    std::string title;
    std::vector<FileFilter> filters;  // file kinds only
    std::string name;                 // Save: the proposed file name
    std::string text;                 // Message: the question or message
    std::vector<std::string> buttons; // Message: the buttons, left to right
};

struct DialogResult {
    std::vector<std::string> paths;  // file kinds: the chosen paths, empty when cancelled
    int button = -1;                 // Message: the index of the button pressed, -1 when closed
};

struct TrayChange {
    std::optional<std::string> tooltip;
    std::optional<std::string> icon;  // an icon name or an absolute image path
    std::optional<bool> visible;
};

class NativePort {
public:
    virtual ~NativePort() = default;

    // Shows a desktop notification; its id (the one "notification" events name).
    virtual std::optional<std::string> notify(const NotificationRequest& request, Refusal& why) = 0;
    virtual Outcome set_clipboard_text(const std::string& text) = 0;
    // Reads the clipboard's text ("" when it holds none) and calls `done` with it.
    virtual void read_clipboard_text(std::function<void(std::string)> done) = 0;
    virtual WindowState window_state() = 0;
    virtual Outcome change_window(const WindowChange& change) = 0;
    // Starts a dialog modal to the window; `done` is called when it has been
    // answered. A refusal (another dialog is open) calls nothing.
    virtual Outcome run_dialog(const DialogRequest& request, std::function<void(DialogResult)> done) = 0;
    // The desktop's default handler for a URI ("file://..." for a path).
    virtual Outcome open_with_default(const std::string& uri) = 0;
    // Shows the file selected in the file manager (else opens its folder); then `done`.
    virtual void reveal(const std::string& path, std::function<void(Outcome)> done) = 0;
    virtual Outcome trash(const std::string& path) = 0;
    virtual Outcome change_tray(const TrayChange& change) = 0;
    // The tray settings of the scripts changed (SetTrayIcon, SetCloseToTray).
    virtual void update_tray() = 0;
    // The command line that starts this application as its launcher does.
    virtual std::string launcher_command() = 0;
};

// The desktop's implementation while there is one (nullptr otherwise). Borrowed.
void SetNativePort(NativePort* port);
NativePort* NativeDesktop();

}  // namespace vantrel::shell
