// What the embedded browser does for the web application in the real window:
// downloads saved where the user says, file inputs, no context menu, links that
// ask for a new window.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <regex>

#include "desktop_harness.hpp"

using namespace desktop;
using testkit::read_file;
using testkit::write_file;

namespace {

class DesktopBrowser : public ::testing::Test {
protected:
    testkit::TempDir dir;
    int port = testkit::free_port();
    App app{dir};

    void file(const std::string& name, const std::string& content) { write_file(dir / name, content); }

    // Starts the program showing `page` of the site; returns the main window.
    unsigned long open(const std::string& page) { return open_in(app, page); }
    // The same with `run`, and more lines for onInit.lua.
    unsigned long open_in(App& run, const std::string& page, const std::string& more_init = "") {
        file("onInit.lua", "SetWebserverPort(" + std::to_string(port) +
                               ")\nSetSitesPath('site')\nSetPHPPath('/usr/bin/php-cgi')\nSetTitle('Browser test')\n" +
                               more_init);
        file("onReady.lua", "NavigateTo('127.0.0.1:" + std::to_string(port) + "/" + page + "')\n");
        run.start();
        return run.find_window("^Browser test$");
    }

    // Answers a file chooser with a full path: `select_keys` selects the name
    // field (save) or opens the location field (open). A dialog still open
    // after Return (keys typed before it was ready) is answered again.
    bool choose(unsigned long dialog, const std::string& path, const std::string& select_keys) {
        for (int attempt = 0; attempt < 3; ++attempt) {
            std::this_thread::sleep_for(300ms);
            press(dialog, select_keys);
            type_text(dialog, path);
            std::this_thread::sleep_for(300ms);
            press(dialog, "Return");
            if (eventually([&] { return !window_visible(dialog); }, 3s)) return true;
        }
        return false;
    }

    static std::string binary_bytes(std::size_t n) {
        std::string bytes;
        for (std::size_t i = 0; i < n; ++i) bytes += static_cast<char>((i * 7 + i / 256) & 0xFF);
        return bytes;
    }

