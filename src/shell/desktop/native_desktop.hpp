// The desktop half of the native interface: what its calls and script
// functions do to the main window, the clipboard, the desktop's handlers, the
// trash, notifications, dialogs and the tray, and the events the page gets.
#pragma once

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <string>
#include <vector>

#include "native_dialogs.hpp"
#include "native_notifications.hpp"
#include "native_tray.hpp"
#include "page_events.hpp"
#include "shell/model/native_port.hpp"
#include "shell/model/window_port.hpp"

namespace vantrel::desktop {

class NativeDesktop final : public vantrel::shell::NativePort {
public:
    // `window` and `view` are the main window's (borrowed); `main` is the main
    // window as the shell's logic sees it, whose close request Quit makes.
    // From now on the script functions reach the desktop through this object.
    NativeDesktop(GtkWindow* window, WebKitWebView* view, vantrel::shell::WindowPort& main);
    ~NativeDesktop() override;
    NativeDesktop(const NativeDesktop&) = delete;
    NativeDesktop& operator=(const NativeDesktop&) = delete;

    // After the main menu: runs "onBuildTrayMenu.lua" and makes the tray icon
    // when the scripts built a tray menu or asked for the icon.
    void BuildTray();
    // The server listens on `port`: events can reach the application's pages.
    void Start(int port);
    // The window's close button: with close-to-tray (and a tray the user can
    // reach) the window is hidden instead of closed, and true is returned.
    bool HideToTray();
    // Shows the window (again, when it was hidden to the tray) and raises it.
    void Present();
    // A later start of the application was given these arguments.
    void OpenArguments(const std::vector<std::string>& arguments);
    void SendPageEvent(const std::string& detail) { events_.Send(detail); }
    // The window is closing: a dialog still open is answered as cancelled.
    void CancelDialogs() { dialogs_.Cancel(); }

    // NativePort.
    std::optional<std::string> notify(const vantrel::shell::NotificationRequest& request,
                                      vantrel::shell::Refusal& why) override;
    vantrel::shell::Outcome set_clipboard_text(const std::string& text) override;
    void read_clipboard_text(std::function<void(std::string)> done) override;
    vantrel::shell::WindowState window_state() override;
    vantrel::shell::Outcome change_window(const vantrel::shell::WindowChange& change) override;
    vantrel::shell::Outcome run_dialog(const vantrel::shell::DialogRequest& request,
                                       std::function<void(vantrel::shell::DialogResult)> done) override;
    vantrel::shell::Outcome open_with_default(const std::string& uri) override;
    void reveal(const std::string& path, std::function<void(vantrel::shell::Outcome)> done) override;
    vantrel::shell::Outcome trash(const std::string& path) override;
    vantrel::shell::Outcome change_tray(const vantrel::shell::TrayChange& change) override;
    void update_tray() override;
    std::string launcher_command() override;

private:
    void NotificationClicked(const std::string& id, const std::string& open);

    GtkWindow* window_;
    WebKitWebView* view_;
    vantrel::shell::WindowPort& main_;
    int port_ = -1;  // the server's, once it listens
    bool hidden_to_tray_ = false;
    PageEvents events_;
    Notifications notifications_;
    NativeDialogs dialogs_;
    Tray tray_;
};

}  // namespace vantrel::desktop
