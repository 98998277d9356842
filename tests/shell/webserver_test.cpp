// The server inside the shell: resolving the site folder and the interpreter,
// starting the real server on a loopback port, the thread that drives it, and
// the release after the thread has stopped.
#include <sys/socket.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <mutex>
#include <set>

#include <gtest/gtest.h>

#include "server/server.hpp"
#include "shell/model/Globals.hpp"
#include "shell/model/Webserver.hpp"
#include "shell/model/app_port.hpp"
#include "shell/model/developer.hpp"
#include "shell_fixture.hpp"
#include "testkit.hpp"

namespace shelltest {
namespace {

using namespace std::chrono_literals;

// True when something accepts TCP connections on 127.0.0.1:port right now.
bool accepts(int port) {
    int s = testkit::connect_loopback(port);
    if (s < 0) return false;
    close(s);
    return true;
}

class Webserver : public ::testing::Test {
protected:
    void SetUp() override {
        Settings() = ShellSettings{};
        Settings().AppFolder = app.path() + "/";
        Settings().PrivateServer = false;  // the requests come from the test, as from any local program
        vantrel::set_fatal_hook([this](const std::string& message) {
            std::lock_guard<std::mutex> guard(fatal_lock);
            fatals.push_back(message);
        });
    }
    void TearDown() override {
        FreeServer();
        vantrel::set_fatal_hook({});
        Settings() = ShellSettings{};
    }

    std::vector<std::string> fatal_messages() {
        std::lock_guard<std::mutex> guard(fatal_lock);
        return fatals;
    }

