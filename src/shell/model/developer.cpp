#include "shell/model/developer.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "shell/model/Fmain.hpp"

namespace vantrel::shell {

bool DeveloperMode() {
    const char* value = std::getenv("VANTREL_DEVELOPER");
    return value != nullptr && std::strcmp(value, "1") == 0;
}

namespace {
std::vector<std::string>* g_script_errors = nullptr;  // borrowed: the check's list
}  // namespace

void CollectScriptErrors(std::vector<std::string>* sink) { g_script_errors = sink; }

void ReportScriptError(const std::string& message) {
    if (g_script_errors) g_script_errors->push_back(message);
    std::fprintf(stderr, "%s\n", message.c_str());
    std::fflush(stderr);
    if (DeveloperMode()) {
        if (WindowPort* window = MainWindow()) window->show_error(message);
    }
}

void ReportNote(const std::string& text) {
    std::fprintf(stderr, "vantrel: %s\n", text.c_str());
    std::fflush(stderr);
}

std::vector<std::string> StartupNotes(const StartupFacts& f) {
    std::vector<std::string> notes;
    auto quoted = [](const std::string& s) { return "\"" + s + "\""; };
    if (!f.site_configured.empty() && !f.site_configured_found)
        notes.push_back("site folder " + quoted(f.site_configured) + " not found; serving " + quoted(f.site) +
                        " instead");
    if (!f.php_configured.empty() && !f.php_configured_found) {
        notes.push_back("PHP interpreter " + quoted(f.php_configured) + " not found; using " + quoted(f.php) +
                        (f.php_from_path ? " (php-cgi from PATH)" : "") + " instead" +
                        (f.php_exists ? "" : ", which does not exist either: PHP pages will fail"));
    } else if (f.php_from_path) {
        notes.push_back("PHP interpreter: " + quoted(f.php) + " (php-cgi from PATH; the program folder has no php/php-cgi)");
    } else if (!f.php_exists) {
        notes.push_back("PHP interpreter " + quoted(f.php) +
                        " not found: PHP pages will fail (set another with SetPHPPath in onInit.lua)");
    }
    if (!f.hook_scripts)
        notes.push_back("no hook scripts (onInit.lua, onBuildMainMenu.lua, onReady.lua) in " + quoted(f.folder) +
                        ": serving " + quoted(f.site) + " on port " + std::to_string(f.port));
    return notes;
}

}  // namespace vantrel::shell
