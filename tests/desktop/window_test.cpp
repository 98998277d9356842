// The real desktop program under Xvfb: start-up order and what it shows, the
// menu bar built by scripts, F5 and Ctrl+P, the ways it ends.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <filesystem>

#include "desktop_harness.hpp"

using namespace desktop;
using testkit::read_file;
using testkit::write_file;

namespace {

const char* kBluePage = "<html><body style='margin:0;background:#0000ff'></body></html>";

class DesktopWindow : public ::testing::Test {
protected:
    testkit::TempDir dir;
    int port = testkit::free_port();
    App app{dir};

    void file(const std::string& name, const std::string& content) { write_file(dir / name, content); }
    std::string url(const std::string& path) { return "http://127.0.0.1:" + std::to_string(port) + path; }
    // onInit.lua with the test's port and site folder, plus more lines.
    void on_init(const std::string& more) {
        file("onInit.lua", "SetWebserverPort(" + std::to_string(port) + ")\nSetSitesPath(\"site\")\n" +
                               "SetPHPPath(\"/usr/bin/php-cgi\")\n" + more);
    }
    void TearDown() override {
        if (HasFailure()) std::fprintf(stderr, "--- vantrel output ---\n%s\n", app.log().c_str());
    }
};

TEST_F(DesktopWindow, ShowsTheLoadingPageThenTheServedPageAboveA19PixelStatusBar) {
    on_init("SetTitle('Loading test')\nSetTaskbarTitle('Loading task')\n");
    file("onBuildMainMenu.lua", "NewMenu()\nAddMenuItem('miGo', '&Go', 'Ctrl+G', '" + url("/blue.html") +
                                    "')\nAddMenu('mnuPages', '&Pages')\n");
    file("site/blue.html", kBluePage);
    app.start();

    unsigned long window = app.find_window("^Loading test$");
    ASSERT_NE(window, 0u);
    EXPECT_EQ(window_property(window, "WM_ICON_NAME"), "Loading task");
    // The red "Loading..." strip sits 8 pixels into the page, below the menu bar.
    EXPECT_TRUE(wait_for_colour(window, 100, 40, 255, 0, 0));
    auto before = screenshot(window);
    ASSERT_TRUE(before);
    EXPECT_FALSE(before->is(300, 200, 0, 0, 255));

    // The menu item's command is an address: the browser goes to the server.
    press(window, "ctrl+g");
    ASSERT_TRUE(wait_for_colour(window, 300, 200, 0, 0, 255));
    auto after = screenshot(window);
    ASSERT_TRUE(after);
    int h = after->height;
    EXPECT_TRUE(after->is(300, h - 20, 0, 0, 255)) << "the page ends 19 pixels above the bottom";
    EXPECT_FALSE(after->is(300, h - 19, 0, 0, 255)) << "the status bar is 19 pixels high";
    EXPECT_FALSE(after->is(300, 2, 0, 0, 255)) << "the menu bar is above the page";
    EXPECT_EQ(window_title(window), "Loading test");
}

TEST_F(DesktopWindow, WithoutHookScriptsKeepsTheDefaults) {
    app.start();

    unsigned long window = app.find_window("^Quor Vantrel$");
    ASSERT_NE(window, 0u);
    EXPECT_EQ(window_property(window, "WM_ICON_NAME"), "Vantrel");
    // The loading page starts at the top edge: there is no menu bar.
    EXPECT_TRUE(wait_for_colour(window, 100, 14, 255, 0, 0));
    auto image = screenshot(window);
    ASSERT_TRUE(image);
    EXPECT_TRUE(image->is(100, 2, 255, 255, 255)) << "page margin, not a menu bar";
    // The terminal is told why: no hook scripts, and what is served on which
    // port (the application's own, since no script set one).
    const std::string note = "vantrel: no hook scripts (onInit.lua, onBuildMainMenu.lua, onReady.lua) in \"" +
                             dir.path() + "\": serving \"" + testkit::build_dir() + "\" on port ";
    ASSERT_TRUE(eventually([&] { return app.log().find(note) != std::string::npos; })) << app.log();
    std::string log = app.log();
    int served = std::atoi(log.c_str() + log.find(note) + note.size());
    EXPECT_GE(served, 20000);
    EXPECT_LE(served, 32767);
    // The server listens there, with the program folder as its root, for the window only.
    ASSERT_TRUE(testkit::wait_for_port(served, 10s));
    EXPECT_EQ(testkit::http_get(served, "/vantrel").status, 403);
    app.signal(SIGTERM);
    EXPECT_EQ(app.wait_exit(), 0);
}

// A failing onInit.lua: one stderr line with file and line, and the window comes
// up with the defaults (the script's SetTitle never ran). In developer mode the
// same text is also an "Error" dialog.
TEST_F(DesktopWindow, ScriptErrorsGoToStderrWithFileAndLine) {
    struct Case {
        const char* name;
        std::string script, line;
        bool developer;
    } cases[] = {
        {"syntax", "x = 1\nlocal y = = 2\nSetTitle('never')\n", "onInit.lua:2: unexpected symbol near '='", false},
        {"runtime", "x = 1\nSetSitePath('site')\nSetTitle('never')\n",
         "onInit.lua:2: attempt to call global 'SetSitePath' (a nil value)", false},
        {"developer", "x = 1\nSetSitePath('site')\nSetTitle('never')\n",
         "onInit.lua:2: attempt to call global 'SetSitePath' (a nil value)", true},
    };
    // The port comes from the next script, which runs after the failed one.
    file("onBuildMainMenu.lua", "SetWebserverPort(" + std::to_string(port) + ")\n");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        file("onInit.lua", c.script);
        App run(dir);
        if (c.developer) run.set_env("VANTREL_DEVELOPER", "1");
        run.start();
        if (c.developer) {
            unsigned long dialog = run.find_window("^Error$");
            ASSERT_NE(dialog, 0u);
            press(dialog, "Return");
        }
        unsigned long window = run.find_window("^Quor Vantrel$");
        ASSERT_NE(window, 0u);
        ASSERT_TRUE(testkit::wait_for_port(port));
        if (c.developer) {
            // Developer mode also has the web inspector on F12.
            press(window, "F12");
            EXPECT_NE(run.find_window("^Web Inspector$", 40s), 0u);
        }
        run.signal(SIGTERM);
        EXPECT_EQ(run.wait_exit(), 0);
        std::string log = run.log();
        std::size_t at = log.find(c.line + "\n");
        EXPECT_NE(at, std::string::npos) << log;
        EXPECT_EQ(log.find("onInit.lua:", at + 1), std::string::npos) << "one line only:\n" << log;
    }
}

