// The main window: a GTK window holding the browser above a 19-pixel status
// bar, the F5 and Ctrl+P actions, the scripted menu bar "mnuMain", and the
// start-up, show and destroy steps around them.
#pragma once

#include <gtk/gtk.h>

#include <memory>
#include <string>
#include <vector>

#include "Iexplore.hpp"
#include "shell/model/window_port.hpp"

namespace vantrel::desktop {

class TfrmMain final : public vantrel::shell::WindowPort {
public:
    // The constructor steps: program folder, script state and API, an empty
    // first page, the UI handler, the caption, "onInit.lua", the first page,
    // the main menu. Throws what InitLua throws.
    TfrmMain();
    ~TfrmMain() override;
    TfrmMain(const TfrmMain&) = delete;
    TfrmMain& operator=(const TfrmMain&) = delete;

    // Shows the window (which runs FormShow) and runs the event loop until the
    // window is closed; then runs FormDestroy.
    void Run();

    // WindowPort.
    void set_caption(const std::string& text) override;
    void set_application_title(const std::string& text) override;
    void navigate(const std::string& url) override;
    void refresh() override;
    void print() override;
    void close() override;
    void show_error(const std::string& text) override;
    void show_fatal(const std::string& text) override;
    void set_menu_bar(const std::vector<vantrel::shell::TopMenuModel>& menus) override;

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

    // Widgets are owned by the window's widget tree; window_ by this object.
    GtkWidget* window_ = nullptr;
    GtkWidget* box_ = nullptr;
    GtkWidget* StatusBar1 = nullptr;
    GtkWidget* mnuMain = nullptr;
    GtkAccelGroup* cmpActions = nullptr;  // F5 and Ctrl+P
    GtkAccelGroup* menu_accels_ = nullptr;  // shortcuts of menu items
    std::unique_ptr<TCppWebBrowser> cmpBrowser;
    GMainLoop* loop_ = nullptr;

    IDocHostUIHandler* UIHandler = nullptr;  // borrowed: the process-wide handler
    ICustomDoc* CustomDoc = nullptr;         // borrowed from the browser
    std::string PendingHTML;
    std::string application_title_;

    bool shown_ = false;         // FormShow has run
    bool close_requested_ = false;
    bool closed_ = false;        // the event loop has been told to end
    bool destroyed_ = false;     // FormDestroy has run
    guint close_source_ = 0;
};

}  // namespace vantrel::desktop
