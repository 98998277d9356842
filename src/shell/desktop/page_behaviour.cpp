#include "page_behaviour.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "Iexplore.hpp"
#include "page_text.hpp"
#include "popup_window.hpp"
#include "shown_text_log.hpp"
#include "shell/model/developer.hpp"

namespace vantrel::desktop {

namespace {

// The engine refuses window.close() once a page has history; on the own pages
// it asks the application instead (top frame only, own origin only). The main
// view and its pop-ups share one script manager, so the message does not tell
// which page sent it: the page also remembers that it asked, and the
// application asks each view in turn (kClosingPageQuery).
constexpr const char* kCloseScript =
    "(function () {"
    "  var asked = false;"
    "  Object.defineProperty(window, '__vantrelCloseAsked', { value: function () {"
    "    var was = asked; asked = false; return was; } });"
    "  window.close = function () {"
    "    asked = true; window.webkit.messageHandlers.vantrelClose.postMessage(''); };"
    "})();";
constexpr const char* kClosingPageQuery =
    "typeof window.__vantrelCloseAsked === 'function' && window.__vantrelCloseAsked()";

// A link clicked inside a frame is announced before its navigation starts, so
// that the frame keeps loading it (the engine does not tell which frame navigates).
constexpr const char* kFrameLinkScript =
    "if (window !== window.top) document.addEventListener('click', function (e) {"
    "  var a = e.target && e.target.closest ? e.target.closest('a[href]') : null;"
    "  var h = window.webkit && window.webkit.messageHandlers && window.webkit.messageHandlers.vantrelFrameLink;"
    "  if (a && h) h.postMessage(String(a.href));"
    "}, true);";

constexpr guint kResultSeconds = 5;  // a download's or a link's result shows this long

constexpr double kZoomStep = 0.1, kZoomMin = 0.3, kZoomMax = 5.0;

void ChangeZoom(WebKitWebView* view, int direction) {
    double level = direction == 0 ? 1.0 : webkit_web_view_get_zoom_level(view) + direction * kZoomStep;
    webkit_web_view_set_zoom_level(view, std::clamp(level, kZoomMin, kZoomMax));
}

using KeyAction = void (*)(WebKitWebView*);

struct Key {
    guint keyval;
    GdkModifierType mods;
    KeyAction action;
    bool developer_only;
};

const Key kKeys[] = {
    {GDK_KEY_Left, GDK_MOD1_MASK, [](WebKitWebView* v) { webkit_web_view_go_back(v); }, false},
    {GDK_KEY_Right, GDK_MOD1_MASK, [](WebKitWebView* v) { webkit_web_view_go_forward(v); }, false},
    {GDK_KEY_plus, GDK_CONTROL_MASK, [](WebKitWebView* v) { ChangeZoom(v, 1); }, false},
    {GDK_KEY_equal, GDK_CONTROL_MASK, [](WebKitWebView* v) { ChangeZoom(v, 1); }, false},
    {GDK_KEY_KP_Add, GDK_CONTROL_MASK, [](WebKitWebView* v) { ChangeZoom(v, 1); }, false},
    {GDK_KEY_minus, GDK_CONTROL_MASK, [](WebKitWebView* v) { ChangeZoom(v, -1); }, false},
    {GDK_KEY_KP_Subtract, GDK_CONTROL_MASK, [](WebKitWebView* v) { ChangeZoom(v, -1); }, false},
    {GDK_KEY_0, GDK_CONTROL_MASK, [](WebKitWebView* v) { ChangeZoom(v, 0); }, false},
    {GDK_KEY_KP_0, GDK_CONTROL_MASK, [](WebKitWebView* v) { ChangeZoom(v, 0); }, false},
    {GDK_KEY_F12, GdkModifierType(0), [](WebKitWebView* v) { webkit_web_inspector_show(webkit_web_view_get_inspector(v)); },
     true},
    {GDK_KEY_i, GdkModifierType(GDK_CONTROL_MASK | GDK_SHIFT_MASK),
     [](WebKitWebView* v) { webkit_web_inspector_show(webkit_web_view_get_inspector(v)); }, true},
};

// Binds every key of the table to its action on `view` in `keys`.
void AddKeys(GtkAccelGroup* keys, WebKitWebView* view) {
    const bool developer = shell::DeveloperMode();
    for (const Key& key : kKeys) {
        if (key.developer_only && !developer) continue;
        struct Binding {
            KeyAction action;
            WebKitWebView* view;
        };
        auto* binding = new Binding{key.action, view};
        GClosure* closure = g_cclosure_new(
            G_CALLBACK(+[](GtkAccelGroup*, GObject*, guint, GdkModifierType, gpointer data) -> gboolean {
                auto* b = static_cast<Binding*>(data);
                b->action(b->view);
                return TRUE;
            }),
            binding, [](gpointer data, GClosure*) { delete static_cast<Binding*>(data); });
        gtk_accel_group_connect(keys, key.keyval, key.mods, GtkAccelFlags(0), closure);
    }
}

std::string MessageText(WebKitJavascriptResult* result) {
    JSCValue* value = webkit_javascript_result_get_js_value(result);
    char* text = value ? jsc_value_to_string(value) : nullptr;
    std::string out = text ? text : "";
    g_free(text);
    return out;
}

}  // namespace

PageBehaviour::PageBehaviour(GtkStatusbar* status_bar, std::function<void()> close_main)
    : status_bar_(status_bar),
      close_main_(std::move(close_main)),
      close_sequence_([this] {
          HidePopups();
          close_main_();
      }),
      cancellable_(g_cancellable_new()) {}

PageBehaviour::~PageBehaviour() {
    g_cancellable_cancel(cancellable_.get());
    popups_.clear();
    if (main_view_) {
        g_signal_handlers_disconnect_by_data(main_view_, this);
        g_signal_handlers_disconnect_by_data(webkit_web_view_get_user_content_manager(main_view_), this);
    }
}

void PageBehaviour::AttachMainView(WebKitWebView* view, GtkAccelGroup* keys) {
    main_view_ = view;
    if (shell::DeveloperMode())
        webkit_settings_set_enable_developer_extras(webkit_web_view_get_settings(view), TRUE);
    g_signal_connect(view, "close", G_CALLBACK(mainViewClose), this);
    AttachView(view, webkit_web_view_get_user_content_manager(view), keys);
}

void PageBehaviour::AttachView(WebKitWebView* view, WebKitUserContentManager* scripts, GtkAccelGroup* keys) {
    g_signal_connect(view, "decide-policy", G_CALLBACK(viewDecidePolicy), this);
    g_signal_connect(view, "create", G_CALLBACK(viewCreate), this);
    g_signal_connect(view, "mouse-target-changed", G_CALLBACK(viewMouseTargetChanged), this);
    g_signal_connect(view, "load-changed", G_CALLBACK(viewLoadChanged), this);
    g_signal_connect(view, "button-press-event", G_CALLBACK(viewButtonPress), this);
    g_signal_connect(view, "scroll-event", G_CALLBACK(viewScroll), this);
    g_signal_connect(view, "script-dialog", G_CALLBACK(viewScriptDialog), this);
    g_signal_connect(scripts, "script-message-received::vantrelFrameLink", G_CALLBACK(frameLinkClicked), this);
    webkit_user_content_manager_register_script_message_handler(scripts, "vantrelFrameLink");
    g_signal_connect(scripts, "script-message-received::vantrelClose", G_CALLBACK(closeRequested), this);
    webkit_user_content_manager_register_script_message_handler(scripts, "vantrelClose");
    WebKitUserScript* frame_script = webkit_user_script_new(kFrameLinkScript, WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES,
                                                            WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr,
                                                            nullptr);
    webkit_user_content_manager_add_script(scripts, frame_script);
    webkit_user_script_unref(frame_script);
    if (port_ >= 0) AddCloseScript(scripts);
    AddKeys(keys, view);
}

void PageBehaviour::SetOwnPort(int port) {
    port_ = port;
    if (main_view_) AddCloseScript(webkit_web_view_get_user_content_manager(main_view_));
}

void PageBehaviour::AddCloseScript(WebKitUserContentManager* scripts) {
    // Patterns cannot name a port: the message handler checks the whole origin.
    const char* allow[] = {"http://127.0.0.1/*", "http://localhost/*", nullptr};
    WebKitUserScript* script = webkit_user_script_new(kCloseScript, WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                                                      WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, allow, nullptr);
    webkit_user_content_manager_add_script(scripts, script);
    webkit_user_script_unref(script);
}

void PageBehaviour::AskToCloseAll() {
    std::vector<WebKitWebView*> views;
    if (main_view_) views.push_back(main_view_);
    for (const auto& popup : popups_) views.push_back(popup->View());
    close_sequence_.Start(std::move(views));
}

void PageBehaviour::HidePopups() {
    for (const auto& popup : popups_) gtk_widget_hide(gtk_widget_get_toplevel(GTK_WIDGET(popup->View())));
}

PopupWindow* PageBehaviour::PopupOf(WebKitWebView* view) const {
    for (const auto& popup : popups_)
        if (popup->View() == view) return popup.get();
    return nullptr;
}

void PageBehaviour::PopupAgreed(PopupWindow* popup) {
    if (!close_sequence_.Agreed(popup->View())) ClosePopup(popup);
}

void PageBehaviour::FindClosingPage() {
    std::vector<WebKitWebView*> views;
    if (main_view_) views.push_back(main_view_);
    for (const auto& popup : popups_) views.push_back(popup->View());
    for (WebKitWebView* view : views) {
        // The view is referenced until its answer, so the answer can name it.
        webkit_web_view_evaluate_javascript(view, kClosingPageQuery, -1, nullptr, nullptr, cancellable_.get(),
                                            closingPageAnswered, this);
        g_object_ref(view);
    }
}

void PageBehaviour::closingPageAnswered(GObject* object, GAsyncResult* result, gpointer data) {
    GObjectPtr<WebKitWebView> view(WEBKIT_WEB_VIEW(object));  // the reference taken for the question
    GError* error = nullptr;
    JSCValue* value = webkit_web_view_evaluate_javascript_finish(view.get(), result, &error);
    bool asked = value && jsc_value_is_boolean(value) && jsc_value_to_boolean(value);
    bool cancelled = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
    g_clear_error(&error);
    g_clear_object(&value);
    if (cancelled || !asked) return;  // when cancelled, `data` is gone
    auto* self = static_cast<PageBehaviour*>(data);
    if (!self->IsOwnPage(view.get())) return;
    if (view.get() == self->main_view_)
        self->AskToCloseAll();  // as the close button does
    else if (PopupWindow* popup = self->PopupOf(view.get()))
        self->ClosePopup(popup);  // a pop-up's own window.close() closes it alone
}

bool PageBehaviour::IsOwnPage(WebKitWebView* view) const {
    const char* uri = webkit_web_view_get_uri(view);
    return uri && IsOwnOrigin(uri, port_);
}

void PageBehaviour::OpenOutside(const std::string& uri) {
    GError* error = nullptr;
    if (!g_app_info_launch_default_for_uri(uri.c_str(), nullptr, &error)) {
        ShowResult(NoHandlerText(uri));
        g_clear_error(&error);
    }
}

void PageBehaviour::ShowResult(const std::string& text) {
    status_.set_result(text);
    UpdateStatus();
    result_timer_.reset(g_timeout_add_seconds(kResultSeconds, resultExpired, this));
}

gboolean PageBehaviour::resultExpired(gpointer data) {
    auto* self = static_cast<PageBehaviour*>(data);
    self->result_timer_.release();
    self->status_.clear_result();
    self->UpdateStatus();
    return G_SOURCE_REMOVE;
}

// A page of the own server that answered 500 or more says so until the next page.
void PageBehaviour::NoteServerError(WebKitWebView* view) {
    WebKitWebResource* resource = webkit_web_view_get_main_resource(view);
    WebKitURIResponse* response = resource ? webkit_web_resource_get_response(resource) : nullptr;
    guint status = response ? webkit_uri_response_get_status_code(response) : 0;
    const char* uri = response ? webkit_uri_response_get_uri(response) : nullptr;
    if (status < 500 || !uri || !IsOwnOrigin(uri, port_)) return;
    GUri* parsed = g_uri_parse(uri, G_URI_FLAGS_ENCODED, nullptr);
    status_.set_server_error(ServerErrorText(static_cast<int>(status), parsed ? g_uri_get_path(parsed) : ""));
    if (parsed) g_uri_unref(parsed);
}

void PageBehaviour::UpdateStatus() {
    std::string text = MakeValidUtf8(status_.current());
    guint context = gtk_statusbar_get_context_id(status_bar_, "page");
    gtk_statusbar_remove_all(status_bar_, context);
    if (!text.empty()) gtk_statusbar_push(status_bar_, context, text.c_str());
    LogShownText(text);
}

void PageBehaviour::ClosePopup(PopupWindow* popup) {
    auto it = std::find_if(popups_.begin(), popups_.end(), [popup](const auto& p) { return p.get() == popup; });
    if (it == popups_.end()) return;
    close_sequence_.Forget(popup->View());
    // The popup's own signal handler may be running: let it go from the main loop.
    auto* doomed = it->release();
    popups_.erase(it);
    gtk_widget_hide(gtk_widget_get_toplevel(GTK_WIDGET(doomed->View())));
    g_idle_add(
        [](gpointer data) -> gboolean {
            delete static_cast<PopupWindow*>(data);
            return G_SOURCE_REMOVE;
        },
        doomed);
}

/* Signal handlers. */

gboolean PageBehaviour::viewDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                         WebKitPolicyDecisionType type, PageBehaviour* self) {
    if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION) return FALSE;
    WebKitNavigationAction* action =
        webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    NavigationFacts facts;
    facts.uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
    facts.link_clicked = webkit_navigation_action_get_navigation_type(action) == WEBKIT_NAVIGATION_TYPE_LINK_CLICKED;
    facts.user_gesture = webkit_navigation_action_is_user_gesture(action);
    facts.subframe = self->frame_links_.erase(facts.uri) > 0;
    if (ChooseNavigation(facts, self->port_) != NavigationChoice::OpenOutside) return FALSE;
    webkit_policy_decision_ignore(decision);  // the page stays
    self->OpenOutside(facts.uri);
    return TRUE;
}