    void TearDown() override {
        if (HasFailure()) std::fprintf(stderr, "--- vantrel output ---\n%s\n", app.log().c_str());
    }
};

TEST_F(DesktopBrowser, DownloadsAskWhereToSaveAndSaveTheBytes) {
    std::string data = binary_bytes(5000);
    file("site/data.bin", data);
    file("site/report.php",
         "<?php header('Content-Type: text/plain'); header('Content-Disposition: attachment; filename=report.txt');"
         " echo \"line one\\nline two\\n\";\n");
    // Left half: a file the browser cannot show; right half: an attachment.
    file("site/links.html",
         "<html><body style='margin:0'>"
         "<a href='data.bin' style='position:fixed;left:0;top:0;width:50%;height:100%;background:#00ff00'>bin</a>"
         "<a href='report.php' style='position:fixed;right:0;top:0;width:50%;height:100%;background:#0000ff'>txt</a>"
         "</body></html>");
    unsigned long window = open("links.html");
    ASSERT_NE(window, 0u);
    ASSERT_TRUE(wait_for_colour(window, 100, 200, 0, 255, 0));

    click(window, 100, 200);
    unsigned long dialog = app.find_window("^Save File$", 10s);
    ASSERT_NE(dialog, 0u);
    ASSERT_TRUE(choose(dialog, dir / "saved.bin", "ctrl+a"));
    EXPECT_TRUE(eventually([&] { return read_file(dir / "saved.bin") == data; }));

    click(window, 600, 200);
    dialog = app.find_window("^Save File$", 10s);
    ASSERT_NE(dialog, 0u);
    ASSERT_TRUE(choose(dialog, dir / "report.txt", "ctrl+a"));
    EXPECT_TRUE(eventually([&] { return read_file(dir / "report.txt") == "line one\nline two\n"; }));
    // The page stays where it was; the status bar says where the bytes went,
    // and the file chooser left no toolkit complaint behind.
    EXPECT_TRUE(wait_for_colour(window, 100, 200, 0, 255, 0));
    EXPECT_TRUE(app.status_shows("Saved " + dir / "saved.bin")) << app.status_texts();
    EXPECT_TRUE(app.status_shows("Saved " + dir / "report.txt")) << app.status_texts();
    EXPECT_EQ(app.log().find("CRITICAL"), std::string::npos) << app.log();
}

TEST_F(DesktopBrowser, FileInputOpensAChooserAndTheChosenFileIsUploaded) {
    std::string data = binary_bytes(3000);
    file("upload-me.bin", data);
    file("site/form.html",
         "<html><body style='margin:0'><form method='post' enctype='multipart/form-data' action='upload.php'>"
         "<input type='file' name='f' onchange='this.form.submit()'"
         " style='display:block;width:100%;height:400px;background:#ffff00'></form></body></html>");
    file("site/upload.php",
         "<?php $ok = isset($_FILES['f']) && move_uploaded_file($_FILES['f']['tmp_name'], __DIR__ . '/got.bin');\n"
         "echo $ok ? \"<body style='background:#0000ff'>stored</body>\" : '<body>failed</body>';\n");
    unsigned long window = open("form.html");
    ASSERT_NE(window, 0u);
    ASSERT_TRUE(wait_for_colour(window, 300, 200, 255, 255, 0));

    click(window, 300, 200);
    unsigned long dialog = app.find_window("^Select File$", 10s);
    ASSERT_NE(dialog, 0u);
    ASSERT_TRUE(choose(dialog, dir / "upload-me.bin", "ctrl+l ctrl+a"));
    EXPECT_TRUE(wait_for_colour(window, 300, 200, 0, 0, 255));
    EXPECT_EQ(read_file(dir / "site/got.bin"), data);
}

TEST_F(DesktopBrowser, RightClickOpensNoContextMenu) {
    file("site/blue.html", "<html><body style='margin:0;background:#0000ff'>some text</body></html>");
    unsigned long window = open("blue.html");
    ASSERT_NE(window, 0u);
    ASSERT_TRUE(wait_for_colour(window, 300, 200, 0, 0, 255));
    int before = app.visible_windows();
    click(window, 300, 200, 3);
    EXPECT_FALSE(eventually([&] { return app.visible_windows() > before; }, 1s)) << "no menu window appears";
    // A menu would be drawn below and right of the pointer, over the page.
    auto image = screenshot(window);
    ASSERT_TRUE(image);
    for (int dy : {10, 30, 60})
        for (int dx : {10, 40, 80}) EXPECT_TRUE(image->is(300 + dx, 200 + dy, 0, 0, 255)) << dx << "," << dy;
}

// A right-click in a text field shows the edit menu (with the spelling
// engine's suggestions on a misspelt word), and its Paste pastes what Ctrl+C
// copied; on selected text of the page it offers Copy. (The page background
// gets no menu: above.)
TEST_F(DesktopBrowser, RightClickInATextFieldShowsTheEditMenu) {
    file("site/edit.html",
         "<html><body style='margin:0;background:#0000ff'>"
         "<textarea id='t' spellcheck='true' style='display:block;width:100%;height:200px;font-size:30px'></textarea>"
         "<p id='p' style='font-size:30px;color:#ffffff'>plain words</p><script>"
         "document.getElementById('t').oninput = function () {"
         "  if (this.value == 'word word') document.body.style.background = '#00ff00'; };"
         "</script></body></html>");
    unsigned long window = open("edit.html");
    ASSERT_NE(window, 0u);
    ASSERT_TRUE(wait_for_colour(window, 300, 440, 0, 0, 255));
    click(window, 300, 100);
    type_text(window, "word");
    press(window, "ctrl+a ctrl+c End space");
    int before = app.visible_windows();
    click(window, 300, 100, 3);
    ASSERT_TRUE(eventually([&] { return app.visible_windows() > before; }, 5s)) << "a menu appears";
    EXPECT_TRUE(app.status_shows("Menu: Undo, Redo, Cut, Copy, Paste, Delete, Select All")) << app.status_texts();
    x_tool({"xdotool", "key", "p"});  // Paste, by its access key
    EXPECT_TRUE(wait_for_colour(window, 300, 440, 0, 255, 0)) << "pasted";

    // A misspelt word: the suggestions come first.
    press(window, "ctrl+a");
    type_text(window, "helo ");
    std::this_thread::sleep_for(500ms);  // the spelling engine marks the word
    before = app.visible_windows();
    click(window, 30, 20, 3);
    ASSERT_TRUE(eventually([&] { return app.visible_windows() > before; }, 5s));
    EXPECT_TRUE(app.status_shows("Menu: hello")) << app.status_texts();
    press(window, "Escape");

    // Selected text of the page: Copy and Select All only.
    x_tool({"xdotool", "mousemove", "--window", std::to_string(window), "5", "240", "mousedown", "1", "mousemove",
            "--window", std::to_string(window), "200", "240", "mouseup", "1"});
    before = app.visible_windows();
    click(window, 60, 240, 3);
    ASSERT_TRUE(eventually([&] { return app.visible_windows() > before; }, 5s));
    EXPECT_TRUE(app.status_shows("Menu: Copy, Select All")) << app.status_texts();
}

// window.open of the own origin: a second window whose script reaches
// window.opener (it paints the opener green and names itself after it).
TEST_F(DesktopBrowser, PopUpsOfTheOwnOriginOpenInASecondWindowWithTheirOpener) {
    file("site/editor.html",
         "<html><body style='margin:0;background:#0000ff'>"
         "<button onclick=\"window.open('media.html', 'media', 'width=400,height=300')\""
         " style='display:block;width:100%;height:400px'>media</button></body></html>");
    file("site/media.html",
         "<html><head><script>document.title = 'Media of ' + window.opener.location.pathname;"
         "window.opener.document.body.innerHTML = '';"
         "window.opener.document.body.style.background = '#00ff00';</script></head><body>media</body></html>");
    unsigned long window = open("editor.html");
    ASSERT_NE(window, 0u);
    ASSERT_TRUE(wait_for_colour(window, 300, 440, 0, 0, 255));
    click(window, 300, 200);
    unsigned long popup = app.find_window("^Media of /editor.html$");
    ASSERT_NE(popup, 0u);
    EXPECT_NE(popup, window);
    EXPECT_TRUE(wait_for_colour(window, 300, 440, 0, 255, 0));
    // Its close button closes only the pop-up.
    ASSERT_TRUE(send_delete_window(popup));
    EXPECT_TRUE(eventually([&] { return !window_visible(popup); }));
    EXPECT_FALSE(app.wait_exit(500ms));
}

// The editor and its media pop-up: the pop-up's window.close() closes the
// pop-up only; closing the main window with the pop-up open asks, and Stay
// keeps both windows and the unsaved text.
TEST_F(DesktopBrowser, APopUpsWindowCloseClosesOnlyThePopUpAndClosingTheMainWindowAsks) {
    file("site/opener.html",
         "<html><body style='margin:0;background:#0000ff'>"
         "<textarea id='t' style='display:block;width:100%;height:200px'></textarea>"
         "<button onclick=\"window.open('/popup.html', 'pop', 'width=400,height=300')\""
         " style='display:block;width:100%;height:200px'>media</button>"
         "<script>window.addEventListener('beforeunload', function (e) { e.preventDefault(); e.returnValue = ''; });"
         "document.getElementById('t').oninput = function () {"
         "  document.body.style.background = this.value == 'draft' ? '#00ff00' : '#0000ff'; };"
         "</script></body></html>");
    file("site/popup.html",
         "<html><head><title>Media</title></head><body style='margin:0'>"
         "<textarea style='display:block;width:100%;height:100px'></textarea>"
         "<button onclick='window.close()' style='display:block;width:100%;height:150px'>Insert</button>"
         "<script>window.addEventListener('beforeunload', function (e) { e.preventDefault(); e.returnValue = ''; });"
         "</script></body></html>");
    unsigned long window = open("opener.html");
    ASSERT_NE(window, 0u);
    ASSERT_TRUE(wait_for_colour(window, 300, 440, 0, 0, 255));
    click(window, 300, 100);
    type_text(window, "draft");
    auto text_kept = [&] { return wait_for_colour(window, 300, 440, 0, 255, 0); };  // green: "draft" typed
    ASSERT_TRUE(text_kept());
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        click(window, 300, 300);
        unsigned long popup = app.find_window("^Media$");
        ASSERT_NE(popup, 0u);
        if (round == 1) break;
        std::this_thread::sleep_for(300ms);
        click(popup, 100, 200);  // Insert
        EXPECT_TRUE(eventually([&] { return !window_visible(popup); }));
        EXPECT_FALSE(app.wait_exit(1s)) << "the pop-up's window.close() keeps the program";
        EXPECT_TRUE(window_visible(window));
        EXPECT_TRUE(text_kept());
    }
    // An edit in the pop-up too: the main page is left, the pop-up's page stays.
    unsigned long popup = app.find_window("^Media$");
    std::this_thread::sleep_for(300ms);
    click(popup, 100, 50);
    type_text(popup, "caption");
    ASSERT_TRUE(send_delete_window(window));
    for (const char* answer : {"alt+l", "Escape"}) {
        SCOPED_TRACE(answer);
        unsigned long question = app.find_window("^Leave page\\?$", 10s);
        ASSERT_NE(question, 0u);
        press(question, answer);
        EXPECT_TRUE(eventually([&] { return !window_visible(question); }));
    }
    EXPECT_FALSE(app.wait_exit(1s)) << "Stay keeps the program running";
    EXPECT_TRUE(window_visible(window));
    // Looked up again by its title: what counts is that the pop-up is on the
    // screen, whichever window of it the earlier search had found.
    EXPECT_NE(app.find_window("^Media$", 5s), 0u) << "Stay keeps the pop-up; windows shown: " << app.visible_windows()
                                                   << (window_visible(popup) ? "" : ", the pop-up found earlier is not");
    EXPECT_TRUE(text_kept());
    app.signal(SIGTERM);
    EXPECT_EQ(app.wait_exit(), 0);
    EXPECT_EQ(app.log().find("CRITICAL"), std::string::npos) << app.log();
}