TEST_F(DesktopWindow, FirstPageGetsTheProgramFolderAsBaseAddress) {
    std::string folder = testkit::build_dir() + "/";
    // The page checks itself while it loads: the base tag first in the head,
    // carrying the program folder, and relative addresses resolving there.
    on_init("SetTitle('Base test')\nSetInitialHTML([[<html><HEAD><script>"
            "var b = document.head.firstElementChild;"
            "var ok = b && b.tagName == 'BASE' && b.getAttribute('href') == '" + folder + "'"
            " && new URL('x.png', document.baseURI).href == 'file://" + folder + "x.png';"
            "document.documentElement.style.background = ok ? '#00ff00' : '#ff00ff';"
            "</script></HEAD><body></body></html>]])\n");
    app.start();
    unsigned long window = app.find_window("^Base test$");
    ASSERT_NE(window, 0u);
    EXPECT_TRUE(wait_for_colour(window, 300, 200, 0, 255, 0));
}

TEST_F(DesktopWindow, TextsThatAreNotUtf8ReachTheWindowMadeValid) {
    // \233 is a Latin-1 "é" (not UTF-8), \195\169 the UTF-8 one.
    on_init("SetTitle('Caf\\233 \\195\\169 end')\nSetTaskbarTitle('Task\\255')\n"
            "SetInitialHTML('<html><head></head><body style=\"background:#00ff00\">caf\\233</body></html>')\n");
    file("onBuildMainMenu.lua", "NewMenu()\nAddMenuItem('miOdd', 'Odd \\200 item', '', '')\nAddMenu('mnuOdd', '&Odd\\250')\n");
    app.start();
    unsigned long window = app.find_window(" end$");
    ASSERT_NE(window, 0u);
    EXPECT_EQ(window_title(window), "Caf\xEF\xBF\xBD \xC3\xA9 end");
    EXPECT_TRUE(wait_for_colour(window, 300, 200, 0, 255, 0)) << "the page is written";
    EXPECT_TRUE(open_menu(app, window, "F10")) << "the menu is drawn with its odd caption";
    app.signal(SIGTERM);
    EXPECT_EQ(app.wait_exit(), 0);
    std::string log = app.log();
    EXPECT_EQ(log.find("UTF-8"), std::string::npos) << log;
    EXPECT_EQ(log.find("CRITICAL"), std::string::npos) << log;
}

