// One running instance per application id: a second start asks the first to
// present its window and ends. Without a session bus every start runs on its own.
#pragma once

#include <gio/gio.h>

#include <functional>
#include <string>

namespace vantrel::desktop {

class SingleInstance {
public:
    // Registers `id` on the session bus (when there is one).
    explicit SingleInstance(const std::string& id);
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // True when another process already runs this application.
    bool IsSecond() const;
    // Asks the first instance to present its window; returns once the request is sent.
    void ActivateFirst();
    // What the first instance does when a later start asks for it.
    void OnActivate(std::function<void()> present);

private:
    static void appActivate(GApplication*, SingleInstance* self);

    GApplication* app_ = nullptr;
    std::function<void()> present_;
};

// Presents the main window ("frmMain") when it is shown.
void PresentMainWindow();

}  // namespace vantrel::desktop
