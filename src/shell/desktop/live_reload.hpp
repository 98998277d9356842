// Live reload in developer mode: file monitors on the application's folder and
// its site (every folder below them, new ones as they appear) reload the page
// shown when an authored file changes. Changes within 300 ms are one reload;
// the scroll position is put back where the page still has it; a page that
// was the answer to a form is fetched again rather than posted twice. A
// changed hook script is only named on stderr: it applies at the next start.
#pragma once

#include <webkit2/webkit2.h>

#include <map>
#include <optional>
#include <set>
#include <string>

#include "gtk_owner.hpp"

namespace vantrel::desktop {

class LiveReload {
public:
    // `view` is borrowed. Make it before the view's other "decide-policy"
    // handlers, so it sees every navigation's method.
    explicit LiveReload(WebKitWebView* view);
    ~LiveReload();
    LiveReload(const LiveReload&) = delete;
    LiveReload& operator=(const LiveReload&) = delete;

    // Starts watching; both folders absolute.
    void Start(const std::string& app_folder, const std::string& site_folder);

private:
    struct Scroll {
        std::string uri;
        long x = 0, y = 0;  // whole pixels: no locale decides the text
    };

    void Watch(const std::string& folder);
    void WatchOne(const std::string& folder);
    void Noticed(const std::string& path, bool is_new_folder);
    void Reload();
    void NavigateAgain();

    static void monitorChanged(GFileMonitor*, GFile* file, GFile* other, GFileMonitorEvent event, LiveReload* self);
    static gboolean changesSettled(gpointer self);
    static gboolean viewDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                                     LiveReload* self);
    static void viewLoadChanged(WebKitWebView*, WebKitLoadEvent event, LiveReload* self);
    static void scrollRead(GObject* view, GAsyncResult* result, gpointer self);

    WebKitWebView* view_;
    std::string app_folder_, site_folder_;
    std::map<std::string, GObjectPtr<GFileMonitor>> monitors_;  // by folder
    bool told_folder_limit_ = false;
    SourceId settle_timer_;
    bool reload_due_ = false;
    std::set<std::string> changed_hooks_;
    bool loading_ = false;
    gint64 quiet_until_ = 0;      // monotonic time: a page's own writes as it loads reload nothing
    bool next_page_posted_ = false;  // the navigation being decided is a POST
    bool page_posted_ = false;       // the page shown answered a POST
    std::optional<Scroll> restore_;
    GObjectPtr<GCancellable> cancellable_;
};

}  // namespace vantrel::desktop
