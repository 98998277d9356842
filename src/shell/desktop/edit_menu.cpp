#include "edit_menu.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "shown_text_log.hpp"

namespace vantrel::desktop {

namespace {

bool IsSpelling(WebKitContextMenuAction action) {
    return action == WEBKIT_CONTEXT_MENU_ACTION_SPELLING_GUESS || action == WEBKIT_CONTEXT_MENU_ACTION_NO_GUESSES_FOUND ||
           action == WEBKIT_CONTEXT_MENU_ACTION_IGNORE_SPELLING || action == WEBKIT_CONTEXT_MENU_ACTION_LEARN_SPELLING;
}

// The engine's own item for `action` (it knows whether the action applies
// here, and carries it out), or a new one.
WebKitContextMenuItem* StockItem(const std::vector<WebKitContextMenuItem*>& engine, WebKitContextMenuAction action) {
    for (WebKitContextMenuItem* item : engine)
        if (webkit_context_menu_item_get_stock_action(item) == action)
            return WEBKIT_CONTEXT_MENU_ITEM(g_object_ref(item));
    return webkit_context_menu_item_new_from_stock_action(action);
}

// Undo and Redo are no stock actions of the engine: they run its editing
// commands on the view.
WebKitContextMenuItem* EditingCommandItem(WebKitWebView* view, const char* name, const char* label,
                                          const char* command) {
    GSimpleAction* action = g_simple_action_new(name, nullptr);
    g_object_set_data_full(G_OBJECT(action), "vantrel-view", g_object_ref(view), g_object_unref);
    g_signal_connect(action, "activate", G_CALLBACK(+[](GSimpleAction* self, GVariant*, gpointer name_of_command) {
                         auto* v = static_cast<WebKitWebView*>(g_object_get_data(G_OBJECT(self), "vantrel-view"));
                         webkit_web_view_execute_editing_command(v, static_cast<const char*>(name_of_command));
                     }),
                     const_cast<char*>(command));
    WebKitContextMenuItem* item = webkit_context_menu_item_new_from_gaction(G_ACTION(action), label, nullptr);
    g_object_unref(action);
    return item;
}

// Test hook: the menu's item labels, without access-key marks.
void LogItems(WebKitContextMenu* menu) {
    std::string labels;
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    for (GList* l = webkit_context_menu_get_items(menu); l; l = l->next) {
        auto* item = WEBKIT_CONTEXT_MENU_ITEM(l->data);
        if (webkit_context_menu_item_is_separator(item)) continue;
        GtkAction* action = webkit_context_menu_item_get_action(item);
        const char* label = action ? gtk_action_get_label(action) : nullptr;
        if (!labels.empty()) labels += ", ";
        for (const char* c = label ? label : "?"; *c; ++c)
            if (*c != '_') labels += *c;
    }
    G_GNUC_END_IGNORE_DEPRECATIONS
    LogShownText("Menu: " + labels);
}

}  // namespace

bool ShapeEditMenu(WebKitWebView* view, WebKitContextMenu* menu, WebKitHitTestResult* hit) {
    const bool editable = hit && webkit_hit_test_result_context_is_editable(hit);
    const bool selection = hit && webkit_hit_test_result_context_is_selection(hit);
    if (!editable && !selection) return false;

    std::vector<WebKitContextMenuItem*> engine;  // referenced until the menu is rebuilt
    for (GList* l = webkit_context_menu_get_items(menu); l; l = l->next)
        engine.push_back(WEBKIT_CONTEXT_MENU_ITEM(g_object_ref(l->data)));
    webkit_context_menu_remove_all(menu);

    auto add = [menu](WebKitContextMenuItem* item) { webkit_context_menu_append(menu, item); };
    auto separate = [menu, add] {
        if (webkit_context_menu_get_n_items(menu) > 0) add(webkit_context_menu_item_new_separator());
    };
    // Suggestions for the misspelt word first, as the engine offers them.
    for (WebKitContextMenuItem* item : engine)
        if (IsSpelling(webkit_context_menu_item_get_stock_action(item))) add(item);
    if (editable) {
        separate();
        add(EditingCommandItem(view, "undo", "_Undo", WEBKIT_EDITING_COMMAND_UNDO));
        add(EditingCommandItem(view, "redo", "_Redo", WEBKIT_EDITING_COMMAND_REDO));
        separate();
        add(StockItem(engine, WEBKIT_CONTEXT_MENU_ACTION_CUT));
        add(StockItem(engine, WEBKIT_CONTEXT_MENU_ACTION_COPY));
        add(StockItem(engine, WEBKIT_CONTEXT_MENU_ACTION_PASTE));
        add(StockItem(engine, WEBKIT_CONTEXT_MENU_ACTION_DELETE));
    } else {
        add(StockItem(engine, WEBKIT_CONTEXT_MENU_ACTION_COPY));
    }
    separate();
    add(StockItem(engine, WEBKIT_CONTEXT_MENU_ACTION_SELECT_ALL));
    for (WebKitContextMenuItem* item : engine) g_object_unref(item);
    LogItems(menu);
    return true;
}

gboolean EditOnlyContextMenu(WebKitWebView* view, WebKitContextMenu* menu, GdkEvent*, WebKitHitTestResult* hit,
                             gpointer) {
    return !ShapeEditMenu(view, menu, hit);  // TRUE: handled, no menu
}

void EnableSpellChecking(WebKitWebContext* context) {
    std::vector<std::string> languages;
    for (const char* const* name = g_get_language_names(); *name; ++name) {
        std::string language = *name;
        // "de_DE" and "de"; not "de_DE.UTF-8", "ca_ES@valencia", "C" or "POSIX".
        if (language.find_first_of(".@") != std::string::npos || language == "C" || language == "POSIX") continue;
        if (std::find(languages.begin(), languages.end(), language) == languages.end()) languages.push_back(language);
    }
    if (languages.empty()) languages.push_back("en_US");
    std::vector<const char*> list;
    for (const std::string& language : languages) list.push_back(language.c_str());
    list.push_back(nullptr);
    webkit_web_context_set_spell_checking_languages(context, list.data());
    webkit_web_context_set_spell_checking_enabled(context, TRUE);
}

}  // namespace vantrel::desktop
