// The "vantrel" DOM event in the main window's page: sent at once when the
// page is one of the application's own and has loaded, kept until its load
// has finished while it loads, and never given to another site's page.
#pragma once

#include <webkit2/webkit2.h>

#include <deque>
#include <string>

namespace vantrel::desktop {

class PageEvents {
public:
    explicit PageEvents(WebKitWebView* view);  // borrowed: the main window's view
    ~PageEvents();
    PageEvents(const PageEvents&) = delete;
    PageEvents& operator=(const PageEvents&) = delete;

    // The server's port, which names the own origin (no event goes out before it is known).
    void SetOwnPort(int port) { port_ = port; }
    // `detail` is a JSON object.
    void Send(const std::string& detail);
    // For the page that the navigation just started will show.
    void SendAfterLoad(const std::string& detail);

private:
    void Dispatch(const std::string& detail);
    static void viewLoadChanged(WebKitWebView*, WebKitLoadEvent event, PageEvents* self);

    WebKitWebView* view_;
    int port_ = -1;
    bool waiting_for_load_ = false;
    std::deque<std::string> pending_;
};

}  // namespace vantrel::desktop
