// The scripted main menu: the open/add/close cycle, capacities, the building of
// the menu bar and the dispatch of command texts.
#include "shell_fixture.hpp"

namespace shelltest {
namespace {

using MenuModel = ShellTest;

std::vector<std::string> captions(const std::vector<MenuItemModel>& items) {
    std::vector<std::string> out;
    for (const MenuItemModel& item : items) out.push_back(item.caption);
    return out;
}

TEST_F(MenuModel, BuildMainMenuHandsTheScriptedMenusToTheWindow) {
    testkit::write_file(dir / "onBuildMainMenu.lua",
                        "NewMenu()\n"
                        "AddMenuItem('mnuHome', '&Home', 'Ctrl+H', 'http://127.0.0.1/')\n"
                        "AddMenuItem('', 'E&xit', '', 'cmd:Exit')\n"
                        "AddMenu('mnuFile', '&File')\n"
                        "NewMenu()\n"
                        "AddMenuItem('_about2', '&About', 'F1', 'lua:about.lua')\n"
                        "AddMenu('mnuHelp', '&Help')\n");
    ScopedCwd cwd(dir.path());
    BuildMainMenu();
    ASSERT_EQ(window.menu_bars.size(), 1u);
    const std::vector<TopMenuModel>& bar = window.menu_bars[0];
    ASSERT_EQ(bar.size(), 2u);
    EXPECT_EQ(bar[0].name, "mnuFile");
    EXPECT_EQ(bar[0].caption, "&File");
    ASSERT_EQ(bar[0].items.size(), 2u);
    EXPECT_EQ(bar[0].items[0].name, "mnuHome");
    EXPECT_EQ(bar[0].items[0].caption, "&Home");
    EXPECT_EQ(bar[0].items[0].shortcut, (Shortcut{false, true, false, "h"}));
    EXPECT_EQ(bar[0].items[0].command_index, 0);
    EXPECT_EQ(bar[0].items[1].name, "");
    EXPECT_TRUE(bar[0].items[1].shortcut.empty());
    EXPECT_EQ(bar[0].items[1].command_index, 1);
    EXPECT_EQ(bar[1].name, "mnuHelp");
    ASSERT_EQ(bar[1].items.size(), 1u);
    EXPECT_EQ(bar[1].items[0].shortcut.key, "F1");
    EXPECT_EQ(bar[1].items[0].command_index, 2);
    EXPECT_EQ(MenuCommandCount(), 3);
    EXPECT_EQ(MenuCommand(0), "http://127.0.0.1/");
    EXPECT_EQ(MenuCommand(1), "cmd:Exit");
    EXPECT_EQ(MenuCommand(2), "lua:about.lua");
}

TEST_F(MenuModel, NoMenuMeansNoMenuBar) {
    ScopedCwd cwd(dir.path());
    BuildMainMenu();  // no onBuildMainMenu.lua at all
    testkit::write_file(dir / "onBuildMainMenu.lua", "NewMenu() AddMenuItem('a', 'A', '', 'x')\n");
    BuildMainMenu();  // a menu left open is not a top-level menu
    EXPECT_TRUE(window.menu_bars.empty());
}

TEST_F(MenuModel, MenusFromTheInitScriptAreIncluded) {
    run("NewMenu() AddMenuItem('i', 'From init', '', 'x') AddMenu('mnuInit', 'Init')\n", "onInit.lua");
    testkit::write_file(dir / "onBuildMainMenu.lua", "NewMenu() AddMenu('mnuBuild', 'Build')\n");
    ScopedCwd cwd(dir.path());
    BuildMainMenu();
    ASSERT_EQ(window.menu_bars.size(), 1u);
    ASSERT_EQ(window.menu_bars[0].size(), 2u);
    EXPECT_EQ(window.menu_bars[0][0].name, "mnuInit");
    EXPECT_EQ(window.menu_bars[0][1].name, "mnuBuild");
    EXPECT_TRUE(window.menu_bars[0][1].items.empty());  // a top-level menu with no children
}

TEST_F(MenuModel, AddMenuItemWithoutAnOpenMenuIsQuiet) {
    EXPECT_TRUE(completes("AddMenuItem('a', 'A', '', 'cmd:Exit')"));
    EXPECT_TRUE(completes("AddMenuItem()"));  // not even checked
    EXPECT_EQ(MenuCommandCount(), 0);
    EXPECT_FALSE(MenuIsOpen());
}

TEST_F(MenuModel, AddMenuItemChecksAllFourArgumentsBeforeAdding) {
    ASSERT_TRUE(completes("NewMenu()"));
    const char* calls[] = {"AddMenuItem()", "AddMenuItem('a')", "AddMenuItem('a', 'A')",
                           "AddMenuItem('a', 'A', '')", "AddMenuItem(nil, 'A', '', 'x')",
                           "AddMenuItem('a', {}, '', 'x')", "AddMenuItem('a', 'A', true, 'x')",
                           "AddMenuItem('a', 'A', '', nil)"};
    for (const char* call : calls) {
        SCOPED_TRACE(call);
        EXPECT_FALSE(completes(call));
    }
    EXPECT_EQ(MenuCommandCount(), 0);
    EXPECT_TRUE(OpenMenuItems()->empty());
    EXPECT_TRUE(completes("AddMenuItem('_1', 2, 3, 4)"));  // numbers are taken as texts
    ASSERT_EQ(OpenMenuItems()->size(), 1u);
    EXPECT_EQ(OpenMenuItems()->at(0).caption, "2");
    EXPECT_EQ(OpenMenuItems()->at(0).shortcut.key, "3");
    EXPECT_EQ(MenuCommand(0), "4");
}

TEST_F(MenuModel, AddMenuChecksBothArgumentsEvenWithoutAnOpenMenu) {
    EXPECT_FALSE(completes("AddMenu('mnuOnly')"));
    EXPECT_FALSE(completes("AddMenu()"));
    EXPECT_TRUE(completes("AddMenu('mnuOnly', 'Only')"));  // nothing open: nothing happens
    EXPECT_TRUE(MainMenuItems().empty());
    ASSERT_TRUE(completes("NewMenu()"));
    EXPECT_FALSE(completes("AddMenu('mnuOnly')"));
    EXPECT_TRUE(MenuIsOpen());
    EXPECT_TRUE(MainMenuItems().empty());
}

TEST_F(MenuModel, NewMenuTwicePutsEverythingIntoTheFirst) {
    run("NewMenu() AddMenuItem('a', 'A', '', 'x') NewMenu() AddMenuItem('b', 'B', '', 'y') AddMenu('m', 'M')");
    ASSERT_EQ(MainMenuItems().size(), 1u);
    EXPECT_EQ(captions(MainMenuItems()[0].items), (std::vector<std::string>{"A", "B"}));
    EXPECT_FALSE(MenuIsOpen());
}

TEST_F(MenuModel, AnUnclosedMenuKeepsCollectingAndNeverAppears) {
    run("NewMenu() AddMenuItem('a', 'A', '', 'x')", "first.lua");
    run("NewMenu() AddMenuItem('b', 'B', '', 'y')", "second.lua");
    EXPECT_TRUE(MainMenuItems().empty());
    ASSERT_TRUE(OpenMenuItems().has_value());
    EXPECT_EQ(captions(*OpenMenuItems()), (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(MenuCommandCount(), 2);  // the commands are recorded all the same
}

TEST_F(MenuModel, NamesMustBeEmptyOrIdentifiers) {
    ASSERT_TRUE(completes("NewMenu()"));
    for (const char* good : {"''", "'_'", "'mnuFile'", "'a1_b2'", "'_9'"}) {
        SCOPED_TRACE(good);
        EXPECT_TRUE(completes(std::string("AddMenuItem(") + good + ", 'c', '', 'x')"));
    }
    for (const char* bad : {"'1abc'", "'a b'", "'a-b'", "'mnu.File'", "'\xc3\xa9t\xc3\xa9'", "7"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(completes(std::string("AddMenuItem(") + bad + ", 'c', '', 'x')"));
        EXPECT_FALSE(completes(std::string("AddMenu(") + bad + ", 'c')"));
    }
    EXPECT_EQ(OpenMenuItems()->size(), 5u);
    EXPECT_EQ(MenuCommandCount(), 5);
    EXPECT_TRUE(MainMenuItems().empty());
    EXPECT_TRUE(MenuIsOpen());  // the refused AddMenu left the menu open
    run("ok, message = pcall(function() AddMenuItem('no good', 'c', '', 'x') end)");
    EXPECT_EQ(caught_message(), "bad argument #1 to 'AddMenuItem' ('no good' is not a valid component name)");
}

TEST_F(MenuModel, AnEleventhItemIsRefusedQuietly) {
    run("NewMenu()\n"
        "for i = 1, 11 do AddMenuItem('i' .. i, 'Item ' .. i, '', 'cmd' .. i) end\n"
        "after = true\n"
        "AddMenu('m', 'M')\n");
    EXPECT_EQ(global("after"), "true");
    ASSERT_EQ(MainMenuItems().size(), 1u);
    ASSERT_EQ(MainMenuItems()[0].items.size(), 10u);
    EXPECT_EQ(MainMenuItems()[0].items[9].caption, "Item 10");
    EXPECT_EQ(MenuCommandCount(), 10);  // the refused item took no command entry
}

TEST_F(MenuModel, AnEleventhTopLevelMenuIsRefusedQuietly) {
    run("for i = 1, 11 do NewMenu() AddMenuItem('', 'I' .. i, '', 'c' .. i) AddMenu('m' .. i, 'Menu ' .. i) end\n"
        "after = true\n");
    EXPECT_EQ(global("after"), "true");
    ASSERT_EQ(MainMenuItems().size(), 10u);
    EXPECT_EQ(MainMenuItems()[9].caption, "Menu 10");
    EXPECT_TRUE(MenuIsOpen());  // the refused menu is still the open one
}

TEST_F(MenuModel, AHundredAndFirstCommandIsRefusedQuietly) {
    run("for m = 1, 10 do NewMenu()\n"
        "  for i = 1, 10 do AddMenuItem('', m .. '.' .. i, '', 'c' .. (m * 100 + i)) end\n"
        "  AddMenu('', 'M' .. m) end\n"
        "NewMenu() AddMenuItem('', 'one too many', '', 'late') after = true\n");
    EXPECT_EQ(global("after"), "true");
    EXPECT_EQ(MenuCommandCount(), 100);
    EXPECT_EQ(MenuCommand(99), "c1010");
    EXPECT_TRUE(OpenMenuItems()->empty());
}

TEST_F(MenuModel, BuiltInCommandsAreExactAndCaseSensitive) {
    DispatchCommand("cmd:Exit");
    DispatchCommand("cmd:Print");
    DispatchCommand("cmd:Refresh");
    DispatchCommand("cmd:Find");
    EXPECT_EQ(window.calls, (std::vector<std::string>{"close", "print", "refresh", "find"}));
    window.calls.clear();
    for (const char* nothing : {"cmd:exit", "cmd:EXIT", "cmd:Exit ", "cmd:", "cmd:Other", "cmd:find"}) {
        DispatchCommand(nothing);
    }
    EXPECT_TRUE(window.calls.empty());
    DispatchCommand("CMD:Exit");  // not "cmd:", so it is an address
    DispatchCommand("");
    DispatchCommand("http://127.0.0.1:8080/");
    EXPECT_EQ(window.navigations, (std::vector<std::string>{"CMD:Exit", "", "http://127.0.0.1:8080/"}));
}

TEST_F(MenuModel, LuaCommandsRunFilesAndReportWhatIsNoFile) {
    testkit::write_file(dir / "scripts/count.lua", "clicks = (clicks or 0) + 1\n");
    testkit::make_dirs(dir / "folder.lua");
    ScopedCwd cwd(dir.path());
    DispatchCommand("lua:scripts/count.lua");  // relative to the working directory
    DispatchCommand("lua:" + (dir / "scripts/count.lua"));
    EXPECT_EQ(global("clicks"), "2");
    DispatchCommand("lua:");
    DispatchCommand("lua:folder.lua");
    DispatchCommand("lua:missing.lua");
    DispatchCommand("lua: scripts/count.lua");
    EXPECT_EQ(window.errors, (std::vector<std::string>{"File  not found.", "File folder.lua not found.",
                                                       "File missing.lua not found.",
                                                       "File  scripts/count.lua not found."}));
    EXPECT_EQ(global("clicks"), "2");
}

TEST_F(MenuModel, ClickingDispatchesTheItemsCommand) {
    testkit::write_file(dir / "click.lua", "clicks = (clicks or 0) + 1\n");
    ScopedCwd cwd(dir.path());
    run("NewMenu()\n"
        "AddMenuItem('', 'Exit', '', 'cmd:Exit')\n"
        "AddMenuItem('', 'Run', '', 'lua:click.lua')\n"
        "AddMenuItem('', 'Go', '', 'http://127.0.0.1/page')\n"
        "AddMenu('m', 'M')\n");
    MenuItemClick(1);
    MenuItemClick(1);  // the same item twice: twice in the same state
    EXPECT_EQ(global("clicks"), "2");
    MenuItemClick(2);
    MenuItemClick(0);
    EXPECT_EQ(window.calls, (std::vector<std::string>{"navigate", "close"}));
    MenuItemClick(3);
    MenuItemClick(-1);
    MenuItemClick(100);
    EXPECT_EQ(window.calls.size(), 2u);
}

TEST_F(MenuModel, ClickingWithNoCommandsDoesNothing) {
    MenuItemClick(0);
    EXPECT_TRUE(window.calls.empty());
}

TEST_F(MenuModel, AMenuScriptMayAddMenusThatNeverAppear) {
    testkit::write_file(dir / "onBuildMainMenu.lua", "NewMenu() AddMenuItem('', 'Add', '', 'lua:more.lua') AddMenu('m', 'M')\n");
    testkit::write_file(dir / "more.lua", "NewMenu() AddMenuItem('', 'Late', '', 'late') AddMenu('late', 'Late')\n");
    ScopedCwd cwd(dir.path());
    BuildMainMenu();
    MenuItemClick(0);
    EXPECT_EQ(MenuCommandCount(), 2);
    EXPECT_EQ(MainMenuItems().size(), 2u);
    EXPECT_EQ(window.menu_bars.size(), 1u);
    EXPECT_EQ(window.menu_bars[0].size(), 1u);
}

TEST_F(MenuModel, RefreshAndPrintActionsAskTheBrowser) {
    actRefreshExecute();
    actPrintExecute();
    EXPECT_EQ(window.refreshes, 1);
    EXPECT_EQ(window.prints, 1);
    SetMainWindow(nullptr);
    actRefreshExecute();
    actPrintExecute();
    DispatchCommand("cmd:Exit");
    DispatchCommand("lua:missing");
    EXPECT_EQ(window.calls.size(), 2u);
}

}  // namespace
}  // namespace shelltest
