#include "native_dialogs.hpp"

#include "page_text.hpp"

namespace vantrel::desktop {

namespace shell = vantrel::shell;

namespace {

GtkFileChooserAction ActionFor(shell::DialogRequest::Kind kind) {
    switch (kind) {
        case shell::DialogRequest::Folder: return GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER;
        case shell::DialogRequest::Save: return GTK_FILE_CHOOSER_ACTION_SAVE;
        default: return GTK_FILE_CHOOSER_ACTION_OPEN;
    }
}

const char* DefaultTitle(shell::DialogRequest::Kind kind) {
    switch (kind) {
        case shell::DialogRequest::Folder: return "Choose a Folder";
        case shell::DialogRequest::Save: return "Save File";
        case shell::DialogRequest::OpenMultiple: return "Open Files";
        default: return "Open File";
    }
}

// Widgets of a dialog may still have events queued (the click that answered
// it): it goes once they have been handled.
void DestroyLater(GtkWidget* widget) {
    gtk_widget_hide(widget);
    g_idle_add_full(G_PRIORITY_LOW, [](gpointer w) -> gboolean {
        gtk_widget_destroy(GTK_WIDGET(w));
        return G_SOURCE_REMOVE;
    }, widget, nullptr);
}

}  // namespace

NativeDialogs::NativeDialogs(GtkWindow* parent) : parent_(parent) {}

NativeDialogs::~NativeDialogs() { Cancel(); }

shell::Outcome NativeDialogs::Run(const shell::DialogRequest& request, std::function<void(shell::DialogResult)> done) {
    if (done_) return shell::Refusal{"a dialog is already open"};
    done_ = std::move(done);
    if (request.kind == shell::DialogRequest::Message)
        RunMessage(request);
    else
        RunChooser(request);
    return std::nullopt;
}

void NativeDialogs::RunChooser(const shell::DialogRequest& request) {
    const std::string title = request.title.empty() ? DefaultTitle(request.kind) : MakeValidUtf8(request.title);
    const bool save = request.kind == shell::DialogRequest::Save;
    chooser_ = gtk_file_chooser_native_new(title.c_str(), parent_, ActionFor(request.kind), save ? "_Save" : "_Open",
                                           "_Cancel");
    auto* chooser = GTK_FILE_CHOOSER(chooser_);
    gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(chooser_), TRUE);
    gtk_file_chooser_set_select_multiple(chooser, request.kind == shell::DialogRequest::OpenMultiple);
    if (save) {
        gtk_file_chooser_set_do_overwrite_confirmation(chooser, TRUE);
        if (!request.name.empty()) gtk_file_chooser_set_current_name(chooser, MakeValidUtf8(request.name).c_str());
    }
    for (const shell::FileFilter& f : request.filters) {
        GtkFileFilter* filter = gtk_file_filter_new();
        gtk_file_filter_set_name(filter, MakeValidUtf8(f.name).c_str());
        for (const std::string& pattern : f.patterns) gtk_file_filter_add_pattern(filter, pattern.c_str());
        gtk_file_chooser_add_filter(chooser, filter);  // takes the filter
    }
    g_signal_connect(chooser_, "response", G_CALLBACK(chooserResponse), this);
    gtk_native_dialog_show(GTK_NATIVE_DIALOG(chooser_));
}

void NativeDialogs::RunMessage(const shell::DialogRequest& request) {
    message_ = gtk_message_dialog_new(parent_, GTK_DIALOG_MODAL, GTK_MESSAGE_OTHER, GTK_BUTTONS_NONE, "%s",
                                      MakeValidUtf8(request.text).c_str());
    gtk_window_set_title(GTK_WINDOW(message_), MakeValidUtf8(request.title).c_str());
    for (std::size_t i = 0; i < request.buttons.size(); ++i)
        gtk_dialog_add_button(GTK_DIALOG(message_), MakeValidUtf8(request.buttons[i]).c_str(), static_cast<int>(i));
    gtk_dialog_set_default_response(GTK_DIALOG(message_), static_cast<int>(request.buttons.size()) - 1);
    g_signal_connect(message_, "response", G_CALLBACK(messageResponse), this);
    gtk_widget_show(message_);
}

void NativeDialogs::Cancel() {
    if (chooser_) {
        // Hiding a native dialog does not send its response: answer it here.
        gtk_native_dialog_hide(GTK_NATIVE_DIALOG(chooser_));
        chooserResponse(GTK_NATIVE_DIALOG(chooser_), GTK_RESPONSE_CANCEL, this);
    } else if (message_) {
        messageResponse(GTK_DIALOG(message_), GTK_RESPONSE_DELETE_EVENT, this);
    }
}

void NativeDialogs::Finish(shell::DialogResult result) {
    auto done = std::move(done_);
    done_ = nullptr;
    if (done) done(std::move(result));
}

void NativeDialogs::chooserResponse(GtkNativeDialog* dialog, int response, NativeDialogs* self) {
    shell::DialogResult result;
    if (response == GTK_RESPONSE_ACCEPT) {
        GSList* files = gtk_file_chooser_get_filenames(GTK_FILE_CHOOSER(dialog));
        for (GSList* f = files; f; f = f->next) result.paths.emplace_back(static_cast<char*>(f->data));
        g_slist_free_full(files, g_free);
    }
    g_signal_handlers_disconnect_by_data(dialog, self);
    g_object_unref(dialog);
    self->chooser_ = nullptr;
    self->Finish(std::move(result));
}

void NativeDialogs::messageResponse(GtkDialog* dialog, int response, NativeDialogs* self) {
    shell::DialogResult result;
    result.button = response >= 0 ? response : -1;
    g_signal_handlers_disconnect_by_data(dialog, self);
    DestroyLater(GTK_WIDGET(dialog));
    self->message_ = nullptr;
    self->Finish(std::move(result));
}

}  // namespace vantrel::desktop
