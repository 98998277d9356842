// What makes each application its own, without a window: the id from its
// folder, the command line, the private data folder with its seed, the script
// functions of the server and the data folder, the remembered window place,
// and the embedded server's listener, loopback check and private token.
#include <sys/stat.h>

#include <cstdlib>
#include <mutex>

#include <gtest/gtest.h>

#ifdef VANTREL_HAVE_GIO
#include <gio/gio.h>
#endif

#include "server/server.hpp"
#include "shell/model/Globals.hpp"
#include "shell/model/Webserver.hpp"
#include "shell/model/app_data.hpp"
#include "shell/model/app_identity.hpp"
#include "shell/model/app_server.hpp"
#include "shell/model/window_geometry.hpp"
#include "shell_fixture.hpp"
#include "testkit.hpp"

namespace shelltest {
namespace {

bool glib_accepts(const std::string& id) {
#ifdef VANTREL_HAVE_GIO
    return g_application_id_is_valid(id.c_str());
#else
    return IsValidApplicationId(id);
#endif
}

TEST(ApplicationId, DerivedIdsAreValidStableAndDifferPerFolder) {
    const char* folders[] = {
        "/home/ann/apps/Notes", "/home/ann/apps/notes", "/srv/2048",          "/srv/my notes app",
        "/srv/Übersicht café",  "/srv/.hidden",          "/",                  "/srv/__",
        "/srv/a.b.c",           "/srv/trailing/",        "/srv/日本語のアプリ", "/srv/x-y_z 9",
    };
    std::set<std::string> seen;
    for (const char* folder : folders) {
        std::string id = DeriveApplicationId(folder);
        EXPECT_TRUE(glib_accepts(id)) << folder << " gave " << id;
        EXPECT_TRUE(IsValidApplicationId(id)) << id;
        EXPECT_EQ(id, DeriveApplicationId(folder)) << "same folder, same id";
        EXPECT_EQ(id.rfind("vantrel.", 0), 0u) << id;
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), std::size(folders)) << "every folder has its own id";
    EXPECT_EQ(DeriveApplicationId("/srv/trailing/"), DeriveApplicationId("/srv/trailing"));
    EXPECT_NE(DeriveApplicationId("/a/demo"), DeriveApplicationId("/b/demo"));
    std::string id = DeriveApplicationId("/srv/My Notes");
    EXPECT_EQ(id.substr(0, id.rfind('.')), "vantrel.my_notes");
}

TEST(ApplicationId, ValidityFollowsTheApplicationIdRules) {
    const std::pair<const char*, bool> cases[] = {
        {"org.example.Notes", true}, {"vantrel.notes.h0011aabb", true}, {"a.b", true},  {"a_b.c-d", true},
        {"notes", false},            {"a..b", false},                   {".a.b", false}, {"a.b.", false},
        {"a.1b", false},             {"1a.b", false},                   {"a.b c", false}, {"a.bé", false},
        {"", false},
    };
    for (const auto& [id, valid] : cases) {
        EXPECT_EQ(IsValidApplicationId(id), valid) << id;
        EXPECT_EQ(glib_accepts(id), valid) << id;
    }
}

TEST(ApplicationId, APinnedIdWinsWhenValidAndIsRefusedOtherwise) {
    EXPECT_EQ(ResolveApplicationId("org.example.Notes", "/srv/x").id, "org.example.Notes");
    EXPECT_EQ(ResolveApplicationId("", "/srv/x").id, DeriveApplicationId("/srv/x"));
    EXPECT_EQ(ResolveApplicationId(nullptr, "/srv/x").id, DeriveApplicationId("/srv/x"));
    ApplicationIdResult bad = ResolveApplicationId("2048.game", "/srv/x");
    EXPECT_TRUE(bad.id.empty());
    EXPECT_NE(bad.error.find("VANTREL_APP_ID"), std::string::npos) << bad.error;
}

TEST(CommandLineArguments, OneGrammar) {
    struct Case {
        std::vector<const char*> argv;
        CommandLine::Action action;
        const char* folder;
    };
    const Case cases[] = {
        {{"vantrel"}, CommandLine::Run, ""},
        {{"vantrel", "--help"}, CommandLine::Help, ""},
        {{"vantrel", "--version"}, CommandLine::Version, ""},
        {{"vantrel", "/usr/share/notes"}, CommandLine::Run, "/usr/share/notes"},
        {{"vantrel", "apps/my notes"}, CommandLine::Run, "apps/my notes"},
        {{"vantrel", "-h"}, CommandLine::Bad, ""},
        {{"vantrel", "--help", "x"}, CommandLine::Bad, ""},
        {{"vantrel", "a", "b"}, CommandLine::Bad, ""},
        {{"vantrel", ""}, CommandLine::Bad, ""},
        {{"vantrel", "--display=:1"}, CommandLine::Bad, ""},
    };
    for (const Case& c : cases) {
        CommandLine line = ParseCommandLine(static_cast<int>(c.argv.size()), c.argv.data());
        EXPECT_EQ(line.action, c.action) << (c.argv.size() > 1 ? c.argv[1] : "(none)");
        EXPECT_EQ(line.folder, c.folder);
        EXPECT_EQ(line.action == CommandLine::Bad, !line.error.empty());
    }
}

class DataFolder : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
        setenv("XDG_CACHE_HOME", (home / "cache").c_str(), 1);
        folders = FoldersFor("vantrel.notes.h00000001");
    }
    void TearDown() override {
        unsetenv("XDG_DATA_HOME");
        unsetenv("XDG_CACHE_HOME");
        setenv("HOME", saved_home.c_str(), 1);
    }
    static unsigned mode_of(const std::string& path) {
        struct stat st {};
        stat(path.c_str(), &st);
        return st.st_mode & 07777;
    }
    bool prepare() {
        std::string error;
        bool ok = PrepareApplicationFolders(folders, app / "data.seed", error);
        EXPECT_TRUE(ok) << error;
        return ok;
    }
    testkit::TempDir home;
    testkit::TempDir app;
    ApplicationFolders folders;
    std::string saved_home = std::getenv("HOME") ? std::getenv("HOME") : "/";
};

