#include "shell/model/app_check.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "server/server.hpp"
#include "shell/model/Fmain.hpp"
#include "shell/model/Globals.hpp"
#include "shell/model/Lua.hpp"
#include "shell/model/Webserver.hpp"
#include "shell/model/app_data.hpp"
#include "shell/model/app_server.hpp"
#include "shell/model/developer.hpp"
#include "shell/model/php_extensions.hpp"

namespace vantrel::shell {
namespace fs = std::filesystem;
namespace {

constexpr auto kFetchLimit = std::chrono::seconds(30);
constexpr int kRedirectsMax = 5;
constexpr std::size_t kSiteEntriesMax = 20000;  // how far the site is searched for PHP files

// A temporary folder holding the check's data and cache folders.
class CheckFolder {
public:
    CheckFolder() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && tmp[0] == '/' ? tmp : "/tmp") + "/vantrel-check.XXXXXX";
        if (mkdtemp(pattern.data())) path_ = pattern;
    }
    ~CheckFolder() {
        std::error_code ec;
        if (!path_.empty()) fs::remove_all(path_, ec);
    }
    CheckFolder(const CheckFolder&) = delete;
    CheckFolder& operator=(const CheckFolder&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The window as the check sees it: what the scripts ask of it is recorded.
class CheckWindow : public WindowPort {
public:
    void set_caption(const std::string& text) override { caption = text; }
    void set_application_title(const std::string&) override {}
    void navigate(const std::string& url) override { navigations.push_back(url); }
    void refresh() override {}
    void print() override {}
    void find() override {}
    void close() override { closed = true; }
    void show_error(const std::string& text) override { errors.push_back(text); }
    void show_fatal(const std::string& text) override { errors.push_back(text); }
    void set_menu_bar(const std::vector<TopMenuModel>& menus) override { menu_count = menus.size(); }
    void send_page_event(const std::string&) override {}

    std::string caption = "Quor Vantrel";
    std::vector<std::string> navigations;
    std::vector<std::string> errors;
    std::size_t menu_count = 0;
    bool closed = false;
};

// While alive: the window is `frmMain`, script errors and fatal server
// messages are collected instead of ending anything.
class CheckScope {
public:
    CheckScope(CheckWindow& window, std::vector<std::string>& script_errors) {
        SetMainWindow(&window);
        CollectScriptErrors(&script_errors);
        set_fatal_hook([this](const std::string& message) {
            std::lock_guard<std::mutex> guard(lock_);
            fatals_.push_back(message);
        });
    }
    ~CheckScope() {
        FreeServer();
        CloseLua();
        set_fatal_hook({});
        CollectScriptErrors(nullptr);
        SetMainWindow(nullptr);
    }
    CheckScope(const CheckScope&) = delete;
    CheckScope& operator=(const CheckScope&) = delete;
    std::vector<std::string> fatals() {
        std::lock_guard<std::mutex> guard(lock_);
        return fatals_;
    }

private:
    std::mutex lock_;
    std::vector<std::string> fatals_;
};

class Report {
public:
    explicit Report(std::FILE* out) : out_(out) {}
    void line(const std::string& text) {
        std::fprintf(out_, "%s\n", text.c_str());
        std::fflush(out_);
    }
    void problem(const std::string& text) {
        ++problems_;
        line("problem: " + text);
    }
    int problems() const { return problems_; }

private:
    std::FILE* out_;
    int problems_ = 0;
};

bool loopback_host(const std::string& host) {
    if (host == "localhost" || host == "[::1]") return true;
    in_addr addr{};
    return inet_pton(AF_INET, host.c_str(), &addr) == 1 && (ntohl(addr.s_addr) >> 24) == 127;
}

bool site_has_php(const std::string& site) {
    std::error_code ec;
    std::size_t seen = 0;
    for (auto it = fs::recursive_directory_iterator(site, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator() && seen < kSiteEntriesMax; it.increment(ec), ++seen) {
        if (it->path().extension() == ".php") return true;
    }
    return false;
}

struct Fetched {
    bool answered = false;
    int status = 0;
    std::string status_line;
    std::string location;
    std::size_t body_size = 0;
    std::string error;
};

// One GET over a fresh connection to 127.0.0.1:port, read until the server
// closes it (HTTP/1.0, so the body is never chunked).
Fetched fetch(int port, const std::string& path, const std::string& token) {
    Fetched result;
    int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        result.error = std::strerror(errno);
        return result;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(port) +
                          "\r\nUser-Agent: vantrel-check\r\n";
    if (!token.empty()) request += std::string("Cookie: ") + kServerTokenCookie + "=" + token + "\r\n";
    request += "\r\n";
    std::string reply;
    if (connect(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        send(sock, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
        result.error = std::strerror(errno);
        close(sock);
        return result;
    }
    auto deadline = std::chrono::steady_clock::now() + kFetchLimit;
    char buf[16384];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{sock, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            result.error = "no complete answer within " + std::to_string(kFetchLimit.count()) + " s";
            close(sock);
            return result;
        }
        ssize_t n = recv(sock, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        reply.append(buf, static_cast<std::size_t>(n));
    }
    close(sock);
    std::size_t head_end = reply.find("\r\n\r\n");
    std::size_t line_end = reply.find("\r\n");
    if (head_end == std::string::npos || reply.compare(0, 5, "HTTP/") != 0) {
        result.error = reply.empty() ? "the connection closed without an answer" : "not an HTTP answer";
        return result;
    }
    result.answered = true;
    result.status_line = reply.substr(0, line_end);
    std::size_t blank = result.status_line.find(' ');
    result.status = blank == std::string::npos ? 0 : std::atoi(result.status_line.c_str() + blank + 1);
    for (std::size_t at = line_end + 2; at < head_end;) {
        std::size_t end = reply.find("\r\n", at);
        std::string header = reply.substr(at, end - at);
        if (strncasecmp(header.c_str(), "Location:", 9) == 0) {
            std::size_t v = header.find_first_not_of(" \t", 9);
            result.location = v == std::string::npos ? "" : header.substr(v);
        }
        at = end + 2;
    }
    result.body_size = reply.size() - head_end - 4;
    return result;
}

// Fetches the page the window would show and reports it.
void check_first_page(Report& report, const std::string& url, int port) {
    std::string path;
    if (!OwnServerPath(url, path)) {
        report.line("first page: " + url + " is not this application's server; not fetched");
        return;
    }
    const std::string token = ServerToken();
    for (int redirects = 0;; ++redirects) {
        Fetched page = fetch(port, path, token);
        if (!page.answered) {
            report.problem("the first page " + path + " did not answer: " + page.error);
            return;
        }
        report.line("first page: " + path + ": " + page.status_line.substr(page.status_line.find(' ') + 1) + ", " +
                    std::to_string(page.body_size) + " bytes");
        if (page.status >= 300 && page.status < 400 && !page.location.empty() && redirects < kRedirectsMax) {
            std::string next;
            if (page.location[0] == '/') {
                next = page.location;
            } else if (!OwnServerPath(page.location, next)) {
                report.line("first page: redirected to " + page.location + ", not this application's server");
                return;
            }
            report.line("first page: redirected to " + next);
            path = next;
            continue;
        }
        if (page.status >= 400 || page.status < 200)
            report.problem("the first page " + path + " answers " + std::to_string(page.status));
        else if (page.status < 300 && page.body_size == 0)
            report.problem("the first page " + path + " is empty: the window would show a white page");
        return;
    }
}

int run_check(Report& report, const std::string& id, CheckFolder& folder) {
    if (folder.path().empty()) {
        report.problem(std::string("cannot make a temporary folder: ") + std::strerror(errno));
        return 1;
    }
    // Every folder named by the id is the check's own, so the user's stay untouched.
    setenv("XDG_DATA_HOME", (folder.path() + "/data").c_str(), 1);
    setenv("XDG_CACHE_HOME", (folder.path() + "/cache").c_str(), 1);
    ApplicationFolders folders = FoldersFor(id);
    std::string error;
    std::vector<std::string> seed_notes;
    if (!PrepareApplicationFolders(folders, kSeedFolder, error, &seed_notes)) report.problem(error);
    for (const std::string& note : seed_notes) report.line("note: " + note);

    Settings() = ShellSettings{};
    Settings().AppFolder = ProgramFolder();
    Settings().ApplicationId = id;
    Settings().DataPath = folders.writable;

    CheckWindow window;
    std::vector<std::string> script_errors;
    CheckScope scope(window, script_errors);
    InitLua();
    RegisterScriptApi(LuaState());

    std::string scripts;
    for (const char* hook : {"onInit.lua", "onBuildMainMenu.lua", "onBuildTrayMenu.lua", "onReady.lua"})
        if (fs::is_regular_file(hook)) scripts += std::string(scripts.empty() ? "" : ", ") + hook;
    report.line("hook scripts: " + (scripts.empty() ? std::string("none") : scripts));
    RunScript("onInit.lua");
    BuildMainMenu();
    report.line("title: " + window.caption + ", menus: " + std::to_string(window.menu_count));
    if (fs::is_regular_file("onBuildTrayMenu.lua"))
        report.line("tray menus: " + std::to_string(BuildTrayMenu().size()));

    const StartupFacts facts = ResolveServedPaths();
    const ShellSettings& settings = Settings();
    report.line("site folder: " + settings.SitesPath);
    if (!facts.site_configured.empty() && !facts.site_configured_found)
        report.problem("the site folder \"" + facts.site_configured + "\" was not found");
    report.line("PHP interpreter: " + settings.PHPPath + (facts.php_from_path ? " (php-cgi from PATH)" : "") +
                (facts.php_exists ? "" : " (not found)"));
    if (!facts.php_exists && site_has_php(settings.SitesPath))
        report.problem("the site has PHP pages and the PHP interpreter " + settings.PHPPath + " does not exist");
    if (!settings.PHPIni.empty()) report.line("php.ini: " + settings.PHPIni);

    std::vector<std::string> required = RequiredExtensions();
    if (!required.empty()) {
        std::string names;
        for (const std::string& name : required) names += (names.empty() ? "" : ", ") + name;
        report.line("PHP extensions required: " + names);
        for (const std::string& name : CheckRequiredExtensions()) report.problem(MissingExtensionLine(name));
    }

    // Always a free port on this machine's loopback, whatever the scripts set.
    Settings().ListenAddress = "127.0.0.1";
    StartServer(settings.SitesPath, settings.PHPPath, 0, settings.PHPWorkers, InterpreterArguments());
    const int port = ServerPort();
    if (port <= 0) {
        for (const std::string& fatal : scope.fatals()) report.problem("the server did not start: " + fatal);
        if (scope.fatals().empty()) report.problem("the server did not start");
    } else {
        report.line("server: 127.0.0.1:" + std::to_string(port) + " (for the check)");
        StartServerThread();
        window.navigations.clear();
        RunScript("onReady.lua");
        if (window.navigations.empty())
            report.line("first page: onReady.lua opens none; the window shows its first page (SetInitialHTML)");
        else
            check_first_page(report, window.navigations.back(), port);
    }
    for (const std::string& message : script_errors) report.problem("script error: " + message);
    for (const std::string& message : window.errors) report.line("note: an error dialog would show: " + message);
    return report.problems() == 0 ? 0 : 1;
}

}  // namespace

bool OwnServerPath(const std::string& url, std::string& path) {
    std::string rest = url;
    if (strncasecmp(rest.c_str(), "http://", 7) == 0) {
        rest.erase(0, 7);
    } else if (rest.find("://") != std::string::npos || rest.empty() || rest[0] == '/') {
        return false;  // another scheme, or a file path
    }
    std::size_t slash = rest.find_first_of("/?#");
    std::string authority = rest.substr(0, slash);
    std::string host = authority;
    if (std::size_t at = host.rfind('@'); at != std::string::npos) host.erase(0, at + 1);
    if (host.compare(0, 1, "[") == 0) {
        host = host.substr(0, host.find(']') + 1);
    } else if (std::size_t colon = host.find(':'); colon != std::string::npos) {
        host.resize(colon);
    }
    for (char& c : host)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (!loopback_host(host)) return false;
    path = slash == std::string::npos ? "/" : rest.substr(slash);
    if (std::size_t hash = path.find('#'); hash != std::string::npos) path.resize(hash);
    if (path.empty() || path[0] != '/') path.insert(0, "/");
    return true;
}

int RunApplicationCheck(const std::string& id, std::FILE* out) {
    Report report(out);
    char cwd[4096];
    report.line(std::string("vantrel --check: ") + (getcwd(cwd, sizeof cwd) ? cwd : ".") + " (id " + id + ")");
    CheckFolder folder;
    int code = 1;
    try {
        code = run_check(report, id, folder);
    } catch (const std::exception& e) {
        report.problem(e.what());
    }
    if (code == 0)
        report.line("vantrel --check: all is well");
    else
        report.line("vantrel --check: " + std::to_string(report.problems()) +
                    (report.problems() == 1 ? " problem" : " problems"));
    return code;
}

}  // namespace vantrel::shell
