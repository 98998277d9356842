// The dialogs pages and programs ask for: the desktop's own file chooser
// (GtkFileChooserNative, so a portal is used where there is one) and message
// dialogs, modal to the main window, one at a time. They run without blocking
// the main loop; the answer goes to the caller when the user gives it.
#pragma once

#include <gtk/gtk.h>

#include <functional>

#include "shell/model/native_port.hpp"

namespace vantrel::desktop {

class NativeDialogs {
public:
    explicit NativeDialogs(GtkWindow* parent);  // borrowed: the main window
    ~NativeDialogs();  // a dialog still open is answered as cancelled
    NativeDialogs(const NativeDialogs&) = delete;
    NativeDialogs& operator=(const NativeDialogs&) = delete;

    vantrel::shell::Outcome Run(const vantrel::shell::DialogRequest& request,
                                std::function<void(vantrel::shell::DialogResult)> done);
    // Answers the open dialog as cancelled (the window is closing).
    void Cancel();

private:
    void RunChooser(const vantrel::shell::DialogRequest& request);
    void RunMessage(const vantrel::shell::DialogRequest& request);
    void Finish(vantrel::shell::DialogResult result);
    static void chooserResponse(GtkNativeDialog*, int response, NativeDialogs* self);
    static void messageResponse(GtkDialog*, int response, NativeDialogs* self);

    GtkWindow* parent_;
    GtkFileChooserNative* chooser_ = nullptr;  // owned while open
    GtkWidget* message_ = nullptr;             // owned while open
    std::function<void(vantrel::shell::DialogResult)> done_;
};

}  // namespace vantrel::desktop
