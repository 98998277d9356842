// The real program as each application's own: its arguments, cookies and
// storage that last per application, its window class and icon, one instance
// per application, the window's place across runs, the private server, and the
// data folder its pages and scripts write to.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <memory>

#include "desktop_harness.hpp"

using namespace desktop;
using testkit::read_file;
using testkit::write_file;
namespace fs = std::filesystem;

namespace {

// The only entry of a folder ("" when there is not exactly one).
std::string only_entry(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* d = opendir(folder.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        closedir(d);
    }
    return names.size() == 1 ? names[0] : "";
}

// Both parts of WM_CLASS, "" when they differ.
std::string window_class(unsigned long window) {
    std::string both = window_property(window, "WM_CLASS");  // res_name", "res_class
    std::size_t split = both.find("\", \"");
    if (split == std::string::npos) return "";
    std::string name = both.substr(0, split), klass = both.substr(split + 4);
    return name == klass ? name : "";
}

struct Geometry {
    int x = -1, y = -1, width = -1, height = -1;
};

Geometry geometry_of(unsigned long window) {
    std::string out = x_tool({"xwininfo", "-id", std::to_string(window)}).out;
    auto field = [&](const char* label) {
        std::size_t at = out.find(label);
        return at == std::string::npos ? -1 : std::atoi(out.c_str() + at + std::strlen(label));
    };
    return {field("Absolute upper-left X:"), field("Absolute upper-left Y:"), field("Width:"), field("Height:")};
}

// The window manager's frame around the window: "left, right, top, bottom".
std::string frame_extents(unsigned long window) {
    std::string out = x_tool({"xprop", "-id", std::to_string(window), "_NET_FRAME_EXTENTS"}).out;
    std::size_t at = out.find(" = ");
    return at == std::string::npos ? "" : trim(out.substr(at + 3));
}

bool is_maximized(unsigned long window) {
    std::string out = x_tool({"xprop", "-id", std::to_string(window), "_NET_WM_STATE"}).out;
    return out.find("_NET_WM_STATE_MAXIMIZED_VERT") != std::string::npos &&
           out.find("_NET_WM_STATE_MAXIMIZED_HORZ") != std::string::npos;
}

// The work area of the (single) screen as "WIDTHxHEIGHT".
std::string work_area_size() {
    std::string out = x_tool({"xprop", "-root", "_NET_WORKAREA"}).out;
    int x, y, width, height;
    std::size_t at = out.find(" = ");
    if (at == std::string::npos || std::sscanf(out.c_str() + at, " = %d, %d, %d, %d", &x, &y, &width, &height) != 4)
        return "";
    return std::to_string(width) + "x" + std::to_string(height);
}

class AppOwn : public ::testing::Test {
protected:
    testkit::TempDir root;
    int port = testkit::free_port();
    std::string home = root / "home";

    std::string url(const std::string& path) { return "http://127.0.0.1:" + std::to_string(port) + path; }