TEST_F(DataFolder, FoldersFollowTheXdgVariables) {
    EXPECT_EQ(folders.data, home / "data/vantrel/vantrel.notes.h00000001/");
    EXPECT_EQ(folders.cache, home / "cache/vantrel/vantrel.notes.h00000001/");
    EXPECT_EQ(folders.writable, home / "data/vantrel/vantrel.notes.h00000001/data");
    EXPECT_EQ(folders.cookies(), folders.data + "cookies.sqlite");
    setenv("XDG_DATA_HOME", "relative/data", 1);  // not absolute: ignored
    setenv("HOME", home.path().c_str(), 1);
    EXPECT_EQ(FoldersFor("a.b").data, home / ".local/share/vantrel/a.b/");
}

TEST_F(DataFolder, IsPrivateAndTheSeedIsCopiedOnceWithoutOverwriting) {
    testkit::write_file(app / "data.seed/notes.json", "[\"seed\"]");
    testkit::write_file(app / "data.seed/db/inner.txt", "inner");
    testkit::write_file(app / "data.seed/readonly.txt", "ro");
    chmod((app / "data.seed/readonly.txt").c_str(), 0444);
    // A file the application made before the seed arrived stays as it is.
    testkit::make_dirs(folders.writable);
    chmod(folders.writable.c_str(), 0755);
    testkit::write_file(folders.writable + "/db/inner.txt", "mine");

    ASSERT_TRUE(prepare());
    EXPECT_EQ(mode_of(folders.writable), 0700u);
    EXPECT_EQ(mode_of(folders.cache.substr(0, folders.cache.size() - 1)), 0700u);
    EXPECT_EQ(testkit::read_file(folders.writable + "/notes.json"), "[\"seed\"]");
    EXPECT_EQ(testkit::read_file(folders.writable + "/db/inner.txt"), "mine");
    EXPECT_EQ(mode_of(folders.writable + "/readonly.txt") & 0600, 0600u) << "copies are the user's to change";

    // The application changes one file and removes another: the next start keeps both choices.
    testkit::write_file(folders.writable + "/notes.json", "[\"changed\"]");
    std::remove((folders.writable + "/readonly.txt").c_str());
    ASSERT_TRUE(prepare());
    EXPECT_EQ(testkit::read_file(folders.writable + "/notes.json"), "[\"changed\"]");
    EXPECT_FALSE(testkit::file_exists(folders.writable + "/readonly.txt"));
}

TEST_F(DataFolder, WithoutASeedTheFolderIsStillMade) {
    ASSERT_TRUE(prepare());
    EXPECT_EQ(mode_of(folders.writable), 0700u);
    // A seed that appears later (an updated application) is still copied.
    testkit::write_file(app / "data.seed/late.txt", "late");
    ASSERT_TRUE(prepare());
    EXPECT_EQ(testkit::read_file(folders.writable + "/late.txt"), "late");
}

