// The native interface in the real program, on a session bus of the test's
// own with a notification server and a tray host's watcher: notifications and
// their clicks, the tray and its menu's event: commands, the clipboard, full
// screen, dialogs, the PHP library, and a later start's arguments reaching the
// first window's page.
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
    // index.html with the client script, the listener and `script` run once it has loaded.
    void page(const std::string& script) {
        write_file(dir / "site/index.html", std::string("<html><body>index.html<script src='/_vantrel/vantrel.js'></script>") +
                                                kListener + "<script>" + script + "</script></body></html>");
    }
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

TEST_F(DesktopNative, APageSetsAndReadsTheClipboardAndGoesFullScreenThroughTheInterface) {
    WindowManager manager(dir / "wm-cache");
    scripts("AllowNative('clipboard', 'window')\n");
    // The page reports every new text it reads from the clipboard.
    page("vantrel.setClipboardText('set by the page').then(function () { report('set'); });"
         "var last = null; setInterval(function () { vantrel.clipboardText().then(function (r) {"
         "  if (r.text !== last) { last = r.text; report('clipboard ' + JSON.stringify(r.text)); } }); }, 200);"
         "vantrel.setWindow({fullscreen: true}).then(function () { report('fullscreen asked'); });");
    unsigned long window = start_and_load();
    ASSERT_NE(window, 0u);
    ASSERT_TRUE(event_seen("/index.html set")) << read_file(events);
    EXPECT_EQ(x_tool({"xclip", "-o", "-selection", "clipboard"}).out, "set by the page");
    EXPECT_TRUE(event_seen("/index.html clipboard \"set by the page\""));

    // Another program puts text on the clipboard; the page reads it.
    write_file(dir / "clip.txt", "typed elsewhere");
    pid_t xclip = start_daemon({"xclip", "-i", "-quiet", "-selection", "clipboard", dir / "clip.txt"});
    EXPECT_TRUE(event_seen("/index.html clipboard \"typed elsewhere\"")) << read_file(events);
    stop_daemon(xclip);

    EXPECT_TRUE(event_seen("/index.html fullscreen asked"));
    EXPECT_TRUE(eventually([&] {
        return x_tool({"xprop", "-id", std::to_string(window), "_NET_WM_STATE"}).out.find("_NET_WM_STATE_FULLSCREEN") !=
               std::string::npos;
    }));
}

TEST_F(DesktopNative, ASaveDialogAnswersTheTypedPathOrNothingAndTheServerAnswersMeanwhile) {
    scripts("AllowNative('dialog')\nSetPrivateServer(false)\n");
    write_file(dir / "site/token.php", "<?php echo getenv('VANTREL_SERVER_TOKEN');");
    page("vantrel.dialog({kind: 'save', title: 'Export notes', name: 'notes.txt'})"
         ".then(function (r) { report('saved ' + JSON.stringify(r.paths));"
         "  return vantrel.dialog({kind: 'save', title: 'Export again'}); })"
         ".then(function (r) { report('again ' + JSON.stringify(r.paths)); },"
         "      function (e) { report('refused ' + e.message); });");
    start_and_load();
    unsigned long dialog = app.find_window("^Export notes$");
    ASSERT_NE(dialog, 0u) << app.log();

    // While the dialog waits for the user, pages, PHP and other calls are answered.
    const std::string token = testkit::curl({url("/token.php")}).out;
    ASSERT_EQ(token.size(), 64u) << token;
    EXPECT_EQ(testkit::curl({url("/index.html")}).out.substr(0, 10), "<html><bod");
    EXPECT_NE(testkit::curl({"-H", "X-Vantrel-Token: " + token, url("/_vantrel/info")}).out.find("\"ok\":true"),
              std::string::npos);

    const std::string typed = dir / "exported.txt";
    x_tool({"xdotool", "windowfocus", "--sync", std::to_string(dialog)});
    x_tool({"xdotool", "key", "--clearmodifiers", "ctrl+a"});
    x_tool({"xdotool", "type", "--delay", "20", typed});
    x_tool({"xdotool", "key", "Return"});
    EXPECT_TRUE(event_seen("/index.html saved [\"" + typed + "\"]")) << read_file(events);

    unsigned long again = app.find_window("^Export again$");
    ASSERT_NE(again, 0u);
    x_tool({"xdotool", "windowfocus", "--sync", std::to_string(again)});
    x_tool({"xdotool", "key", "Escape"});
    EXPECT_TRUE(event_seen("/index.html again []")) << read_file(events);
}

TEST_F(DesktopNative, ThePHPLibrarysNotifyFromAPageReachesTheBus) {
    scripts("AllowNative('notify')\n", "NavigateTo('" + url("/notify.php") + "')\n");
    write_file(dir / "site/notify.php",
               "<?php require getenv('VANTREL_PHP');\n"
               "$reply = Vantrel\\notify(['title' => 'Saved by PHP', 'body' => 'from notify.php']);\n"
               "file_put_contents('" + events + "', 'notify.php ' . $reply['id'] . \"\\n\", FILE_APPEND);");
    app.start();
    ASSERT_TRUE(eventually([&] { return !services.notifications().empty(); }, 15s)) << app.log();
    EXPECT_EQ(services.notifications()[0].summary, "Saved by PHP");
    EXPECT_EQ(services.notifications()[0].body, "from notify.php");
    EXPECT_TRUE(event_seen("notify.php n1")) << read_file(events) << app.log();
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
