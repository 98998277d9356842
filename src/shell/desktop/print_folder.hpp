// Where "Print to File" proposes to write: the user's documents folder (the
// home folder when none is set up). Left to the toolkit it is the folder the
// program runs in, the application's own, which is read-only once installed.
#pragma once

#include <webkit2/webkit2.h>

namespace vantrel::desktop {

// Gives the operation print settings that name the documents folder, unless
// they name an output file already.
void ProposeDocumentsFolder(WebKitPrintOperation* operation);

// A view's "print" signal (the page's window.print()): the same proposal, then
// the engine's own dialog.
gboolean ViewPrintToDocuments(WebKitWebView* view, WebKitPrintOperation* operation, gpointer);

}  // namespace vantrel::desktop
