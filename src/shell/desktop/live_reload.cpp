#include "live_reload.hpp"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "shell/model/developer.hpp"
#include "shell/model/site_changes.hpp"

namespace vantrel::desktop {

namespace shell = vantrel::shell;
namespace fs = std::filesystem;

namespace {

constexpr guint kSettleMs = 300;         // changes this close together are one reload
constexpr gint64 kQuietAfterLoadUs = 300 * 1000;
constexpr std::size_t kFolderLimit = 1000;  // monitors are kernel watches: a bounded number

bool hidden(const fs::path& path) {
    std::string name = path.filename().string();
    return !name.empty() && name.front() == '.';
}

}  // namespace

LiveReload::LiveReload(WebKitWebView* view) : view_(view), cancellable_(g_cancellable_new()) {
    g_signal_connect(view_, "decide-policy", G_CALLBACK(viewDecidePolicy), this);
    g_signal_connect(view_, "load-changed", G_CALLBACK(viewLoadChanged), this);
}

LiveReload::~LiveReload() {
    g_cancellable_cancel(cancellable_.get());
    g_signal_handlers_disconnect_by_data(view_, this);
    for (auto& [folder, monitor] : monitors_) {
        g_signal_handlers_disconnect_by_data(monitor.get(), this);
        g_file_monitor_cancel(monitor.get());
    }
}

void LiveReload::Start(const std::string& app_folder, const std::string& site_folder) {
    app_folder_ = app_folder;
    site_folder_ = site_folder;
    Watch(app_folder_);
    Watch(site_folder_);  // nothing more when it is inside the application's folder
}

// The folder and every folder below it, hidden ones left out, links not followed.
void LiveReload::Watch(const std::string& folder) {
    WatchOne(folder);
    std::error_code error;
    fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, error), end;
    for (; !error && it != end; it.increment(error)) {
        if (!it->is_directory(error) || it->is_symlink(error)) continue;
        if (hidden(it->path())) {
            it.disable_recursion_pending();
            continue;
        }
        WatchOne(it->path().string());
    }
}

void LiveReload::WatchOne(const std::string& folder) {
    if (monitors_.count(folder)) return;
    if (monitors_.size() >= kFolderLimit) {
        if (!told_folder_limit_)
            shell::ReportNote("live reload watches the first " + std::to_string(kFolderLimit) + " folders only");
        told_folder_limit_ = true;
        return;
    }
    GObjectPtr<GFile> file(g_file_new_for_path(folder.c_str()));
    GFileMonitor* monitor = g_file_monitor_directory(file.get(), G_FILE_MONITOR_WATCH_MOVES, nullptr, nullptr);
    if (!monitor) return;
    g_signal_connect(monitor, "changed", G_CALLBACK(monitorChanged), this);
    monitors_.emplace(folder, GObjectPtr<GFileMonitor>(monitor));
}

void LiveReload::monitorChanged(GFileMonitor*, GFile* file, GFile* other, GFileMonitorEvent event,
                                LiveReload* self) {
    // A rename names the new file second.
    GFile* subject = event == G_FILE_MONITOR_EVENT_RENAMED && other ? other : file;
    char* path = g_file_get_path(subject);
    if (!path) return;
    std::string changed = path;
    g_free(path);
    switch (event) {
        case G_FILE_MONITOR_EVENT_CREATED:
        case G_FILE_MONITOR_EVENT_MOVED_IN:
        case G_FILE_MONITOR_EVENT_RENAMED:
            self->Noticed(changed, g_file_test(changed.c_str(), G_FILE_TEST_IS_DIR));
            break;
        case G_FILE_MONITOR_EVENT_DELETED:
        case G_FILE_MONITOR_EVENT_MOVED_OUT:
            self->monitors_.erase(changed);  // a folder that went
            self->Noticed(changed, false);
            break;
        case G_FILE_MONITOR_EVENT_CHANGED:
        case G_FILE_MONITOR_EVENT_CHANGES_DONE_HINT:
            self->Noticed(changed, false);
            break;
        default:
            break;
    }
}

