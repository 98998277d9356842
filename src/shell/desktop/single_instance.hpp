// One running instance per application id: a second start asks the first to
// present its window and ends. Without a session bus every start runs on its own.
#pragma once

#include <gio/gio.h>

#include <functional>
#include <string>
#include <vector>

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
    // Hands the arguments of this start to the first instance (which presents
    // its window and tells its page); returns once the request is sent.
    void ForwardToFirst(const std::vector<std::string>& arguments);
    // What the first instance does when a later start asks for it.
    void OnActivate(std::function<void()> present);
    void OnOpen(std::function<void(std::vector<std::string>)> open);

private:
    void Flush();
    static void appActivate(GApplication*, SingleInstance* self);
    static void openActivated(GSimpleAction*, GVariant* arguments, SingleInstance* self);

    GApplication* app_ = nullptr;
    GSimpleAction* open_action_ = nullptr;  // owned
    std::function<void()> present_;
    std::function<void(std::vector<std::string>)> open_;
};

// Presents the main window ("frmMain") when it is shown.
void PresentMainWindow();

}  // namespace vantrel::desktop