    testkit::TempDir app;     // stands for the program folder
    testkit::TempDir other;   // somewhere else
    std::mutex fatal_lock;
    std::vector<std::string> fatals;
};

TEST(ShellSettings, StartValues) {
    ShellSettings fresh;
    EXPECT_EQ(fresh.AppFolder, "");
    EXPECT_EQ(fresh.SitesPath, "");
    EXPECT_EQ(fresh.PHPPath, "");
    EXPECT_EQ(fresh.WebserverPort, std::nullopt);  // chosen per user and application at start
    EXPECT_EQ(fresh.PHPWorkers, 4);
    EXPECT_TRUE(fresh.PrivateServer);
    EXPECT_EQ(fresh.InitialHTML,
              "<html><head><style type='text/css'>\r\n#idLoading { padding-left: 5px; background-color: red; "
              "display:block; color: white;} </style>\r\n</head><body><div id='idLoading'>Loading...</div>"
              "</body></html>");
    EXPECT_EQ(std::string(kDefaultPHPPath), "php/php-cgi");
    EXPECT_EQ(std::string(kDefaultSitesPath), "sites");
}

TEST(ShellSettings, ProgramFolderHoldsTheRunningProgram) {
    std::string folder = ProgramFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(folder.front(), '/');
    EXPECT_EQ(folder.back(), '/');
    EXPECT_TRUE(testkit::file_exists(folder + "shell_tests"));
}

TEST_F(Webserver, ResolveFolderTriesConfiguredThenProgramFolderThenDefault) {
    testkit::make_dirs(other / "site");
    testkit::make_dirs(app / "site");
    testkit::make_dirs(app / "only-here");
    testkit::write_file(app / "a-file", "not a folder");
    // 1: the configured path exists by itself.
    EXPECT_EQ(ResolveFolder(other / "site", "sites"), other / "site");
    // 2: it exists under the program folder.
    EXPECT_EQ(ResolveFolder("only-here", "sites"), app / "only-here");
    // 3: it exists nowhere (or is no folder): the default under the program folder.
    EXPECT_EQ(ResolveFolder("nowhere", "sites"), app / "sites");
    EXPECT_EQ(ResolveFolder("a-file", "sites"), app / "sites");
    // An empty path names the program folder itself.
    EXPECT_EQ(ResolveFolder("", "sites"), app.path());
}

TEST_F(Webserver, ResolveFolderGivesAbsoluteNormalPaths) {
    testkit::make_dirs(other / "site/inner");
    {
        ScopedCwd cwd(other.path());
        EXPECT_EQ(ResolveFolder("site", "sites"), other / "site");  // relative to the working directory
        EXPECT_EQ(ResolveFolder("./site/inner/../", "sites"), other / "site");
    }
    testkit::make_dirs(app / "a/b");
    EXPECT_EQ(ResolveFolder("a/./b/..//b/", "sites"), app / "a/b");
}

TEST_F(Webserver, ResolveFileTriesConfiguredThenProgramFolderThenDefault) {
    testkit::write_file(other / "php-cgi", "#!/bin/sh\n");
    testkit::write_file(app / "bin/interp", "#!/bin/sh\n");
    testkit::make_dirs(app / "folder");
    EXPECT_EQ(ResolveFile(other / "php-cgi", kDefaultPHPPath), other / "php-cgi");
    EXPECT_EQ(ResolveFile("bin/interp", kDefaultPHPPath), app / "bin/interp");
    EXPECT_EQ(ResolveFile("missing", kDefaultPHPPath), app / "php/php-cgi");
    EXPECT_EQ(ResolveFile("folder", kDefaultPHPPath), app / "php/php-cgi");  // a folder is no file
    // Empty: the program folder is a folder, so the default applies.
    EXPECT_EQ(ResolveFile("", kDefaultPHPPath), app / "php/php-cgi");
    ScopedCwd cwd(other.path());
    EXPECT_EQ(ResolveFile("php-cgi", kDefaultPHPPath), other / "php-cgi");
}

TEST_F(Webserver, StartServerServesFilesAndPhpOnItsPort) {
    testkit::write_file(other / "hello.txt", "hello from the site\n");
    testkit::write_file(other / "sum.php", "<?php echo 6 * 7;");
    StartServer(other.path(), "/usr/bin/php-cgi", 0);
    ASSERT_TRUE(fatal_messages().empty()) << fatal_messages()[0];
    const int port = ServerPort();
    ASSERT_GT(port, 0);
    StartServerThread();

    testkit::HttpReply text = testkit::http_get(port, "/hello.txt");
    EXPECT_EQ(text.status, 200);
    EXPECT_EQ(text.body, "hello from the site\n");
    EXPECT_EQ(text.headers["content-type"], "text/plain");

    testkit::HttpReply php = testkit::http_get(port, "/sum.php");
    EXPECT_EQ(php.status, 200);
    EXPECT_EQ(php.body, "42");

    EXPECT_EQ(testkit::http_get(port, "/missing.txt").status, 404);

    FreeServer();
    EXPECT_EQ(ServerPort(), 0);
    EXPECT_FALSE(accepts(port));
}

// The pool starts with the server; in developer mode edits show at once.
TEST_F(Webserver, PhpWorkersStartWithTheServerAndEndWithIt) {
    testkit::write_file(other / "w.php",
                        "<?php echo getmypid(), ' ', ini_get('opcache.revalidate_freq');");
    for (const char* developer : {"0", "1"}) {
        SCOPED_TRACE(developer);
        setenv("VANTREL_DEVELOPER", developer, 1);
        StartServer(other.path(), "/usr/bin/php-cgi", 0, 2);
        unsetenv("VANTREL_DEVELOPER");
        ASSERT_TRUE(fatal_messages().empty());
        StartServerThread();
        std::set<std::string> pids;
        std::string freq;
        for (int i = 0; i < 10; ++i) {
            std::string body = testkit::http_get(ServerPort(), "/w.php").body;
            pids.insert(body.substr(0, body.find(' ')));
            freq = body.substr(body.find(' ') + 1);
        }
        EXPECT_LE(pids.size(), 2u);
        EXPECT_EQ(freq, std::string(developer) == "1" ? "0" : "2");
        FreeServer();
    }
}

TEST_F(Webserver, StartServerPassesTheConfiguredPortToCgi) {
    testkit::write_file(other / "port.php", "<?php echo $_SERVER['SERVER_PORT'];");
    const int wanted = testkit::free_port();
    StartServer(other.path(), "/usr/bin/php-cgi", wanted);
    ASSERT_EQ(ServerPort(), wanted);
    StartServerThread();
    EXPECT_EQ(testkit::http_get(wanted, "/port.php").body, std::to_string(wanted));
}

TEST_F(Webserver, APortInUseIsFatal) {
    StartServer(other.path(), "", 0);
    const int taken = ServerPort();
    ASSERT_GT(taken, 0);
    // A second server on the same port: the first is released first, so hold
    // the port with a plain socket instead.
    int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = 0;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    socklen_t len = sizeof addr;
    getsockname(holder, reinterpret_cast<sockaddr*>(&addr), &len);
    const int held = ntohs(addr.sin_port);

    StartServer(other.path(), "", held);
    close(holder);
    ASSERT_EQ(fatal_messages().size(), 1u);
    EXPECT_NE(fatal_messages()[0].find("bind"), std::string::npos) << fatal_messages()[0];
    EXPECT_EQ(ServerPort(), 0);
    EXPECT_FALSE(accepts(taken));  // the earlier server was released
    StartServerThread();  // polling a context without a listener is harmless
    FreeServer();
}

TEST_F(Webserver, APortOutsideTheRangeIsFatal) {
    StartServer(other.path(), "", 70000);
    EXPECT_FALSE(fatal_messages().empty());
    EXPECT_EQ(ServerPort(), 0);
    StartServer(other.path(), "", -1);  // what a script's unusable port becomes
    EXPECT_EQ(fatal_messages().size(), 2u);
}

TEST_F(Webserver, TheThreadStopsSoonAfterTheRequest) {
    StartServer(other.path(), "", 0);
    StartServerThread();
    // The thread is idle inside its poll wait; stopping must not hang.
    auto stopped = std::async(std::launch::async, [] { StopServerThread(); });
    ASSERT_EQ(stopped.wait_for(5s), std::future_status::ready);
    // Nobody polls now: a connection is accepted by the kernel but not answered.
    const int port = ServerPort();
    std::string reply = testkit::raw_request(port, "GET / HTTP/1.0\r\n\r\n", 300ms);
    EXPECT_EQ(reply, "");
    // A new thread picks the same server up again.
    testkit::write_file(other / "again.txt", "again");
    StartServerThread();
    EXPECT_EQ(testkit::http_get(port, "/again.txt").body, "again");
}

TEST_F(Webserver, FreeServerStopsTheThreadBeforeReleasing) {
    testkit::write_file(other / "f.txt", "x");
    for (int round = 0; round < 3; ++round) {
        StartServer(other.path(), "", 0);
        StartServerThread();
        const int port = ServerPort();
        EXPECT_EQ(testkit::http_get(port, "/f.txt").status, 200);
        auto freed = std::async(std::launch::async, [] { FreeServer(); });
        ASSERT_EQ(freed.wait_for(5s), std::future_status::ready);
        EXPECT_FALSE(accepts(port));
    }
    FreeServer();  // twice is harmless
    PollServer();  // and so is a poll without a server
}

TEST_F(Webserver, PollServerServesOneStepAtATime) {
    testkit::write_file(other / "p.txt", "polled");
    StartServer(other.path(), "", 0);
    const int port = ServerPort();
    // No thread: the request is answered only while this thread polls.
    auto reply = std::async(std::launch::async, [port] { return testkit::http_get(port, "/p.txt"); });
    for (int i = 0; i < 50 && reply.wait_for(0ms) != std::future_status::ready; ++i) PollServer();
    ASSERT_EQ(reply.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(reply.get().body, "polled");
}

TEST(WebserverFatalHook, ABindFailureGetsASecondLineWithTheRemedy) {
    EXPECT_EQ(WithRemedy("server_open_port: bind(8080): Address already in use"),
              "server_open_port: bind(8080): Address already in use\nThe port is taken: set another one with "
              "SetWebserverPort in onInit.lua, or the application is already running.");
    EXPECT_EQ(WithRemedy("server_open_port: bind(80): Permission denied"),
              "server_open_port: bind(80): Permission denied\nSet another port with SetWebserverPort in onInit.lua.");
    EXPECT_EQ(WithRemedy("setopt: unknown variable [x]"), "setopt: unknown variable [x]");
}

TEST(StartupNotes, SayWhatWasNotFoundAndWhatIsUsedInstead) {
    StartupFacts all_found{"/app", true, "site", true, "/app/site", "/usr/bin/php-cgi", true, "/usr/bin/php-cgi",
                           true, 8080};
    EXPECT_TRUE(StartupNotes(all_found).empty());

    StartupFacts f = all_found;
    f.site_configured = "sitee";
    f.site_configured_found = false;
    f.site = "/prog/sites";
    f.php_configured = "/usr/bin/php-cgii";
    f.php_configured_found = false;
    f.php = "/prog/php/php-cgi";
    f.php_exists = false;
    EXPECT_EQ(StartupNotes(f),
              (std::vector<std::string>{
                  "site folder \"sitee\" not found; serving \"/prog/sites\" instead",
                  "PHP interpreter \"/usr/bin/php-cgii\" not found; using \"/prog/php/php-cgi\" instead, which "
                  "does not exist either: PHP pages will fail"}));

    StartupFacts bare{"/work/empty", false, "", true, "/prog", "", true, "/prog/php/php-cgi", false, 80};
    EXPECT_EQ(StartupNotes(bare),
              (std::vector<std::string>{
                  "PHP interpreter \"/prog/php/php-cgi\" not found: PHP pages will fail (set another with SetPHPPath "
                  "in onInit.lua)",
                  "no hook scripts (onInit.lua, onBuildMainMenu.lua, onReady.lua) in \"/work/empty\": serving "
                  "\"/prog\" on port 80"}));
}

TEST_F(Webserver, ResolvingTellsTheAuthorAboutAMissingSiteFolder) {
    testkit::make_dirs(app / "sites");
    testkit::write_file(other / "php", "#!/bin/sh\n");
    Settings().SitesPath = "no-such-site";
    Settings().PHPPath = other / "php";
    ScopedCwd cwd(other.path());  // no hook scripts there
    ::testing::internal::CaptureStderr();
    ResolveServedPaths();
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(Settings().SitesPath, app / "sites");
    EXPECT_EQ(err, "vantrel: site folder \"no-such-site\" not found; serving \"" + app / "sites" +
                       "\" instead\nvantrel: no hook scripts (onInit.lua, onBuildMainMenu.lua, onReady.lua) in \"" +
                       other.path() + "\": serving \"" + app / "sites" + "\" on port " +
                       std::to_string(PortToTry()) + "\n");
}

// An installed Vantrel has no php/php-cgi of its own: the system's php-cgi is
// used, and the terminal is told which.
TEST_F(Webserver, WithoutAnInterpreterInTheProgramFolderPhpCgiComesFromPath) {
    testkit::write_file(other / "bin/php-cgi", "#!/bin/sh\n");
    chmod((other / "bin/php-cgi").c_str(), 0755);
    testkit::write_file(other / "onInit.lua", "");
    const std::string saved_path = std::getenv("PATH");
    setenv("PATH", ("relative/bin::" + other / "bin" + ":/usr/bin").c_str(), 1);
    ScopedCwd cwd(other.path());
    ::testing::internal::CaptureStderr();
    ResolveServedPaths();
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(Settings().PHPPath, other / "bin/php-cgi");
    EXPECT_EQ(err, "vantrel: PHP interpreter: \"" + other / "bin/php-cgi" +
                       "\" (php-cgi from PATH; the program folder has no php/php-cgi)\n");
    // The program folder's own interpreter comes first.
    testkit::write_file(app / "php/php-cgi", "#!/bin/sh\n");
    Settings().PHPPath.clear();
    ::testing::internal::CaptureStderr();
    ResolveServedPaths();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(Settings().PHPPath, app / "php/php-cgi");
    setenv("PATH", saved_path.c_str(), 1);
}

// php.ini beside the hook scripts is the interpreter's, one process per request
// and in the workers alike.
TEST_F(Webserver, TheApplicationsPhpIniReachesIniGetInBothModes) {
    testkit::TempDir folder;  // the application folder
    testkit::write_file(folder / "php.ini", "upload_max_filesize = 7M\nmemory_limit = 99M\n");
    testkit::write_file(other / "ini.php", "<?php echo ini_get('upload_max_filesize'), ' ', ini_get('memory_limit');");
    Settings().SitesPath = other.path();
    Settings().PHPPath = testkit::kPhpCgi;
    {
        ScopedCwd cwd(folder.path());
        ResolveServedPaths();
    }
    EXPECT_EQ(Settings().PHPIni, folder / "php.ini");
    EXPECT_EQ(InterpreterArguments(), (std::vector<std::string>{"-c", folder / "php.ini"}));
    for (int workers : {0, 2}) {
        SCOPED_TRACE(workers);
        StartServer(other.path(), testkit::kPhpCgi, 0, workers, InterpreterArguments());
        StartServerThread();
        EXPECT_EQ(testkit::http_get(ServerPort(), "/ini.php").body, "7M 99M");
        FreeServer();
    }
    EXPECT_TRUE(fatal_messages().empty());
}

TEST(WebserverFatalHook, ShowsTheErrorDialogThenExitsWithOne) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            struct PrintingWindow : FakeWindow {
                void show_fatal(const std::string& text) override { fprintf(stderr, "dialog: [%s]\n", text.c_str()); }
            } window;
            InstallFatalHook(&window);
            vantrel::server_log(vantrel::LOG_FATAL, "server_open_port: bind(%d): %s", 80, "in use");
        },
        ::testing::ExitedWithCode(1), "dialog: \\[server_open_port: bind\\(80\\): in use\nSet another port");
}

}  // namespace
}  // namespace shelltest