void LiveReload::Noticed(const std::string& path, bool is_new_folder) {
    if (is_new_folder && !hidden(path)) Watch(path);
    shell::SiteChange kind = shell::ClassifyChange(path, app_folder_, site_folder_);
    if (kind == shell::SiteChange::None) return;
    if (kind == shell::SiteChange::HookScript) {
        changed_hooks_.insert(fs::path(path).filename().string());
    } else {
        if (loading_ || g_get_monotonic_time() < quiet_until_) return;
        reload_due_ = true;
    }
    if (!settle_timer_) settle_timer_.reset(g_timeout_add(kSettleMs, changesSettled, this));
}

gboolean LiveReload::changesSettled(gpointer data) {
    auto* self = static_cast<LiveReload*>(data);
    self->settle_timer_.release();
    for (const std::string& name : self->changed_hooks_) shell::ReportNote(shell::HookScriptChangedNote(name));
    self->changed_hooks_.clear();
    if (self->reload_due_) self->Reload();
    self->reload_due_ = false;
    return G_SOURCE_REMOVE;
}

// Reads where the page is scrolled to, then loads it again.
void LiveReload::Reload() {
    if (!webkit_web_view_get_uri(view_)) return;
    webkit_web_view_evaluate_javascript(view_, "Math.round(window.scrollX) + ' ' + Math.round(window.scrollY)", -1, nullptr, nullptr,
                                        cancellable_.get(), scrollRead, this);
}

void LiveReload::scrollRead(GObject* object, GAsyncResult* result, gpointer data) {
    GError* error = nullptr;
    JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(object), result, &error);
    if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
        g_error_free(error);
        return;  // the window has gone
    }
    auto* self = static_cast<LiveReload*>(data);
    self->restore_.reset();
    if (value && jsc_value_is_string(value)) {
        char* text = jsc_value_to_string(value);
        Scroll scroll{webkit_web_view_get_uri(self->view_), 0, 0};
        if (std::sscanf(text, "%ld %ld", &scroll.x, &scroll.y) == 2 && (scroll.x != 0 || scroll.y != 0))
            self->restore_ = scroll;
        g_free(text);
    }
    if (value) g_object_unref(value);
    if (error) g_error_free(error);
    self->NavigateAgain();
}

// A page that answered a form is fetched, not posted again.
void LiveReload::NavigateAgain() {
    if (page_posted_) {
        std::string uri = webkit_web_view_get_uri(view_);
        webkit_web_view_load_uri(view_, uri.c_str());
    } else {
        webkit_web_view_reload(view_);
    }
}

gboolean LiveReload::viewDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                                      LiveReload* self) {
    if (type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION) {
        WebKitNavigationAction* action =
            webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
        const char* method = webkit_uri_request_get_http_method(webkit_navigation_action_get_request(action));
        self->next_page_posted_ = method && g_ascii_strcasecmp(method, "POST") == 0;
    }
    return FALSE;  // the view's other handlers decide
}

void LiveReload::viewLoadChanged(WebKitWebView* view, WebKitLoadEvent event, LiveReload* self) {
    switch (event) {
        case WEBKIT_LOAD_STARTED:
            self->loading_ = true;
            break;
        case WEBKIT_LOAD_COMMITTED:
            self->page_posted_ = self->next_page_posted_;
            break;
        case WEBKIT_LOAD_FINISHED: {
            self->loading_ = false;
            self->quiet_until_ = g_get_monotonic_time() + kQuietAfterLoadUs;
            const char* uri = webkit_web_view_get_uri(view);
            if (self->restore_ && uri && self->restore_->uri == uri) {
                std::string script = "window.scrollTo(" + std::to_string(self->restore_->x) + ", " +
                                     std::to_string(self->restore_->y) + ")";
                webkit_web_view_evaluate_javascript(view, script.c_str(), -1, nullptr, nullptr, nullptr, nullptr,
                                                    nullptr);
            }
            self->restore_.reset();
            break;
        }
        default:
            break;
    }
}

}  // namespace vantrel::desktop
