#include "close_sequence.hpp"

#include <algorithm>

namespace vantrel::desktop {

void CloseSequence::Start(std::vector<WebKitWebView*> views) {
    pending_ = std::move(views);
    asking_ = nullptr;
    running_ = true;
    AskNext();
}

void CloseSequence::AskNext() {
    if (pending_.empty()) {
        running_ = false;
        asking_ = nullptr;
        all_agreed_();
        return;
    }
    asking_ = pending_.front();
    pending_.erase(pending_.begin());
    // Answers with the view's "close" signal, at once when the page has no
    // question to ask; a "Stay" answers through Refused.
    webkit_web_view_try_close(asking_);
}

bool CloseSequence::Agreed(WebKitWebView* view) {
    if (!running_ || view != asking_) return false;
    AskNext();
    return true;
}

void CloseSequence::Refused(WebKitWebView* view) {
    if (!running_ || view != asking_) return;
    running_ = false;
    asking_ = nullptr;
    pending_.clear();
}

void CloseSequence::Forget(WebKitWebView* view) {
    pending_.erase(std::remove(pending_.begin(), pending_.end(), view), pending_.end());
    if (running_ && view == asking_) AskNext();
}

}  // namespace vantrel::desktop