// Ctrl+F: the find bar counts the matches of what is typed (in any case) and
// Enter, Shift+Enter and F3 move the page's selection between them; the page
// paints itself after the paragraph that holds the selection. Escape closes
// the bar. A menu item's own Ctrl+F wins, and cmd:Find opens the bar too.
TEST_F(DesktopBrowser, CtrlFFindsInThePageAndCountsTheMatches) {
    file("onBuildMainMenu.lua", "NewMenu()\nAddMenuItem('miFind', '&Search', 'F6', 'cmd:Find')\n"
                                "AddMenu('mnuEdit', '&Edit')\n");
    file("site/find.html",
         "<html><body style='margin:0'><p id='red'>one Apple</p><p id='green'>two apple</p>"
         "<p id='blue'>three APPLE</p><p>and a pear</p><script>"
         "var keyed = false;"
         "document.onselectionchange = function () {"
         "  if (keyed) return;"  // the selection the closing bar leaves may come after the key
         "  var n = getSelection().anchorNode; while (n && !n.id) n = n.parentNode;"
         "  document.body.style.background = {red: '#ff0000', green: '#00ff00', blue: '#0000ff'}[n && n.id] || '#ffffff';"
         "};"
         "document.onkeydown = function (e) {"
         "  if (e.key == 'k') { keyed = true; document.body.style.background = '#ffff00'; }"
         "};"
         "</script></body></html>");
    unsigned long window = open("find.html");
    ASSERT_NE(window, 0u);
    ASSERT_TRUE(wait_for_colour(window, 300, 300, 255, 255, 255));
    press(window, "ctrl+f");
    type_text(window, "apple");
    EXPECT_TRUE(app.status_shows("Find: 1 of 3")) << app.status_texts();
    EXPECT_TRUE(wait_for_colour(window, 300, 300, 255, 0, 0));
    press(window, "Return");
    EXPECT_TRUE(app.status_shows("Find: 2 of 3")) << app.status_texts();
    EXPECT_TRUE(wait_for_colour(window, 300, 300, 0, 255, 0));
    press(window, "F3");
    EXPECT_TRUE(wait_for_colour(window, 300, 300, 0, 0, 255));
    press(window, "F3");  // round to the first again
    EXPECT_TRUE(wait_for_colour(window, 300, 300, 255, 0, 0));
    press(window, "shift+Return");
    EXPECT_TRUE(app.status_shows("Find: 3 of 3")) << app.status_texts();
    EXPECT_TRUE(wait_for_colour(window, 300, 300, 0, 0, 255));
    press(window, "Escape");
    // The page has the keyboard again. The view may take a moment to pass keys
    // on after it got the focus back, so the key is pressed again (a few times
    // at most) until the page has seen it; typed into the bar it never would be.
    bool page_saw_key = false;
    for (int attempt = 0; attempt < 5 && !page_saw_key; ++attempt) {
        press(window, "k");
        page_saw_key = wait_for_colour(window, 300, 300, 255, 255, 0, 1s);
    }
    EXPECT_TRUE(page_saw_key);
    // The menu's command opens the bar again with its text, which searches anew.
    std::remove((dir / "status.log").c_str());
    press(window, "F6");
    EXPECT_TRUE(app.status_shows("Find: 1 of 3")) << app.status_texts();
    type_text(window, "x");
    EXPECT_TRUE(app.status_shows("Find: No matches")) << app.status_texts();
}

