// The web server inside the shell: path resolution, start, the thread that
// drives the poll loop, and release.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "shell/model/developer.hpp"
#include "shell/model/window_port.hpp"

namespace vantrel::shell {

// The configured path if it is an existing folder, else AppFolder + configured if
// that is one, else AppFolder + fallback; returned as an absolute path.
std::string ResolveFolder(const std::string& configured, const std::string& fallback);
// The same three tries, testing for an existing regular file.
std::string ResolveFile(const std::string& configured, const std::string& fallback);

// Show steps 1 and 2: resolves SitesPath and PHPPath in the settings (without
// SetPHPPath and without php/php-cgi in the program folder, php-cgi from PATH)
// and finds the application's php.ini, and tells the author on stderr what was
// not found and what is used instead.
// Returns what it found.
StartupFacts ResolveServedPaths();

// The interpreter used when no script names one, relative to the program folder;
// when the program folder has none, kSystemPHPName found on PATH.
extern const char* const kDefaultPHPPath;  // "php/php-cgi"
extern const char* const kDefaultSitesPath;  // "sites"
extern const char* const kSystemPHPName;     // "php-cgi"
// The application's own PHP settings, beside its hook scripts.
extern const char* const kApplicationPHPIni;  // "php.ini"

// The absolute path of the first executable `name` in the folders of PATH
// (absolute entries only); empty when there is none.
std::string FindOnPath(const std::string& name);

// What the interpreter is started with before its other arguments: "-c" and
// the application's php.ini when it has one (settled by ResolveServedPaths).
std::vector<std::string> InterpreterArguments();

// Creates the server context with the document root, the ".php" interpreter, the
// built-in MIME table and the port, then opens and registers the listening
// socket. Start-up failures are fatal (the fatal hook decides what follows).
// With `workers` > 0 the interpreter runs as that many persistent FastCGI
// workers, started here so that the first page does not wait for them; with
// VANTREL_DEVELOPER=1 in the environment they check edited files at every request.
// `interpreter_arguments` come before the script (per request) or the worker's
// own arguments.
void StartServer(const std::string& root, const std::string& interpreter, int port, int workers = 0,
                 const std::vector<std::string>& interpreter_arguments = {});
// The show steps of the server as the desktop program takes them: resolves the
// paths (with their notes), starts the server with the settings on `port` (see
// ChooseServerPort) and remembers an automatic port that was bound.
void StartApplicationServer(int port);
// The port the listening socket is bound to (0 before a successful start).
int ServerPort();

// Starts CWebServerThread driving the server.
void StartServerThread();
// Sets the thread's terminate request and waits until it has left its loop.
void StopServerThread();
// One poll step with a 1000 ms time-out (does nothing without a server).
void PollServer();
// Stops the thread, then releases the context, closing every connection.
void FreeServer();

// Installs the server's fatal hook for the desktop program: the "Error" dialog
// through window->show_fatal(text), then exit code 1. The calling thread is taken
// as the user-interface thread: only there is the dialog shown; a fatal message
// on any other thread, or with no window (nullptr), ends the process at once
// (the message is already on stderr).
void InstallFatalHook(WindowPort* window);

// A fatal message as the "Error" dialog shows it: a failed bind gets a second
// line naming the remedy.
std::string WithRemedy(const std::string& message);

// The background thread whose only work is the server's poll loop.
class CWebServerThread {
public:
    // Starts running at once.
    CWebServerThread();
    // Requests termination and waits for the thread.
    ~CWebServerThread();
    CWebServerThread(const CWebServerThread&) = delete;
    CWebServerThread& operator=(const CWebServerThread&) = delete;

    void Terminate() { terminated_.store(true); }
    bool Terminated() const { return terminated_.load(); }
    // Waits until the body has returned (call Terminate first). The poll step
    // the thread is waiting in is interrupted, so this takes milliseconds, not
    // the step's time-out.
    void WaitFor();

private:
    void Execute();

    std::atomic<bool> terminated_{false};
    std::mutex lock_;
    std::condition_variable ended_;
    bool finished_ = false;  // Execute has returned (under lock_)
    std::thread thread_;
};

}  // namespace vantrel::shell
