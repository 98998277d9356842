#include "page_events.hpp"

#include "navigation_policy.hpp"
#include "shell/model/native_events.hpp"

namespace vantrel::desktop {
namespace {

// Events nobody has collected (a page that never finishes) are not kept forever.
constexpr std::size_t kPendingMax = 32;

}  // namespace

PageEvents::PageEvents(WebKitWebView* view) : view_(view) {
    g_signal_connect(view_, "load-changed", G_CALLBACK(viewLoadChanged), this);
}

PageEvents::~PageEvents() { g_signal_handlers_disconnect_by_data(view_, this); }

void PageEvents::Send(const std::string& detail) {
    if (waiting_for_load_ || webkit_web_view_is_loading(view_)) {
        if (pending_.size() < kPendingMax) pending_.push_back(detail);
        return;
    }
    Dispatch(detail);
}

void PageEvents::SendAfterLoad(const std::string& detail) {
    waiting_for_load_ = true;
    if (pending_.size() < kPendingMax) pending_.push_back(detail);
}

void PageEvents::Dispatch(const std::string& detail) {
    const char* uri = webkit_web_view_get_uri(view_);
    if (port_ < 0 || uri == nullptr || !IsOwnOrigin(uri, port_)) return;
    const std::string script = vantrel::shell::PageEventScript(detail);
    webkit_web_view_evaluate_javascript(view_, script.c_str(), static_cast<gssize>(script.size()), nullptr, nullptr,
                                        nullptr, nullptr, nullptr);
}

void PageEvents::viewLoadChanged(WebKitWebView*, WebKitLoadEvent event, PageEvents* self) {
    if (event != WEBKIT_LOAD_FINISHED) return;
    self->waiting_for_load_ = false;
    std::deque<std::string> ready;
    ready.swap(self->pending_);
    for (const std::string& detail : ready) self->Dispatch(detail);
}

}  // namespace vantrel::desktop