// A link the user clicks to another web site goes to the desktop's default
// handler (a fake one that records the address) and the page stays; a scheme
// with no handler gets a status bar message.
TEST_F(DesktopBrowser, ClickedLinksToOtherOriginsOpenWithTheDefaultHandler) {
    std::string record = dir / "opened.txt";
    file("handler.sh", "#!/bin/sh\necho \"$1\" >> '" + record + "'\n");
    chmod((dir / "handler.sh").c_str(), 0755);
    file("home/data/applications/fake-browser.desktop",
         "[Desktop Entry]\nType=Application\nName=Fake browser\nExec=" + dir / "handler.sh" +
             " %u\nMimeType=x-scheme-handler/http;x-scheme-handler/https;\n");
    file("home/config/mimeapps.list",
         "[Default Applications]\nx-scheme-handler/http=fake-browser.desktop\n"
         "x-scheme-handler/https=fake-browser.desktop\n");
    // Top: a link to another site and a tel: link; bottom: a frame whose own
    // link to another site keeps loading inside the frame.
    file("site/links.html",
         "<html><body style='margin:0;background:#0000ff'>"
         "<a href='https://example.org/page?x=1' style='position:fixed;left:0;top:0;width:50%;height:300px'>web</a>"
         "<a href='tel:+4930123' style='position:fixed;right:0;top:0;width:50%;height:300px'>phone</a>"
         "<iframe src='frame.html' style='position:fixed;left:0;top:350px;width:100%;height:100px;border:0'>"
         "</iframe></body></html>");
    // The frame's link goes to another origin that answers: a second server.
    testkit::TempDir other_site;
    write_file(other_site / "green.html", "<html><body style='margin:0;background:#00ff00'></body></html>");
    testkit::ServerProcess other({"-d", other_site.path()});
    file("site/frame.html", "<html><body style='margin:0'><a href='" + other.url("/green.html") +
                                "' style='display:block;height:100px;background:#ffff00'>frame</a></body></html>");
    unsigned long window = open("links.html");
    ASSERT_NE(window, 0u);
    ASSERT_TRUE(wait_for_colour(window, 100, 200, 0, 0, 255));
    click(window, 100, 200);
    EXPECT_TRUE(eventually([&] { return read_file(record) == "https://example.org/page?x=1\n"; })) << read_file(record);
    click(window, 600, 200);
    EXPECT_TRUE(app.status_shows("No application is set up to open tel:+4930123")) << app.status_texts();
    EXPECT_TRUE(eventually([&] { return app.status_now().empty(); }, 8s)) << "cleared after 5 s";
    ASSERT_TRUE(wait_for_colour(window, 300, 400, 255, 255, 0));
    click(window, 300, 400);
    EXPECT_TRUE(wait_for_colour(window, 300, 400, 0, 255, 0)) << "the frame loads the other site's page";
    // The application's page is still there.
    EXPECT_TRUE(wait_for_colour(window, 100, 200, 0, 0, 255));
    EXPECT_EQ(read_file(record), "https://example.org/page?x=1\n");
}

