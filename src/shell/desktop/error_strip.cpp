#include "error_strip.hpp"

#include "page_text.hpp"
#include "shown_text_log.hpp"

namespace vantrel::desktop {

namespace {

constexpr std::size_t kKeptRequests = 8;
constexpr gint kOpenInspector = 1;

std::string without_final_newlines(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

}  // namespace

ErrorStrip::ErrorStrip(WebKitWebView* view) : view_(view) {
    bar_ = gtk_info_bar_new_with_buttons("Open _Inspector", kOpenInspector, nullptr);
    g_object_ref_sink(bar_);
    gtk_widget_set_name(bar_, "ErrorStrip");
    gtk_info_bar_set_message_type(GTK_INFO_BAR(bar_), GTK_MESSAGE_ERROR);
    gtk_info_bar_set_show_close_button(GTK_INFO_BAR(bar_), TRUE);
    gtk_widget_set_no_show_all(bar_, TRUE);  // hidden until there is something to show

    label_ = gtk_label_new("");
    gtk_label_set_selectable(GTK_LABEL(label_), TRUE);
    gtk_label_set_line_wrap(GTK_LABEL(label_), TRUE);
    gtk_label_set_line_wrap_mode(GTK_LABEL(label_), PANGO_WRAP_WORD_CHAR);
    gtk_label_set_xalign(GTK_LABEL(label_), 0);
    gtk_label_set_yalign(GTK_LABEL(label_), 0);
    // Long output scrolls inside the strip instead of pushing the page away.
    GtkWidget* scroller = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroller), GTK_POLICY_NEVER, GTK_POLICY_AUTOMATIC);
    gtk_scrolled_window_set_propagate_natural_height(GTK_SCROLLED_WINDOW(scroller), TRUE);
    gtk_scrolled_window_set_max_content_height(GTK_SCROLLED_WINDOW(scroller), 160);
    gtk_container_add(GTK_CONTAINER(scroller), label_);
    GtkWidget* content = gtk_info_bar_get_content_area(GTK_INFO_BAR(bar_));
    gtk_box_pack_start(GTK_BOX(content), scroller, TRUE, TRUE, 0);
    gtk_widget_show_all(scroller);

    g_signal_connect(bar_, "response", G_CALLBACK(barResponse), this);
    g_signal_connect(view_, "decide-policy", G_CALLBACK(viewDecidePolicy), this);
    g_signal_connect(view_, "load-changed", G_CALLBACK(viewLoadChanged), this);
}

ErrorStrip::~ErrorStrip() {
    g_signal_handlers_disconnect_by_data(view_, this);
    g_signal_handlers_disconnect_by_data(bar_, this);
    g_object_unref(bar_);
}

void ErrorStrip::Add(const std::string& method, const std::string& path, int status, const std::string& errors) {
    std::string text = MakeValidUtf8(method + " " + path + ": " + std::to_string(status));
    std::string output = without_final_newlines(MakeValidUtf8(errors));
    text += output.empty() ? "\n(no error output)" : "\n" + output;
    entries_.push_back({navigations_, text});
    while (entries_.size() > kKeptRequests) entries_.pop_front();
    Show();
    std::string logged = text;
    for (char& c : logged)
        if (c == '\n') c = '|';
    LogShownText("Errors: " + logged);
}

void ErrorStrip::Clear() {
    if (entries_.empty() && !gtk_widget_get_visible(bar_)) return;
    entries_.clear();
    gtk_label_set_text(GTK_LABEL(label_), "");
    gtk_widget_hide(bar_);
    LogShownText("Errors cleared");
}

void ErrorStrip::Show() {
    std::string all;
    for (const Entry& entry : entries_) all += (all.empty() ? "" : "\n\n") + entry.text;
    gtk_label_set_text(GTK_LABEL(label_), all.c_str());
    gtk_widget_show(bar_);
}

// Runs before the view's handlers that decide (connected first) and decides nothing.
gboolean ErrorStrip::viewDecidePolicy(WebKitWebView*, WebKitPolicyDecision*, WebKitPolicyDecisionType type,
                                      ErrorStrip* self) {
    if (type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION) {
        ++self->navigations_;
        self->decided_since_start_ = true;
    }
    return FALSE;
}

// A new page (or a reload) starts with an empty strip: only its own requests,
// answered before the engine said it started, stay.
void ErrorStrip::viewLoadChanged(WebKitWebView*, WebKitLoadEvent event, ErrorStrip* self) {
    if (event != WEBKIT_LOAD_STARTED) return;
    if (!self->decided_since_start_) return self->Clear();  // a start the strip saw no decision for
    self->decided_since_start_ = false;
    const unsigned long latest = self->navigations_;
    auto& entries = self->entries_;
    while (!entries.empty() && entries.front().navigation < latest) entries.pop_front();
    if (entries.empty()) return self->Clear();
    self->Show();
}

void ErrorStrip::barResponse(GtkInfoBar*, gint response, ErrorStrip* self) {
    if (response == kOpenInspector)
        webkit_web_inspector_show(webkit_web_view_get_inspector(self->view_));
    else if (response == GTK_RESPONSE_CLOSE)
        self->Clear();
}

}  // namespace vantrel::desktop