GtkWidget* PageBehaviour::viewCreate(WebKitWebView* view, WebKitNavigationAction* action, PageBehaviour* self) {
    NavigationFacts facts;
    WebKitURIRequest* request = webkit_navigation_action_get_request(action);
    facts.uri = request ? webkit_uri_request_get_uri(request) : "";
    facts.link_clicked = webkit_navigation_action_get_navigation_type(action) == WEBKIT_NAVIGATION_TYPE_LINK_CLICKED;
    facts.user_gesture = webkit_navigation_action_is_user_gesture(action);
    facts.new_window = true;
    switch (ChooseNavigation(facts, self->port_)) {
        case NavigationChoice::OpenPopup: {
            auto popup = std::make_unique<PopupWindow>(*self, view);
            self->AttachView(popup->View(), popup->Scripts(), popup->Keys());
            WebKitWebView* created = popup->View();
            self->popups_.push_back(std::move(popup));
            return GTK_WIDGET(created);
        }
        case NavigationChoice::OpenOutside:
            self->OpenOutside(facts.uri);
            return nullptr;
        default:
            return nullptr;
    }
}

void PageBehaviour::viewMouseTargetChanged(WebKitWebView*, WebKitHitTestResult* hit, guint, PageBehaviour* self) {
    const char* link = webkit_hit_test_result_context_is_link(hit) ? webkit_hit_test_result_get_link_uri(hit) : nullptr;
    self->status_.set_link(link ? link : "");
    self->UpdateStatus();
}

