#include "print_folder.hpp"

#include <string>

#include "gtk_owner.hpp"

namespace vantrel::desktop {

namespace {

std::string documents_folder() {
    const char* folder = g_get_user_special_dir(G_USER_DIRECTORY_DOCUMENTS);
    if (!folder || !g_file_test(folder, G_FILE_TEST_IS_DIR)) folder = g_get_home_dir();
    return folder;
}

std::string file_uri(const std::string& path) {
    char* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
    std::string out = uri ? uri : "";
    g_free(uri);
    return out;
}

}  // namespace

void ProposeDocumentsFolder(WebKitPrintOperation* operation) {
    GtkPrintSettings* current = webkit_print_operation_get_print_settings(operation);
    if (current && gtk_print_settings_get(current, GTK_PRINT_SETTINGS_OUTPUT_URI)) return;
    GObjectPtr<GtkPrintSettings> settings(current ? gtk_print_settings_copy(current) : gtk_print_settings_new());
    std::string folder = documents_folder();
    const char* basename = gtk_print_settings_get(settings.get(), GTK_PRINT_SETTINGS_OUTPUT_BASENAME);
    std::string name = std::string(basename && *basename ? basename : "output") + ".pdf";
    gtk_print_settings_set(settings.get(), GTK_PRINT_SETTINGS_OUTPUT_DIR, file_uri(folder).c_str());
    gtk_print_settings_set(settings.get(), GTK_PRINT_SETTINGS_OUTPUT_URI,
                           file_uri(folder + G_DIR_SEPARATOR_S + name).c_str());
    webkit_print_operation_set_print_settings(operation, settings.get());
}

gboolean ViewPrintToDocuments(WebKitWebView*, WebKitPrintOperation* operation, gpointer) {
    ProposeDocumentsFolder(operation);
    return FALSE;
}

}  // namespace vantrel::desktop
