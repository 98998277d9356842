// The real program as each application's own: its arguments, cookies and
// storage that last per application, its window class and icon, one instance
// per application, the window's place across runs, the private server, and the
// data folder its pages and scripts write to.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <cstring>

#include "desktop_harness.hpp"

using namespace desktop;
using testkit::read_file;
using testkit::write_file;

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
        {{"a", "b"}, 1, "too many arguments"},
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
        close_app(app, window);
    }
    App app(root);
    app.start_in(folder);
    unsigned long window = app.find_window("/data$");
    ASSERT_NE(window, 0u);
    EXPECT_TRUE(wait_for_file(data + "/visits.txt", "visit;visit;"));
    EXPECT_EQ(read_file(data + "/notes.json"), "[\"changed\"]");
}

}  // namespace
