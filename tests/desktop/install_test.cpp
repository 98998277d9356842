// `cmake --install` of the build: programs in lib/vantrel with links in bin/,
// the desktop entry and its icon, and the installed program finding its own
// folder through the link.
#include <gtest/gtest.h>

#include <filesystem>

#include "desktop_harness.hpp"

using namespace desktop;
namespace fs = std::filesystem;

namespace {

TEST(DesktopInstall, ProgramsLinksEntryAndIconLandInThePrefix) {
    testkit::TempDir prefix;
    auto r = testkit::run_command({"cmake", "--install", testkit::build_dir(), "--prefix", prefix.path()}, "", 60s);
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;

    for (std::string program : {"vantrel", "vantrel-httpd"}) {
        SCOPED_TRACE(program);
        EXPECT_TRUE(fs::is_regular_file(prefix / ("lib/vantrel/" + program)));
        fs::path link = prefix / ("bin/" + program);
        ASSERT_TRUE(fs::is_symlink(link));
        EXPECT_EQ(fs::read_symlink(link), "../lib/vantrel/" + program);
        EXPECT_TRUE(fs::equivalent(link, prefix / ("lib/vantrel/" + program)));
    }
    std::string entry = testkit::read_file(prefix / "share/applications/vantrel.desktop");
    EXPECT_EQ(entry.rfind("[Desktop Entry]\n", 0), 0u);
    // The entry starts a launcher that pins the id and passes its arguments on
    // after the folder; the window class the desktop matches is that id.
    const std::string launcher = prefix / "lib/vantrel/vantrel-default-app";
    EXPECT_NE(entry.find("\nExec=" + launcher + "\n"), std::string::npos) << entry;
    EXPECT_EQ(testkit::read_file(launcher),
              "#!/bin/sh\n# Starts the application of Vantrel's menu entry (" + prefix.path() +
                  "/share/vantrel/demo) with the id vantrel.default.\nVANTREL_APP_ID=vantrel.default\n"
                  "export VANTREL_APP_ID\nexec '" + prefix.path() + "/bin/vantrel' '" + prefix.path() +
                  "/share/vantrel/demo' \"$@\"\n");
    EXPECT_EQ(fs::status(launcher).permissions() & fs::perms::all, fs::perms(0755));
    for (const char* page : {"vantrel", "vantrel-httpd", "vantrel-pack"})
        EXPECT_TRUE(fs::is_regular_file(prefix / ("share/man/man1/" + std::string(page) + ".1.gz"))) << page;
    EXPECT_NE(entry.find("\nStartupWMClass=vantrel.default\n"), std::string::npos) << entry;
    EXPECT_NE(entry.find("\nPath=" + prefix.path() + "/share/vantrel/demo\n"), std::string::npos) << entry;
    EXPECT_NE(entry.find("\nIcon=vantrel\n"), std::string::npos);
    EXPECT_TRUE(fs::is_regular_file(prefix / "share/icons/hicolor/scalable/apps/vantrel.svg"));
    // The entry's working folder holds the demo's hook scripts and site.
    for (const char* f : {"onInit.lua", "onBuildMainMenu.lua", "onReady.lua", "site/index.html", "site/hello.php"})
        EXPECT_TRUE(fs::is_regular_file(prefix / ("share/vantrel/demo/" + std::string(f)))) << f;

    // Started through bin/, the program's folder is lib/vantrel: the first
    // page's base address says so.
    testkit::TempDir dir;
    std::string folder = prefix.path() + "/lib/vantrel/";
    testkit::write_file(dir / "onInit.lua",
                        "SetWebserverPort(" + std::to_string(testkit::free_port()) +
                            ")\nSetTitle('Installed')\nSetInitialHTML([[<html><head><script>"
                            "document.documentElement.style.background ="
                            " document.baseURI == 'file://" + folder + "' ? '#00ff00' : '#ff00ff';"
                            "</script></head><body></body></html>]])\n");
    App app(dir, prefix / "bin/vantrel");
    app.start();
    unsigned long window = app.find_window("^Installed$");
    ASSERT_NE(window, 0u);
    EXPECT_TRUE(wait_for_colour(window, 300, 200, 0, 255, 0));
    app.signal(SIGTERM);
    EXPECT_EQ(app.wait_exit(), 0);
}

}  // namespace