// A PHP page that dies half-way: the status bar says the reply was a server
// error until the next page. In developer mode the strip above the page shows
// what PHP wrote to its error output (a worker's FastCGI records, or the stderr
// of a process per request) until the next page, its button opens the
// inspector, and stderr has one line per request: local time, method, path,
// status and duration.
TEST_F(DesktopBrowser, AServerErrorOfThePageShowsInTheStatusBar) {
    file("site/fatal.php",
         "<html><body style='margin:0;background:#0000ff'><a href='ok.html' style='display:block;height:400px'>on</a>"
         "<?php flush(); undefined_function(); ?></body></html>");
    file("site/ok.html", "<html><body style='margin:0;background:#00ff00'></body></html>");
    struct Mode {
        const char* name;
        bool developer;
        const char* init;
    } modes[] = {{"plain", false, ""}, {"developer", true, ""}, {"developer, no workers", true, "SetPHPWorkers(0)\n"}};
    // The line of the log that names the request ("" when none does).
    auto log_line = [](const std::string& log, const std::string& request) {
        std::size_t at = log.find(" " + request + " ");
        if (at == std::string::npos) return std::string();
        std::size_t start = log.rfind('\n', at), end = log.find('\n', at);
        start = start == std::string::npos ? 0 : start + 1;
        return log.substr(start, end == std::string::npos ? std::string::npos : end - start);
    };
    const std::regex line_format(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d GET /\w+\.\w+ \d{3} \d+\.\d ms)");
    for (const Mode& mode : modes) {
        SCOPED_TRACE(mode.name);
        App run(dir);
        if (mode.developer) run.set_env("VANTREL_DEVELOPER", "1");
        unsigned long window = open_in(run, "fatal.php", mode.init);
        ASSERT_NE(window, 0u);
        EXPECT_TRUE(run.status_shows("Server error 500 on /fatal.php")) << run.status_texts();
        EXPECT_TRUE(eventually([&] { return run.status_now() == "Server error 500 on /fatal.php"; }))
            << run.status_texts();
        ASSERT_TRUE(wait_for_colour(window, 300, 200, 0, 0, 255));
        if (mode.developer) {
            EXPECT_TRUE(run.status_shows("Errors: GET /fatal.php: 500|")) << run.status_texts();
            EXPECT_TRUE(run.status_shows("Call to undefined function undefined_function()")) << run.status_texts();
            if (mode.init[0] == '\0') {
                // Its button takes the key once the strip is on the screen
                // (where the page's blue began before).
                EXPECT_TRUE(eventually([&] {
                    auto image = screenshot(window);
                    return image && !image->is(300, 60, 0, 0, 255);
                })) << run.status_texts();
                press(window, "alt+i");
                unsigned long inspector = run.find_window("^Web Inspector$", 40s);
                EXPECT_NE(inspector, 0u) << "the strip's button opens the inspector";
                if (inspector) send_delete_window(inspector);
                EXPECT_TRUE(eventually([&] { return !window_visible(inspector); }));
            }
        }
        // The strip stands above the page, so the link has moved down a little.
        click(window, 300, 300);
        ASSERT_TRUE(wait_for_colour(window, 300, 300, 0, 255, 0));
        x_tool({"xdotool", "mousemove", "--window", std::to_string(window), "300", "500"});
        EXPECT_TRUE(eventually([&] { return run.status_now().empty(); })) << run.status_texts();
        run.signal(SIGTERM);
        EXPECT_EQ(run.wait_exit(), 0);
        std::string texts = run.status_texts(), log = run.log();
        if (mode.developer) {
            EXPECT_NE(texts.find("Errors cleared"), std::string::npos) << texts;
            for (const char* request : {"GET /fatal.php 500", "GET /ok.html 200"})
                EXPECT_TRUE(std::regex_match(log_line(log, request), line_format)) << request << "\n" << log;
        } else {
            EXPECT_EQ(texts.find("Errors:"), std::string::npos) << texts;
            EXPECT_EQ(log_line(log, "GET /fatal.php 500"), "") << log;
        }
    }
}