TEST_F(DesktopWindow, MenuItemsRunScriptsByShortcutAndClick) {
    on_init("SetTitle('Menu test')\n");
    file("onBuildMainMenu.lua",
         "NewMenu()\n"
         "AddMenuItem('miShortcut', '&Shortcut', 'Ctrl+T', 'lua:shortcut.lua')\n"
         "AddMenuItem('miClick', '&Click', '', 'lua:click.lua')\n"
         "AddMenuItem('miReload', '&Reload title', 'F5', 'lua:f5.lua')\n"
         "AddMenuItem('miMissing', '&Missing', 'ctrl+m', 'lua:missing.lua')\n"
         "AddMenu('mnuFile', '&File')\n");
    file("shortcut.lua", "SetTitle('By shortcut')\nSetTaskbarTitle('Task by shortcut')\n");
    file("click.lua", "SetTitle('By click')\n");
    file("f5.lua", "SetTitle('F5 item')\n");
    app.start();
    unsigned long window = app.find_window("^Menu test$");
    ASSERT_NE(window, 0u);

    press(window, "ctrl+t");
    EXPECT_TRUE(eventually([&] { return window_title(window) == "By shortcut"; }));
    EXPECT_EQ(window_property(window, "WM_ICON_NAME"), "Task by shortcut");

    // Open "File" by its mnemonic, then pick "Click" by its own.
    ASSERT_TRUE(open_menu(app, window, "alt+f"));
    press(window, "c");
    EXPECT_TRUE(eventually([&] { return window_title(window) == "By click"; }));

    // An item's own F5 wins over the refresh action.
    press(window, "F5");
    EXPECT_TRUE(eventually([&] { return window_title(window) == "F5 item"; }));

    // A script file that is not there: the error dialog.
    press(window, "ctrl+m");
    unsigned long dialog = app.find_window("^Error$", 8s);
    ASSERT_NE(dialog, 0u);
    press(dialog, "Return");
    EXPECT_TRUE(eventually([&] { return !window_visible(dialog); }));
    EXPECT_EQ(window_title(window), "F5 item");
}

TEST_F(DesktopWindow, F5ReloadsFromTheServerAndCtrlPShowsThePrintDialog) {
    on_init("SetTitle('Refresh test')\n");
    file("onReady.lua", "NavigateTo('" + url("/count.php") + "')\n");
    file("site/count.php",
         "<?php file_put_contents(__DIR__ . '/count.txt', 'x', FILE_APPEND); ?>\n"
         "<html><body style='margin:0;background:#0000ff'></body></html>\n");
    app.start();
    unsigned long window = app.find_window("^Refresh test$");
    ASSERT_NE(window, 0u);
    auto requests = [&] { return read_file(dir / "site/count.txt").size(); };
    ASSERT_TRUE(eventually([&] { return requests() == 1; }));
    ASSERT_TRUE(wait_for_colour(window, 300, 200, 0, 0, 255));

    press(window, "F5");
    EXPECT_TRUE(eventually([&] { return requests() == 2; }));

    press(window, "ctrl+p");
    unsigned long dialog = app.find_window("^Print$", 10s);
    ASSERT_NE(dialog, 0u);
    press(dialog, "Escape");
    EXPECT_TRUE(eventually([&] { return !window_visible(dialog); }));

    // The window goes on working after the dialog.
    press(window, "F5");
    EXPECT_TRUE(eventually([&] { return requests() == 3; }));
    EXPECT_EQ(requests(), 3u);
}

