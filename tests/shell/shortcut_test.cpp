// Shortcut texts as menu scripts write them, read into modifiers and a key name.
#include <gtest/gtest.h>

#include "shell/model/Fmain.hpp"

namespace {

using vantrel::shell::ParseShortcut;
using vantrel::shell::Shortcut;

struct Case {
    const char* text;
    Shortcut expected;
};

Shortcut key(const char* name, bool shift = false, bool ctrl = false, bool alt = false) {
    return Shortcut{shift, ctrl, alt, name};
}

TEST(ParseShortcut, ModifiersInAnyOrderAndAnyCase) {
    const Case cases[] = {
        {"Ctrl+P", key("p", false, true)},
        {"ctrl+p", key("p", false, true)},
        {"CTRL+P", key("p", false, true)},
        {"^P", key("p", false, true)},
        {"^p", key("p", false, true)},
        {"Shift+Alt+F12", key("F12", true, false, true)},
        {"alt+shift+f12", key("F12", true, false, true)},
        {"Ctrl+Shift+Alt+Del", key("Delete", true, true, true)},
        {"^Shift+S", key("s", true, true)},
        {"Alt+^X", key("x", false, true, true)},
        {"Shift+Shift+A", key("a", true)},
        {"A", key("a")},
        {"7", key("7")},
        {"Alt+0", key("0", false, false, true)},
    };
    for (const Case& c : cases) EXPECT_EQ(ParseShortcut(c.text), c.expected) << c.text;
}

TEST(ParseShortcut, KnownKeyNamesBecomeToolkitNames) {
    const Case cases[] = {
        {"BkSp", key("BackSpace")}, {"bksp", key("BackSpace")}, {"Tab", key("Tab")},
        {"Esc", key("Escape")},     {"Enter", key("Return")},   {"Space", key("space")},
        {"PgUp", key("Page_Up")},   {"pgdn", key("Page_Down")}, {"End", key("End")},
        {"HOME", key("Home")},      {"Left", key("Left")},      {"Up", key("Up")},
        {"Right", key("Right")},    {"Down", key("Down")},      {"Ins", key("Insert")},
        {"Del", key("Delete")},     {"F1", key("F1")},          {"f5", key("F5")},
        {"F24", key("F24")},        {"Ctrl++", key("plus", false, true)},
        {"Ctrl+-", key("minus", false, true)}, {"/", key("slash")},
    };
    for (const Case& c : cases) EXPECT_EQ(ParseShortcut(c.text), c.expected) << c.text;
}

TEST(ParseShortcut, OtherKeyNamesArePassedOnAsWritten) {
    EXPECT_EQ(ParseShortcut("Ctrl+KP_Add"), key("KP_Add", false, true));
    EXPECT_EQ(ParseShortcut("Menu"), key("Menu"));
    EXPECT_EQ(ParseShortcut("F25"), key("F25"));
}

TEST(ParseShortcut, EmptyOrNonsenseMeansNoShortcut) {
    for (const char* text : {"", "Ctrl+", "^", "Shift+Alt+", "Hello World", "Ctrl+P+Q", "??", "Ctrl+ P",
                             "+-", "\xc3\xa9\xc3\xa9"}) {
        Shortcut s = ParseShortcut(text);
        EXPECT_TRUE(s.empty()) << text;
        EXPECT_EQ(s, Shortcut{}) << text;
    }
}

}  // namespace
