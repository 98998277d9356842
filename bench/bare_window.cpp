// A bare WebKitGTK window that loads one address: the baseline the desktop
// program's start-up is measured against.
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

static gboolean windowDeleted(GtkWidget*, GdkEvent*, gpointer) {
    gtk_main_quit();
    return FALSE;
}

int main(int argc, char** argv) {
    gtk_init(&argc, &argv);
    if (argc < 2) {
        g_printerr("usage: %s URI\n", argv[0]);
        return 2;
    }
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), "bare");
    gtk_window_set_default_size(GTK_WINDOW(window), 696, 480);
    gtk_window_maximize(GTK_WINDOW(window));
    GtkWidget* view = webkit_web_view_new();
    gtk_container_add(GTK_CONTAINER(window), view);
    g_signal_connect(window, "delete-event", G_CALLBACK(windowDeleted), nullptr);
    webkit_web_view_load_uri(WEBKIT_WEB_VIEW(view), argv[1]);
    gtk_widget_show_all(window);
    gtk_main();
    return 0;
}
