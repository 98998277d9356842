// Debian packages: Vantrel's own (built by CPack from the build tree) and an
// application's (built by the installed vantrel-pack), checked with the real
// Debian tools.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>

#include "testkit.hpp"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string trimmed(std::string s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.pop_back();
    return s;
}

std::string control_field(const std::string& deb, const std::string& field) {
    return trimmed(testkit::run_command({"dpkg-deb", "-f", deb, field}).out);
}

// Path (without the leading ".") -> the listing's mode column, plus " -> target" for links.
std::map<std::string, std::string> package_contents(const std::string& deb) {
    std::map<std::string, std::string> files;
    std::istringstream lines(testkit::run_command({"dpkg-deb", "--contents", deb}).out);
    std::string line;
    while (std::getline(lines, line)) {
        // drwxr-xr-x root/root 0 2026-12-08 19:40 ./usr/bin/x -> y
        auto at = line.find(" ./");
        if (at == std::string::npos) continue;
        std::string path = line.substr(at + 2), mode = line.substr(0, 10), owner;
        std::istringstream(line) >> owner >> owner;
        auto arrow = path.find(" -> ");
        std::string link;
        if (arrow != std::string::npos) {
            link = path.substr(arrow);
            path.resize(arrow);
        }
        if (path.size() > 1 && path.back() == '/') path.pop_back();
        files[path] = mode + " " + owner + link;
    }
    return files;
}

// Lintian's verdict: no error and no warning (informational tags are fine).
void expect_lintian_clean(const std::string& deb) {
    auto lint = testkit::run_command({"lintian", "--tag-display-limit", "0", deb}, "", 300s);
    EXPECT_EQ(lint.exit_code, 0) << lint.out << lint.err;
    std::istringstream lines(lint.out);
    std::string line;
    while (std::getline(lines, line))
        EXPECT_FALSE(line.rfind("E: ", 0) == 0 || line.rfind("W: ", 0) == 0) << line;
}

// A file of the package's data as text.
std::string package_file(const std::string& deb, const std::string& path) {
    testkit::TempDir root;
    testkit::run_command({"dpkg-deb", "-x", deb, root.path()});
    return testkit::file_exists(root / path) ? testkit::read_file(root / path) : "";
}

std::vector<std::string> folder_entries(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
    return names;
}

// vantrel-pack as installed by `cmake --install`, once for the whole program.
class Installed {
public:
    static Installed& Instance() {
        static Installed installed;
        return installed;
    }
    std::string pack() const { return prefix_ / "bin/vantrel-pack"; }
    const std::string& error() const { return error_; }

private:
    Installed() {
        auto r = testkit::run_command({"cmake", "--install", testkit::build_dir(), "--prefix", prefix_.path()}, "", 60s);
        if (r.exit_code != 0) error_ = "cmake --install failed: " + r.out + r.err;
    }
    testkit::TempDir prefix_;
    std::string error_;
};

// One vantrel-pack run with its own output and temporary folders.
struct PackRun {
    testkit::TempDir out, tmp;
    testkit::CommandResult result;

    PackRun(const std::string& folder, const std::vector<std::string>& options) {
        std::vector<std::string> argv{"env", "TMPDIR=" + tmp.path(), "DEBFULLNAME=Pat Packer",
                                      "DEBEMAIL=pat@example.org", Installed::Instance().pack(), "-o", out.path()};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.push_back(folder);
        result = testkit::run_command(argv, "", 60s);
    }
    std::string deb() const { return trimmed(result.out); }
};

// An application folder with onInit.lua and whatever else the case adds.
struct AppFolder {
    testkit::TempDir parent;
    std::string path;
    explicit AppFolder(const std::string& name = "app", const std::map<std::string, std::string>& files = {}) {
        path = parent / name;
        testkit::make_dirs(path);
        testkit::write_file(path + "/onInit.lua", "SetTitle('Packed')\n");
        for (const auto& [file, content] : files) testkit::write_file(path + "/" + file, content);
    }
};

