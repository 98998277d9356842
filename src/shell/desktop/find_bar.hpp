// The find bar under the page: Ctrl+F (or cmd:Find) opens it, typing finds
// incrementally and without regard to case, every match is highlighted and the
// bar counts them ("3 of 17"); Enter or F3 goes to the next match, Shift+Enter
// or Shift+F3 to the previous one, Escape closes the bar and gives the page
// its focus back.
#pragma once

#include <webkit2/webkit2.h>

#include <vector>

namespace vantrel::desktop {

class FindBar {
public:
    // The bar's widget is packed by the caller (hidden until Open); `view` is
    // borrowed, as is `keys`, the window's group that Ctrl+F, F3 and Shift+F3
    // join (a menu item given one of them later takes the key over).
    FindBar(WebKitWebView* view, GtkAccelGroup* keys);
    ~FindBar();
    FindBar(const FindBar&) = delete;
    FindBar& operator=(const FindBar&) = delete;

    GtkWidget* Widget() const { return box_; }
    // Shows the bar with its text selected and the keyboard in it.
    void Open();
    // Hides the bar, removes the highlights and focuses the page.
    void Close();
    void Next();
    void Previous();

private:
    void Search();
    void ShowCount();

    static void entryChanged(GtkSearchEntry*, FindBar* self);
    static gboolean entryKeyPress(GtkWidget*, GdkEventKey* event, FindBar* self);
    static void foundText(WebKitFindController*, guint count, FindBar* self);
    static void failedToFindText(WebKitFindController*, FindBar* self);

    WebKitWebView* view_;
    WebKitFindController* finder_;  // the view's
    GtkAccelGroup* keys_;
    std::vector<GClosure*> closures_;  // the keys' closures, referenced
    GtkWidget* box_ = nullptr;      // owned through a reference until packed
    GtkWidget* entry_ = nullptr;
    GtkWidget* count_ = nullptr;
    unsigned current_ = 0;  // the selected match, counted from 1; 0 for none
    unsigned matches_ = 0;
    int pending_step_ = 0;  // +1 / -1: the move whose found-text is awaited
};

}  // namespace vantrel::desktop
