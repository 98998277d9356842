#include "TfrmMain.hpp"

#include <chrono>

#include "app_window.hpp"
#include "page_text.hpp"
#include "web_context.hpp"
#include "shell/model/Fmain.hpp"
#include "shell/model/Globals.hpp"
#include "shell/model/Lua.hpp"
#include "shell/model/Webserver.hpp"
#include "shell/model/app_port.hpp"
#include "shell/model/php_extensions.hpp"

namespace vantrel::desktop {

namespace shell = vantrel::shell;

namespace {

constexpr int kStatusBarHeight = 19;
// Waiting for the empty first page is bounded, so an engine that never reports
// the end of that load cannot keep the program from starting.
constexpr auto kBusyWaitLimit = std::chrono::seconds(10);

// The key value for a key name from a shortcut: the toolkit's key names first,
// then a single character as the keyboard produces it. 0 when there is none.
guint KeyValueForName(const std::string& name) {
    guint key = gdk_keyval_from_name(name.c_str());
    if (key == GDK_KEY_VoidSymbol || key == 0) {
        key = 0;
        if (g_utf8_validate(name.c_str(), -1, nullptr) && g_utf8_strlen(name.c_str(), -1) == 1)
            key = gdk_unicode_to_keyval(g_unichar_tolower(g_utf8_get_char(name.c_str())));
    }
    return gdk_keyval_to_lower(key);
}

GdkModifierType ModifiersOf(const shell::Shortcut& shortcut) {
    int mods = 0;
    if (shortcut.shift) mods |= GDK_SHIFT_MASK;
    if (shortcut.ctrl) mods |= GDK_CONTROL_MASK;
    if (shortcut.alt) mods |= GDK_MOD1_MASK;
    return static_cast<GdkModifierType>(mods);
}

// Style rules for the program's own widgets (matched by widget name).
void ApplyCss(GtkWidget* widget, const char* css) {
    GtkCssProvider* provider = gtk_css_provider_new();
    gtk_css_provider_load_from_data(provider, css, -1, nullptr);
    gtk_style_context_add_provider_for_screen(gtk_widget_get_screen(widget), GTK_STYLE_PROVIDER(provider),
                                              GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(provider);
}

// The view's background colour under the page's frames: until the first frame
// arrives, a few hundred milliseconds after the window is shown, the view would
// show the window's grey, and the page would appear with a flash.
gboolean viewDrawBackground(GtkWidget* view, cairo_t* cr, gpointer) {
    GdkRGBA page;
    webkit_web_view_get_background_color(WEBKIT_WEB_VIEW(view), &page);
    gdk_cairo_set_source_rgba(cr, &page);
    cairo_paint(cr);
    return FALSE;
}

}  // namespace

TfrmMain::TfrmMain() {
    loop_.reset(g_main_loop_new(nullptr, FALSE));
    BuildWindow();
    shell::Settings().AppFolder = shell::ProgramFolder();
    cmpBrowser->SetWriteBaseUri(NavigationUri(shell::Settings().AppFolder));
    shell::InitLua();
    shell::RegisterScriptApi(shell::LuaState());
    // (No object-linking library to initialise for this thread here.)
    UIHandler = &THTMLBrowserUIHandler::Instance();
    // The browser has no document before a first load: load an empty one.
    WritePage("");
    WaitWhileBusy();
    InstallUIHandler();
    set_caption("Quor Vantrel");
    // onInit.lua may change the caption, the settings and the first page.
    shell::RunScript("onInit.lua");
    WritePage(shell::Settings().InitialHTML);
    shell::BuildMainMenu();
    native_->BuildTray();  // "onBuildTrayMenu.lua"
}

TfrmMain::MainWindowLink::MainWindowLink(TfrmMain* window) {
    shell::SetMainWindow(window);
    shell::InstallFatalHook(window);
}

TfrmMain::MainWindowLink::~MainWindowLink() {
    shell::InstallFatalHook(nullptr);
    shell::SetMainWindow(nullptr);
}

void TfrmMain::DestroySteps::Run() {
    if (done_) return;
    done_ = true;
    shell::CloseLua();
    shell::FreeServer();  // stops the server thread before the context goes
}

void TfrmMain::BuildWindow() {
    window_.reset(gtk_window_new(GTK_WINDOW_TOPLEVEL));
    GtkWindow* window = GTK_WINDOW(window_.get());
    gtk_widget_set_name(window_.get(), "frmMain");
    gtk_window_set_title(window, "Quor Vantrel");
    RestoreWindowState(window);  // 696x480 at 242,183, maximised, unless remembered otherwise
    ApplyWindowIcon(window);

    box_ = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    gtk_container_add(GTK_CONTAINER(window), box_);

    cmpBrowser = std::make_unique<TCppWebBrowser>();
    gtk_widget_set_name(cmpBrowser->Widget(), "cmpBrowser");
    gtk_box_pack_start(GTK_BOX(box_), cmpBrowser->Widget(), TRUE, TRUE, 0);
    g_signal_connect(cmpBrowser->Widget(), "draw", G_CALLBACK(viewDrawBackground), nullptr);
    // Before the page's other handlers, so it sees every navigation.
    if (shell::DeveloperMode()) live_reload_ = std::make_unique<LiveReload>(cmpBrowser->View());

    // A plain strip with no panels, 19 pixels high; its one line of text (the
    // page's status texts) is set small enough to fit.
    StatusBar1 = gtk_statusbar_new();
    gtk_widget_set_name(StatusBar1, "StatusBar1");
    ApplyCss(StatusBar1,
             "#StatusBar1, #StatusBar1 * { padding: 0; margin: 0; border-width: 0; min-height: 0; }"
             " #StatusBar1 label { font-size: 10px; padding: 0 4px; margin: -1px 0; }");
    gtk_widget_set_margin_top(StatusBar1, 0);
    gtk_widget_set_margin_bottom(StatusBar1, 0);
    gtk_widget_set_size_request(StatusBar1, -1, kStatusBarHeight);
    gtk_box_pack_end(GTK_BOX(box_), StatusBar1, FALSE, FALSE, 0);

    cmpActions.reset(gtk_accel_group_new());
    menu_accels_.reset(gtk_accel_group_new());
    gtk_window_add_accel_group(window, cmpActions.get());
    gtk_window_add_accel_group(window, menu_accels_.get());
    ConnectAction(GDK_KEY_F5, static_cast<GdkModifierType>(0), G_CALLBACK(actRefreshActivate));
    ConnectAction(GDK_KEY_p, GDK_CONTROL_MASK, G_CALLBACK(actPrintActivate));
    // Between the page and the status bar, hidden until Ctrl+F.
    find_bar_ = std::make_unique<FindBar>(cmpBrowser->View(), cmpActions.get());
    gtk_box_pack_end(GTK_BOX(box_), find_bar_->Widget(), FALSE, FALSE, 0);
    // Above the page, below the menu bar (which goes in at the top later).
    if (shell::DeveloperMode()) {
        error_strip_ = std::make_unique<ErrorStrip>(cmpBrowser->View());
        gtk_box_pack_start(GTK_BOX(box_), error_strip_->Widget(), FALSE, FALSE, 0);
        gtk_box_reorder_child(GTK_BOX(box_), error_strip_->Widget(), 0);
    }

    g_signal_connect(window, "show", G_CALLBACK(windowShow), this);
    g_signal_connect(window, "realize", G_CALLBACK(windowRealize), this);
    g_signal_connect(window, "delete-event", G_CALLBACK(windowDeleteEvent), this);
    page_ = std::make_unique<PageBehaviour>(GTK_STATUSBAR(StatusBar1), [this] { FinishClose(); });
    page_->AttachMainView(cmpBrowser->View(), cmpActions.get());
    InstallDownloadHandler(window, [this](const std::string& text) { page_->ShowResult(text); });
    native_ = std::make_unique<NativeDesktop>(window, cmpBrowser->View(), *this);
    gtk_widget_grab_focus(cmpBrowser->Widget());
}

void TfrmMain::ConnectAction(guint key, GdkModifierType mods, GCallback handler) {
    GClosure* closure = g_cclosure_new(handler, this, nullptr);
    gtk_accel_group_connect(cmpActions.get(), key, mods, GTK_ACCEL_VISIBLE, closure);
}

void TfrmMain::Run() {
    gtk_widget_show_all(window_.get());  // runs FormShow
    if (close_requested_) FinishClose();
    if (!closed_) g_main_loop_run(loop_.get());
    FormDestroy();
}

/* Steps of the document host. */

void TfrmMain::WritePage(const std::string& html) {
    try {
        THTMLDocument* document = cmpBrowser->Document();
        if (!document || html.empty()) {
            PendingHTML = html;
            cmpBrowser->Navigate("About:blank");
            return;
        }
        std::string text = InsertBaseTag(html, shell::Settings().AppFolder);
        PendingHTML.clear();
        if ((document = cmpBrowser->Document())) {
            document->close();
            document->write(text);
        }
    } catch (...) {
        close();
    }
}

void TfrmMain::InstallUIHandler() {
    CustomDoc = nullptr;
    if (THTMLDocument* document = cmpBrowser->Document()) {
        void* custom = nullptr;
        document->QueryInterface(IID_ICustomDoc, &custom);
        CustomDoc = static_cast<ICustomDoc*>(custom);
    }
    if (CustomDoc)
        CustomDoc->SetUIHandler(UIHandler);
    else
        show_error("Error customizing browser component.");
}

void TfrmMain::WaitWhileBusy() {
    auto deadline = std::chrono::steady_clock::now() + kBusyWaitLimit;
    // A ticking source keeps the blocking iteration from sleeping past the deadline.
    guint tick = g_timeout_add(50, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
    while (cmpBrowser->Busy() && std::chrono::steady_clock::now() < deadline) g_main_context_iteration(nullptr, TRUE);
    g_source_remove(tick);
}

/* Show and destroy steps. */

void TfrmMain::FormShow() {
    shell::StartApplicationServer(shell::ChooseServerPort());
    if (live_reload_) {
        char* folder = g_get_current_dir();  // where the hook scripts and "lua:" scripts are
        live_reload_->Start(folder, shell::Settings().SitesPath);
        g_free(folder);
    }
    page_->SetOwnPort(shell::ServerPort());
    native_->Start(shell::ServerPort());
    shell::StartServerThread();
    InstallServerTokenCookie();  // the pages need it from the first request
    // Without the PHP extensions it needs the application cannot work: the
    // window says what to install instead of showing a broken or white page.
    if (std::vector<std::string> missing = shell::CheckRequiredExtensions(); !missing.empty()) {
        WritePage(shell::MissingExtensionsPage(missing, shell::Settings().PHPPath));
        return;
    }
    shell::RunScript("onReady.lua");
}

void TfrmMain::FormDestroy() { destroy_steps_.Run(); }

/* WindowPort. */

void TfrmMain::set_caption(const std::string& text) {
    gtk_window_set_title(GTK_WINDOW(window_.get()), MakeValidUtf8(text).c_str());
}

void TfrmMain::set_application_title(const std::string& text) {
    application_title_ = MakeValidUtf8(text);
    if (GdkWindow* gdk_window = gtk_widget_get_window(window_.get()))
        gdk_window_set_icon_name(gdk_window, application_title_.c_str());
}

void TfrmMain::navigate(const std::string& url) { cmpBrowser->Navigate(url); }

void TfrmMain::refresh() { cmpBrowser->Refresh2(TCppWebBrowser::REFRESH_COMPLETELY); }

void TfrmMain::print() { cmpBrowser->ExecWB(TCppWebBrowser::OLECMDID_PRINT, 0); }

void TfrmMain::find() { find_bar_->Open(); }

void TfrmMain::close() { RequestClose(); }

void RequestMainWindowClose() {
    if (auto* window = dynamic_cast<TfrmMain*>(shell::MainWindow())) window->RequestClose();
}

void TfrmMain::RequestClose() {
    if (closed_) return;
    close_requested_ = true;
    // Before the window is shown the request waits for Run.
    if (!shown_ || close_source_) return;
    // An open menu or one of our dialogs would hold the request back: end them,
    // and close from the main loop once the current handler has returned.
    if (mnuMain) gtk_menu_shell_cancel(GTK_MENU_SHELL(mnuMain));
    CancelModalDialogs();
    native_->CancelDialogs();
    close_source_.reset(g_idle_add(closeNow, this));
}

gboolean TfrmMain::closeNow(gpointer data) {
    auto* self = static_cast<TfrmMain*>(data);
    self->close_source_.release();
    if (self->close_at_once_)
        self->FinishClose();
    else
        self->page_->AskToCloseAll();  // the pages' beforeunload questions decide
    return G_SOURCE_REMOVE;
}

void TfrmMain::CloseAtOnce() {
    close_at_once_ = true;
    RequestClose();
}

// Closing ends the event loop; the window itself goes after FormDestroy.
void TfrmMain::FinishClose() {
    close_requested_ = true;
    if (closed_) return;
    closed_ = true;
    SaveWindowState(GTK_WINDOW(window_.get()));
    page_->HidePopups();
    gtk_widget_hide(window_.get());
    // The windows go from the screen now, not once the server and the workers
    // have been stopped.
    gdk_display_flush(gtk_widget_get_display(window_.get()));
    g_main_loop_quit(loop_.get());
}

void TfrmMain::show_error(const std::string& text) { ShowMessage("Error", text); }

void TfrmMain::show_fatal(const std::string& text) { ShowMessage("Error", text); }

void TfrmMain::send_page_event(const std::string& detail) { native_->SendPageEvent(detail); }

// From the server's thread: shown by the user-interface thread, by the main
// window as it is then (none once it has gone).
void TfrmMain::request_errors(const std::string& method, const std::string& path, int status,
                              const std::string& errors) {
    struct Report {
        std::string method, path;
        int status;
        std::string errors;
    };
    g_main_context_invoke_full(
        nullptr, G_PRIORITY_DEFAULT,
        [](gpointer data) -> gboolean {
            auto* r = static_cast<Report*>(data);
            auto* window = dynamic_cast<TfrmMain*>(shell::MainWindow());
            if (window && window->error_strip_) window->error_strip_->Add(r->method, r->path, r->status, r->errors);
            return G_SOURCE_REMOVE;
        },
        new Report{method, path, status, errors}, [](gpointer data) { delete static_cast<Report*>(data); });
}

void TfrmMain::ShowMessage(const std::string& title, const std::string& text) {
    GtkWindow* parent = gtk_widget_get_visible(window_.get()) ? GTK_WINDOW(window_.get()) : nullptr;
    GtkWidget* dialog = gtk_message_dialog_new(parent, GTK_DIALOG_MODAL, GTK_MESSAGE_ERROR, GTK_BUTTONS_OK, "%s",
                                               MakeValidUtf8(text).c_str());
    gtk_window_set_title(GTK_WINDOW(dialog), title.c_str());
    RunModalDialog(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
}

void TfrmMain::set_menu_bar(const std::vector<shell::TopMenuModel>& menus) {
    if (mnuMain) {
        gtk_widget_destroy(mnuMain);
        mnuMain = nullptr;
    }
    if (menus.empty()) return;
    mnuMain = gtk_menu_bar_new();
    gtk_widget_set_name(mnuMain, "mnuMain");
    for (const auto& top : menus) {
        GtkWidget* top_item = gtk_menu_item_new_with_mnemonic(MnemonicLabel(MakeValidUtf8(top.caption)).c_str());
        if (!top.name.empty()) gtk_widget_set_name(top_item, top.name.c_str());
        if (!top.items.empty()) {
            GtkWidget* menu = gtk_menu_new();
            gtk_menu_set_accel_group(GTK_MENU(menu), menu_accels_.get());
            for (const auto& item : top.items) {
                GtkWidget* widget;
                if (item.caption == "-") {
                    widget = gtk_separator_menu_item_new();  // the toolkit's separator caption
                } else {
                    widget = gtk_menu_item_new_with_mnemonic(MnemonicLabel(MakeValidUtf8(item.caption)).c_str());
                    g_signal_connect(widget, "activate", G_CALLBACK(menuItemActivate),
                                     GINT_TO_POINTER(item.command_index));
                    guint key = item.shortcut.empty() ? 0 : KeyValueForName(item.shortcut.key);
                    GdkModifierType mods = ModifiersOf(item.shortcut);
                    if (key && gtk_accelerator_valid(key, mods)) {
                        gtk_widget_add_accelerator(widget, "activate", menu_accels_.get(), key, mods, GTK_ACCEL_VISIBLE);
                        // The item's shortcut wins over F5 and Ctrl+P.
                        gtk_accel_group_disconnect_key(cmpActions.get(), key, mods);
                    }
                }
                if (!item.name.empty()) gtk_widget_set_name(widget, item.name.c_str());
                gtk_menu_shell_append(GTK_MENU_SHELL(menu), widget);
            }
            gtk_menu_item_set_submenu(GTK_MENU_ITEM(top_item), menu);
        }
        gtk_menu_shell_append(GTK_MENU_SHELL(mnuMain), top_item);
    }
    gtk_box_pack_start(GTK_BOX(box_), mnuMain, FALSE, FALSE, 0);
    gtk_box_reorder_child(GTK_BOX(box_), mnuMain, 0);
    if (gtk_widget_get_visible(window_.get())) gtk_widget_show_all(mnuMain);
}

/* Signal handlers. */

void TfrmMain::windowShow(GtkWidget*, TfrmMain* self) {
    if (self->shown_) return;
    self->shown_ = true;
    self->FormShow();
}

void TfrmMain::windowRealize(GtkWidget* widget, TfrmMain* self) {
    const std::string& title = self->application_title_.empty() ? std::string(g_get_application_name())
                                                                 : self->application_title_;
    gdk_window_set_icon_name(gtk_widget_get_window(widget), title.c_str());
    // Until the toolkit first draws the window, the X server fills it with the
    // view's colour instead of leaving what was beneath it.
    GdkRGBA page;
    webkit_web_view_get_background_color(self->cmpBrowser->View(), &page);
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    gdk_window_set_background_rgba(gtk_widget_get_window(widget), &page);
    G_GNUC_END_IGNORE_DEPRECATIONS
}

// The close button asks the pages first; the window closes when they agree.
gboolean TfrmMain::windowDeleteEvent(GtkWidget*, GdkEvent*, TfrmMain* self) {
    // With close-to-tray the window only hides; the tray's Quit closes it.
    if (self->native_->HideToTray()) return TRUE;
    self->RequestClose();
    return TRUE;
}

gboolean TfrmMain::actRefreshActivate(GtkAccelGroup*, GObject*, guint, GdkModifierType, gpointer) {
    shell::actRefreshExecute();
    return TRUE;
}

gboolean TfrmMain::actPrintActivate(GtkAccelGroup*, GObject*, guint, GdkModifierType, gpointer) {
    shell::actPrintExecute();
    return TRUE;
}

void TfrmMain::menuItemActivate(GtkMenuItem*, gpointer command_index) {
    shell::MenuItemClick(GPOINTER_TO_INT(command_index));
}

}  // namespace vantrel::desktop