    // An application folder under the test's folder, with its hook scripts.
    std::string make_app(const std::string& name, const std::string& init_more, const std::string& ready_path) {
        std::string folder = root / name;
        write_file(folder + "/onInit.lua", "SetWebserverPort(" + std::to_string(port) +
                                               ")\nSetSitesPath('site')\nSetPHPPath('/usr/bin/php-cgi')\n" + init_more);
        set_ready(folder, ready_path);
        return folder;
    }
    void set_ready(const std::string& folder, const std::string& path) {
        write_file(folder + "/onReady.lua", "NavigateTo('" + url(path) + "')\n");
    }
    // Closes the window as its close control does and waits for exit code 0.
    static void close_app(App& app, unsigned long window) {
        ASSERT_TRUE(send_delete_window(window));
        EXPECT_EQ(app.wait_exit(15s), 0);
    }
    bool wait_for_file(const std::string& path, const std::string& content, std::chrono::milliseconds limit = 20s) {
        return eventually([&] { return testkit::file_exists(path) && read_file(path) == content; }, limit);
    }
};

TEST_F(AppOwn, ArgumentsHelpVersionAndRefusals) {
    struct Case {
        std::vector<std::string> args;
        int code;
        const char* text;
    };
    const Case cases[] = {
        {{"--help"}, 0, "Usage: "},
        {{"--version"}, 0, "vantrel "},
        {{"--bogus"}, 1, "Usage: "},
        {{"--help", "b"}, 1, "too many arguments"},
        {{(root / "no-such-folder")}, 1, "cannot open the application folder"},
    };
    for (const Case& c : cases) {
        App app(root);
        app.args = c.args;
        app.start();
        EXPECT_EQ(app.wait_exit(10s), c.code) << c.args[0];
        EXPECT_NE(app.log().find(c.text), std::string::npos) << app.log();
    }
    App pinned(root);
    pinned.set_env("VANTREL_APP_ID", "9lives.app");
    pinned.start();
    EXPECT_EQ(pinned.wait_exit(10s), 1);
    EXPECT_NE(pinned.log().find("VANTREL_APP_ID"), std::string::npos) << pinned.log();
}

TEST_F(AppOwn, CookiesAndStorageLastPerApplicationAndEachHasItsWindowClass) {
    const std::string report = root / "report.txt";
    const std::string check = "<html><body><script>fetch('/report.php?ls=' + (localStorage.getItem('k') || 'none'));"
                              "</script></body></html>";
    const std::string report_php = "<?php file_put_contents('" + report +
                                   "', 'ls=' . $_GET['ls'] . ';persist=' . ($_COOKIE['persist'] ?? 'none') . "
                                   "';session=' . ($_COOKIE['session'] ?? 'none'));";
    std::string a = make_app("appA", "", "/set.php");
    std::string b = make_app("appB", "", "/check.html");
    for (const std::string& folder : {a, b}) {
        write_file(folder + "/site/check.html", check);
        write_file(folder + "/site/report.php", report_php);
    }
    write_file(a + "/site/set.php",
               "<?php setcookie('persist', 'p1', ['expires' => time() + 86400, 'path' => '/']);"
               "setcookie('session', 's1', ['path' => '/']); ?>"
               "<html><body><script>localStorage.setItem('k', 'v1');"
               "fetch('/report.php?ls=' + localStorage.getItem('k'));</script></body></html>");

    std::string class_a;
    {
        App app(root);
        app.start_in(a, home);
        unsigned long window = app.find_window("^Quor Vantrel$");
        ASSERT_NE(window, 0u);
        ASSERT_TRUE(wait_for_file(report, "ls=v1;persist=p1;session=s1")) << app.log();
        class_a = window_class(window);
        std::this_thread::sleep_for(1500ms);  // local storage is written to disk in the background
        close_app(app, window);
    }
    std::remove(report.c_str());
    set_ready(a, "/check.html");
    {
        App app(root);
        app.start_in(a, home);
        unsigned long window = app.find_window("^Quor Vantrel$");
        ASSERT_NE(window, 0u);
        EXPECT_TRUE(wait_for_file(report, "ls=v1;persist=p1;session=none")) << read_file(report);
        close_app(app, window);
    }
    std::remove(report.c_str());
    {
        App app(root);
        app.start_in(b, home);
        unsigned long window = app.find_window("^Quor Vantrel$");
        ASSERT_NE(window, 0u);
        EXPECT_TRUE(wait_for_file(report, "ls=none;persist=none;session=none")) << read_file(report);
        std::string class_b = window_class(window);
        EXPECT_EQ(class_a.rfind("vantrel.appa.h", 0), 0u) << class_a;
        EXPECT_EQ(class_b.rfind("vantrel.appb.h", 0), 0u) << class_b;
        close_app(app, window);
    }
    // Each application's data lives in a folder named by its id.
    EXPECT_TRUE(testkit::file_exists(home + "/data/vantrel/" + class_a + "/cookies.sqlite"));
}

// A cookie store the engine cannot read is moved aside at start, with a word
// on stderr; the new one keeps the cookies set from then on.
TEST_F(AppOwn, AnUnreadableCookieStoreIsMovedAsideAndCookiesLastAgain) {
    const std::string report = root / "report.txt";
    std::string folder = make_app("crumbs", "", "/set.php");
    write_file(folder + "/site/set.php",
               "<?php setcookie('persist', 'p2', ['expires' => time() + 86400, 'path' => '/']); ?>"
               "<html><body><script>fetch('/report.php');</script></body></html>");
    write_file(folder + "/site/report.php",
               "<?php file_put_contents('" + report + "', 'persist=' . ($_COOKIE['persist'] ?? 'none'));");
    const std::string data = home + "/data/vantrel/vantrel.crumbs";
    write_file(data + "/cookies.sqlite", std::string(3000, 'x'));
    for (const char* page : {"/set.php", "/report.php"}) {
        SCOPED_TRACE(page);
        std::remove(report.c_str());
        set_ready(folder, page);
        App app(root);
        app.set_env("VANTREL_APP_ID", "vantrel.crumbs");
        app.start_in(folder, home);
        unsigned long window = app.find_window("^Quor Vantrel$");
        ASSERT_NE(window, 0u);
        EXPECT_TRUE(wait_for_file(report, "persist=p2")) << read_file(report) << app.log();
        close_app(app, window);
        if (std::string(page) == "/set.php") {
            EXPECT_NE(app.log().find("vantrel: the cookie store " + data + "/cookies.sqlite cannot be read; it was moved to " +
                                     data + "/cookies.sqlite.broken-"),
                      std::string::npos)
                << app.log();
        } else {
            EXPECT_EQ(app.log().find("cookie store"), std::string::npos) << "the new store is sound";
        }
    }
}

TEST_F(AppOwn, ASecondStartPresentsTheFirstWindowAndEnds) {
    SessionBus bus;
    std::string folder = make_app("single", "", "/none.html");
    App first(root);
    first.cwd = folder;
    first.set_env("DBUS_SESSION_BUS_ADDRESS", bus.address());
    first.start();
    unsigned long window = first.find_window("^Quor Vantrel$");
    ASSERT_NE(window, 0u);
    x_tool({"xdotool", "windowunmap", "--sync", std::to_string(window)});
    ASSERT_FALSE(window_visible(window));

    // Started by folder name from somewhere else: the same application.
    testkit::TempDir other;  // its own log; the same home
    App second(other);
    second.home = home;
    second.args = {folder};
    second.cwd = "/";
    second.set_env("DBUS_SESSION_BUS_ADDRESS", bus.address());
    second.start();
    EXPECT_EQ(second.wait_exit(15s), 0) << second.log();
    EXPECT_TRUE(eventually([&] { return window_visible(window); })) << "the first window is shown again";
    EXPECT_EQ(second.log().find("bind"), std::string::npos) << second.log();
    EXPECT_FALSE(first.wait_exit(0ms)) << "the first instance goes on";
}

TEST_F(AppOwn, TheWindowComesBackWhereItWas) {
    std::string folder = make_app("place", "", "/none.html");
    {
        App app(root);
        app.start_in(folder);
        unsigned long window = app.find_window("^Quor Vantrel$");
        ASSERT_NE(window, 0u);
        x_tool({"xdotool", "windowsize", "--sync", std::to_string(window), "640", "400"});
        x_tool({"xdotool", "windowmove", "--sync", std::to_string(window), "100", "120"});
        ASSERT_TRUE(eventually([&] {
            Geometry g = geometry_of(window);
            return g.x == 100 && g.y == 120 && g.width == 640 && g.height == 400;
        }));
        std::this_thread::sleep_for(300ms);  // the window sees its new place
        close_app(app, window);
    }
    App app(root);
    app.start_in(folder);
    unsigned long window = app.find_window("^Quor Vantrel$");
    ASSERT_NE(window, 0u);
    Geometry g = geometry_of(window);
    EXPECT_EQ(g.x, 100);
    EXPECT_EQ(g.y, 120);
    EXPECT_EQ(g.width, 640);
    EXPECT_EQ(g.height, 400);
}

// The place is kept in the window manager's pixels: a run at scale 2 neither
// doubles the window (beyond the screen) nor shrinks it for later runs.
TEST_F(AppOwn, UnderAWindowManagerARunAtScaleTwoKeepsTheSizeOfLaterRuns) {
    WindowManager manager(root / "wm-cache");
    std::string folder = make_app("scaled", "", "/none.html");
    const std::string state = home + "/data/vantrel/vantrel.scaled/window-state";
    write_file(state, "x=100\ny=80\nwidth=900\nheight=600\nmaximized=0\n");
    for (const char* scale : {"2", "1"}) {
        SCOPED_TRACE(scale);
        App app(root);
        app.set_env("VANTREL_APP_ID", "vantrel.scaled");
        app.set_env("GDK_SCALE", scale);
        app.start_in(folder, home);
        unsigned long window = app.find_window("^Quor Vantrel$");
        ASSERT_NE(window, 0u);
        Geometry g;
        EXPECT_TRUE(eventually([&] {
            g = geometry_of(window);
            return g.width == 900 && g.height == 600;
        })) << g.width << "x" << g.height;
        close_app(app, window);
        EXPECT_NE(read_file(state).find("width=900\nheight=600\n"), std::string::npos) << read_file(state);
    }
}

// Under a window manager that maximises, the window is created at the size it
// is shown at, so its page is never drawn at another size first: the work area
// when it starts maximised, else the remembered size and place. Un-maximised
// after a maximised start it goes to the remembered place, not the work area.
TEST_F(AppOwn, UnderAWindowManagerTheWindowIsCreatedAtItsFinalSize) {
    WindowManager manager(root / "wm-cache");
    std::string folder = make_app("final", "", "/none.html");
    const std::string area = work_area_size();
    ASSERT_NE(area, "");
    struct Run {
        const char* name;
        std::string state;  // the window-state file before the start ("" for none)
        std::string created;
        bool maximized;
        Geometry frame;  // the frame's place and the window's size, once un-maximised
    };
    const Run runs[] = {
        {"first start", "", area, true, {242, 183, 696, 480}},
        {"remembered", "x=100\ny=120\nwidth=640\nheight=400\nmaximized=0\n", "640x400", false, {100, 120, 640, 400}},
        {"remembered maximised", "x=100\ny=120\nwidth=640\nheight=400\nmaximized=1\n", area, true,
         {100, 120, 640, 400}},
    };
    for (const Run& run : runs) {
        SCOPED_TRACE(run.name);
        if (!run.state.empty()) {
            std::string id = only_entry(home + "/data/vantrel");
            ASSERT_NE(id, "");
            write_file(home + "/data/vantrel/" + id + "/window-state", run.state);
        }
        CreatedWindows created;
        App app(root);
        app.start_in(folder, home);
        unsigned long window = app.find_window("^Quor Vantrel$");
        ASSERT_NE(window, 0u) << app.log();
        EXPECT_EQ(created.size_of(window), run.created);
        EXPECT_TRUE(eventually([&] { return is_maximized(window) == run.maximized; })) << run.maximized;
        if (run.maximized) {
            ASSERT_TRUE(set_maximized(window, false));
        }
        // The frame's corner is where the window was put; the window inside it has the size.
        EXPECT_TRUE(eventually([&] {
            Geometry g = geometry_of(window);
            int left = 0, right = 0, top = 0, bottom = 0;
            std::sscanf(frame_extents(window).c_str(), "%d, %d, %d, %d", &left, &right, &top, &bottom);
            return !is_maximized(window) && g.x - left == run.frame.x && g.y - top == run.frame.y &&
                   g.width == run.frame.width && g.height == run.frame.height;
        })) << frame_extents(window);
        close_app(app, window);
    }
}

// A pop-up opens at the size window.open asked for, centred over its opener.
TEST_F(AppOwn, UnderAWindowManagerAPopUpOpensCentredOverItsOpener) {
    WindowManager manager(root / "wm-cache");
    std::string folder = make_app("opener", "", "/opener.html");
    write_file(folder + "/site/opener.html",
               "<html><body style='margin:0'><button onclick=\"window.open('/pop.html', 'pop', 'width=400,height=300')\""
               " style='display:block;width:100%;height:100%'>open</button></body></html>");
    write_file(folder + "/site/pop.html", "<html><head><title>Pop</title></head><body></body></html>");
    write_file(home + "/data/vantrel/vantrel.opener/window-state", "x=500\ny=250\nwidth=700\nheight=500\nmaximized=0\n");
    App app(root);
    app.set_env("VANTREL_APP_ID", "vantrel.opener");
    app.start_in(folder, home);
    unsigned long window = app.find_window("^Quor Vantrel$");
    ASSERT_NE(window, 0u);
    std::this_thread::sleep_for(500ms);
    click(window, 350, 250);
    unsigned long popup = app.find_window("^Pop$");
    ASSERT_NE(popup, 0u);
    Geometry opener = geometry_of(window), g;
    EXPECT_TRUE(eventually([&] {
        g = geometry_of(popup);
        return g.width == 400 && g.height == 300;
    })) << g.width << "x" << g.height;
    EXPECT_GE(g.x, opener.x);
    EXPECT_GE(g.y, opener.y);
    EXPECT_LE(g.x + g.width, opener.x + opener.width);
    EXPECT_LE(g.y + g.height, opener.y + opener.height);
    EXPECT_NEAR(g.x + g.width / 2, opener.x + opener.width / 2, 40) << "centred";
    EXPECT_NEAR(g.y + g.height / 2, opener.y + opener.height / 2, 40) << "centred";
    EXPECT_EQ(trim(x_tool({"xprop", "-id", std::to_string(popup), "WM_TRANSIENT_FOR"}).out).find("window id # 0x"),
              std::string("WM_TRANSIENT_FOR(WINDOW): ").size());
}

// The page's first frame comes a moment after the maximised window is shown;
// until then the window shows the view's background colour (white): neither
// what was on the screen before, nor the window's grey, nor the page drawn at
// another size.
TEST_F(AppOwn, UnderAWindowManagerThePageAppearsWithoutAFlash) {
    WindowManager manager(root / "wm-cache");
    std::string folder = make_app("flash", "SetInitialHTML(\"<html><body style='background:#0000ff'></body></html>\")\n", "/");
    write_file(folder + "/onReady.lua", "");
    const unsigned long view = 0xffffff, page = 0x0000ff;
    paint_root(0x00ff00);
    App app(root);
    app.start_in(folder, home);
    std::set<unsigned long> seen = colours_after_map({{200, 300}, {640, 400}, {1100, 650}}, page, 20s);
    EXPECT_TRUE(seen.count(page)) << app.log();
    for (unsigned long colour : seen) EXPECT_TRUE(colour == view || colour == page) << std::hex << "seen: " << colour;
}

TEST_F(AppOwn, APrivateServerShowsItsPagesOnlyInTheWindow) {
    std::string folder = make_app("private", "SetPrivateServer(true)\n", "/page.php");
    const std::string seen = root / "seen.txt";
    const std::string posted = root / "posted.txt";
    // The page posts to its own server as a form would: the Origin check and the token let it through.
    write_file(folder + "/site/page.php", "<?php file_put_contents('" + seen +
                                              "', strlen(getenv('VANTREL_SERVER_TOKEN'))); ?>"
                                              "<html><body style='margin:0;background:#0000ff'><script>"
                                              "fetch('/post.php', {method: 'POST', body: new URLSearchParams('a=42')});"
                                              "</script></body></html>");
    write_file(folder + "/site/post.php", "<?php file_put_contents('" + posted + "', $_POST['a']);");
    App app(root);
    app.start_in(folder);
    unsigned long window = app.find_window("^Quor Vantrel$");
    ASSERT_NE(window, 0u);
    EXPECT_TRUE(wait_for_file(seen, "64")) << app.log();
    EXPECT_TRUE(wait_for_colour(window, 300, 200, 0, 0, 255));
    EXPECT_TRUE(wait_for_file(posted, "42"));
    EXPECT_EQ(testkit::listening_address(port), "127.0.0.1");
    auto curl = testkit::curl({"-s", "-o", "/dev/null", "-w", "%{http_code}", url("/page.php")});
    EXPECT_EQ(curl.out, "403");
    EXPECT_EQ(testkit::http_get(port, "/page.php", "Cookie: vantrel_token=0\r\n").status, 403);
}

TEST_F(AppOwn, TheDataFolderIsSeededOnceAndReachesScriptsAndPages) {
    std::string folder = make_app("notes", "SetListenAddress('0.0.0.0')\nSetTitle(GetDataPath())\n", "/store.php");
    write_file(folder + "/data.seed/notes.json", "[\"seed\"]");
    write_file(folder + "/data.seed/readme.txt", "seed");
    write_file(folder + "/site/store.php",
               "<?php $f = getenv('VANTREL_DATA_DIR') . '/visits.txt'; file_put_contents($f, 'visit;', FILE_APPEND);"
               "echo file_get_contents($f);");
    ASSERT_EQ(testkit::run_command({"convert", "-size", "32x32", "xc:red", folder + "/icon.png"}).exit_code, 0);

    std::string data;
    {
        App app(root);
        app.start_in(folder);
        unsigned long window = app.find_window("/data$");
        ASSERT_NE(window, 0u) << app.log();
        std::string id = only_entry(home + "/data/vantrel");
        data = home + "/data/vantrel/" + id + "/data";
        EXPECT_EQ(window_title(window), data);
        EXPECT_EQ(window_class(window), id);
        EXPECT_NE(x_tool({"xprop", "-id", std::to_string(window), "_NET_WM_ICON"}).out.find("32 x 32"),
                  std::string::npos);
        struct stat st {};
        ASSERT_EQ(stat(data.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        EXPECT_EQ(read_file(data + "/notes.json"), "[\"seed\"]");
        EXPECT_TRUE(wait_for_file(data + "/visits.txt", "visit;")) << app.log();
        EXPECT_EQ(testkit::listening_address(port), "0.0.0.0");
        write_file(data + "/notes.json", "[\"changed\"]");
        std::remove((data + "/readme.txt").c_str());
        close_app(app, window);
    }
    // The next version of the application adds a seed file, and a link that
    // leads out of the seed.
    write_file(folder + "/data.seed/added.json", "[\"added\"]");
    testkit::TempDir elsewhere;
    write_file(elsewhere / "private.txt", "not the application's");
    ASSERT_EQ(symlink((elsewhere / "private.txt").c_str(), (folder + "/data.seed/outside.txt").c_str()), 0);
    App app(root);
    app.start_in(folder);
    unsigned long window = app.find_window("/data$");
    ASSERT_NE(window, 0u) << app.log();
    EXPECT_TRUE(wait_for_file(data + "/visits.txt", "visit;visit;"));
    EXPECT_EQ(read_file(data + "/notes.json"), "[\"changed\"]");
    EXPECT_EQ(read_file(data + "/added.json"), "[\"added\"]");
    EXPECT_FALSE(testkit::file_exists(data + "/readme.txt")) << "removed by the user: not brought back";
    EXPECT_FALSE(testkit::file_exists(data + "/outside.txt"));
    EXPECT_NE(app.log().find("vantrel: data.seed/outside.txt is a link that leads out of data.seed; left out\n"),
              std::string::npos)
        << app.log();
}

// The application's folder, without a port: the window, the page and the
// port it was served on.
class SharedMachine : public AppOwn {
protected:
    std::string make_portless_app(const std::string& name) {
        std::string folder = root / name;
        write_file(folder + "/onInit.lua", "SetTitle('Shared')\nSetSitesPath('site')\n");
        write_file(folder + "/onReady.lua", "NavigateTo('http://127.0.0.1:' .. GetWebserverPort() .. '/port.php')\n");
        // The page reports the port it came from, into the user's data folder.
        write_file(folder + "/site/port.php",
                   "<?php file_put_contents(getenv('VANTREL_DATA_DIR') . '/served-on.txt', $_SERVER['SERVER_PORT']);"
                   " ?><html><body style='margin:0;background:#0000ff'></body></html>");
        return folder;
    }
};

// A user of the machine, made for the test and removed after it, with a home
// folder (holding its XDG folders) of its own.
class TestUser {
public:
    TestUser(const std::string& name, const std::string& home) : name_(name), home_(home) {
        testkit::run_command({"userdel", name_});
        auto made = testkit::run_command({"useradd", "--no-create-home", "--home-dir", home_, "--shell", "/bin/sh", name_});
        if (made.exit_code != 0) throw std::runtime_error("useradd failed: " + made.err);
        std::string id = trim(testkit::run_command({"id", "-u", name_}).out);
        uid_ = static_cast<uid_t>(std::stoul(id));
        gid_ = static_cast<gid_t>(std::stoul(trim(testkit::run_command({"id", "-g", name_}).out)));
        testkit::make_dirs(home_);
        if (chown(home_.c_str(), uid_, gid_) != 0) throw std::runtime_error("chown failed");
    }
    ~TestUser() { testkit::run_command({"userdel", name_}); }
    TestUser(const TestUser&) = delete;
    TestUser& operator=(const TestUser&) = delete;
    // The command line that runs `argv` as this user.
    std::vector<std::string> as(const std::vector<std::string>& argv) const {
        std::vector<std::string> line{"setpriv", "--reuid=" + std::to_string(uid_), "--regid=" + std::to_string(gid_),
                                      "--clear-groups", "--"};
        line.insert(line.end(), argv.begin(), argv.end());
        return line;
    }
    const std::string& home() const { return home_; }
    uid_t uid() const { return uid_; }

private:
    std::string name_, home_;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
};

// Two users of one machine start the same installed application at once:
// each gets a port of its own, keeps it across a restart, and cannot reach the
// other's server (private by default).
TEST_F(SharedMachine, TwoUsersRunTheSameApplicationAtOnceEachPrivatelyOnItsOwnPort) {
    if (geteuid() != 0) GTEST_SKIP() << "making users needs root (CI runs as root)";
    chmod(root.path().c_str(), 0755);
    std::string folder = make_portless_app("shared");
    // The program where every user can run it (the build folder may be private).
    std::string program = root / "bin/vantrel";
    testkit::make_dirs(root / "bin");
    fs::copy_file(testkit::build_dir() + "/vantrel", program);
    chmod(program.c_str(), 0755);
    const std::string tag = std::to_string(getpid() % 100000);
    TestUser ann("vtann" + tag, root / "ann"), bob("vtbob" + tag, root / "bob");
    const TestUser* users[] = {&ann, &bob};

    std::map<const TestUser*, std::string> ports;
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "first start" : "restart");
        std::vector<std::unique_ptr<testkit::TempDir>> logs;
        std::vector<std::unique_ptr<App>> apps;
        for (const TestUser* user : users) {
            logs.push_back(std::make_unique<testkit::TempDir>());
            ASSERT_EQ(chown(logs.back()->path().c_str(), user->uid(), static_cast<gid_t>(-1)), 0);
            auto app = std::make_unique<App>(*logs.back(), "/usr/bin/setpriv");
            app->args = user->as({program, folder});
            app->args.erase(app->args.begin());  // the program's own name
            app->home = user->home();
            app->cwd = "/";
            app->start();
            apps.push_back(std::move(app));
        }
        for (std::size_t i = 0; i < 2; ++i) {
            const TestUser* user = users[i];
            ASSERT_NE(apps[i]->find_window("^Shared$", 30s), 0u) << apps[i]->log();
            std::string id = only_entry(user->home() + "/data/vantrel");
            ASSERT_NE(id, "") << apps[i]->log();
            std::string served = user->home() + "/data/vantrel/" + id + "/data/served-on.txt";
            ASSERT_TRUE(eventually([&] { return testkit::file_exists(served) && !read_file(served).empty(); }, 30s))
                << apps[i]->log();
            EXPECT_EQ(read_file(user->home() + "/data/vantrel/" + id + "/port"), read_file(served) + "\n");
            if (round == 0)
                ports[user] = read_file(served);
            else
                EXPECT_EQ(read_file(served), ports[user]) << "the port stays across a restart";
            std::remove(served.c_str());
        }
        EXPECT_NE(ports[&ann], ports[&bob]);
        // Neither user reaches the other's server, nor does anyone without the window's token.
        for (std::size_t i = 0; i < 2; ++i) {
            const TestUser* other = users[1 - i];
            auto r = testkit::run_command(users[i]->as({"curl", "-s", "-o", "/dev/null", "-w", "%{http_code}",
                                                        "http://127.0.0.1:" + ports[other] + "/port.php"}));
            EXPECT_EQ(r.out, "403") << "as user " << i << " on the other's port";
            EXPECT_EQ(testkit::http_get(std::stoi(ports[other]), "/port.php").status, 403);
        }
        for (auto& app : apps) {
            app->signal(SIGTERM);
            EXPECT_EQ(app->wait_exit(15s), 0) << app->log();
        }
    }
}

// A required PHP extension that php-cgi lacks: the window names it and its
// package instead of showing the application, and the terminal says so too.
TEST_F(SharedMachine, AMissingPhpExtensionShowsAPageNamingItAndItsPackage) {
    std::string modules = testkit::run_command({testkit::kPhpCgi, "-m"}).out;
    std::string lacking, package;
    for (auto [module, deb] : {std::pair{"gd", "php-gd"}, {"intl", "php-intl"}, {"zip", "php-zip"},
                               {"mbstring", "php-mbstring"}, {"pdo_sqlite", "php-sqlite3"}}) {
        if (modules.find(std::string("\n") + module + "\n") == std::string::npos) {
            lacking = module;
            package = deb;
            break;
        }
    }
    ASSERT_NE(lacking, "") << "php-cgi has every extension the test could ask for";
    std::string folder = make_portless_app("needs");
    write_file(folder + "/vantrel-app.conf", "name = needs\nphp_extensions = Core, " + lacking + "\n");
    write_file(folder + "/onReady.lua", "SetTitle('onReady ran')\n");
    App app(root);
    app.start_in(folder);
    unsigned long window = app.find_window("^Shared$");
    ASSERT_NE(window, 0u) << app.log();
    std::string text;
    EXPECT_TRUE(eventually([&] {
        text = page_text(window);
        return text.find("PHP extensions that are not installed") != std::string::npos;
    }, 20s)) << text << app.log();
    EXPECT_NE(text.find(lacking + ": install the Debian package " + package), std::string::npos) << text;
    EXPECT_NE(text.find("sudo apt install " + package), std::string::npos) << text;
    EXPECT_EQ(text.find("Core"), std::string::npos) << "only the missing ones";
    EXPECT_EQ(window_title(window), "Shared") << "onReady.lua did not run";
    EXPECT_NE(app.log().find("vantrel: PHP extension \"" + lacking + "\" is missing: install the Debian package " +
                             package),
              std::string::npos)
        << app.log();
}

// `vantrel --check` without a display: 0 when all is well, 1 with what is wrong.
TEST_F(SharedMachine, CheckRunsWithoutADisplayAndSaysWhatIsWrong) {
    std::string broken_script = make_portless_app("syntax");
    write_file(broken_script + "/onInit.lua", "SetTitle('x')\nlocal y = = 2\n");
    std::string failing_page = make_portless_app("failing");
    write_file(failing_page + "/site/port.php", "<?php http_response_code(500); echo 'broken';");
    std::string empty_page = make_portless_app("empty");
    write_file(empty_page + "/site/port.php", "<?php");
    std::string needs = make_portless_app("needs");
    write_file(needs + "/vantrel-app.conf", "php_extensions = no_such_extension\n");
    struct Case {
        const char* what;
        std::string folder;
        int code;
        std::vector<std::string> said;
    };
    const Case cases[] = {
        {"the demo", testkit::source_dir() + "/demo", 0,
         {"site folder: " + testkit::source_dir() + "/demo/site", "PHP interpreter: /usr/bin/php-cgi",
          "first page: /index.html: 200 OK", "vantrel --check: all is well"}},
        {"no port, page found by GetWebserverPort", make_portless_app("fine"), 0,
         {"first page: /port.php: 200 OK", "vantrel --check: all is well"}},
        {"a syntax error", broken_script, 1, {"problem: script error: onInit.lua:2: unexpected symbol near '='"}},
        {"a first page that answers 500", failing_page, 1,
         {"first page: /port.php: 500", "problem: the first page /port.php answers 500"}},
        {"an empty first page", empty_page, 1, {"problem: the first page /port.php is empty"}},
        {"a missing extension", needs, 1,
         {"PHP extensions required: no_such_extension", "problem: PHP extension \"no_such_extension\" is missing"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testkit::TempDir user;  // a home that must stay empty
        auto r = testkit::run_command({"env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "HOME=" + user.path(),
                                       "XDG_DATA_HOME=" + user / "data", "XDG_CACHE_HOME=" + user / "cache",
                                       testkit::build_dir() + "/vantrel", "--check", c.folder},
                                      "", 60s);
        EXPECT_EQ(r.exit_code, c.code) << r.out << r.err;
        for (const std::string& text : c.said) EXPECT_NE(r.out.find(text), std::string::npos) << text << " in\n" << r.out;
        EXPECT_TRUE(fs::is_empty(user.path())) << "the check changed the user's folders";
    }
}

}  // namespace
