// The only context menu the application's pages get: an edit menu where the
// user edits text (a field, an editable element) or has selected some. It
// holds Undo, Redo, Cut, Copy, Paste, Delete and Select All, with the spelling
// engine's suggestions first when the word under the pointer is misspelt.
// Everywhere else there is no context menu.
#pragma once

#include <webkit2/webkit2.h>

namespace vantrel::desktop {

// Turns the engine's menu into the edit menu. True when it is to be shown
// (an editable spot or a selection); false when the page gets no menu.
bool ShapeEditMenu(WebKitWebView* view, WebKitContextMenu* menu, WebKitHitTestResult* hit);

// A "context-menu" handler for views without a UI handler of their own (the
// pop-ups): the edit menu where it applies, nothing elsewhere.
gboolean EditOnlyContextMenu(WebKitWebView* view, WebKitContextMenu* menu, GdkEvent*, WebKitHitTestResult* hit,
                             gpointer);

// Spell checking on, in the user's languages (from the locale; English when the
// locale names none).
void EnableSpellChecking(WebKitWebContext* context);

}  // namespace vantrel::desktop
