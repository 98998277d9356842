// The desktop program's entry: application title, the main window, the event
// loop, and the error display for a window that could not be made.
#include <glib-unix.h>
#include <gtk/gtk.h>

#include <clocale>
#include <csignal>
#include <exception>
#include <string>
#include <vector>

#include "TfrmMain.hpp"
#include "app_start.hpp"
#include "single_instance.hpp"
#include "web_context.hpp"
#include "page_text.hpp"
#include "shell/model/Fmain.hpp"
#include "shell/model/native_settings.hpp"

namespace {

// SIGTERM and SIGINT close the window at once (the page is not asked), so the
// destroy steps run and the program ends with code 0.
gboolean signalClose(gpointer) {
    if (auto* window = dynamic_cast<vantrel::desktop::TfrmMain*>(vantrel::shell::MainWindow()))
        window->CloseAtOnce();
    return G_SOURCE_CONTINUE;
}

vantrel::desktop::TfrmMain* RunningWindow() {
    return dynamic_cast<vantrel::desktop::TfrmMain*>(vantrel::shell::MainWindow());
}

// A second start of the application: the first one presents its window and,
// given arguments, tells its page (an "open" event). Returns the exit code.
int ForwardToFirstInstance(vantrel::desktop::SingleInstance& instance, const std::vector<std::string>& arguments) {
    if (arguments.empty())
        instance.ActivateFirst();
    else
        instance.ForwardToFirst(arguments);
    return 0;
}

// The first instance: what later starts ask of it.
void AnswerLaterStarts(vantrel::desktop::SingleInstance& instance) {
    instance.OnActivate([] {
        if (auto* window = RunningWindow()) window->Native().Present();
    });
    instance.OnOpen([](std::vector<std::string> arguments) {
        if (auto* window = RunningWindow()) window->Native().OpenArguments(arguments);
    });
}

// The application's standard error display.
void ShowStartupError(const std::string& text) {
    GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_ERROR, GTK_BUTTONS_OK, "%s",
                                               vantrel::desktop::MakeValidUtf8(text).c_str());
    gtk_window_set_title(GTK_WINDOW(dialog), g_get_application_name());
    gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
}

}  // namespace

int main(int argc, char** argv) {
    vantrel::desktop::StartDecision start = vantrel::desktop::ReadCommandLine(argc, argv);
    if (start.exit_code) return *start.exit_code;
    // Both parts of the window class are the id, which .desktop entries match.
    g_set_prgname(start.id.c_str());
    vantrel::desktop::SingleInstance instance(start.id);
    if (instance.IsSecond()) return ForwardToFirstInstance(instance, start.arguments);
    vantrel::shell::Native().arguments = start.arguments;
    gtk_init(nullptr, nullptr);
    gdk_set_program_class(start.id.c_str());
    if (!vantrel::desktop::PrepareApplication(start.id)) return 1;
    AnswerLaterStarts(instance);
    // GTK switched the process to the user's locale; numbers in scripts and in
    // the server's texts keep the C form.
    std::setlocale(LC_NUMERIC, "C");
    g_set_application_name("Vantrel");
    g_unix_signal_add(SIGTERM, signalClose, nullptr);
    g_unix_signal_add(SIGINT, signalClose, nullptr);
    try {
        vantrel::desktop::TfrmMain frmMain;
        frmMain.Run();
    } catch (const std::exception& error) {
        ShowStartupError(error.what());
    } catch (...) {
        ShowStartupError("");
    }
    vantrel::desktop::ReleaseWebContext();
    return 0;
}