// The first bytes of a PNG image: signature and header chunk with the size.
std::string png_header(unsigned width, unsigned height) {
    std::string png("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16);
    for (unsigned value : {width, height})
        for (int shift = 24; shift >= 0; shift -= 8) png += static_cast<char>((value >> shift) & 0xff);
    png += std::string("\x08\x06\0\0\0", 5);
    return png;
}

class PackTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!Installed::Instance().error().empty()) GTEST_FAIL() << Installed::Instance().error();
    }
};

TEST_F(PackTest, VantrelPackageHasTheInstallLayoutAndItsLibrariesAsDepends) {
    testkit::TempDir work;
    auto r = testkit::run_command(
        {"cpack", "-G", "DEB", "--config", testkit::build_dir() + "/CPackConfig.cmake", "-B", work.path()}, "", 300s);
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    std::string arch = trimmed(testkit::run_command({"dpkg", "--print-architecture"}).out);
    std::string deb = work / ("vantrel_" VANTREL_VERSION "_" + arch + ".deb");
    ASSERT_TRUE(fs::is_regular_file(deb)) << r.out;

    EXPECT_EQ(control_field(deb, "Package"), "vantrel");
    EXPECT_EQ(control_field(deb, "Version"), VANTREL_VERSION);
    EXPECT_EQ(control_field(deb, "Architecture"), arch);
    EXPECT_EQ(control_field(deb, "Recommends"), "php-cgi");
    std::string depends = control_field(deb, "Depends");
    for (const char* library : {"libwebkit2gtk-4.1-0", "libgtk-3-0", "liblua5.1-0", "libssl3", "libc6",
                                "libjson-glib-1.0-0", "libayatana-appindicator3-1"})
        EXPECT_NE(depends.find(library), std::string::npos) << library << " missing from " << depends;

    auto files = package_contents(deb);
    const std::map<std::string, std::string> expected{
        {"/usr/lib/vantrel/vantrel", "-rwxr-xr-x root/root"},
        {"/usr/lib/vantrel/vantrel-httpd", "-rwxr-xr-x root/root"},
        {"/usr/lib/vantrel/vantrel.php", "-rw-r--r-- root/root"},
        {"/usr/bin/vantrel", "lrwxrwxrwx root/root -> ../lib/vantrel/vantrel"},
        {"/usr/bin/vantrel-httpd", "lrwxrwxrwx root/root -> ../lib/vantrel/vantrel-httpd"},
        {"/usr/bin/vantrel-pack", "-rwxr-xr-x root/root"},
        {"/usr/share/applications/vantrel.desktop", "-rw-r--r-- root/root"},
        {"/usr/share/icons/hicolor/scalable/apps/vantrel.svg", "-rw-r--r-- root/root"},
        {"/usr/share/vantrel/demo/onInit.lua", "-rw-r--r-- root/root"},
        {"/usr/share/vantrel/demo/site/hello.php", "-rw-r--r-- root/root"},
        {"/usr/share/doc/vantrel/copyright", "-rw-r--r-- root/root"},
        {"/usr/share/doc/vantrel/changelog.gz", "-rw-r--r-- root/root"},
        {"/usr/share/vantrel", "drwxr-xr-x root/root"},
        {"/usr/lib/vantrel/vantrel-default-app", "-rwxr-xr-x root/root"},
        {"/usr/share/man/man1/vantrel.1.gz", "-rw-r--r-- root/root"},
        {"/usr/share/man/man1/vantrel-httpd.1.gz", "-rw-r--r-- root/root"},
        {"/usr/share/man/man1/vantrel-pack.1.gz", "-rw-r--r-- root/root"},
    };
    for (const auto& [path, listing] : expected) EXPECT_EQ(files[path], listing) << path;

    // Debian's own checks: no error and no warning.
    expect_lintian_clean(deb);

    // Unpacked, the stripped programs find every library and run.
    testkit::TempDir root;
    ASSERT_EQ(testkit::run_command({"dpkg-deb", "-x", deb, root.path()}).exit_code, 0);
    for (const char* program : {"vantrel", "vantrel-httpd"}) {
        auto ldd = testkit::run_command({"ldd", root / ("usr/lib/vantrel/" + std::string(program))});
        EXPECT_EQ(ldd.exit_code, 0) << program;
        EXPECT_EQ(ldd.out.find("not found"), std::string::npos) << ldd.out;
    }
    auto added = testkit::run_command(
        {root / "usr/bin/vantrel-httpd", "-A", root / "passwords", "realm", "user", "secret"});
    EXPECT_EQ(added.exit_code, 0) << added.err;
    EXPECT_EQ(testkit::read_file(root / "passwords").rfind("user:realm:", 0), 0u);
    auto valid = testkit::run_command({"desktop-file-validate", root / "usr/share/applications/vantrel.desktop"});
    EXPECT_EQ(valid.exit_code, 0) << valid.out << valid.err;
    // The copyright file names the licence, in Debian's machine-readable form.
    std::string copyright = testkit::read_file(root / "usr/share/doc/vantrel/copyright");
    EXPECT_EQ(copyright.rfind("Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n", 0), 0u);
    EXPECT_NE(copyright.find("\nLicense: MIT\n Permission is hereby granted"), std::string::npos) << copyright;
    // Built with Debian's hardening: fortified calls, read-only relocations bound at start, PIE.
    auto elf = testkit::run_command({"readelf", "-W", "-d", "-h", "--dyn-syms", root / "usr/lib/vantrel/vantrel-httpd"});
    EXPECT_NE(elf.out.find("DYN (Position-Independent Executable file)"), std::string::npos);
    EXPECT_NE(elf.out.find("BIND_NOW"), std::string::npos);
    EXPECT_NE(elf.out.find("_chk@"), std::string::npos) << "no fortified libc calls";
    EXPECT_NE(testkit::run_command({"readelf", "-l", root / "usr/lib/vantrel/vantrel"}).out.find("GNU_RELRO"),
              std::string::npos);
}

