// The browser as the shell uses it: TCppWebBrowser wraps a WebKitWebView, and
// THTMLBrowserUIHandler is the host object the wrapper consults about the
// engine's own user interface (context menu, host flags, addresses, the page's
// external object).
#pragma once

#include <webkit2/webkit2.h>

#include <functional>
#include <string>

#include "UIHandler.hpp"

namespace vantrel::desktop {

class TCppWebBrowser;

// The document the browser currently shows.
class THTMLDocument final : public ICustomDoc {
public:
    explicit THTMLDocument(TCppWebBrowser& browser) : browser_(browser) {}
    // Hands out ICustomDoc for IID_ICustomDoc; E_NOINTERFACE otherwise.
    HRESULT QueryInterface(const GUID& iid, void** object);
    HRESULT SetUIHandler(IDocHostUIHandler* handler) override;
    // Ends the document's current stream: a load still in progress stops.
    void close();
    // The text becomes the document's content.
    void write(const std::string& html);

private:
    TCppWebBrowser& browser_;
};

class TCppWebBrowser {
public:
    TCppWebBrowser();
    ~TCppWebBrowser();
    TCppWebBrowser(const TCppWebBrowser&) = delete;
    TCppWebBrowser& operator=(const TCppWebBrowser&) = delete;

    GtkWidget* Widget() const { return GTK_WIDGET(view_); }
    WebKitWebView* View() const { return view_; }

    // Starts loading the address the text names (see NavigationUri).
    void Navigate(const std::string& url);
    // Level 3 (REFRESH_COMPLETELY) reloads without cached copies; lower levels reload.
    void Refresh2(int level);
    // OLECMDID_PRINT (6) runs the engine's print dialog; other commands do nothing.
    void ExecWB(int command, int option);
    // True from a navigation's start until it has finished or failed.
    bool Busy() const { return busy_; }
    // The current document, or nullptr before a first load has produced one.
    THTMLDocument* Document() { return has_document_ ? &document_ : nullptr; }

    // The address that relative links of written pages resolve against.
    void SetWriteBaseUri(const std::string& uri) { write_base_uri_ = uri; }

    static constexpr int REFRESH_COMPLETELY = 3;
    static constexpr int OLECMDID_PRINT = 6;

private:
    friend class THTMLDocument;

    static void viewLoadChanged(WebKitWebView*, WebKitLoadEvent event, TCppWebBrowser* self);
    static gboolean viewLoadFailed(WebKitWebView*, WebKitLoadEvent, char*, GError*, TCppWebBrowser* self);
    static gboolean viewContextMenu(WebKitWebView*, WebKitContextMenu*, GdkEvent*, WebKitHitTestResult*,
                                    TCppWebBrowser* self);
    static gboolean viewDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                     WebKitPolicyDecisionType type, TCppWebBrowser* self);

    WebKitWebView* view_ = nullptr;  // owned through the widget tree once packed
    THTMLDocument document_{*this};
    IDocHostUIHandler* ui_handler_ = nullptr;  // borrowed; lives for the process
    bool has_document_ = false;
    bool busy_ = false;
    std::string write_base_uri_;
};

// Downloads from any view of the process ask where to save through a file
// chooser parented to `parent`; how each one ended ("Saved <file>" or why it
// failed) goes to `report`.
void InstallDownloadHandler(GtkWindow* parent, std::function<void(const std::string&)> report);

// Runs the program's own modal dialog; CancelModalDialogs ends every one still
// running, and the print dialog (with GTK_RESPONSE_DELETE_EVENT), so that
// closing the program is not held up by a question nobody answers.
int RunModalDialog(GtkDialog* dialog);
void CancelModalDialogs();

}  // namespace vantrel::desktop