TEST_F(DataFolder, AFolderThatCannotBeMadeIsReported) {
    testkit::write_file(home / "data/vantrel", "a file where a folder should be");
    std::string error;
    EXPECT_FALSE(PrepareApplicationFolders(folders, app / "data.seed", error));
    EXPECT_NE(error.find("vantrel"), std::string::npos) << error;
}

using AppScriptApi = ShellTest;

TEST_F(AppScriptApi, AreRegisteredAfterTheEleven) {
    run("t1, t2, t3 = type(SetListenAddress), type(SetPrivateServer), type(GetDataPath)\n");
    EXPECT_EQ(global("t1"), "function");
    EXPECT_EQ(global("t2"), "function");
    EXPECT_EQ(global("t3"), "function");
}

TEST_F(AppScriptApi, SetListenAddressTakesDottedIpv4Only) {
    EXPECT_EQ(Settings().ListenAddress, "127.0.0.1");
    EXPECT_TRUE(completes("SetListenAddress('0.0.0.0')"));
    EXPECT_EQ(Settings().ListenAddress, "0.0.0.0");
    for (const char* bad : {"SetListenAddress('localhost')", "SetListenAddress('::1')", "SetListenAddress('1.2.3')",
                            "SetListenAddress('256.1.1.1')", "SetListenAddress()", "SetListenAddress({})",
                            "SetListenAddress('10.0.0.1 ')"}) {
        EXPECT_FALSE(completes(bad)) << bad;
        EXPECT_EQ(Settings().ListenAddress, "0.0.0.0") << bad;
    }
}

TEST_F(AppScriptApi, SetPrivateServerTakesABooleanOnly) {
    EXPECT_TRUE(completes("SetPrivateServer(true)"));
    EXPECT_TRUE(Settings().PrivateServer);
    for (const char* bad : {"SetPrivateServer('false')", "SetPrivateServer(0)", "SetPrivateServer()",
                            "SetPrivateServer(nil)"}) {
        EXPECT_FALSE(completes(bad)) << bad;
        EXPECT_TRUE(Settings().PrivateServer) << bad;
    }
    EXPECT_TRUE(completes("SetPrivateServer(false)"));
    EXPECT_FALSE(Settings().PrivateServer);
}

TEST_F(AppScriptApi, GetDataPathReturnsTheWritableFolder) {
    Settings().DataPath = "/home/ann/.local/share/vantrel/a.b/data";
    run("path = GetDataPath()\n");
    EXPECT_EQ(global("path"), "/home/ann/.local/share/vantrel/a.b/data");
}

TEST(WindowPlace, TextRoundTripAndDamagedFiles) {
    WindowGeometry g{-20, 35, 800, 600, false};
    EXPECT_EQ(ParseWindowGeometry(FormatWindowGeometry(g)), g);
    EXPECT_EQ(ParseWindowGeometry("x=1\ny=2\nwidth=3\nheight=4\nmaximized=1\n"), (WindowGeometry{1, 2, 3, 4, true}));
    for (const char* bad : {"", "x=1\ny=2\nwidth=3\nheight=4\n", "x=1\ny=2\nwidth=0\nheight=4\nmaximized=0\n",
                            "x=a\ny=2\nwidth=3\nheight=4\nmaximized=0\n", "x=1\ny=2\nwidth=3\nheight=4\nmaximized=2\n",
                            "x=1\ny=2\nwidth=99999999999\nheight=4\nmaximized=0\n"})
        EXPECT_FALSE(ParseWindowGeometry(bad)) << bad;
    testkit::TempDir dir;
    EXPECT_FALSE(LoadWindowGeometry(dir / "missing"));
    ASSERT_TRUE(SaveWindowGeometry(dir / "state", g));
    EXPECT_EQ(LoadWindowGeometry(dir / "state"), g);
}

