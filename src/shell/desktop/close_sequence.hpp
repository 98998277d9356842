// Asking a set of pages, one after the other, whether they may close (their
// beforeunload questions): the main window closes only when every page of the
// application agrees, and one "Stay" keeps everything open.
#pragma once

#include <webkit2/webkit2.h>

#include <functional>
#include <vector>

namespace vantrel::desktop {

class CloseSequence {
public:
    // `all_agreed` runs once every page of a sequence has agreed.
    explicit CloseSequence(std::function<void()> all_agreed) : all_agreed_(std::move(all_agreed)) {}
    CloseSequence(const CloseSequence&) = delete;
    CloseSequence& operator=(const CloseSequence&) = delete;

    // Asks the views in order (borrowed: the caller reports a view that goes
    // through Forget). A sequence still running starts over.
    void Start(std::vector<WebKitWebView*> views);
    // The view's page agreed (the view's "close" signal). True when the
    // sequence was asking that view; the signal then means nothing else.
    bool Agreed(WebKitWebView* view);
    // The view's question was answered "Stay": the sequence ends, nothing closes.
    void Refused(WebKitWebView* view);
    // The view goes away (a pop-up closed meanwhile): it is not asked.
    void Forget(WebKitWebView* view);
    bool Running() const { return running_; }

private:
    void AskNext();

    std::function<void()> all_agreed_;
    std::vector<WebKitWebView*> pending_;
    WebKitWebView* asking_ = nullptr;
    bool running_ = false;
};

}  // namespace vantrel::desktop
