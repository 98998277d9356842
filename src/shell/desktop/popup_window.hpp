// A second window of the application for a pop-up of its own origin
// (window.open, target=_blank): its view is related to the opener's, so the
// pop-up's scripts reach window.opener. It closes with its close button (after
// the page's beforeunload question) or the page's window.close().
#pragma once

#include <webkit2/webkit2.h>

#include "gtk_owner.hpp"

namespace vantrel::desktop {

class PageBehaviour;

class PopupWindow {
public:
    // Makes the view; the window appears when the engine says it is ready.
    PopupWindow(PageBehaviour& behaviour, WebKitWebView* opener);
    ~PopupWindow();
    PopupWindow(const PopupWindow&) = delete;
    PopupWindow& operator=(const PopupWindow&) = delete;

    WebKitWebView* View() const { return view_; }
    WebKitUserContentManager* Scripts() const { return scripts_.get(); }
    GtkAccelGroup* Keys() const { return keys_.get(); }

private:
    static void viewReadyToShow(WebKitWebView*, PopupWindow* self);
    static void viewClose(WebKitWebView*, PopupWindow* self);
    static void viewTitleChanged(GObject*, GParamSpec*, PopupWindow* self);
    static gboolean windowDeleteEvent(GtkWidget*, GdkEvent*, PopupWindow* self);

    PageBehaviour& behaviour_;
    GObjectPtr<WebKitUserContentManager> scripts_;
    GObjectPtr<GtkAccelGroup> keys_;
    TopLevelPtr window_;
    WebKitWebView* view_ = nullptr;  // owned by window_ once packed
};

}  // namespace vantrel::desktop
