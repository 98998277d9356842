// What the application's author is told: script errors on stderr (and in a
// dialog in developer mode), and the start-up notes about what is served.
#pragma once

#include <string>
#include <vector>

namespace vantrel::shell {

// True when the environment variable VANTREL_DEVELOPER is "1": script errors
// also open an "Error" dialog, the web inspector is available and the server
// writes its debug log.
bool DeveloperMode();

// A script error as the engine reports it ("onInit.lua:3: ..."): one line on
// stderr; in developer mode also the "Error" dialog of the main window.
void ReportScriptError(const std::string& message);

// While set, every script error reported is also added to `sink` (the check
// counts them); nullptr stops that.
void CollectScriptErrors(std::vector<std::string>* sink);

// One line on stderr for the author, prefixed "vantrel: ".
void ReportNote(const std::string& text);

// What start-up found, for the notes below.
struct StartupFacts {
    std::string folder;               // the working folder (where hook scripts are looked up)
    bool hook_scripts = true;         // any of the three is there
    std::string site_configured;      // SitesPath as scripts left it
    bool site_configured_found = true;  // it names an existing folder (as it is or under the program folder)
    std::string site;                 // the folder served
    std::string php_configured;       // PHPPath as scripts left it
    bool php_configured_found = true;
    std::string php;                  // the interpreter used
    bool php_exists = true;
    int port = 80;
    bool php_from_path = false;       // `php` is php-cgi found on PATH
};

// The lines start-up writes for the author: a configured site folder or PHP
// interpreter that was not found (with the one used instead), an interpreter
// that is missing altogether, a folder without hook scripts (and what is served).
std::vector<std::string> StartupNotes(const StartupFacts& facts);

}  // namespace vantrel::shell
