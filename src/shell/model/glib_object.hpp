// An owner for a GObject reference, for the shell's GLib-based parts with or
// without a window: it drops its reference once, when it goes out of scope.
#pragma once

#include <glib-object.h>

#include <memory>

namespace vantrel::shell {

struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
// A reference to a GObject (a JSON parser, an accelerator group, a web view, ...).
template <class T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

}  // namespace vantrel::shell
