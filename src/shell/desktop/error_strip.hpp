// Developer mode's error strip above the page: what the site's programs wrote
// to their error output for the requests of the page shown (and the requests
// that failed with 500 or more), with a button that opens the web inspector.
// A new page empties it; its close button hides it.
#pragma once

#include <webkit2/webkit2.h>

#include <deque>
#include <string>

namespace vantrel::desktop {

class ErrorStrip {
public:
    // `view` is borrowed: the page whose requests are shown and whose
    // inspector the button opens. The widget is packed by the caller. Make it
    // before the view's "decide-policy" handlers that decide, so it sees every
    // navigation.
    explicit ErrorStrip(WebKitWebView* view);
    ~ErrorStrip();
    ErrorStrip(const ErrorStrip&) = delete;
    ErrorStrip& operator=(const ErrorStrip&) = delete;

    GtkWidget* Widget() const { return bar_; }
    // One request's error output; shows the strip.
    void Add(const std::string& method, const std::string& path, int status, const std::string& errors);
    // Empties and hides the strip.
    void Clear();

private:
    struct Entry {
        unsigned long navigation;  // the navigations decided before it came
        std::string text;
    };

    void Show();
    static gboolean viewDecidePolicy(WebKitWebView*, WebKitPolicyDecision*, WebKitPolicyDecisionType type,
                                     ErrorStrip* self);
    static void viewLoadChanged(WebKitWebView*, WebKitLoadEvent event, ErrorStrip* self);
    static void barResponse(GtkInfoBar*, gint response, ErrorStrip* self);

    WebKitWebView* view_;
    GtkWidget* bar_ = nullptr;  // referenced until it goes
    GtkWidget* label_ = nullptr;
    std::deque<Entry> entries_;  // the latest requests' texts, oldest first
    // Navigations decided so far. A page's requests go out only after its
    // navigation was decided, but the engine may tell that its load started
    // after they were answered: the start empties what came before the decision.
    unsigned long navigations_ = 0;
    bool decided_since_start_ = false;
};

}  // namespace vantrel::desktop
