// The program's start before any window: its one argument, the application
// folder as the working folder, the application id, and the data folders.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vantrel::desktop {

struct StartDecision {
    std::optional<int> exit_code;  // set: end now with this code
    std::string id;                // the application id otherwise
    // The arguments after the application folder, files made absolute against
    // the folder the program was started in.
    std::vector<std::string> arguments = {};
};

// Reads the command line (usage, version and errors are printed here), enters
// the application folder and settles the id; `--check` runs the check here and
// gives its exit code. Nothing touches the session bus or the display before
// this returns.
StartDecision ReadCommandLine(int argc, char** argv);

// Makes the application's data folders (copying data.seed/ on the first
// start), records the id and the writable folder in the shell settings and
// sets up the browser's per-application context. False after a message on
// stderr.
bool PrepareApplication(const std::string& id);

}  // namespace vantrel::desktop
