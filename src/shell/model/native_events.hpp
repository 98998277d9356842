// What happens outside the page reaches it as one DOM event on window,
// "vantrel", whose detail names its type: "notification", "command" or "open".
#pragma once

#include <string>
#include <vector>

namespace vantrel::shell {

// The details, as JSON objects.
std::string NotificationEvent(const std::string& id);
std::string CommandEvent(const std::string& name);
std::string OpenEvent(const std::vector<std::string>& arguments);

// The script that dispatches the event with `detail` (a JSON object) on window.
std::string PageEventScript(const std::string& detail);

// The arguments as the application sees them: each one that names an existing
// file or folder relative to `cwd` becomes its absolute path (the program
// leaves that folder for the application's); options, URIs and other words
// stay as they are.
std::vector<std::string> ResolveArguments(const std::vector<std::string>& arguments, const std::string& cwd);

}  // namespace vantrel::shell
