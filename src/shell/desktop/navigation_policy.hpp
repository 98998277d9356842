// Where an address the page asks for is shown, decided without a window: in
// the application's own view, in a pop-up window of the application, or by the
// desktop's default handler; and the texts the status bar shows.
#pragma once

#include <string>
#include <string_view>

namespace vantrel::desktop {

// True for http://127.0.0.1:PORT and http://localhost:PORT addresses (the port
// written out, or left out when PORT is 80); host and scheme in any case.
bool IsOwnOrigin(std::string_view uri, int port);

// True for the schemes the desktop's default handler takes when the user clicks
// them: http, https, mailto, tel.
bool OpensOutside(std::string_view uri);

// What the engine tells about a navigation or a request for a new window.
struct NavigationFacts {
    std::string uri;
    bool link_clicked = false;  // a link the user clicked (not a script, form or reload)
    bool user_gesture = false;
    bool new_window = false;    // window.open or target=_blank
    bool subframe = false;      // the navigation happens inside a frame
};

enum class NavigationChoice {
    LoadInside,   // the engine goes on as usual
    OpenOutside,  // the default handler opens it; the page stays
    OpenPopup,    // a new window of the application (new-window requests only)
    Refuse,       // nothing happens (new-window requests only)
};

// Clicked links to other origins go outside; new windows of the own origin (or
// an empty/about:blank one that the opener fills) become pop-ups. Scripted
// loads, forms, frames, file:, data:, about: and blob: stay inside.
NavigationChoice ChooseNavigation(const NavigationFacts& facts, int port);

// The status bar: what it shows and in which order of precedence: the link under
// the pointer, then "Loading..." while a page loads, then the last result (a
// download saved or failed, a link with no handler; the window clears it after
// a few seconds), then a server error of the page shown.
class StatusText {
public:
    void set_link(std::string uri) { link_ = std::move(uri); }
    void set_loading(bool loading) { loading_ = loading; }
    // A new result shows even while the pointer is still on the link that led to it.
    void set_result(std::string text) {
        result_ = std::move(text);
        link_.clear();
    }
    void clear_result() { result_.clear(); }
    void set_server_error(std::string text) { server_error_ = std::move(text); }
    // The main page starts loading another address: the last result and the
    // server error belonged to the page before.
    void new_page() {
        result_.clear();
        server_error_.clear();
    }
    std::string current() const;

private:
    std::string link_;
    bool loading_ = false;
    std::string result_;
    std::string server_error_;
};

// Result texts.
std::string SavedText(std::string_view file);
std::string DownloadFailedText(std::string_view file, std::string_view why);
std::string NoHandlerText(std::string_view uri);
// "Server error 500 on /page.php": the page shown was answered with a status
// of 500 or more by the application's own server.
std::string ServerErrorText(int status, std::string_view path);

}  // namespace vantrel::desktop
