// Starting the application when the user logs in: a desktop entry of its own
// in $XDG_CONFIG_HOME/autostart/ that runs its launcher.
#pragma once

#include <string>
#include <vector>

namespace vantrel::shell {

// $XDG_CONFIG_HOME/autostart/<id>.desktop ($XDG_CONFIG_HOME when it is an
// absolute path, else ~/.config).
std::string AutostartFile(const std::string& id);

// The entry: a started application named `name` whose Exec line is `exec`.
std::string AutostartEntry(const std::string& id, const std::string& name, const std::string& exec);

// Writes the entry (replacing the file whole) or removes it. False with
// `error` set when that fails.
bool SetAutostart(bool enabled, const std::string& id, const std::string& name, const std::string& exec,
                  std::string& error);
// True when the application's entry is there and not switched off.
bool AutostartEnabled(const std::string& id);

// An Exec value that runs `argv` as it is: arguments quoted where the desktop
// entry rules ask for it, "%" and "\" escaped.
std::string DesktopExec(const std::vector<std::string>& argv);
// An installed entry's Exec value without its field codes (%U, %f, ...).
std::string WithoutFieldCodes(const std::string& exec);

}  // namespace vantrel::shell
