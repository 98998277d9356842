// Owners for the GLib and GTK handles the desktop side keeps: each releases its
// handle the way that handle must be released, once, when it goes out of scope.
#pragma once

#include <gtk/gtk.h>

#include <memory>
#include <utility>

#include "shell/model/glib_object.hpp"

namespace vantrel::desktop {

using shell::GObjectPtr;

struct TopLevelDestroy {
    void operator()(GtkWidget* widget) const { gtk_widget_destroy(widget); }
};
// A top-level window: the toolkit holds it until it is destroyed, which also
// destroys the widgets packed into it.
using TopLevelPtr = std::unique_ptr<GtkWidget, TopLevelDestroy>;

struct MainLoopUnref {
    void operator()(GMainLoop* loop) const { g_main_loop_unref(loop); }
};
using MainLoopPtr = std::unique_ptr<GMainLoop, MainLoopUnref>;

// A main-loop source (idle, timeout) that is removed unless it has run.
class SourceId {
public:
    SourceId() = default;
    ~SourceId() { reset(); }
    SourceId(const SourceId&) = delete;
    SourceId& operator=(const SourceId&) = delete;

    // Takes over `id` (0 for none), removing the source held before.
    void reset(guint id = 0) {
        if (id_) g_source_remove(id_);
        id_ = id;
    }
    // Forgets the source without removing it: call from the source's own callback
    // when it returns G_SOURCE_REMOVE.
    void release() { id_ = 0; }
    explicit operator bool() const { return id_ != 0; }

private:
    guint id_ = 0;
};

}  // namespace vantrel::desktop