// The PDF files directly in a folder.
std::vector<std::string> pdf_files(const std::string& folder) {
    std::vector<std::string> found;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error))
        if (entry.path().extension() == ".pdf") found.push_back(entry.path().filename());
    return found;
}

// "Print to File" writes into the user's documents folder (the home folder
// when none is set up), never into the application folder the program runs in.
TEST_F(DesktopWindow, PrintToFileProposesTheDocumentsFolder) {
    on_init("SetTitle('Print test')\n");
    file("onReady.lua", "NavigateTo('" + url("/blue.html") + "')\n");
    file("site/blue.html", kBluePage);
    struct Case {
        const char* name;
        const char* user_dirs;
        std::string folder;
    };
    const Case cases[] = {
        {"documents set up", "XDG_DOCUMENTS_DIR=\"$HOME/Papers\"\n", dir / "home/Papers"},
        {"none set up", "", dir / "home"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        file("home/config/user-dirs.dirs", c.user_dirs);
        testkit::make_dirs(c.folder);
        App run(dir);
        run.start();
        unsigned long window = run.find_window("^Print test$");
        ASSERT_NE(window, 0u);
        ASSERT_TRUE(wait_for_colour(window, 300, 200, 0, 0, 255));
        press(window, "ctrl+p");
        unsigned long dialog = run.find_window("^Print$", 10s);
        ASSERT_NE(dialog, 0u);
        click(dialog, 82, 86);  // "Print to File", the only printer here
        std::this_thread::sleep_for(300ms);
        press(dialog, "Return");
        EXPECT_TRUE(eventually([&] { return pdf_files(c.folder).size() == 1; }, 10s)) << run.log();
        EXPECT_TRUE(pdf_files(dir.path()).empty()) << "nothing in the application folder";
        for (const std::string& name : pdf_files(c.folder)) std::remove((c.folder + "/" + name).c_str());
        for (const std::string& name : pdf_files(dir.path())) std::remove((dir / name).c_str());
        run.signal(SIGTERM);
        EXPECT_EQ(run.wait_exit(), 0);
    }
}

class DesktopExit : public DesktopWindow {};

TEST_F(DesktopExit, CmdExitEndsWithCodeZero) {
    on_init("SetTitle('Exit test')\n");
    file("onBuildMainMenu.lua",
         "NewMenu()\nAddMenuItem('miExit', 'E&xit', 'Ctrl+Q', 'cmd:Exit')\nAddMenu('mnuFile', '&File')\n");
    app.start();
    unsigned long window = app.find_window("^Exit test$");
    ASSERT_NE(window, 0u);
    ASSERT_TRUE(testkit::wait_for_port(port));
    press(window, "ctrl+q");
    EXPECT_EQ(app.wait_exit(), 0);
}

TEST_F(DesktopExit, ClosingTheWindowEndsWithCodeZero) {
    on_init("SetTitle('Close test')\n");
    app.start();
    unsigned long window = app.find_window("^Close test$");
    ASSERT_NE(window, 0u);
    ASSERT_TRUE(testkit::wait_for_port(port));
    ASSERT_TRUE(send_delete_window(window));
    EXPECT_EQ(app.wait_exit(), 0);
    EXPECT_FALSE(testkit::wait_for_port(port, 200ms)) << "the server is gone with the window";
}

// Every process below `pid` (the PHP workers, the browser engine's processes).
std::vector<pid_t> descendants_of(pid_t pid) {
    std::vector<pid_t> all = testkit::children_of(pid);
    for (std::size_t i = 0; i < all.size(); ++i)
        for (pid_t child : testkit::children_of(all[i])) all.push_back(child);
    return all;
}

// A process that has ended, or is only waiting to be reaped.
bool process_gone(pid_t pid) {
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    std::size_t paren = stat.rfind(')');
    return stat.empty() || (paren != std::string::npos && stat.compare(paren + 1, 3, " Z ") == 0);
}

// The window goes, the PHP workers are stopped (a script that ignores SIGTERM
// is killed) and the program ends at once with code 0, leaving no process behind.
TEST_F(DesktopExit, TermAndInterruptSignalsEndWithinASecondLeavingNoProcess) {
    file("site/stubborn.php", "<?php pcntl_signal(SIGTERM, SIG_IGN); touch(__DIR__ . '/running'); sleep(30);");
    for (int number : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(number);
        std::remove((dir / "site/running").c_str());
        App run(dir);
        on_init("SetTitle('Signal test')\n");
        file("onReady.lua", "NavigateTo('" + url("/stubborn.php") + "')\n");
        run.start();
        unsigned long window = run.find_window("^Signal test$");
        ASSERT_NE(window, 0u);
        ASSERT_TRUE(testkit::wait_for_port(port));
        ASSERT_TRUE(eventually([&] { return testkit::file_exists(dir / "site/running"); }));
        std::vector<pid_t> php;
        ASSERT_TRUE(eventually([&] {
            php.clear();
            for (pid_t p : descendants_of(run.pid()))
                if (read_file("/proc/" + std::to_string(p) + "/comm").rfind("php-cgi", 0) == 0) php.push_back(p);
            return php.size() >= 2;  // the workers
        }));
        std::vector<pid_t> below = descendants_of(run.pid());
        // Just after a request the server's poll starts its longest wait.
        testkit::http_get(port, "/hello.php");
        run.signal(number);
        // The window leaves the screen while the stubborn worker is still being stopped.
        bool hidden_first = false;
        eventually([&] {
            hidden_first = !window_visible(window) && !process_gone(run.pid());
            return hidden_first || process_gone(run.pid());
        }, 1s);
        EXPECT_TRUE(hidden_first) << "the window stayed until the program ended";
        EXPECT_EQ(run.wait_exit(1s), 0);
        for (pid_t p : below) EXPECT_TRUE(eventually([&] { return process_gone(p); }, 2s)) << p;
    }
}

TEST_F(DesktopExit, TermSignalEndsTheProgramWhileAMenuOrADialogIsOpen) {
    on_init("SetTitle('Busy exit test')\n");
    file("onBuildMainMenu.lua",
         "NewMenu()\nAddMenuItem('miMissing', '&Missing', 'Ctrl+M', 'lua:missing.lua')\nAddMenu('mnuFile', '&File')\n");
    for (const char* open : {"menu", "error dialog", "print dialog"}) {
        SCOPED_TRACE(open);
        App run(dir);
        run.start();
        unsigned long window = run.find_window("^Busy exit test$");
        ASSERT_NE(window, 0u);
        if (open == std::string("error dialog")) {
            press(window, "ctrl+m");
            ASSERT_NE(run.find_window("^Error$", 8s), 0u);
        } else if (open == std::string("print dialog")) {
            press(window, "ctrl+p");  // run by the browser engine itself
            ASSERT_NE(run.find_window("^Print$", 10s), 0u);
        } else {
            ASSERT_TRUE(open_menu(run, window, "F10"));
        }
        run.signal(SIGTERM);
        EXPECT_EQ(run.wait_exit(), 0);
    }
}

TEST_F(DesktopExit, ServerStartFailureShowsErrorDialogThenEndsWithCodeOne) {
    // Someone else holds the port.
    int holder = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(static_cast<uint16_t>(port));
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(holder, 4), 0);
    on_init("SetTitle('Fatal test')\n");
    app.start();
    unsigned long dialog = app.find_window("^Error$");
    ASSERT_NE(dialog, 0u);
    EXPECT_FALSE(app.wait_exit(300ms)) << "the dialog waits for the user";
    press(dialog, "Return");
    EXPECT_EQ(app.wait_exit(), 1);
    close(holder);
}

}  // namespace
