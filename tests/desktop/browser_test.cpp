// What the embedded browser does for the web application in the real window:
// downloads saved where the user says, file inputs, no context menu, links that
// ask for a new window.
#include <gtest/gtest.h>

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
    unsigned long open(const std::string& page) {
        file("onInit.lua", "SetWebserverPort(" + std::to_string(port) +
                               ")\nSetSitesPath('site')\nSetPHPPath('/usr/bin/php-cgi')\nSetTitle('Browser test')\n");
        file("onReady.lua", "NavigateTo('127.0.0.1:" + std::to_string(port) + "/" + page + "')\n");
        app.start();
        return app.find_window("^Browser test$");
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
    // The page stays where it was.
    EXPECT_TRUE(wait_for_colour(window, 100, 200, 0, 255, 0));
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
    click(window, 300, 200, 3);
    std::this_thread::sleep_for(700ms);
    // A menu would be drawn below and right of the pointer, over the page.
    auto image = screenshot(window);
    ASSERT_TRUE(image);
    for (int dy : {10, 30, 60})
        for (int dx : {10, 40, 80}) EXPECT_TRUE(image->is(300 + dx, 200 + dy, 0, 0, 255)) << dx << "," << dy;
}

TEST_F(DesktopBrowser, NewWindowLinksOpenInTheSameWindow) {
    file("site/green.html", "<html><body style='margin:0;background:#00ff00'></body></html>");
    file("site/blank.html",
         "<html><body style='margin:0'><a href='green.html' target='_blank'"
         " style='display:block;height:400px;background:#0000ff'>open</a></body></html>");
    unsigned long window = open("blank.html");
    ASSERT_NE(window, 0u);
    ASSERT_TRUE(wait_for_colour(window, 300, 200, 0, 0, 255));
    click(window, 300, 200);
    EXPECT_TRUE(wait_for_colour(window, 300, 200, 0, 255, 0));
}

}  // namespace
