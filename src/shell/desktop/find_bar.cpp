#include "find_bar.hpp"

#include "page_text.hpp"
#include "shown_text_log.hpp"

namespace vantrel::desktop {

namespace {

constexpr guint kMatchLimit = 1000;
constexpr guint32 kFindOptions = WEBKIT_FIND_OPTIONS_CASE_INSENSITIVE | WEBKIT_FIND_OPTIONS_WRAP_AROUND;

// Binds a key of the window's group to a verb of the bar.
GClosure* BindKey(GtkAccelGroup* keys, guint key, GdkModifierType mods, void (*verb)(FindBar*), FindBar* bar) {
    struct Binding {
        void (*verb)(FindBar*);
        FindBar* bar;
    };
    GClosure* closure = g_cclosure_new(
        G_CALLBACK(+[](GtkAccelGroup*, GObject*, guint, GdkModifierType, gpointer data) -> gboolean {
            auto* b = static_cast<Binding*>(data);
            b->verb(b->bar);
            return TRUE;
        }),
        new Binding{verb, bar}, [](gpointer data, GClosure*) { delete static_cast<Binding*>(data); });
    g_closure_ref(closure);  // kept, so the bar can take it out again
    gtk_accel_group_connect(keys, key, mods, GtkAccelFlags(0), closure);
    return closure;
}

}  // namespace

FindBar::FindBar(WebKitWebView* view, GtkAccelGroup* keys)
    : view_(view), finder_(webkit_web_view_get_find_controller(view)), keys_(keys) {
    box_ = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 4);
    g_object_ref_sink(box_);
    gtk_widget_set_name(box_, "FindBar");
    gtk_widget_set_no_show_all(box_, TRUE);  // hidden until Open
    entry_ = gtk_search_entry_new();
    gtk_entry_set_width_chars(GTK_ENTRY(entry_), 30);
    count_ = gtk_label_new("");
    GtkWidget* previous = gtk_button_new_from_icon_name("go-up-symbolic", GTK_ICON_SIZE_BUTTON);
    GtkWidget* next = gtk_button_new_from_icon_name("go-down-symbolic", GTK_ICON_SIZE_BUTTON);
    GtkWidget* close = gtk_button_new_from_icon_name("window-close-symbolic", GTK_ICON_SIZE_BUTTON);
    gtk_widget_set_tooltip_text(previous, "Previous match (Shift+Enter)");
    gtk_widget_set_tooltip_text(next, "Next match (Enter)");
    gtk_widget_set_tooltip_text(close, "Close (Escape)");
    for (GtkWidget* button : {previous, next, close}) gtk_button_set_relief(GTK_BUTTON(button), GTK_RELIEF_NONE);
    gtk_box_pack_start(GTK_BOX(box_), entry_, FALSE, FALSE, 4);
    gtk_box_pack_start(GTK_BOX(box_), previous, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box_), next, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box_), count_, FALSE, FALSE, 8);
    gtk_box_pack_end(GTK_BOX(box_), close, FALSE, FALSE, 0);
    for (GtkWidget* child : {entry_, previous, next, count_, close}) gtk_widget_show(child);

    g_signal_connect(entry_, "search-changed", G_CALLBACK(entryChanged), this);
    g_signal_connect(entry_, "key-press-event", G_CALLBACK(entryKeyPress), this);
    g_signal_connect_swapped(previous, "clicked", G_CALLBACK(+[](FindBar* self) { self->Previous(); }), this);
    g_signal_connect_swapped(next, "clicked", G_CALLBACK(+[](FindBar* self) { self->Next(); }), this);
    g_signal_connect_swapped(close, "clicked", G_CALLBACK(+[](FindBar* self) { self->Close(); }), this);
    g_signal_connect(finder_, "found-text", G_CALLBACK(foundText), this);
    g_signal_connect(finder_, "failed-to-find-text", G_CALLBACK(failedToFindText), this);

    auto none = GdkModifierType(0);
    closures_.push_back(BindKey(keys, GDK_KEY_f, GDK_CONTROL_MASK, [](FindBar* b) { b->Open(); }, this));
    closures_.push_back(BindKey(keys, GDK_KEY_F3, none, [](FindBar* b) { b->Next(); }, this));
    closures_.push_back(BindKey(keys, GDK_KEY_F3, GDK_SHIFT_MASK, [](FindBar* b) { b->Previous(); }, this));
}

