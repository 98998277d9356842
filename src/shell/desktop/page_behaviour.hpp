// What the application's web views do beyond showing pages: the navigation
// people expect (Back/Forward keys and mouse buttons, clicked links to other
// web sites opened by the desktop's default handler, pop-up windows of the own
// origin, window.close()), zoom keys and Ctrl+wheel, the page's "Leave page?"
// question, the status bar texts, and the web inspector in developer mode.
#pragma once

#include <webkit2/webkit2.h>

#include <functional>
#include <list>
#include <memory>
#include <set>
#include <string>

#include "close_sequence.hpp"
#include "gtk_owner.hpp"
#include "navigation_policy.hpp"

namespace vantrel::desktop {

class PopupWindow;

class PageBehaviour {
public:
    // `status_bar` shows the status texts (borrowed: a widget of the main
    // window); `close_main` ends the application once its pages agree.
    PageBehaviour(GtkStatusbar* status_bar, std::function<void()> close_main);
    ~PageBehaviour();
    PageBehaviour(const PageBehaviour&) = delete;
    PageBehaviour& operator=(const PageBehaviour&) = delete;

    // The main window's view, and the accelerator group its keys join (a menu
    // item given the same shortcut later takes the key over).
    void AttachMainView(WebKitWebView* view, GtkAccelGroup* keys);
    // The server's port: names the own origin and lets the own pages' window.close() through.
    void SetOwnPort(int port);
    // Asks the main page, then every pop-up's page, whether they may close
    // (their beforeunload questions); `close_main` runs when all agree. One
    // "Stay" keeps every window open.
    void AskToCloseAll();
    // Hides every pop-up window (the application is ending).
    void HidePopups();
    // A result for the status bar (a download saved or failed).
    void ShowResult(const std::string& text);

private:
    friend class PopupWindow;

    // Signals and keys shared by the main view and the pop-ups' views.
    void AttachView(WebKitWebView* view, WebKitUserContentManager* scripts, GtkAccelGroup* keys);
    void AddCloseScript(WebKitUserContentManager* scripts);
    void OpenOutside(const std::string& uri);
    void UpdateStatus();
    void NoteServerError(WebKitWebView* view);
    static gboolean resultExpired(gpointer self);
    void ClosePopup(PopupWindow* popup);
    // A pop-up's page agreed to close (its view's "close" signal).
    void PopupAgreed(PopupWindow* popup);
    PopupWindow* PopupOf(WebKitWebView* view) const;
    bool IsOwnPage(WebKitWebView* view) const;
    // Some page's window.close(): every view is asked which one it was.
    void FindClosingPage();
    static void closingPageAnswered(GObject* view, GAsyncResult* result, gpointer self);

    static gboolean viewDecidePolicy(WebKitWebView*, WebKitPolicyDecision*, WebKitPolicyDecisionType,
                                     PageBehaviour* self);
    static GtkWidget* viewCreate(WebKitWebView*, WebKitNavigationAction*, PageBehaviour* self);
    static void viewMouseTargetChanged(WebKitWebView*, WebKitHitTestResult*, guint, PageBehaviour* self);
    static void viewLoadChanged(WebKitWebView*, WebKitLoadEvent, PageBehaviour* self);
    static gboolean viewButtonPress(GtkWidget*, GdkEventButton*, PageBehaviour*);
    static gboolean viewScroll(GtkWidget*, GdkEventScroll*, PageBehaviour*);
    static gboolean viewScriptDialog(WebKitWebView*, WebKitScriptDialog*, PageBehaviour*);
    static void mainViewClose(WebKitWebView*, PageBehaviour* self);
    static void frameLinkClicked(WebKitUserContentManager*, WebKitJavascriptResult*, PageBehaviour* self);
    static void closeRequested(WebKitUserContentManager*, WebKitJavascriptResult*, PageBehaviour* self);

    GtkStatusbar* status_bar_;  // borrowed
    std::function<void()> close_main_;
    WebKitWebView* main_view_ = nullptr;  // borrowed: owned by the browser wrapper
    int port_ = -1;
    StatusText status_;
    SourceId result_timer_;  // clears the last result
    std::set<std::string> frame_links_;  // links clicked inside frames, until their navigation
    std::list<std::unique_ptr<PopupWindow>> popups_;
    CloseSequence close_sequence_;
    GObjectPtr<GCancellable> cancellable_;  // ends the answers still due when this goes
};

}  // namespace vantrel::desktop