TEST_F(PackTest, DemoPackageHoldsFolderLauncherEntryAndIcon) {
    PackRun run(testkit::source_dir() + "/demo", {});
    ASSERT_EQ(run.result.exit_code, 0) << run.result.err;
    std::string deb = run.deb();
    EXPECT_EQ(deb, run.out / "vantrel-demo_0.1.0_all.deb");
    // The demo has no icon of its own: Vantrel's is used, with a notice.
    EXPECT_NE(run.result.err.find("notice: " + testkit::source_dir() + "/demo has no icon.png or icon.svg"),
              std::string::npos)
        << run.result.err;

    // Control fields from the demo's manifest; PHP pages make php-cgi a dependency.
    EXPECT_EQ(control_field(deb, "Package"), "vantrel-demo");
    EXPECT_EQ(control_field(deb, "Version"), "0.1.0");
    EXPECT_EQ(control_field(deb, "Architecture"), "all");
    EXPECT_EQ(control_field(deb, "Depends"), "vantrel (>= " VANTREL_VERSION "), php-cgi");
    EXPECT_EQ(control_field(deb, "Maintainer"), "Vantrel maintainers <maintainers@vantrel.example>");
    EXPECT_EQ(control_field(deb, "Description").rfind("demo application of Vantrel:", 0), 0u);

    auto files = package_contents(deb);
    for (const char* path : {"/usr/share/vantrel.app.demo/onInit.lua", "/usr/share/vantrel.app.demo/site/hello.php",
                             "/usr/share/vantrel.app.demo/scripts/greet.lua"})
        EXPECT_EQ(files[path], "-rw-r--r-- root/root") << path;
    EXPECT_EQ(files["/usr/bin/vantrel-demo"], "-rwxr-xr-x root/root");
    EXPECT_EQ(files["/usr/share/applications/vantrel.app.demo.desktop"], "-rw-r--r-- root/root");
    EXPECT_EQ(files["/usr/share/icons/hicolor/scalable/apps/vantrel.app.demo.svg"], "-rw-r--r-- root/root");
    EXPECT_EQ(files["/usr/share/man/man1/vantrel-demo.1.gz"], "-rw-r--r-- root/root");
    // The installed manifest holds the settings the package was made with.
    std::string manifest = package_file(deb, "usr/share/vantrel.app.demo/vantrel-app.conf");
    EXPECT_NE(manifest.find("\nid = vantrel.app.demo\n"), std::string::npos) << manifest;
    EXPECT_NE(manifest.find("\nlicense = MIT\n"), std::string::npos) << manifest;
    EXPECT_EQ(manifest.find("maintainer"), std::string::npos) << manifest;
    EXPECT_NE(package_file(deb, "usr/share/doc/vantrel-demo/copyright").find("\nLicense: MIT\n MIT License\n"),
              std::string::npos);

    testkit::TempDir root;
    ASSERT_EQ(testkit::run_command({"dpkg-deb", "-x", deb, root.path()}).exit_code, 0);
    std::string entry_path = root / "usr/share/applications/vantrel.app.demo.desktop";
    auto valid = testkit::run_command({"desktop-file-validate", entry_path});
    EXPECT_EQ(valid.exit_code, 0) << valid.out << valid.err;
    std::string entry = testkit::read_file(entry_path);
    for (const char* line : {"\nName=Vantrel Demo\n", "\nExec=vantrel-demo %U\n", "\nIcon=vantrel.app.demo\n",
                             "\nMimeType=x-scheme-handler/vantrel-demo;\n",
                             "\nStartupWMClass=vantrel.app.demo\n", "\nCategories=Development;\n"})
        EXPECT_NE(entry.find(line), std::string::npos) << line << " not in\n" << entry;
    EXPECT_EQ(testkit::read_file(root / "usr/share/icons/hicolor/scalable/apps/vantrel.app.demo.svg"),
              testkit::read_file(testkit::source_dir() + "/src/shell/desktop/vantrel.svg"));

    // The launcher starts `vantrel` (here a stand-in that reports what it got)
    // on the folder beside it, with the id pinned and the arguments passed on.
    testkit::write_file(root / "bin/vantrel", "#!/bin/sh\necho \"id=$VANTREL_APP_ID\"\nfor a; do echo \"arg=$a\"; done\n");
    fs::permissions(root / "bin/vantrel", fs::perms::owner_all);
    auto launched = testkit::run_command(
        {"env", "PATH=" + root.path() + "/bin:/usr/bin:/bin", root / "usr/bin/vantrel-demo", "two words"});
    EXPECT_EQ(launched.exit_code, 0) << launched.err;
    EXPECT_EQ(launched.out, "id=vantrel.app.demo\narg=" + root.path() + "/usr/share/vantrel.app.demo\narg=two words\n");

    EXPECT_TRUE(folder_entries(run.tmp.path()).empty()) << "staging folder left behind";

    expect_lintian_clean(deb);
}

