// The native interface in the real program, on a session bus of the test's
// own with a notification server and a tray host's watcher: notifications and
// their clicks, the tray and its menu's event: commands, the clipboard, full
// screen, and a later start's arguments reaching the first window's page.
#include <gtest/gtest.h>

#include "desktop_bus.hpp"
#include "desktop_harness.hpp"

using namespace desktop;
using testkit::read_file;
using testkit::write_file;

namespace {

// Every page of the test application writes each "vantrel" event it gets,
// one JSON line each, into events.txt through events.php.
// A page also writes "PATH loaded" once its listener is there.
const char* kListener =
    "<script>function report(text) { fetch('/events.php', {method: 'POST', body: location.pathname + ' ' + text}); }"
    "window.addEventListener('vantrel', function (e) { report(JSON.stringify(e.detail)); });"
    "report('loaded');</script>";

class DesktopNative : public ::testing::Test {
protected:
    testkit::TempDir dir;
    int port = testkit::free_port();
    SessionBus bus;
    DesktopServices services{bus.address()};
    App app{dir};
    std::string events = dir / "events.txt";

    std::string url(const std::string& path) { return "http://127.0.0.1:" + std::to_string(port) + path; }
    void SetUp() override {
        app.set_env("DBUS_SESSION_BUS_ADDRESS", bus.address());
        app.set_env("VANTREL_APP_ID", "vantrel.test.native");
        write_file(dir / "site/events.php",
                   "<?php file_put_contents('" + events + "', file_get_contents('php://input') . \"\\n\", FILE_APPEND);");
        for (const char* page : {"index.html", "second.html"})
            write_file(dir / ("site/" + std::string(page)), std::string("<html><body>") + page + kListener + "</body></html>");
    }
    // onInit.lua with the test's port and site folder, plus more lines; onReady.lua opens index.html.
    void scripts(const std::string& init_more, const std::string& ready_more = "") {
        write_file(dir / "onInit.lua", "SetWebserverPort(" + std::to_string(port) +
                                           ")\nSetSitesPath('site')\nSetPHPPath('/usr/bin/php-cgi')\n" + init_more);
        write_file(dir / "onReady.lua", "NavigateTo('" + url("/index.html") + "')\n" + ready_more);
    }
    unsigned long start_and_load(const std::string& title = "^Quor Vantrel$") {
        app.start();
        unsigned long window = app.find_window(title);
        EXPECT_TRUE(event_seen("/index.html loaded"));
        return window;
    }
    bool event_seen(const std::string& line, std::chrono::milliseconds limit = 15s) {
        return eventually([&] { return read_file(events).find(line + "\n") != std::string::npos; }, limit);
    }
    void TearDown() override {
        if (HasFailure()) std::fprintf(stderr, "--- vantrel output ---\n%s\n", app.log().c_str());
    }
};

TEST_F(DesktopNative, ANotificationReachesTheServiceAndItsClickOpensItsPathWithTheEvent) {
    scripts("", "Notify('Backup done', 'All notes are saved', '/second.html')\n");
    unsigned long window = start_and_load();
    ASSERT_NE(window, 0u);
    ASSERT_TRUE(eventually([&] { return !services.notifications().empty(); })) << app.log();
    DesktopServices::Notification n = services.notifications()[0];
    EXPECT_EQ(n.summary, "Backup done");
    EXPECT_EQ(n.body, "All notes are saved");
    EXPECT_EQ(n.desktop_entry, "vantrel.test.native");
    EXPECT_NE(std::find(n.actions.begin(), n.actions.end(), "default"), n.actions.end());

    x_tool({"xdotool", "windowunmap", "--sync", std::to_string(window)});
    services.invoke(n.id, "default");
    EXPECT_TRUE(event_seen("/second.html {\"type\":\"notification\",\"id\":\"n1\"}")) << read_file(events);
    EXPECT_TRUE(window_visible(window)) << "the click presents the window";
}

TEST_F(DesktopNative, TheTrayRegistersAndItsMenuSendsEventCommandsToThePage) {
    scripts("SetCloseToTray(true)\n");
    write_file(dir / "onBuildTrayMenu.lua", "NewMenu()\nAddMenuItem('miNew', '&New note', '', 'event:new-note')\n"
                                            "AddMenu('mnuTray', 'Notes')\n");
    unsigned long window = start_and_load();
    ASSERT_NE(window, 0u);
    ASSERT_TRUE(eventually([&] { return !services.tray_items().empty(); })) << app.log();
    EXPECT_TRUE(eventually([&] {
        auto labels = services.tray_menu_labels();
        return labels == std::vector<std::string>{"New note", "Show", "Quit"};
    }));
    ASSERT_TRUE(services.click_tray_item("New note"));
    EXPECT_TRUE(event_seen("/index.html {\"type\":\"command\",\"name\":\"new-note\"}")) << read_file(events);

    // Closing hides the window to the tray; Show brings it back, Quit ends the program.
    ASSERT_TRUE(send_delete_window(window));
    EXPECT_TRUE(eventually([&] { return !window_visible(window); }));
    EXPECT_FALSE(app.wait_exit(500ms));
    ASSERT_TRUE(services.click_tray_item("Show"));
    EXPECT_TRUE(eventually([&] { return window_visible(window); }));
    ASSERT_TRUE(services.click_tray_item("Quit"));
    EXPECT_EQ(app.wait_exit(15s), 0);
}

TEST_F(DesktopNative, ClipboardTextAndFullScreenFromScripts) {
    WindowManager manager(dir / "wm-cache");
    scripts("", "SetClipboardText('copied by Vantrel')\nSetFullscreen(true)\n");
    unsigned long window = start_and_load();
    ASSERT_NE(window, 0u);
    EXPECT_TRUE(eventually([&] {
        return x_tool({"xclip", "-o", "-selection", "clipboard"}).out == "copied by Vantrel";
    }));
    EXPECT_TRUE(eventually([&] {
        return x_tool({"xprop", "-id", std::to_string(window), "_NET_WM_STATE"}).out.find("_NET_WM_STATE_FULLSCREEN") !=
               std::string::npos;
    }));
}

TEST_F(DesktopNative, ArgumentsReachTheScriptsAndALaterStartsArgumentsTheFirstPage) {
    testkit::TempDir elsewhere;
    write_file(elsewhere / "notes.txt", "x");
    scripts("local a = GetArguments()\nSetTitle('args ' .. #a .. ' ' .. (a[1] or '') .. ' ' .. (a[2] or ''))\n");
    app.args = {dir.path(), "notes.txt", "--fresh"};
    app.cwd = elsewhere.path();
    unsigned long window = start_and_load("^args 2 " + elsewhere.path() + "/notes.txt --fresh$");
    ASSERT_NE(window, 0u);

    testkit::TempDir other;
    App second(other);
    second.home = dir / "home";
    second.args = {dir.path(), "notes.txt", "notes://open?id=7"};
    second.cwd = elsewhere.path();
    second.set_env("DBUS_SESSION_BUS_ADDRESS", bus.address());
    second.set_env("VANTREL_APP_ID", "vantrel.test.native");
    second.start();
    EXPECT_EQ(second.wait_exit(15s), 0) << second.log();
    EXPECT_TRUE(event_seen("/index.html {\"type\":\"open\",\"arguments\":[\"" + elsewhere.path() +
                           "/notes.txt\",\"notes://open?id=7\"]}"))
        << read_file(events);
    EXPECT_FALSE(app.wait_exit(0ms)) << "the first instance goes on";
}

}  // namespace