// The embedded server as the desktop program starts it.
class AppServer : public ::testing::Test {
protected:
    void SetUp() override {
        Settings() = ShellSettings{};
        Settings().AppFolder = site.path() + "/";
        Settings().PrivateServer = false;  // SetPrivateServer(false): open to local programs
        vantrel::set_fatal_hook([this](const std::string& message) {
            std::lock_guard<std::mutex> guard(lock);
            fatals.push_back(message);
        });
        testkit::write_file(site / "index.html", "home");
        testkit::write_file(site / "env.php",
                            "<?php echo getenv('VANTREL_DATA_DIR'), '|', strlen((string)getenv('VANTREL_SERVER_TOKEN'));");
        testkit::write_file(site / "form.php", "<?php echo 'posted';");
    }
    void TearDown() override {
        FreeServer();
        vantrel::set_fatal_hook({});
        Settings() = ShellSettings{};
    }
    int start() {
        StartServer(site.path(), "/usr/bin/php-cgi", 0);
        EXPECT_TRUE(fatals.empty());
        StartServerThread();
        return ServerPort();
    }
    int status(int port, const std::string& request) {
        return testkit::parse_reply(testkit::raw_request(port, request)).status;
    }
    static std::string post(const std::string& origin_line) {
        return "POST /form.php HTTP/1.1\r\nHost: 127.0.0.1\r\n" + origin_line +
               "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 3\r\n\r\na=1";
    }
    testkit::TempDir site;
    std::mutex lock;
    std::vector<std::string> fatals;
};

TEST_F(AppServer, ListensOnLoopbackAndRefusesForeignHostsAndOrigins) {
    Settings().DataPath = "/data/of/the/app";
    int port = start();
    ASSERT_GT(port, 0);
    EXPECT_EQ(testkit::listening_address(port), "127.0.0.1");
    const std::string p = std::to_string(port);
    struct Case {
        std::string request;
        int status;
    };
    const Case cases[] = {
        {"GET /index.html HTTP/1.1\r\nHost: 127.0.0.1:" + p + "\r\n\r\n", 200},
        {"GET /index.html HTTP/1.1\r\nHost: localhost\r\n\r\n", 200},
        {"GET /index.html HTTP/1.1\r\nHost: [::1]:" + p + "\r\n\r\n", 200},
        {"GET /index.html HTTP/1.0\r\n\r\n", 200},  // no Host
        {"GET /index.html HTTP/1.1\r\nHost: evil.example\r\n\r\n", 403},
        {"GET /index.html HTTP/1.1\r\nHost: evil.example:" + p + "\r\n\r\n", 403},
        {"GET /index.html HTTP/1.1\r\nHost: 127.0.0.1:1\r\n\r\n", 403},
        {"GET /index.html HTTP/1.1\r\nHost: 127.0.0.1\r\nHost: evil.example\r\n\r\n", 403},
        {"GET /index.html HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: http://evil.example\r\n\r\n", 200},
        {post("Origin: http://evil.example\r\n"), 403},
        {post("Origin: null\r\n"), 403},
        {post("Origin: http://127.0.0.1\r\n"), 403},  // not the listening port
        {post("Origin: http://127.0.0.1:" + p + "\r\n"), 200},
        {post("Origin: http://localhost:" + p + "\r\n"), 200},
        {post(""), 200},  // no Origin
    };
    for (const Case& c : cases) EXPECT_EQ(status(port, c.request), c.status) << c.request;
    EXPECT_EQ(testkit::http_get(port, "/env.php").body, "/data/of/the/app|0");
}

TEST_F(AppServer, OnEveryAddressAfterSetListenAddressWithoutTheLoopbackCheck) {
    Settings().ListenAddress = "0.0.0.0";
    int port = start();
    EXPECT_EQ(testkit::listening_address(port), "0.0.0.0");
    EXPECT_EQ(status(port, "GET /index.html HTTP/1.1\r\nHost: evil.example\r\n\r\n"), 200);
    EXPECT_EQ(status(port, post("Origin: http://evil.example\r\n")), 200);
}

TEST_F(AppServer, APrivateServerAnswersOnlyRequestsWithItsToken) {
    Settings().PrivateServer = true;
    int port = start();
    const std::string token = ServerToken();
    ASSERT_EQ(token.size(), 64u);
    EXPECT_EQ(testkit::http_get(port, "/index.html").status, 403);
    EXPECT_EQ(testkit::http_get(port, "/index.html", "Cookie: vantrel_token=" + std::string(64, '0') + "\r\n").status,
              403);
    EXPECT_EQ(testkit::http_get(port, "/index.html", "Cookie: vantrel_token=" + token.substr(1) + "\r\n").status, 403);
    EXPECT_EQ(testkit::http_get(port, "/index.html", "Cookie: a=b; vantrel_token=" + token + "; c=d\r\n").status, 200);
    testkit::HttpReply env = testkit::http_get(port, "/env.php", "Cookie: vantrel_token=" + token + "\r\n");
    EXPECT_EQ(env.body, "|64");
    // Every start makes a new token.
    FreeServer();
    start();
    EXPECT_NE(ServerToken(), token);
}

}  // namespace
}  // namespace shelltest
