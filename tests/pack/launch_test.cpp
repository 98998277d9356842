// An application package unpacked into a temporary root and started through
// its launcher, as a user would after installing it: the window carries the
// application's id, and its pages keep their data in the application's own
// data folder, seeded once from data.seed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "desktop/desktop_harness.hpp"

using namespace desktop;
namespace fs = std::filesystem;

namespace {

TEST(PackedApp, LauncherRunsTheApplicationWithItsIdAndDataFolder) {
    const std::string id = "org.example.Counter";
    int port = testkit::free_port();
    testkit::TempDir source;
    std::string app = source / "counter";
    testkit::write_file(app + "/onInit.lua", "SetTitle('Counter')\nSetWebserverPort(" + std::to_string(port) +
                                                 ")\nSetSitesPath('site')\nSetPHPPath('/usr/bin/php-cgi')\n");
    testkit::write_file(app + "/onReady.lua",
                        "NavigateTo('http://127.0.0.1:" + std::to_string(port) + "/count.php')\n");
    // Each page view adds one to the count kept in the data folder.
    testkit::write_file(app + "/site/count.php",
                        "<?php $file = getenv('VANTREL_DATA_DIR') . '/count.txt';\n"
                        "$n = (int) trim(file_get_contents($file)) + 1;\n"
                        "file_put_contents($file, \"$n\\n\"); echo \"count $n\";\n");
    testkit::write_file(app + "/data.seed/count.txt", "10\n");
    testkit::write_file(app + "/data.seed/notes/readme.txt", "seeded\n");

    testkit::TempDir out;
    auto packed = testkit::run_command(
        {testkit::build_dir() + "/pack/bin/vantrel-pack", "-n", "counter", "-i", id, "-o", out.path(), app});
    ASSERT_EQ(packed.exit_code, 0) << packed.err;

    testkit::TempDir dir;  // the user's side: HOME, XDG_* and the unpacked root
    std::string root = dir / "root";
    ASSERT_EQ(testkit::run_command({"dpkg-deb", "-x", out / "counter_1.0_all.deb", root}).exit_code, 0);
    // `vantrel` as the launcher finds it on the PATH: the built program.
    const std::string path = testkit::build_dir() + ":" + std::getenv("PATH");

    std::string data = dir / ("home/data/vantrel/" + id + "/data");
    for (const char* expected_count : {"11\n", "12\n"}) {
        SCOPED_TRACE(expected_count);
        App launched(dir, root + "/usr/bin/counter");
        launched.set_env("PATH", path);
        launched.start();
        unsigned long window = launched.find_window("^Counter$");
        ASSERT_NE(window, 0u) << launched.log();
        EXPECT_EQ(window_property(window, "WM_CLASS"), id + "\", \"" + id);
        // The seed is copied on the first start only: the count goes on from
        // what the page wrote last time.
        EXPECT_TRUE(eventually([&] { return testkit::read_file(data + "/count.txt") == expected_count; }, 15s))
            << testkit::read_file(data + "/count.txt") << launched.log();
        launched.signal(SIGTERM);
        EXPECT_EQ(launched.wait_exit(), 0);
    }
    EXPECT_EQ(testkit::read_file(data + "/notes/readme.txt"), "seeded\n");
    EXPECT_EQ(fs::status(data).permissions() & fs::perms::all, fs::perms::owner_all);
    // The installed folder was only read.
    EXPECT_FALSE(fs::exists(root + "/usr/share/" + id + "/count.txt"));
}

}  // namespace