FindBar::~FindBar() {
    g_signal_handlers_disconnect_by_data(finder_, this);
    g_signal_handlers_disconnect_by_data(entry_, this);
    for (GClosure* closure : closures_) {
        gtk_accel_group_disconnect(keys_, closure);  // FALSE when a menu item took the key
        g_closure_unref(closure);
    }
    g_object_unref(box_);
}

void FindBar::Open() {
    gtk_widget_show(box_);
    gtk_widget_grab_focus(entry_);  // selects the text that is there
    if (gtk_entry_get_text_length(GTK_ENTRY(entry_)) > 0) Search();
}

void FindBar::Close() {
    webkit_find_controller_search_finish(finder_);
    gtk_widget_hide(box_);
    current_ = matches_ = 0;
    gtk_widget_grab_focus(GTK_WIDGET(view_));
}

void FindBar::Next() {
    if (!gtk_widget_get_visible(box_) || gtk_entry_get_text_length(GTK_ENTRY(entry_)) == 0) {
        Open();
        return;
    }
    pending_step_ = 1;
    webkit_find_controller_search_next(finder_);
}

void FindBar::Previous() {
    if (!gtk_widget_get_visible(box_) || gtk_entry_get_text_length(GTK_ENTRY(entry_)) == 0) {
        Open();
        return;
    }
    pending_step_ = -1;
    webkit_find_controller_search_previous(finder_);
}

// A new search starts at the top of the page, so its first match is match 1.
void FindBar::Search() {
    const char* text = gtk_entry_get_text(GTK_ENTRY(entry_));
    pending_step_ = 0;
    if (!text || !*text) {
        webkit_find_controller_search_finish(finder_);
        current_ = matches_ = 0;
        gtk_label_set_text(GTK_LABEL(count_), "");
        return;
    }
    webkit_find_controller_search(finder_, text, kFindOptions, kMatchLimit);
}

void FindBar::ShowCount() {
    std::string text = MatchCountText(current_, matches_, kMatchLimit);
    gtk_label_set_text(GTK_LABEL(count_), text.c_str());
    LogShownText("Find: " + text);
}

void FindBar::entryChanged(GtkSearchEntry*, FindBar* self) { self->Search(); }

gboolean FindBar::entryKeyPress(GtkWidget*, GdkEventKey* event, FindBar* self) {
    guint mods = event->state & gtk_accelerator_get_default_mod_mask();
    switch (event->keyval) {
        case GDK_KEY_Return:
        case GDK_KEY_KP_Enter:
        case GDK_KEY_ISO_Enter:
            if (mods == GDK_SHIFT_MASK)
                self->Previous();
            else if (mods == 0)
                self->Next();
            else
                return FALSE;
            return TRUE;
        case GDK_KEY_Escape:
            self->Close();
            return TRUE;
        default:
            return FALSE;
    }
}

// A new search reports how many matches there are (G_MAXUINT beyond the
// limit); a move to the next or previous one reports just the one it found.
void FindBar::foundText(WebKitFindController*, guint count, FindBar* self) {
    if (self->pending_step_ == 0 || self->matches_ == 0) self->matches_ = count;
    count = self->matches_;
    if (self->pending_step_ == 0 || self->current_ == 0 || self->current_ > count)
        self->current_ = 1;
    else if (self->pending_step_ > 0)
        self->current_ = self->current_ % count + 1;
    else
        self->current_ = self->current_ == 1 ? count : self->current_ - 1;
    self->pending_step_ = 0;
    self->ShowCount();
}

void FindBar::failedToFindText(WebKitFindController*, FindBar* self) {
    self->current_ = self->matches_ = 0;
    self->pending_step_ = 0;
    self->ShowCount();
}

}  // namespace vantrel::desktop
