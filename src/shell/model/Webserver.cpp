#include "shell/model/Webserver.hpp"

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <utility>
#include <vector>

#include "server/server.hpp"
#include "shell/model/Globals.hpp"
#include "shell/model/developer.hpp"
#include "shell/model/app_port.hpp"
#include "shell/model/app_server.hpp"
#include "shell/model/request_log.hpp"

namespace vantrel::shell {

const char* const kDefaultPHPPath = "php/php-cgi";
const char* const kDefaultSitesPath = "sites";
const char* const kSystemPHPName = "php-cgi";
const char* const kApplicationPHPIni = "php.ini";

namespace {

// Declared in this order so that at process exit the thread is stopped before
// the context it polls goes away.
std::unique_ptr<ServerContext> g_server;
int g_port = 0;
std::unique_ptr<CWebServerThread> g_thread;

bool is_folder(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_file(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Expands against the current directory and removes "." and ".." (lexically,
// as a full-path expansion does); a trailing "/" is cut unless the path is "/".
std::string absolute_path(const std::string& path) {
    std::error_code ec;
    std::filesystem::path p = std::filesystem::absolute(path.empty() ? "." : path, ec);
    if (ec) p = path;
    std::string s = p.lexically_normal().string();
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

// The signal that interrupts the server thread's poll (a handler that does
// nothing, installed without SA_RESTART, so the wait ends with EINTR).
int WakeSignal() {
    static const int number = [] {
        int n = SIGRTMIN + 2;
        struct sigaction action {};
        action.sa_handler = [](int) {};
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        sigaction(n, &action, nullptr);
        return n;
    }();
    return number;
}

template <class Exists>
std::string resolve(const std::string& configured, const std::string& fallback, Exists exists) {
    const std::string& app = Settings().AppFolder;
    if (exists(configured)) return absolute_path(configured);
    if (exists(app + configured)) return absolute_path(app + configured);
    return absolute_path(app + fallback);
}

}  // namespace

std::string WithRemedy(const std::string& message) {
    if (message.rfind("server_open_port: bind(", 0) != 0) return message;
    if (message.find(std::strerror(EADDRINUSE)) != std::string::npos)
        return message + "\nThe port is taken: set another one with SetWebserverPort in onInit.lua, "
                         "or the application is already running.";
    return message + "\nSet another port with SetWebserverPort in onInit.lua.";
}

std::string ResolveFolder(const std::string& configured, const std::string& fallback) {
    return resolve(configured, fallback, is_folder);
}

std::string ResolveFile(const std::string& configured, const std::string& fallback) {
    return resolve(configured, fallback, is_file);
}

std::string FindOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string folders = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    for (;;) {
        std::size_t colon = folders.find(':', start);
        std::string folder = folders.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        // An empty entry is the working folder, which must not supply a program unasked.
        if (!folder.empty() && folder[0] == '/') {
            std::string candidate = folder + "/" + name;
            if (is_file(candidate) && access(candidate.c_str(), X_OK) == 0) return absolute_path(candidate);
        }
        if (colon == std::string::npos) return {};
        start = colon + 1;
    }
}

std::vector<std::string> InterpreterArguments() {
    const std::string& ini = Settings().PHPIni;
    if (ini.empty()) return {};
    return {"-c", ini};
}

StartupFacts ResolveServedPaths() {
    ShellSettings& settings = Settings();
    const std::string& app = settings.AppFolder;
    StartupFacts facts;
    char cwd[PATH_MAX];
    facts.folder = getcwd(cwd, sizeof cwd) ? cwd : ".";
    facts.hook_scripts = is_file("onInit.lua") || is_file("onBuildMainMenu.lua") || is_file("onReady.lua");
    facts.site_configured = settings.SitesPath;
    facts.site_configured_found = is_folder(settings.SitesPath) || is_folder(app + settings.SitesPath);
    facts.php_configured = settings.PHPPath;
    facts.php_configured_found = is_file(settings.PHPPath) || is_file(app + settings.PHPPath);
    settings.SitesPath = ResolveFolder(settings.SitesPath, kDefaultSitesPath);
    settings.PHPPath = ResolveFile(settings.PHPPath, kDefaultPHPPath);
    // No interpreter in the program folder (an installed Vantrel has none): the system's.
    if (!is_file(settings.PHPPath)) {
        if (std::string system = FindOnPath(kSystemPHPName); !system.empty()) {
            settings.PHPPath = system;
            facts.php_from_path = true;
        }
    }
    // The application's own php.ini, beside its hook scripts.
    settings.PHPIni = is_file(kApplicationPHPIni) ? absolute_path(kApplicationPHPIni) : std::string();
    facts.site = settings.SitesPath;
    facts.php = settings.PHPPath;
    facts.php_exists = is_file(settings.PHPPath);
    facts.port = PortToTry();
    for (const std::string& note : StartupNotes(facts)) ReportNote(note);
    return facts;
}

void StartServer(const std::string& root, const std::string& interpreter, int port, int workers,
                 const std::vector<std::string>& interpreter_arguments) {
    FreeServer();  // at most one server
    reset_options();  // every option not given here keeps its default
    std::vector<std::pair<std::string, std::string>> options = {{"document_root", root},
                                                                 {"cgi_extention", ".php"},
                                                                 {"cgi_interpreter", interpreter},
                                                                 {"mime_types", "builtin"},
                                                                 {"listen_port", std::to_string(port)},
                                                                 {"cgi_workers", std::to_string(workers)},
                                                                 // The browser keeps its connections.
                                                                 {"keep_alive", "1"},
                                                                 {"listen_address", Settings().ListenAddress}};
    g_server = init_context(nullptr, options);
    if (!g_server) return;  // fatal, reported by the hook
    g_server->cgi_arguments = interpreter_arguments;
    g_server->cgi_worker_arguments = interpreter_arguments;
    // The author's edits show at once instead of up to two seconds late.
    if (DeveloperMode()) {
        g_server->cgi_worker_arguments.push_back("-d");
        g_server->cgi_worker_arguments.push_back("opcache.revalidate_freq=0");
    }
    // A failure to bind is fatal and reported by the hook.
    server_start(*g_server, [](int bound) {
        g_port = bound;
        ConfigureApplicationServer(*g_server, bound);
        // The author sees every request as one line on stderr, and the errors in the window.
        ObserveRequestsForDeveloper(*g_server);
    });
}

void StartApplicationServer(int port) {
    ResolveServedPaths();
    const ShellSettings& settings = Settings();
    StartServer(settings.SitesPath, settings.PHPPath, port, settings.PHPWorkers, InterpreterArguments());
    RememberServerPort(ServerPort());
}

int ServerPort() { return g_port; }

void StartServerThread() {
    StopServerThread();
    g_thread = std::make_unique<CWebServerThread>();
}

void StopServerThread() {
    if (!g_thread) return;
    g_thread->Terminate();
    g_thread->WaitFor();
    g_thread.reset();
}

void PollServer() {
    if (g_server) server_step(*g_server, 1000);
}

void FreeServer() {
    // The thread must have left its loop before the context goes away.
    StopServerThread();
    if (g_server) free_context(std::move(g_server));
    g_port = 0;
}

void InstallFatalHook(WindowPort* window) {
    const std::thread::id ui_thread = std::this_thread::get_id();
    set_fatal_hook([window, ui_thread](const std::string& message) {
        // The dialog belongs to the user-interface thread; from any other thread
        // the message (already on stderr) is all there is.
        if (window != nullptr && std::this_thread::get_id() == ui_thread) {
            window->show_fatal(WithRemedy(message));
            std::exit(1);
        }
        std::_Exit(1);
    });
}

CWebServerThread::CWebServerThread() {
    WakeSignal();  // installed before the thread can be signalled
    thread_ = std::thread([this] { Execute(); });
}

CWebServerThread::~CWebServerThread() {
    Terminate();
    WaitFor();
}

void CWebServerThread::WaitFor() {
    if (!thread_.joinable()) return;
    if (Terminated()) {
        // A signal sent just before the thread enters its wait is not seen
        // there: it is sent again until the loop has ended.
        std::unique_lock<std::mutex> held(lock_);
        while (!finished_) {
            pthread_kill(thread_.native_handle(), WakeSignal());
            ended_.wait_for(held, std::chrono::milliseconds(5));
        }
    }
    thread_.join();
}

// Polls back to back: the step's own time-out is the idle wait, so requests are
// served as soon as they arrive; WaitFor interrupts the wait to end the loop.
void CWebServerThread::Execute() {
    while (!Terminated()) PollServer();
    std::lock_guard<std::mutex> held(lock_);
    finished_ = true;
    ended_.notify_all();
}

}  // namespace vantrel::shell
