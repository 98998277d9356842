// What makes each application its own, without a window: the id from its
// folder, the command line, the private data folder with its seed, the script
// functions of the server and the data folder, the remembered window place,
// and the embedded server's listener, loopback check and private token.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#ifdef VANTREL_HAVE_GIO
#include <gio/gio.h>
#endif

#include "server/server.hpp"
#include "shell/model/Globals.hpp"
#include "shell/model/Webserver.hpp"
#include "shell/model/app_data.hpp"
#include "shell/model/app_identity.hpp"
#include "shell/model/request_log.hpp"
#include "shell/model/site_changes.hpp"
#include "shell/model/app_port.hpp"
#include "shell/model/app_server.hpp"
#include "shell/model/php_extensions.hpp"
#include "shell/model/cookie_store.hpp"
#include "shell/model/window_geometry.hpp"
#include "shell_fixture.hpp"
#include "testkit.hpp"

namespace shelltest {
namespace {

namespace fs = std::filesystem;

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
        std::vector<std::string> arguments = {};
    };
    const Case cases[] = {
        {{"vantrel"}, CommandLine::Run, ""},
        {{"vantrel", "--help"}, CommandLine::Help, ""},
        {{"vantrel", "--version"}, CommandLine::Version, ""},
        {{"vantrel", "/usr/share/notes"}, CommandLine::Run, "/usr/share/notes"},
        {{"vantrel", "apps/my notes"}, CommandLine::Run, "apps/my notes"},
        {{"vantrel", "-h"}, CommandLine::Bad, ""},
        {{"vantrel", "--help", "x"}, CommandLine::Bad, ""},
        {{"vantrel", "--version", "x"}, CommandLine::Bad, ""},
        {{"vantrel", "a", "b"}, CommandLine::Run, "a", {"b"}},
        {{"vantrel", "/usr/share/notes", "--help", "notes://x", ""}, CommandLine::Run, "/usr/share/notes",
         {"--help", "notes://x", ""}},
        {{"vantrel", ""}, CommandLine::Bad, ""},
        {{"vantrel", "--display=:1"}, CommandLine::Bad, ""},
        {{"vantrel", "--check"}, CommandLine::Check, ""},
        {{"vantrel", "--check", "apps/my notes"}, CommandLine::Check, "apps/my notes"},
        {{"vantrel", "--check", "a", "b"}, CommandLine::Bad, ""},
        {{"vantrel", "--check", "--help"}, CommandLine::Bad, ""},
        {{"vantrel", "--check", ""}, CommandLine::Bad, ""},
        {{"vantrel", "apps", "--check"}, CommandLine::Run, "apps", {"--check"}},
    };
    for (const Case& c : cases) {
        CommandLine line = ParseCommandLine(static_cast<int>(c.argv.size()), c.argv.data());
        EXPECT_EQ(line.action, c.action) << (c.argv.size() > 1 ? c.argv[1] : "(none)");
        EXPECT_EQ(line.folder, c.folder);
        EXPECT_EQ(line.arguments, c.arguments);
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

// Data folders made by one version of the application, started with the next.
TEST_F(DataFolder, WhatANewerSeedAddsArrivesAndWhatTheUserRemovedStaysRemoved) {
    testkit::write_file(app / "data.seed/notes.json", "[1]");
    testkit::write_file(app / "data.seed/db/one.txt", "one");
    ASSERT_TRUE(prepare());
    std::remove((folders.writable + "/db/one.txt").c_str());  // the user removes a seeded file
    testkit::write_file(folders.writable + "/notes.json", "[\"mine\"]");
    // Version 2 adds a file, changes one, and brings the removed one again.
    testkit::write_file(app / "data.seed/db/two.txt", "two");
    testkit::write_file(app / "data.seed/notes.json", "[2]");
    ASSERT_TRUE(prepare());
    EXPECT_EQ(testkit::read_file(folders.writable + "/db/two.txt"), "two");
    EXPECT_EQ(testkit::read_file(folders.writable + "/notes.json"), "[\"mine\"]");
    EXPECT_FALSE(testkit::file_exists(folders.writable + "/db/one.txt"));
    // A file the user made where a later seed file lands is kept.
    testkit::write_file(folders.writable + "/three.txt", "user's");
    testkit::write_file(app / "data.seed/three.txt", "seed's");
    ASSERT_TRUE(prepare());
    EXPECT_EQ(testkit::read_file(folders.writable + "/three.txt"), "user's");
    std::remove((folders.writable + "/three.txt").c_str());
    ASSERT_TRUE(prepare());
    EXPECT_FALSE(testkit::file_exists(folders.writable + "/three.txt")) << "recorded as the user's choice";
}

TEST_F(DataFolder, AFolderSeededByAnEarlierVantrelGetsOnlyLaterSeedFiles) {
    // Earlier versions marked a seeded folder, without a record of the files.
    testkit::write_file(app / "data.seed/old.txt", "old");
    testkit::make_dirs(folders.writable);
    testkit::write_file(folders.seed_marker(), "data.seed copied\n");
    ASSERT_TRUE(prepare());
    EXPECT_FALSE(testkit::file_exists(folders.writable + "/old.txt")) << "removed by the user, or it would be there";
    testkit::write_file(app / "data.seed/new.txt", "new");
    ASSERT_TRUE(prepare());
    EXPECT_EQ(testkit::read_file(folders.writable + "/new.txt"), "new");
    EXPECT_FALSE(testkit::file_exists(folders.writable + "/old.txt"));
}

TEST_F(DataFolder, SeedLinksStayInsideTheSeedAndNothingIsWrittenThroughALink) {
    testkit::TempDir elsewhere;
    testkit::write_file(elsewhere / "secret.txt", "secret");
    testkit::write_file(app / "data.seed/real/inner.txt", "inner");
    testkit::write_file(app / "data.seed/target.txt", "target");
    ASSERT_EQ(symlink("target.txt", (app / "data.seed/alias.txt").c_str()), 0);
    ASSERT_EQ(symlink("real", (app / "data.seed/folder-alias").c_str()), 0);
    ASSERT_EQ(symlink((elsewhere / "secret.txt").c_str(), (app / "data.seed/absolute.txt").c_str()), 0);
    ASSERT_EQ(symlink("../../../../etc", (app / "data.seed/up").c_str()), 0);
    ASSERT_EQ(symlink(".", (app / "data.seed/real/loop").c_str()), 0);
    ASSERT_EQ(symlink("missing.txt", (app / "data.seed/dangling.txt").c_str()), 0);
    // In the data folder, a link where a seed folder would go leads elsewhere.
    testkit::write_file(app / "data.seed/shared/file.txt", "must not land elsewhere");
    testkit::make_dirs(folders.writable);
    ASSERT_EQ(symlink(elsewhere.path().c_str(), (folders.writable + "/shared").c_str()), 0);

    std::string error;
    std::vector<std::string> notes;
    ASSERT_TRUE(PrepareApplicationFolders(folders, app / "data.seed", error, &notes)) << error;
    const std::string& w = folders.writable;
    EXPECT_EQ(testkit::read_file(w + "/alias.txt"), "target");
    EXPECT_FALSE(fs::is_symlink(w + "/alias.txt")) << "copied as what it points to";
    EXPECT_EQ(testkit::read_file(w + "/folder-alias/inner.txt"), "inner");
    EXPECT_EQ(testkit::read_file(w + "/real/inner.txt"), "inner");
    for (const char* left_out : {"/absolute.txt", "/up", "/real/loop", "/dangling.txt"})
        EXPECT_FALSE(fs::exists(fs::symlink_status(w + left_out))) << left_out;
    EXPECT_FALSE(testkit::file_exists(elsewhere / "file.txt"));
    std::string all;
    for (const std::string& n : notes) all += n + "\n";
    for (const char* named : {"data.seed/absolute.txt is a link that leads out of data.seed",
                              "data.seed/up is a link that leads out of data.seed", "data.seed/real/loop",
                              "data.seed/dangling.txt is a link to nothing", "data.seed/shared"})
        EXPECT_NE(all.find(named), std::string::npos) << named << " in\n" << all;
    // Nothing beside the data folder either.
    EXPECT_EQ(std::distance(fs::directory_iterator(folders.data), fs::directory_iterator()), 2)
        << "data/ and seed-copied only";
}

// A cookie store the browser engine could not read is moved aside under the
// day's name; a sound or empty one, or none, stays.
TEST_F(DataFolder, AnUnreadableCookieStoreIsMovedAside) {
    ASSERT_TRUE(prepare());
    const std::string store = folders.cookies();
    std::tm day{};
    day.tm_year = 2024 - 1900, day.tm_mon = 2, day.tm_mday = 9, day.tm_hour = 12;
    const std::time_t now = std::mktime(&day);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((home / "sound.sqlite").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE moz_cookies (name TEXT); INSERT INTO moz_cookies VALUES ('a');", nullptr,
                           nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    struct Case {
        const char* name;
        std::string content;  // "-" for no file
        std::string moved_to;
    } cases[] = {
        {"none", "-", ""},
        {"empty", "", ""},
        {"sound", testkit::read_file(home / "sound.sqlite"), ""},
        {"garbage", "this is not a database, just text that fills more than one header", store + ".broken-2024-03-09"},
        {"garbage again that day", std::string(5000, 'x'), store + ".broken-2024-03-09.2"},
        {"a damaged database", testkit::read_file(home / "sound.sqlite").substr(0, 100) + std::string(4000, '\x7f'),
         store + ".broken-2024-03-09.3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::remove(store.c_str());
        if (c.content != "-") testkit::write_file(store, c.content);
        std::string error;
        EXPECT_EQ(MoveAsideUnreadableCookieStore(store, now, error), c.moved_to);
        EXPECT_EQ(error, "");
        EXPECT_EQ(testkit::file_exists(store), c.content != "-" && c.moved_to.empty());
        if (c.moved_to.empty()) continue;
        EXPECT_TRUE(testkit::read_file(c.moved_to) == c.content);
    }
}

using AppScriptApi = ShellTest;

TEST_F(AppScriptApi, AreRegisteredAfterTheEleven) {
    run("t1, t2, t3 = type(SetListenAddress), type(SetPrivateServer), type(GetDataPath)\n"
        "t4, t5 = type(GetWebserverPort), type(RequirePHPExtensions)\n");
    for (const char* name : {"t1", "t2", "t3", "t4", "t5"}) EXPECT_EQ(global(name), "function") << name;
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

TEST_F(AppScriptApi, GetWebserverPortAnswersThePortToTryThenTheBoundOne) {
    Settings().ApplicationId = "org.example.Port";
    run("p = GetWebserverPort()\n");
    EXPECT_EQ(global("p"), std::to_string(DerivedPort("org.example.Port", getuid())));
    run("SetWebserverPort(0) p = GetWebserverPort()\n");
    EXPECT_EQ(global("p"), "0");
    run("SetWebserverPort('8123') p = GetWebserverPort()\n");
    EXPECT_EQ(global("p"), "8123");
    testkit::TempDir site;
    StartServer(site.path(), "", 0);
    run("p = GetWebserverPort()\n");
    EXPECT_EQ(global("p"), std::to_string(ServerPort()));
    EXPECT_NE(global("p"), "0");
    FreeServer();
}

TEST_F(AppScriptApi, RequirePHPExtensionsTakesModuleNamesAndLists) {
    EXPECT_TRUE(completes("RequirePHPExtensions('pdo_sqlite', ' gd , intl,', 'Zend OPcache')"));
    EXPECT_EQ(Settings().PHPExtensions, (std::vector<std::string>{"pdo_sqlite", "gd", "intl", "Zend OPcache"}));
    EXPECT_TRUE(completes("RequirePHPExtensions()"));
    for (const char* bad : {"RequirePHPExtensions('gd', {})", "RequirePHPExtensions(nil)",
                            "RequirePHPExtensions('gd', 'pdo;sqlite')", "RequirePHPExtensions('<b>')"}) {
        EXPECT_FALSE(completes(bad)) << bad;
        EXPECT_EQ(Settings().PHPExtensions.size(), 4u) << bad << ": checked before anything is kept";
    }
    run("ok, message = pcall(function() RequirePHPExtensions('gd', 'a/b') end)");
    EXPECT_EQ(caught_message(), "bad argument #2 to 'RequirePHPExtensions' ('a/b' is not a PHP module name)");
}

TEST(ApplicationPort, DerivedFromTheIdAndTheUserInItsRange) {
    std::set<int> ports;
    for (const char* id : {"org.example.Notes", "org.example.Wiki", "vantrel.app.demo"}) {
        for (uid_t user : {0u, 1000u, 1001u}) {
            int port = DerivedPort(id, user);
            EXPECT_EQ(port, DerivedPort(id, user)) << "the same at every start";
            EXPECT_GE(port, kDerivedPortFirst);
            EXPECT_LE(port, kDerivedPortLast);
            ports.insert(port);
        }
    }
    EXPECT_GE(ports.size(), 8u) << "users and applications get ports of their own";
    EXPECT_LT(kDerivedPortLast, 32768) << "below the ports the kernel gives outgoing connections";
}

TEST(PhpExtensions, NamesPackagesAndThePageThatSaysWhatToInstall) {
    std::vector<std::string> names;
    std::string bad;
    EXPECT_TRUE(ParseExtensionList(" pdo_sqlite, gd ,,intl ", names, bad));
    EXPECT_EQ(names, (std::vector<std::string>{"pdo_sqlite", "gd", "intl"}));
    EXPECT_FALSE(ParseExtensionList("gd, pdo;sqlite", names, bad));
    EXPECT_EQ(bad, "pdo;sqlite");
    const std::pair<const char*, const char*> packages[] = {
        {"pdo_sqlite", "php-sqlite3"}, {"sqlite3", "php-sqlite3"}, {"gd", "php-gd"},     {"intl", "php-intl"},
        {"mbstring", "php-mbstring"},  {"dom", "php-xml"},         {"SimpleXML", "php-xml"}, {"xml", "php-xml"},
        {"curl", "php-curl"},          {"zip", "php-zip"},         {"PDO", "php-cgi"},     {"Zend OPcache", "php-cgi"},
        {"frobnicate", ""},
    };
    for (const auto& [module, package] : packages) EXPECT_EQ(DebianPackageFor(module), package) << module;
    EXPECT_EQ(MissingExtensions({"PDO", "gd", "pdo_sqlite", "GD", "Core"}, {"Core", "pdo", "PDO_SQLITE"}),
              (std::vector<std::string>{"gd"}));

    std::string page = MissingExtensionsPage({"gd", "intl", "frobnicate"}, "/usr/bin/php-cgi");
    for (const char* part : {"<code>/usr/bin/php-cgi</code>", "<b>gd</b>: install the Debian package <code>php-gd</code>",
                             "<b>intl</b>: install the Debian package <code>php-intl</code>",
                             "<b>frobnicate</b>: no Debian package for it is known",
                             "<pre>sudo apt install php-gd php-intl</pre>"})
        EXPECT_NE(page.find(part), std::string::npos) << part << " not in\n" << page;
    EXPECT_EQ(MissingExtensionLine("pdo_sqlite"), "PHP extension \"pdo_sqlite\" is missing: install the Debian package php-sqlite3");
}

// vantrel-pack turns the same names into Depends with a table of its own.
TEST(PhpExtensions, VantrelPackHoldsTheSameTable) {
    std::string script = testkit::read_file(testkit::source_dir() + "/src/pack/vantrel-pack.in");
    std::size_t start = script.find("readonly PHP_PACKAGES='\n");
    ASSERT_NE(start, std::string::npos);
    std::size_t end = script.find("'\n", start + 24);
    std::istringstream lines(script.substr(start + 24, end - start - 24));
    std::string line;
    int rows = 0;
    while (std::getline(lines, line)) {
        std::size_t colon = line.find(':');
        ASSERT_NE(colon, std::string::npos) << line;
        EXPECT_EQ(DebianPackageFor(line.substr(0, colon)), line.substr(colon + 1)) << line;
        ++rows;
    }
    EXPECT_GT(rows, 30);
    for (const char* module : {"pdo_sqlite", "gd", "intl", "mbstring", "xml", "curl", "zip", "mysqli", "core"})
        EXPECT_NE(script.find(std::string("\n") + module + ":"), std::string::npos) << module;
}

// A stand-in interpreter that lists the modules of a file and counts its runs.
class InterpreterModuleList : public ::testing::Test {
protected:
    void SetUp() override {
        testkit::write_file(modules, "[PHP Modules]\nCore\npdo_sqlite\n\n[Zend Modules]\nZend OPcache\n\n");
        write_interpreter("");
    }
    void write_interpreter(const std::string& extra) {
        testkit::write_file(interpreter, "#!/bin/sh\necho \"$*\" >> " + runs + "\ncat " + modules + "\n" + extra);
        chmod(interpreter.c_str(), 0755);
    }
    int run_count() {
        std::string text = testkit::file_exists(runs) ? testkit::read_file(runs) : "";
        return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
    }
    testkit::TempDir dir;
    std::string interpreter = dir / "php-cgi", modules = dir / "modules", runs = dir / "runs";
    std::string cache = dir / "cache";
};

TEST_F(InterpreterModuleList, IsKeptWhileTheInterpreterAndItsPhpIniAreUnchanged) {
    ModuleList first = InterpreterModules(interpreter, {}, cache);
    ASSERT_TRUE(first.ran) << first.error;
    EXPECT_FALSE(first.cached);
    EXPECT_EQ(first.names, (std::vector<std::string>{"Core", "pdo_sqlite", "Zend OPcache"}));
    EXPECT_EQ(testkit::read_file(runs), "-m\n");
    EXPECT_TRUE(InterpreterModules(interpreter, {}, cache).cached);
    EXPECT_EQ(run_count(), 1);
    write_interpreter("# a new version\n");
    EXPECT_FALSE(InterpreterModules(interpreter, {}, cache).cached);
    EXPECT_EQ(run_count(), 2);
    // With the application's php.ini: another list, read again when the file changes.
    testkit::write_file(dir / "php.ini", "extension=gd\n");
    EXPECT_FALSE(InterpreterModules(interpreter, {"-c", dir / "php.ini"}, cache).cached);
    EXPECT_TRUE(InterpreterModules(interpreter, {"-c", dir / "php.ini"}, cache).cached);
    testkit::write_file(dir / "php.ini", "extension=gd\nextension=intl\n");
    EXPECT_FALSE(InterpreterModules(interpreter, {"-c", dir / "php.ini"}, cache).cached);
    EXPECT_EQ(run_count(), 4);
    EXPECT_EQ(testkit::read_file(runs).substr(testkit::read_file(runs).rfind("-c")), "-c " + dir / "php.ini" + " -m\n");
    ModuleList none = InterpreterModules(dir / "no-such-php", {}, "");
    EXPECT_FALSE(none.ran);
    EXPECT_NE(none.error.find("no-such-php"), std::string::npos) << none.error;
}

TEST_F(InterpreterModuleList, AMissingExtensionIsAskedAgainSoOneInstalledSinceCounts) {
    setenv("XDG_CACHE_HOME", (dir / "xdg-cache").c_str(), 1);
    Settings() = ShellSettings{};
    Settings().ApplicationId = "org.example.Modules";
    Settings().PHPPath = interpreter;
    Settings().PHPExtensions = {"pdo_sqlite", "gd"};
    testkit::make_dirs(FoldersFor("org.example.Modules").cache);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(CheckRequiredExtensions(), (std::vector<std::string>{"gd"}));
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "vantrel: PHP extension \"gd\" is missing: install the Debian package php-gd (for " + interpreter +
                       ")\n");
    // php-gd is installed: the interpreter file stays the same, its list does not.
    testkit::write_file(modules, "[PHP Modules]\nCore\ngd\npdo_sqlite\n");
    EXPECT_TRUE(CheckRequiredExtensions().empty());
    EXPECT_TRUE(CheckRequiredExtensions().empty());
    EXPECT_EQ(run_count(), 2) << "asked again once, then the kept list answered";
    // Nothing required: nothing is run.
    Settings().PHPExtensions.clear();
    EXPECT_TRUE(CheckRequiredExtensions().empty());
    EXPECT_EQ(run_count(), 2);
    unsetenv("XDG_CACHE_HOME");
    Settings() = ShellSettings{};
}

TEST(ModuleListOfPhpCgi, ListsTheModulesOfTheRealInterpreter) {
    ModuleList list = InterpreterModules(testkit::kPhpCgi, {}, "");
    ASSERT_TRUE(list.ran) << list.error;
    EXPECT_TRUE(MissingExtensions({"Core", "standard", "pcre"}, list.names).empty());
    EXPECT_EQ(MissingExtensions({"no_such_module"}, list.names), (std::vector<std::string>{"no_such_module"}));
}

// Live reload reacts to what authors save, never to what a site writes for itself.
TEST(LiveReload, AuthoredFilesReloadHookScriptsWaitForARestartTheRestIsLeftAlone) {
    const std::string app = "/apps/wiki", site = "/apps/wiki/site";
    const std::pair<const char*, SiteChange> cases[] = {
        {"/apps/wiki/site/index.php", SiteChange::Reload},
        {"/apps/wiki/site/skin/Main.CSS", SiteChange::Reload},
        {"/apps/wiki/site/lib/deep/er/part.inc", SiteChange::Reload},
        {"/apps/wiki/scripts/about.lua", SiteChange::Reload},
        {"/apps/wiki/onReady.lua", SiteChange::HookScript},
        {"/apps/wiki/onBuildTrayMenu.lua", SiteChange::HookScript},
        {"/apps/wiki/site/onReady.lua", SiteChange::Reload},  // a page's file, not the hook
        {"/apps/wiki/site/data/pages/start.txt", SiteChange::None},
        {"/apps/wiki/site/wiki.sqlite", SiteChange::None},
        {"/apps/wiki/site/.index.php.swp", SiteChange::None},
        {"/apps/wiki/site/index.php~", SiteChange::None},
        {"/apps/wiki/site/4913", SiteChange::None},
        {"/apps/wiki/site/.git/index.php", SiteChange::None},
        {"/apps/wiki/README.md", SiteChange::None},
        {"/apps/wikipedia/site/index.php", SiteChange::None},
        {"/apps/wiki/site", SiteChange::None},
    };
    for (const auto& [path, kind] : cases) EXPECT_EQ(ClassifyChange(path, app, site), kind) << path;
    EXPECT_EQ(ClassifyChange("/srv/pages/a.html", app, "/srv/pages"), SiteChange::Reload) << "a site elsewhere";
}

// The developer's request log: local time in ISO 8601 with its offset, method, path, status, duration.
TEST(RequestLog, OneLinePerRequestWithLocalTimeStatusAndDuration) {
    setenv("TZ", "UTC-2", 1);  // two hours east of UTC
    tzset();
    vantrel::RequestRecord r;
    r.method = "POST";
    r.path = "/edit.php\nX";
    r.status = 500;
    r.duration_ms = 12.44;
    auto when = std::chrono::system_clock::from_time_t(1700000000) + std::chrono::milliseconds(7);
    EXPECT_EQ(RequestLogLine(r, when), "2023-11-15T00:13:20.007+02:00 POST /edit.php\\x0aX 500 12.4 ms");
    unsetenv("TZ");
    tzset();
    EXPECT_TRUE(ShowsRequestErrors(r));
    r.status = 200;
    EXPECT_FALSE(ShowsRequestErrors(r));
    r.program_errors = "PHP Warning:  Undefined variable $x\n";
    EXPECT_TRUE(ShowsRequestErrors(r));
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
    // Kept in device pixels: a run at scale 2 that moves nothing gives back the odd size it was given.
    WindowGeometry odd{101, 35, 901, 601, false};
    EXPECT_EQ(ToToolkitUnits(odd, 2), (WindowGeometry{51, 18, 451, 301, false}));
    EXPECT_EQ(ToDeviceUnits(ToToolkitUnits(odd, 2), 2, odd), odd);
    EXPECT_EQ(ToDeviceUnits({51, 18, 300, 200, true}, 2, odd), (WindowGeometry{101, 35, 600, 400, true}));
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
                            "<?php echo getenv('VANTREL_DATA_DIR'), '|', strlen((string)getenv('VANTREL_SERVER_TOKEN')),"
                            "'|', getenv('VANTREL_NATIVE_URL');");
        testkit::write_file(site / "form.php", "<?php echo 'posted';");
        // A page calling its own server, as a PHP program of a private server does.
        testkit::write_file(site / "call.php",
                            "<?php echo file_get_contents('http://127.0.0.1:' . $_SERVER['SERVER_PORT'] . '/index.html', "
                            "false, stream_context_create(['http' => ['header' => 'X-Vantrel-Token: ' . "
                            "getenv('VANTREL_SERVER_TOKEN')]]));");
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
    // The token exists in every run (the native interface asks for it), and
    // a server that is not private answers without it.
    EXPECT_EQ(testkit::http_get(port, "/env.php").body,
              "/data/of/the/app|64|http://127.0.0.1:" + p + "/_vantrel/");
}

TEST_F(AppServer, OnEveryAddressAfterSetListenAddressWithoutTheLoopbackCheck) {
    Settings().ListenAddress = "0.0.0.0";
    int port = start();
    EXPECT_EQ(testkit::listening_address(port), "0.0.0.0");
    EXPECT_EQ(status(port, "GET /index.html HTTP/1.1\r\nHost: evil.example\r\n\r\n"), 200);
    EXPECT_EQ(status(port, post("Origin: http://evil.example\r\n")), 200);
}

// Holds a port on 127.0.0.1 the way another program would.
class PortHolder {
public:
    explicit PortHolder(int port) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        held_ = bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(fd_, 1) == 0;
    }
    ~PortHolder() { close(fd_); }
    bool held() const { return held_; }

private:
    int fd_ = -1;
    bool held_ = false;
};

TEST_F(AppServer, AnAutomaticPortIsRememberedAndMovesOnWhenTaken) {
    testkit::TempDir home;
    setenv("XDG_DATA_HOME", home.path().c_str(), 1);
    Settings().ApplicationId = "org.example.Port";
    testkit::make_dirs(FoldersFor("org.example.Port").data);
    const int derived = DerivedPort("org.example.Port", getuid());
    auto start_on = [&](int port) {
        StartServer(site.path(), "", port);
        RememberServerPort(ServerPort());
        int bound = ServerPort();
        FreeServer();
        return bound;
    };
    auto remembered = [&] { return testkit::read_file(home / "vantrel/org.example.Port/port"); };
    {
        PortHolder other(derived);  // another program holds the derived port at the first start
        ASSERT_TRUE(other.held());
        EXPECT_EQ(PortToTry(), derived);
        const int moved = ChooseServerPort();
        EXPECT_NE(moved, derived);
        EXPECT_GE(moved, kDerivedPortFirst);
        EXPECT_LE(moved, kDerivedPortLast);
        EXPECT_EQ(start_on(moved), moved);
        EXPECT_EQ(remembered(), std::to_string(moved) + "\n");
    }
    // From then on the moved port is the application's, though the derived one is free again.
    const int mine = std::stoi(remembered());
    EXPECT_EQ(PortToTry(), mine);
    EXPECT_EQ(ChooseServerPort(), mine);
    EXPECT_EQ(start_on(ChooseServerPort()), mine);
    EXPECT_TRUE(fatals.empty());
    // SetWebserverPort(0): any free port at each start, nothing remembered.
    Settings().WebserverPort = 0;
    EXPECT_EQ(ChooseServerPort(), 0);
    EXPECT_GT(start_on(0), 0);
    EXPECT_EQ(remembered(), std::to_string(mine) + "\n");
    // SetWebserverPort(n): that port, even when it is taken (the start then fails).
    PortHolder taken(mine);
    Settings().WebserverPort = mine;
    EXPECT_EQ(ChooseServerPort(), mine);
    unsetenv("XDG_DATA_HOME");
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
    EXPECT_EQ(env.body.substr(0, 4), "|64|");
    // The programs the application starts send the token as a header.
    EXPECT_EQ(testkit::http_get(port, "/index.html", "X-Vantrel-Token: " + token + "\r\n").status, 200);
    EXPECT_EQ(testkit::http_get(port, "/index.html", "X-Vantrel-Token: " + token.substr(1) + "0\r\n").status, 403);
    EXPECT_EQ(testkit::http_get(port, "/index.html", "X-Vantrel-Token: \r\n").status, 403);
    EXPECT_EQ(testkit::http_get(port, "/call.php", "Cookie: vantrel_token=" + token + "\r\n").body, "home");
    // Every start makes a new token.
    FreeServer();
    start();
    EXPECT_NE(ServerToken(), token);
}

}  // namespace
}  // namespace shelltest
