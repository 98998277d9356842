// Who the running application is: its folder (the program's one argument) and
// its id, which names the data folders, the window class and the
// single-instance name.
#pragma once

#include <string>
#include <vector>

namespace vantrel::shell {

// The environment variable that pins the id (a launcher or package sets it).
inline constexpr const char* kAppIdVariable = "VANTREL_APP_ID";

// "vantrel.<folder name, cleaned>.h<8 hex digits>": the hex digits come from a
// hash of the absolute folder path, so the same folder always gives the same id
// and two folders with the same name still get two.
std::string DeriveApplicationId(const std::string& absolute_folder);

// The rules of an application id: at least two elements separated by ".", each
// made of ASCII letters, digits, "_" or "-" and not starting with a digit; no
// empty element, at most 255 characters.
bool IsValidApplicationId(const std::string& id);

struct ApplicationIdResult {
    std::string id;     // empty when `error` is set
    std::string error;  // a message for stderr
};

// The pinned id (when `pinned` is set and not empty) after checking it, else the
// one derived from the folder.
ApplicationIdResult ResolveApplicationId(const char* pinned, const std::string& absolute_folder);

// The program's command line:
// `vantrel [--help | --version | --check [APP_FOLDER] | APP_FOLDER [ARGUMENT...]]`.
struct CommandLine {
    enum Action { Run, Help, Version, Check, Bad } action = Run;
    std::string folder;  // Run, Check: the application folder (empty: the working folder)
    std::string error;   // Bad: what was wrong
    std::vector<std::string> arguments;  // Run: everything after the folder, as given
};
CommandLine ParseCommandLine(int argc, const char* const* argv);
// The usage text, ending in a newline.
std::string UsageText(const char* program);

}  // namespace vantrel::shell
