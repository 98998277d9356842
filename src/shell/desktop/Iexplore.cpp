#include "Iexplore.hpp"

#include <algorithm>
#include <vector>

#include "edit_menu.hpp"
#include "navigation_policy.hpp"
#include "page_text.hpp"
#include "print_folder.hpp"
#include "web_context.hpp"

namespace vantrel::desktop {

/* THTMLDocument */

HRESULT THTMLDocument::QueryInterface(const GUID& iid, void** object) {
    if (iid == IID_ICustomDoc) {
        *object = static_cast<ICustomDoc*>(this);
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

// From now on the browser asks the handler about the context menu and the
// addresses it loads. (The view has no border, scroll-bar style or external
// object of its own to configure, which is what the host flags and
// GetExternal ask for.)
HRESULT THTMLDocument::SetUIHandler(IDocHostUIHandler* handler) {
    browser_.ui_handler_ = handler;
    return S_OK;
}

void THTMLDocument::close() {
    if (webkit_web_view_is_loading(browser_.view_)) webkit_web_view_stop_loading(browser_.view_);
}

void THTMLDocument::write(const std::string& html) {
    const std::string& base = browser_.write_base_uri_;
    webkit_web_view_load_html(browser_.view_, MakeValidUtf8(html).c_str(), base.empty() ? nullptr : base.c_str());
}

/* TCppWebBrowser */

TCppWebBrowser::TCppWebBrowser() {
    view_ = WEBKIT_WEB_VIEW(webkit_web_view_new_with_context(ApplicationWebContext()));
    g_object_ref_sink(view_);
    g_signal_connect(view_, "load-changed", G_CALLBACK(viewLoadChanged), this);
    g_signal_connect(view_, "load-failed", G_CALLBACK(viewLoadFailed), this);
    g_signal_connect(view_, "context-menu", G_CALLBACK(viewContextMenu), this);
    g_signal_connect(view_, "decide-policy", G_CALLBACK(viewDecidePolicy), this);
    g_signal_connect(view_, "print", G_CALLBACK(ViewPrintToDocuments), nullptr);
}

TCppWebBrowser::~TCppWebBrowser() {
    g_signal_handlers_disconnect_by_data(view_, this);
    g_object_unref(view_);
}

void TCppWebBrowser::Navigate(const std::string& url) {
    std::string address = MakeValidUtf8(url);
    if (ui_handler_) {
        std::string translated;
        if (ui_handler_->TranslateUrl(0, address, &translated) == S_OK) address = translated;
    }
    if (address.empty()) return;  // nothing to load; the engine would refuse it anyway
    busy_ = true;
    webkit_web_view_load_uri(view_, NavigationUri(address).c_str());
}

void TCppWebBrowser::Refresh2(int level) {
    if (level >= REFRESH_COMPLETELY)
        webkit_web_view_reload_bypass_cache(view_);
    else
        webkit_web_view_reload(view_);
}

void TCppWebBrowser::ExecWB(int command, int /*option*/) {
    if (command != OLECMDID_PRINT) return;
    WebKitPrintOperation* operation = webkit_print_operation_new(view_);
    ProposeDocumentsFolder(operation);
    GtkWidget* top = gtk_widget_get_toplevel(Widget());
    webkit_print_operation_run_dialog(operation, GTK_IS_WINDOW(top) ? GTK_WINDOW(top) : nullptr);
    g_object_unref(operation);
}

void TCppWebBrowser::viewLoadChanged(WebKitWebView*, WebKitLoadEvent event, TCppWebBrowser* self) {
    if (event == WEBKIT_LOAD_COMMITTED) self->has_document_ = true;
    if (event == WEBKIT_LOAD_FINISHED) self->busy_ = false;
}

gboolean TCppWebBrowser::viewLoadFailed(WebKitWebView*, WebKitLoadEvent, char*, GError*, TCppWebBrowser* self) {
    self->busy_ = false;
    return FALSE;  // the engine shows its own page for a failed load
}

gboolean TCppWebBrowser::viewContextMenu(WebKitWebView* view, WebKitContextMenu* menu, GdkEvent* event,
                                         WebKitHitTestResult* hit, TCppWebBrowser* self) {
    // Where the user edits or has selected text, the edit menu; the page
    // itself gets what the host decides.
    if (ShapeEditMenu(view, menu, hit)) return FALSE;
    if (!self->ui_handler_) return FALSE;
    POINT where;
    double x = 0, y = 0;
    if (event && gdk_event_get_root_coords(event, &x, &y)) where = {static_cast<int>(x), static_cast<int>(y)};
    // S_OK: the host has dealt with the menu, so the engine shows none.
    return self->ui_handler_->ShowContextMenu(0, &where, nullptr, nullptr) == S_OK;
}

gboolean TCppWebBrowser::viewDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                          WebKitPolicyDecisionType type, TCppWebBrowser*) {
    if (type != WEBKIT_POLICY_DECISION_TYPE_RESPONSE) return FALSE;
    auto* response = WEBKIT_RESPONSE_POLICY_DECISION(decision);
    // A page the engine cannot show is saved instead of silently dropped.
    if (webkit_response_policy_decision_is_main_frame_main_resource(response) &&
        !webkit_response_policy_decision_is_mime_type_supported(response)) {
        webkit_policy_decision_download(decision);
        return TRUE;
    }
    return FALSE;  // the engine's rules: show it, or download an attachment
}

/* Modal dialogs */

namespace {
std::vector<GtkDialog*> running_dialogs;  // borrowed, while their run lasts
}

int RunModalDialog(GtkDialog* dialog) {
    running_dialogs.push_back(dialog);
    int response = gtk_dialog_run(dialog);
    running_dialogs.erase(std::find(running_dialogs.begin(), running_dialogs.end(), dialog));
    return response;
}

void CancelModalDialogs() {
    for (GtkDialog* dialog : std::vector<GtkDialog*>(running_dialogs))
        gtk_dialog_response(dialog, GTK_RESPONSE_DELETE_EVENT);
    // The print dialog is run by the browser engine in a loop of its own.
    GType print_dialog = g_type_from_name("GtkPrintUnixDialog");
    if (print_dialog == 0) return;  // never made in this run
    GList* windows = gtk_window_list_toplevels();
    for (GList* w = windows; w; w = w->next)
        if (G_TYPE_CHECK_INSTANCE_TYPE(w->data, print_dialog) && gtk_widget_get_visible(GTK_WIDGET(w->data)))
            gtk_dialog_response(GTK_DIALOG(w->data), GTK_RESPONSE_DELETE_EVENT);
    g_list_free(windows);
}

/* Downloads */

namespace {

GtkWindow* download_parent = nullptr;  // borrowed: the main window
std::function<void(const std::string&)> download_report;

gboolean downloadDecideDestination(WebKitDownload* download, char* suggested, gpointer) {
    GtkWidget* dialog = gtk_file_chooser_dialog_new("Save File", download_parent, GTK_FILE_CHOOSER_ACTION_SAVE,
                                                    "_Cancel", GTK_RESPONSE_CANCEL, "_Save", GTK_RESPONSE_ACCEPT,
                                                    nullptr);
    auto* chooser = GTK_FILE_CHOOSER(dialog);
    gtk_file_chooser_set_do_overwrite_confirmation(chooser, TRUE);
    const char* folder = g_get_user_special_dir(G_USER_DIRECTORY_DOWNLOAD);
    if (!folder || !g_file_test(folder, G_FILE_TEST_IS_DIR)) folder = g_get_home_dir();
    gtk_file_chooser_set_current_folder(chooser, folder);
    if (suggested && *suggested) gtk_file_chooser_set_current_name(chooser, suggested);
    if (RunModalDialog(GTK_DIALOG(dialog)) == GTK_RESPONSE_ACCEPT) {
        char* uri = gtk_file_chooser_get_uri(chooser);
        webkit_download_set_allow_overwrite(download, TRUE);  // the chooser has asked already
        webkit_download_set_destination(download, uri);
        g_free(uri);
    } else {
        webkit_download_cancel(download);
    }
    // Events of the click that answered the chooser (the release, the second
    // click of a double click) are still queued for its widgets: destroying it
    // now makes the toolkit complain about events for unrealized widgets. It
    // goes once they have been handled.
    gtk_widget_hide(dialog);
    g_idle_add_full(G_PRIORITY_LOW, [](gpointer widget) -> gboolean {
        gtk_widget_destroy(GTK_WIDGET(widget));
        return G_SOURCE_REMOVE;
    }, dialog, nullptr);
    return TRUE;
}

// The file a download goes to, as a path ("" before one is chosen).
std::string DestinationPath(WebKitDownload* download) {
    const char* uri = webkit_download_get_destination(download);
    char* path = uri ? g_filename_from_uri(uri, nullptr, nullptr) : nullptr;
    std::string out = path ? path : (uri ? uri : "");
    g_free(path);
    return out;
}

// "failed" comes before "finished": the failure is what is reported.
void downloadFailed(WebKitDownload* download, GError* error, gpointer) {
    g_object_set_data(G_OBJECT(download), "vantrel-failed", GINT_TO_POINTER(1));
    if (!download_report) return;
    bool cancelled = g_error_matches(error, WEBKIT_DOWNLOAD_ERROR, WEBKIT_DOWNLOAD_ERROR_CANCELLED_BY_USER);
    download_report(DownloadFailedText(DestinationPath(download), cancelled ? "cancelled" : error->message));
}

void downloadFinished(WebKitDownload* download, gpointer) {
    if (download_report && !g_object_get_data(G_OBJECT(download), "vantrel-failed"))
        download_report(SavedText(DestinationPath(download)));
}

void contextDownloadStarted(WebKitWebContext*, WebKitDownload* download, gpointer) {
    g_signal_connect(download, "decide-destination", G_CALLBACK(downloadDecideDestination), nullptr);
    g_signal_connect(download, "failed", G_CALLBACK(downloadFailed), nullptr);
    g_signal_connect(download, "finished", G_CALLBACK(downloadFinished), nullptr);
}

}  // namespace

void InstallDownloadHandler(GtkWindow* parent, std::function<void(const std::string&)> report) {
    download_parent = parent;
    download_report = std::move(report);
    g_signal_connect(ApplicationWebContext(), "download-started", G_CALLBACK(contextDownloadStarted),
                     nullptr);
}

}  // namespace vantrel::desktop