// Settings from options, the manifest and the defaults; icons by kind and size.
TEST_F(PackTest, SettingsAndIconsMakeTheExpectedPackage) {
    struct Case {
        const char* what;
        const char* folder_name;
        std::map<std::string, std::string> files;
        std::vector<std::string> options;
        const char* deb;      // file name of the package
        const char* id;       // application id in its file names
        const char* depends;  // Depends field
        const char* icon;     // the icon's path under usr/share/icons/hicolor/
        const char* copyright = "";  // a part of the copyright file
        std::vector<std::string> entry_lines = {};  // lines the desktop entry holds
    };
    const std::vector<Case> cases{
        {"defaults from the folder's name", "My App", {{"icon.svg", "<svg/>"}}, {}, "my-app_1.0_all.deb",
         "vantrel.app.my_app", "vantrel (>= " VANTREL_VERSION ")", "scalable/apps/vantrel.app.my_app.svg"},
        {"options", "app",
         {{"icon.png", png_header(64, 64)}, {"site/x.php", "<?php"}, {"notes_2.0_all.deb", "left by a run"}},
         {"--name", "notes", "-v", "2.1-3", "--id=org.example.Notes", "-s", "Keeps notes"},
         "notes_2.1-3_all.deb", "org.example.Notes", "vantrel (>= " VANTREL_VERSION "), php-cgi",
         "64x64/apps/org.example.Notes.png"},
        {"manifest, an option wins over it", "app",
         {{"vantrel-app.conf", "# comment\n\nname = wiki\r\nversion=3.0\n  id =  org.example.Wiki  \n"
                               "mime_types = text/markdown;text/x-wiki\nurl_schemes = wiki;wiki+page\n"},
          {"icon.png", png_header(300, 200)}},
         {"--version", "4.0"}, "wiki_4.0_all.deb", "org.example.Wiki", "vantrel (>= " VANTREL_VERSION ")",
         "256x256/apps/org.example.Wiki.png", "",
         {"Exec=wiki %U", "MimeType=text/markdown;text/x-wiki;x-scheme-handler/wiki;x-scheme-handler/wiki+page;"}},
        {"url schemes as an option", "app", {{"icon.svg", "<svg/>"}}, {"-n", "links", "--url-schemes", "links"},
         "links_1.0_all.deb", "vantrel.app.links", "vantrel (>= " VANTREL_VERSION ")",
         "scalable/apps/vantrel.app.links.svg", "", {"Exec=links %U", "MimeType=x-scheme-handler/links;"}},
        {"small odd-sized icon, epoch left out of the file name", "app", {{"icon.png", png_header(40, 40)}},
         {"-n", "tiny", "-v", "1:2.0", "-i", "org.example.Tiny-App"}, "tiny_2.0_all.deb", "org.example.Tiny-App",
         "vantrel (>= " VANTREL_VERSION ")", "48x48/apps/org.example.Tiny-App.png"},
        {"name from a folder name with blanks and accents", "Café -- Ünï!", {{"icon.svg", "<svg/>"}}, {},
         "caf-n_1.0_all.deb", "vantrel.app.caf_n", "vantrel (>= " VANTREL_VERSION ")",
         "scalable/apps/vantrel.app.caf_n.svg"},
        {"name starting with a digit", "app", {{"icon.svg", "<svg/>"}}, {"-n", "2048"}, "2048_1.0_all.deb",
         "vantrel.app._2048", "vantrel (>= " VANTREL_VERSION ")", "scalable/apps/vantrel.app._2048.svg"},
        {"longest id", "app", {{"icon.svg", "<svg/>"}}, {"-n", "long", "-i", "a." + std::string(245, 'b')},
         "long_1.0_all.deb", "", "vantrel (>= " VANTREL_VERSION ")", ""},  // files not listed: names too long for the check
        {"extensions' packages and more dependencies from the manifest and the options", "app",
         {{"icon.svg", "<svg/>"},
          {"vantrel-app.conf", "php_extensions = pdo_sqlite, sqlite3, GD, PDO\ndepends = sqlite3, php-gd\n"}},
         {"--no-check", "-d", "imagemagick | graphicsmagick, libsqlite3-0 (>= 3.40)"}, "app_1.0_all.deb",
         "vantrel.app.app",
         "vantrel (>= " VANTREL_VERSION "), php-cgi, php-sqlite3, php-gd, imagemagick | graphicsmagick, "
         "libsqlite3-0 (>= 3.40)",
         "scalable/apps/vantrel.app.app.svg"},
        {"a licence with its text", "app",
         {{"icon.svg", "<svg/>"}, {"COPYING", "Copyright 2026 Pat\n\nPermission\tgranted.\n"}},
         {"--license", "BSD-2-Clause"}, "app_1.0_all.deb", "vantrel.app.app", "vantrel (>= " VANTREL_VERSION ")",
         "scalable/apps/vantrel.app.app.svg",
         "Files: *\nCopyright: the authors of app\nLicense: BSD-2-Clause\n Copyright 2026 Pat\n .\n Permission        "
         "granted.\n"},
        {"a common licence without its text", "app", {{"icon.svg", "<svg/>"}, {"vantrel-app.conf", "license = GPL-3.0-or-later\n"}},
         {}, "app_1.0_all.deb", "vantrel.app.app", "vantrel (>= " VANTREL_VERSION ")",
         "scalable/apps/vantrel.app.app.svg", "License: GPL-3.0-or-later\n On Debian systems the full text of this "
         "licence is in\n /usr/share/common-licenses/GPL-3.\n"},
        {"a link inside the folder, and --no-check for a folder whose check fails", "app",
         {{"icon.svg", "<svg/>"}, {"onInit.lua", "SetTitle(\n"}, {"docs/LICENSE.txt", "Copyright 2026 Pat\n"}},
         {"--no-check", "-l", "MIT"}, "app_1.0_all.deb", "vantrel.app.app", "vantrel (>= " VANTREL_VERSION ")",
         "scalable/apps/vantrel.app.app.svg", "License: MIT\n Copyright 2026 Pat\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        AppFolder app(c.folder_name, c.files);
        if (c.files.count("docs/LICENSE.txt")) fs::create_symlink("docs/LICENSE.txt", app.path + "/LICENSE");
        PackRun run(app.path, c.options);
        ASSERT_EQ(run.result.exit_code, 0) << run.result.err;
        EXPECT_EQ(run.result.err, "");
        std::string deb = run.out / c.deb;
        EXPECT_EQ(run.deb(), deb);
        EXPECT_EQ(control_field(deb, "Depends"), c.depends);
        if (*c.id == '\0') continue;
        auto files = package_contents(deb);
        EXPECT_EQ(files[std::string("/usr/share/icons/hicolor/") + c.icon], "-rw-r--r-- root/root");
        EXPECT_EQ(files[std::string("/usr/share/") + c.id + "/onInit.lua"], "-rw-r--r-- root/root");
        EXPECT_EQ(files[std::string("/usr/share/applications/") + c.id + ".desktop"], "-rw-r--r-- root/root");
        if (*c.copyright) {
            std::string copyright = package_file(deb, "usr/share/doc/" + control_field(deb, "Package") + "/copyright");
            EXPECT_NE(copyright.find(c.copyright), std::string::npos) << c.copyright << " not in\n" << copyright;
        }
        if (!c.entry_lines.empty()) {
            testkit::TempDir root;
            ASSERT_EQ(testkit::run_command({"dpkg-deb", "-x", deb, root.path()}).exit_code, 0);
            const std::string entry_path = root / ("usr/share/applications/" + std::string(c.id) + ".desktop");
            std::string entry = testkit::read_file(entry_path);
            for (const std::string& line : c.entry_lines)
                EXPECT_NE(entry.find("\n" + line + "\n"), std::string::npos) << line << " not in\n" << entry;
            auto valid = testkit::run_command({"desktop-file-validate", entry_path});
            EXPECT_EQ(valid.exit_code, 0) << valid.out << valid.err;
        }
        // The folder is copied without packages left in it; the manifest is written anew.
        for (const auto& [file, content] : c.files) {
            bool left_out = file.ends_with(".deb");
            EXPECT_EQ(files.count(std::string("/usr/share/") + c.id + "/" + file), left_out ? 0u : 1u) << file;
        }
    }
}

// Bad input: refused with its message, and neither a package nor a staging
// folder is left behind.
TEST_F(PackTest, BadInputIsRefusedAndLeavesNothingBehind) {
    struct Case {
        const char* what;
        bool has_onInit;
        std::map<std::string, std::string> files;
        std::vector<std::string> options;
        const char* message;
        std::map<std::string, std::string> links = {};  // link -> what it points to
    };
    testkit::TempDir elsewhere;
    testkit::write_file(elsewhere / "private", "the packer's own");
    chmod((elsewhere / "private").c_str(), 0600);
    const std::string long_id = "a." + std::string(254, 'b'), long_file_id = "a." + std::string(246, 'b');
    const std::vector<Case> cases{
        {"no onInit.lua", false, {}, {}, "has no onInit.lua, so it is not a Vantrel application folder"},
        {"one element", true, {}, {"-i", "single"}, "\"single\" is not a valid application id"},
        {"element starting with a digit", true, {}, {"-i", "org.2bad"}, "\"org.2bad\" is not a valid application id"},
        {"empty element", true, {}, {"-i", "org..x"}, "\"org..x\" is not a valid application id"},
        {"leading dot", true, {}, {"-i", ".org.x"}, "\".org.x\" is not a valid application id"},
        {"trailing dot", true, {}, {"-i", "org.x."}, "\"org.x.\" is not a valid application id"},
        {"bad character", true, {}, {"-i", "org.x$y"}, "\"org.x$y\" is not a valid application id"},
        {"id too long", true, {}, {"-i", long_id}, "is not a valid application id"},
        {"id too long for <id>.desktop", true, {}, {"-i", long_file_id}, "is too long for the package's file names"},
        {"id from the manifest", true, {{"vantrel-app.conf", "id = 9lives.app\n"}}, {},
         "\"9lives.app\" is not a valid application id"},
        {"upper-case name", true, {}, {"-n", "MyApp"}, "\"MyApp\" is not a valid Debian package name"},
        {"underscore in name", true, {}, {"-n", "my_app"}, "\"my_app\" is not a valid Debian package name"},
        {"one-letter name", true, {}, {"-n", "a"}, "\"a\" is not a valid Debian package name"},
        {"name starting with a dash", true, {}, {"--name=-x"}, "\"-x\" is not a valid Debian package name"},
        {"Vantrel's own name", true, {}, {"-n", "vantrel"}, "\"vantrel\" is taken by Vantrel itself"},
        {"bad version", true, {}, {"-v", "v1"}, "\"v1\" is not a valid Debian version"},
        {"unknown manifest key", true, {{"vantrel-app.conf", "nmae = x\n"}}, {}, "line 1: unknown key \"nmae\""},
        {"manifest line without =", true, {{"vantrel-app.conf", "# ok\nname x\n"}}, {},
         "line 2: expected \"key = value\""},
        {"icon.png that is no PNG", true, {{"icon.png", "<svg/>"}}, {}, "icon.png is not a PNG image"},
        {"maintainer without address", true, {}, {"-m", "Pat"}, "the maintainer must look like"},
        {"unknown option", true, {}, {"--colour", "red"}, "unknown option --colour"},
        {"option without value", true, {}, {"--name="}, "option --name needs a value"},
        {"LICENSE linked out of the folder", true, {}, {}, "LICENSE -> ../../" , {{"LICENSE", "../../x/private"}}},
        {"an absolute icon link", true, {}, {}, "icon.svg -> " , {{"icon.svg", "/usr/share/icons/x.svg"}}},
        {"a link out of the folder in its site", true, {{"site/index.html", "x"}}, {},
         "site/passwords -> ../../../../etc/passwd", {{"site/passwords", "../../../../etc/passwd"}}},
        {"a failing check", true, {{"onInit.lua", "SetTitle('x')\nlocal y = = 2\n"}}, {},
         "problem: script error: onInit.lua:2: unexpected symbol near '='"},
        {"a bad dependency", true, {}, {"--depends", "php-gd, Bad Name"}, "\"Bad Name\" is not a Debian dependency"},
        {"a bad licence", true, {{"vantrel-app.conf", "license = MIT; or not\n"}}, {},
         "\"MIT; or not\" is not an SPDX licence name"},
        {"a bad PHP extension", true, {{"vantrel-app.conf", "php_extensions = gd, pdo/sqlite\n"}}, {},
         "\"pdo/sqlite\" is not a PHP extension name"},
        {"MIME type without subtype", true, {{"vantrel-app.conf", "mime_types = text\n"}}, {},
         "\"text;\" is not a list of MIME types"},
        {"upper-case scheme", true, {}, {"--url-schemes", "Notes"}, "\"Notes;\" is not a list of URL schemes"},
        {"the web's scheme", true, {}, {"--url-schemes", "notes;https"},
         "the URL scheme \"https\" belongs to the desktop's own handlers"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        AppFolder app("app", c.files);
        if (!c.has_onInit) fs::remove(app.path + "/onInit.lua");
        for (const auto& [link, target] : c.links) {
            std::string to = target;
            if (to.find("/x/private") != std::string::npos) to = fs::relative(elsewhere / "private", app.path);
            fs::create_symlink(to, app.path + "/" + link);
        }
        PackRun run(app.path, c.options);
        EXPECT_EQ(run.result.exit_code, 1);
        EXPECT_NE(run.result.err.find("vantrel-pack: "), std::string::npos) << run.result.err;
        EXPECT_NE(run.result.err.find(c.message), std::string::npos) << run.result.err;
        EXPECT_EQ(run.result.out, "");
        EXPECT_TRUE(folder_entries(run.out.path()).empty()) << "something was written";
        EXPECT_TRUE(folder_entries(run.tmp.path()).empty()) << "staging folder left behind";
    }
}

}  // namespace