// Developer mode: saving files of the site (one in a folder below too) reloads
// the page shown once for changes close together, scrolled where it was; a
// changed hook script is named on stderr and reloads nothing.
TEST_F(DesktopBrowser, InDeveloperModeSavingFilesOfTheSiteReloadsThePageOnce) {
    auto page = [](const std::string& bottom) {
        return "<html><head><link rel='stylesheet' href='style.css'></head><body style='margin:0'>"
               "<div style='height:3000px;background:#0000ff'></div>"
               "<div style='height:3000px;background:" + bottom + "'></div></body></html>";
    };
    file("site/live.php", page("#ff0000"));
    file("site/style.css", "");
    file("site/parts/part.php", "<?php\n");
    App run(dir);
    run.set_env("VANTREL_DEVELOPER", "1");
    unsigned long window = open_in(run, "live.php");
    ASSERT_NE(window, 0u);
    ASSERT_TRUE(wait_for_colour(window, 300, 200, 0, 0, 255));
    press(window, "End");
    ASSERT_TRUE(wait_for_colour(window, 300, 200, 255, 0, 0));
    auto loads = [&] {
        std::string log = run.log();
        int n = 0;
        for (std::size_t at = log.find(" GET /live.php 200 "); at != std::string::npos;
             at = log.find(" GET /live.php 200 ", at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(loads(), 1);
    std::this_thread::sleep_for(400ms);  // past the quiet moment after a load
    file("site/live.php", page("#00ff00"));
    file("site/style.css", "body { color: black }");
    file("site/parts/part.php", "<?php // edited\n");
    EXPECT_TRUE(wait_for_colour(window, 300, 200, 0, 255, 0)) << "reloaded, still scrolled to the end";
    file("onReady.lua", read_file(dir / "onReady.lua") + "-- edited\n");
    EXPECT_TRUE(eventually([&] {
        return run.log().find("vantrel: onReady.lua changed: restart the application to apply it\n") != std::string::npos;
    })) << run.log();
    EXPECT_EQ(loads(), 2) << run.log();
    run.signal(SIGTERM);
    EXPECT_EQ(run.wait_exit(), 0);
}

// Alt+Left goes back to the previous page; the link under the pointer shows
// in the status bar.
TEST_F(DesktopBrowser, AltLeftReturnsToThePreviousPage) {
    file("site/first.html", "<html><body style='margin:0;background:#0000ff'>"
                            "<a href='second.html' style='display:block;height:400px'>next</a></body></html>");
    file("site/second.html", "<html><body style='margin:0;background:#00ff00'></body></html>");
    unsigned long window = open("first.html");
    ASSERT_NE(window, 0u);
    ASSERT_TRUE(wait_for_colour(window, 300, 440, 0, 0, 255));
    x_tool({"xdotool", "mousemove", "--window", std::to_string(window), "300", "200"});
    EXPECT_TRUE(app.status_shows("/second.html")) << app.status_texts();
    click(window, 300, 200);
    ASSERT_TRUE(wait_for_colour(window, 300, 440, 0, 255, 0));
    press(window, "alt+Left");
    EXPECT_TRUE(wait_for_colour(window, 300, 440, 0, 0, 255));
    click(window, 300, 440, 9);  // the mouse's forward button
    EXPECT_TRUE(wait_for_colour(window, 300, 440, 0, 255, 0));
    click(window, 300, 440, 8);  // and its back button
    EXPECT_TRUE(wait_for_colour(window, 300, 440, 0, 0, 255));
}

// Ctrl+plus and Ctrl+wheel zoom in, Ctrl+0 back to 100% (the page turns green
// while its layout width is below 600 CSS pixels).
TEST_F(DesktopBrowser, ZoomKeysAndCtrlWheel) {
    file("site/zoom.html",
         "<html><body style='margin:0'><script>function paint() { document.body.style.background ="
         " window.innerWidth < 600 ? '#00ff00' : '#0000ff'; } onresize = paint; paint();</script></body></html>");
    unsigned long window = open("zoom.html");
    ASSERT_NE(window, 0u);
    ASSERT_TRUE(wait_for_colour(window, 300, 200, 0, 0, 255));
    press(window, "ctrl+plus ctrl+plus ctrl+plus");
    EXPECT_TRUE(wait_for_colour(window, 300, 200, 0, 255, 0));
    press(window, "ctrl+0");
    EXPECT_TRUE(wait_for_colour(window, 300, 200, 0, 0, 255));
    x_tool({"xdotool", "mousemove", "--window", std::to_string(window), "300", "200", "keydown", "ctrl", "click",
            "--repeat", "3", "4", "keyup", "ctrl"});
    EXPECT_TRUE(wait_for_colour(window, 300, 200, 0, 255, 0));
}

// window.close() from the own page ends the program with 0 even after the page
// has navigated (the engine alone would refuse it then).
TEST_F(DesktopBrowser, WindowCloseAfterANavigationEndsTheProgram) {
    file("site/start.html", "<html><body><script>setTimeout(function () { location.href = 'end.html'; }, 100);"
                            "</script></body></html>");
    file("site/end.html", "<html><body><script>setTimeout(function () { window.close(); }, 300);</script>"
                          "</body></html>");
    ASSERT_NE(open("start.html"), 0u);
    EXPECT_EQ(app.wait_exit(15s), 0);
    EXPECT_FALSE(testkit::wait_for_port(port, 200ms)) << "the destroy steps released the server";
}

// The close button on a page with a beforeunload handler asks; Stay keeps the
// program running. SIGTERM still ends it at once.
TEST_F(DesktopBrowser, CloseButtonAsksThePageAndStayKeepsTheProgram) {
    file("site/edit.html",
         "<html><body style='margin:0;background:#0000ff'><textarea style='width:100%;height:400px'></textarea>"
         "<script>window.addEventListener('beforeunload', function (e) { e.preventDefault(); e.returnValue = ''; });"
         "</script></body></html>");
    unsigned long window = open("edit.html");
    ASSERT_NE(window, 0u);
    ASSERT_TRUE(wait_for_colour(window, 300, 440, 0, 0, 255));
    click(window, 300, 200);  // the page needs a user's action before it may ask
    type_text(window, "draft");
    ASSERT_TRUE(send_delete_window(window));
    unsigned long question = app.find_window("^Leave page\\?$", 10s);
    ASSERT_NE(question, 0u);
    press(question, "Escape");
    EXPECT_TRUE(eventually([&] { return !window_visible(question); }));
    EXPECT_FALSE(app.wait_exit(1s)) << "Stay keeps the program running";
    EXPECT_TRUE(window_visible(window));
    app.signal(SIGTERM);
    EXPECT_EQ(app.wait_exit(), 0);
}

}  // namespace
