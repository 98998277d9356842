// The main window: a GTK window holding the browser above a 19-pixel status
// bar, the F5 and Ctrl+P actions, the scripted menu bar "mnuMain", and the
// start-up, show and destroy steps around them.
#pragma once

#include <gtk/gtk.h>

#include <memory>
#include <string>
#include <vector>

#include "Iexplore.hpp"
#include "error_strip.hpp"
#include "find_bar.hpp"
#include "live_reload.hpp"
#include "gtk_owner.hpp"
#include "native_desktop.hpp"
#include "page_behaviour.hpp"
#include "shell/model/window_port.hpp"

namespace vantrel::desktop {

class TfrmMain final : public vantrel::shell::WindowPort {
public:
    // The constructor steps: program folder, script state and API, an empty
    // first page, the UI handler, the caption, "onInit.lua", the first page,
    // the main menu. Throws what InitLua throws; what was made by then is
    // released by its owner.
    TfrmMain();
    ~TfrmMain() override = default;
    TfrmMain(const TfrmMain&) = delete;
    TfrmMain& operator=(const TfrmMain&) = delete;

    // Shows the window (which runs FormShow) and runs the event loop until the
    // window is closed; then runs FormDestroy.
    void Run();

    // The one way the main window is closed while the user decides: the close
    // button, cmd:Exit (close()), the main page's window.close() and the tray's
    // Quit come here. The main page and then every pop-up are asked (their
    // beforeunload questions); when all agree the windows disappear at once and
    // the program ends; one "Stay" keeps everything.
    void RequestClose();
    // Closes without asking the pages (SIGTERM, SIGINT).
    void CloseAtOnce();

    // WindowPort. show_fatal is called on the user-interface thread only (the
    // fatal hook sees to that).
    void set_caption(const std::string& text) override;
    void set_application_title(const std::string& text) override;
    void navigate(const std::string& url) override;
    void refresh() override;
    void print() override;
    void find() override;
    void close() override;
    void show_error(const std::string& text) override;
    void show_fatal(const std::string& text) override;
    void set_menu_bar(const std::vector<vantrel::shell::TopMenuModel>& menus) override;
    void send_page_event(const std::string& detail) override;
    void request_errors(const std::string& method, const std::string& path, int status,
                        const std::string& errors) override;

    // The desktop half of the native interface (notifications, tray, dialogs, ...).
    NativeDesktop& Native() { return *native_; }

private:
    void BuildWindow();
    void WritePage(const std::string& html);
    void InstallUIHandler();
    void WaitWhileBusy();
    void FormShow();
    void FormDestroy();
    void ShowMessage(const std::string& title, const std::string& text);
    void ConnectAction(guint key, GdkModifierType mods, GCallback handler);

    static void windowShow(GtkWidget*, TfrmMain* self);
    static void windowRealize(GtkWidget*, TfrmMain* self);
    static gboolean windowDeleteEvent(GtkWidget*, GdkEvent*, TfrmMain* self);
    static gboolean closeNow(gpointer self);
    void FinishClose();
    static gboolean actRefreshActivate(GtkAccelGroup*, GObject*, guint, GdkModifierType, gpointer self);
    static gboolean actPrintActivate(GtkAccelGroup*, GObject*, guint, GdkModifierType, gpointer self);
    static void menuItemActivate(GtkMenuItem* item, gpointer command_index);

    // Makes this window `frmMain` for the script API and the server's fatal
    // hook from construction until it goes.
    class MainWindowLink {
    public:
        explicit MainWindowLink(TfrmMain* window);
        ~MainWindowLink();
        MainWindowLink(const MainWindowLink&) = delete;
        MainWindowLink& operator=(const MainWindowLink&) = delete;
    };

    // The destroy steps (close the script state, then release the server), run
    // once: when the event loop has ended, or when the window goes without
    // having run (a constructor that failed half-way).
    class DestroySteps {
    public:
        DestroySteps() = default;
        ~DestroySteps() { Run(); }
        DestroySteps(const DestroySteps&) = delete;
        DestroySteps& operator=(const DestroySteps&) = delete;
        void Run();

    private:
        bool done_ = false;
    };

    // Declared in the order they are made; they go in the reverse order: the
    // destroy steps first, then the link, the browser, the window (with every
    // widget packed into it), the accelerator groups and the loop.
    MainLoopPtr loop_;
    TopLevelPtr window_;
    GObjectPtr<GtkAccelGroup> cmpActions;    // F5, Ctrl+P and the browser keys
    GObjectPtr<GtkAccelGroup> menu_accels_;  // shortcuts of menu items
    std::unique_ptr<TCppWebBrowser> cmpBrowser;
    std::unique_ptr<LiveReload> live_reload_;  // developer mode only
    std::unique_ptr<PageBehaviour> page_;  // the views' navigation, keys, pop-ups and status texts
    std::unique_ptr<NativeDesktop> native_;
    std::unique_ptr<FindBar> find_bar_;
    std::unique_ptr<ErrorStrip> error_strip_;  // developer mode only
    MainWindowLink link_{this};
    DestroySteps destroy_steps_;
    SourceId close_source_;

    // Borrowed from the window's widget tree.
    GtkWidget* box_ = nullptr;
    GtkWidget* StatusBar1 = nullptr;
    GtkWidget* mnuMain = nullptr;

    IDocHostUIHandler* UIHandler = nullptr;  // borrowed: the process-wide handler
    ICustomDoc* CustomDoc = nullptr;         // borrowed from the browser
    std::string PendingHTML;
    std::string application_title_;

    bool shown_ = false;  // FormShow has run
    bool close_requested_ = false;
    bool close_at_once_ = false;  // the pending close does not ask the page
    bool closed_ = false;  // the event loop has been told to end
};

// RequestClose on the running main window, from anywhere on the user-interface
// thread (the tray's Quit); nothing when there is none.
void RequestMainWindowClose();

}  // namespace vantrel::desktop
