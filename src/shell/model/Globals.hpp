// The shell's process-wide settings, changed by the hook scripts and handed to
// the first page and the web server at start-up.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vantrel::shell {

// The page shown while the program starts (the default of InitialHTML).
extern const char* const kLoadingPage;

struct ShellSettings {
    std::string AppFolder;    // program folder with a trailing "/"
    std::string SitesPath;    // site folder, unresolved until the window is shown
    std::string PHPPath;      // CGI interpreter, unresolved until the window is shown
    std::string InitialHTML = kLoadingPage;
    // Set by SetWebserverPort (0: any free port at each start); unset: a port
    // of the application's own per user, chosen at start (app_port.hpp).
    std::optional<int> WebserverPort;
    int PHPWorkers = 4;       // persistent PHP workers; 0: one process per request

    // The application's own, settled at start before any script runs.
    std::string ApplicationId;
    std::string DataPath;                    // private writable folder, no trailing "/"
    std::string ListenAddress = "127.0.0.1"; // SetListenAddress
    bool PrivateServer = true;               // SetPrivateServer
    std::vector<std::string> PHPExtensions;  // required: the manifest's php_extensions, RequirePHPExtensions
    std::string PHPIni;                      // the application's php.ini (absolute), or empty
};

// The one process-wide instance, holding the start values until scripts change it.
ShellSettings& Settings();

// The folder of the running executable, with a trailing "/".
std::string ProgramFolder();

}  // namespace vantrel::shell