void PageBehaviour::viewLoadChanged(WebKitWebView* view, WebKitLoadEvent event, PageBehaviour* self) {
    if (view != self->main_view_) return;
    if (event == WEBKIT_LOAD_STARTED) {
        self->status_.new_page();
        self->result_timer_.reset();
        self->status_.set_loading(true);
    }
    if (event == WEBKIT_LOAD_COMMITTED) self->NoteServerError(view);
    if (event == WEBKIT_LOAD_FINISHED) self->status_.set_loading(false);
    self->UpdateStatus();
}

// The mouse's back (8) and forward (9) buttons.
gboolean PageBehaviour::viewButtonPress(GtkWidget* widget, GdkEventButton* event, PageBehaviour*) {
    if (event->type != GDK_BUTTON_PRESS) return FALSE;
    if (event->button == 8) webkit_web_view_go_back(WEBKIT_WEB_VIEW(widget));
    if (event->button == 9) webkit_web_view_go_forward(WEBKIT_WEB_VIEW(widget));
    return event->button == 8 || event->button == 9;
}

gboolean PageBehaviour::viewScroll(GtkWidget* widget, GdkEventScroll* event, PageBehaviour*) {
    if (!(event->state & GDK_CONTROL_MASK)) return FALSE;
    double dx = 0, dy = 0;
    int direction = 0;
    if (event->direction == GDK_SCROLL_UP) direction = 1;
    else if (event->direction == GDK_SCROLL_DOWN) direction = -1;
    else if (event->direction == GDK_SCROLL_SMOOTH && gdk_event_get_scroll_deltas(reinterpret_cast<GdkEvent*>(event), &dx, &dy) && dy != 0)
        direction = dy < 0 ? 1 : -1;
    if (direction != 0) ChangeZoom(WEBKIT_WEB_VIEW(widget), direction);
    return TRUE;
}

// The page's beforeunload question, as a dialog of the application.
gboolean PageBehaviour::viewScriptDialog(WebKitWebView* view, WebKitScriptDialog* dialog, PageBehaviour* self) {
    if (webkit_script_dialog_get_dialog_type(dialog) != WEBKIT_SCRIPT_DIALOG_BEFORE_UNLOAD_CONFIRM) return FALSE;
    GtkWidget* top = gtk_widget_get_toplevel(GTK_WIDGET(view));
    GtkWidget* question = gtk_message_dialog_new(GTK_IS_WINDOW(top) ? GTK_WINDOW(top) : nullptr, GTK_DIALOG_MODAL,
                                                 GTK_MESSAGE_QUESTION, GTK_BUTTONS_NONE, "%s",
                                                 "Changes you made may not be saved.");
    gtk_window_set_title(GTK_WINDOW(question), "Leave page?");
    gtk_dialog_add_buttons(GTK_DIALOG(question), "_Stay", GTK_RESPONSE_CANCEL, "_Leave", GTK_RESPONSE_ACCEPT, nullptr);
    gtk_dialog_set_default_response(GTK_DIALOG(question), GTK_RESPONSE_CANCEL);
    bool leave = RunModalDialog(GTK_DIALOG(question)) == GTK_RESPONSE_ACCEPT;
    gtk_widget_destroy(question);
    webkit_script_dialog_confirm_set_confirmed(dialog, leave);
    if (!leave) self->close_sequence_.Refused(view);
    return TRUE;
}

// The main page agreed to close; outside a sequence (the engine's own
// window.close() on a page of no origin of ours) the pop-ups are asked next.
void PageBehaviour::mainViewClose(WebKitWebView* view, PageBehaviour* self) {
    if (self->close_sequence_.Agreed(view)) return;
    std::vector<WebKitWebView*> popups;
    for (const auto& popup : self->popups_) popups.push_back(popup->View());
    self->close_sequence_.Start(std::move(popups));
}

void PageBehaviour::frameLinkClicked(WebKitUserContentManager*, WebKitJavascriptResult* result, PageBehaviour* self) {
    if (self->frame_links_.size() < 16) self->frame_links_.insert(MessageText(result));
}

void PageBehaviour::closeRequested(WebKitUserContentManager*, WebKitJavascriptResult*, PageBehaviour* self) {
    self->FindClosingPage();
}

}  // namespace vantrel::desktop
